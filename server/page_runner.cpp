#include "server/page_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "hostkit/runtime/class_registry.h"
#include "server/text.h"

namespace veskserve {

namespace {

// Reads a file whole, with what identifies this version of it.
bool ReadStamped(const std::string& path, std::string* text, struct stat* info) {
    // Not blocking: a named pipe put where a page was must not hold the page thread.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    bool ok = fstat(fd, info) == 0 && S_ISREG(info->st_mode);
    text->clear();
    char buffer[16384];
    while (ok) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text->append(buffer, size_t(n));
    }
    close(fd);
    return ok;
}

std::string HtmlEscaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

// The visitor's session id from the Cookie headers; only one this server could have made.
std::wstring SessionIdOf(const veskhost::PageRequest& request) {
    const std::string wanted = std::string(kSessionCookie) + "=";
    for (const auto& [name, value] : request.headers) {
        if (Fold(WideOfUtf8(name)) != L"cookie") continue;
        size_t pos = 0;
        while (pos < value.size()) {
            size_t end = value.find(';', pos);
            if (end == std::string::npos) end = value.size();
            std::string_view part = std::string_view(value).substr(pos, end - pos);
            while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
            if (part.substr(0, wanted.size()) == wanted) {
                const std::string_view id = part.substr(wanted.size());
                bool hex = id.size() == 32;
                for (char c : id) hex = hex && ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
                if (hex) return WideOfUtf8(id);
            }
            pos = end + 1;
        }
    }
    return L"";
}

ScriptEngine::Limits LimitsOf(const ServerConfig& config) {
    ScriptEngine::Limits limits;
    limits.memoryBytes = config.scriptMemoryMB << 20;
    limits.timeout = std::chrono::seconds(config.scriptTimeoutSeconds);
    return limits;
}

// The page objects as the script's globals.
HRESULT AddPageGlobals(ScriptEngine& engine, const veskhost::PageObjects& objects,
                       PravoltTypeLibrary::ISessionObject* session) {
    struct Global {
        const char* name;
        IDispatch* object;
    };
    const Global globals[] = {
        {"Server", objects.server},   {"Application", objects.application}, {"Request", objects.request},
        {"Response", objects.response}, {"Session", session},
    };
    for (const Global& g : globals) {
        if (g.object == nullptr) continue;
        if (HRESULT hr = engine.AddGlobal(g.name, g.object); FAILED(hr)) return hr;
    }
    if (objects.responseEnded) {
        const bool* ended = objects.responseEnded;
        engine.SetEndedProbe([ended] { return *ended; });
    }
    return S_OK;
}

std::string Narrow(const std::wstring& text) { return Utf8(text); }

PageRunner::FileStamp StampOf(const struct stat& info) {
    return {int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec, int64_t(info.st_size),
            uint64_t(info.st_ino)};
}

// A site has few page files; past this many the kept compiled forms are dropped and made again.
constexpr size_t kMaxCompiledScripts = 1024;

}  // namespace

PageRunner::PageRunner(const ServerConfig& config, Logs& logs,
                       std::function<std::chrono::steady_clock::time_point()> clock)
    : m_config(config), m_logs(logs) {
    m_hostConfig.clock = std::move(clock);
    m_globalFile = config.root + "/global.vsp";
    m_hostConfig.uploadLimit = config.uploadLimit;
    m_hostConfig.sessionTimeoutMinutes = config.sessionTimeoutMinutes;
    m_hostConfig.scriptTimeoutSeconds = config.scriptTimeoutSeconds;
    m_hostConfig.siteRoot = WideOfUtf8(config.root);
    m_hostConfig.onSessionEnd = [this](PravoltTypeLibrary::ISessionObject* session) { OnSessionEnd(session); };
    m_sessions = std::make_unique<veskhost::SessionStore>(m_hostConfig);
}

PageRunner::~PageRunner() { EndSessions(); }

bool PageRunner::LoadModule(std::string* message) {
    struct Class {
        const char* symbol;
        const wchar_t* progId;
    };
    static constexpr Class kClasses[] = {
        {"CLSID_Vesk", L"Vesk"}, {"CLSID_TextTemplator", L"Vesk.TextTemplator"}, {"CLSID_Utility", L"Vesk.Utility"}};
    for (const Class& c : kClasses) {
        const void* clsid = nullptr;
        HRESULT hr = veskhost::GetModuleSymbol(m_config.module.c_str(), c.symbol, &clsid);
        if (SUCCEEDED(hr)) hr = veskhost::RegisterModuleClass(m_config.module.c_str(), *static_cast<const CLSID*>(clsid), c.progId);
        if (FAILED(hr)) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", unsigned(hr));
            *message = "cannot load " + Narrow(c.progId) + " from " + m_config.module + ": " + code;
            return false;
        }
    }
    return true;
}

bool PageRunner::RunSiteEvent(const char* name, const veskhost::PageObjects& objects,
                              PravoltTypeLibrary::ISessionObject* session, ScriptError* error) {
    *error = ScriptError{};
    struct stat info {};
    if (stat(m_globalFile.c_str(), &info) != 0) return true;  // a site without global.vsp
    ScriptEngine engine(LimitsOf(m_config));
    if (FAILED(AddPageGlobals(engine, objects, session))) {
        error->hr = E_OUTOFMEMORY;
        error->source = L"vesk-serve";
        error->description = L"The script engine could not start.";
        return false;
    }
    if (!RunScriptFile(engine, m_globalFile, "/global.vsp", error)) {
        *error = ScriptError{};
        return true;  // gone since
    }
    if (error->Failed()) return false;
    bool found = false;
    return engine.CallFunction(name, {}, &found, error);
}

void PageRunner::StartApplication() {
    veskhost::PageResponse page = veskhost::RunPage(
        m_hostConfig, m_application, veskhost::PageRequest::Get("/global.vsp"),
        [&](const veskhost::PageObjects& objects) {
            ScriptError error;
            if (!RunSiteEvent("Application_OnStart", objects, nullptr, &error)) {
                m_logs.Error("Application_OnStart in /global.vsp: " + Narrow(error.source) + ": " +
                             Narrow(error.description) + " (line " + std::to_string(error.line) + ")");
            }
            return S_OK;
        });
    (void)page;
}

void PageRunner::OnSessionEnd(PravoltTypeLibrary::ISessionObject* session) {
    veskhost::RunPage(m_hostConfig, m_application, veskhost::PageRequest::Get("/global.vsp"),
                      [&](const veskhost::PageObjects& objects) {
                          ScriptError error;
                          if (!RunSiteEvent("Session_OnEnd", objects, session, &error)) {
                              m_logs.Error("Session_OnEnd in /global.vsp: " + Narrow(error.source) + ": " +
                                           Narrow(error.description) + " (line " + std::to_string(error.line) + ")");
                          }
                          return S_OK;
                      });
}

bool PageRunner::RunScriptFile(ScriptEngine& engine, const std::string& file, const std::string& scriptUrl,
                               ScriptError* error) {
    struct stat info {};
    if (stat(file.c_str(), &info) == 0) {
        std::shared_ptr<const std::string> code;
        {
            std::lock_guard<std::mutex> lock(m_compiledMutex);
            const auto found = m_compiled.find(file);
            if (found != m_compiled.end() && found->second.stamp == StampOf(info)) code = found->second.code;
        }
        if (code) {
            engine.RunCompiled(*code, scriptUrl, error);
            return true;
        }
    }
    // The stamp is the opened file's, so a file replaced while it is read is compiled again.
    std::string source;
    if (!ReadStamped(file, &source, &info)) return false;
    auto compiled = std::make_shared<std::string>();
    engine.Run(source, scriptUrl, error, compiled.get());
    if (compiled->empty()) return true;
    std::lock_guard<std::mutex> lock(m_compiledMutex);
    if (m_compiled.size() >= kMaxCompiledScripts) m_compiled.clear();
    m_compiled[file] = Compiled{StampOf(info), std::move(compiled)};
    return true;
}

std::shared_ptr<std::mutex> PageRunner::GateFor(const std::wstring& id) {
    std::lock_guard<std::mutex> lock(m_gateMutex);
    auto& gate = m_gates[id];
    if (!gate.first) gate.first = std::make_shared<std::mutex>();
    ++gate.second;
    return gate.first;
}

void PageRunner::LeaveGate(const std::wstring& id) {
    std::lock_guard<std::mutex> lock(m_gateMutex);
    const auto found = m_gates.find(id);
    if (found != m_gates.end() && --found->second.second == 0) m_gates.erase(found);
}

HttpReply PageRunner::Run(const std::string& file, const std::string& scriptUrl, const veskhost::PageRequest& request) {
    const std::wstring visitorId = SessionIdOf(request);
    // The objects are apartment-threaded: one request of a session at a time.
    std::shared_ptr<std::mutex> gate;
    std::unique_lock<std::mutex> serial;
    if (!visitorId.empty()) {
        gate = GateFor(visitorId);
        serial = std::unique_lock<std::mutex>(*gate);
    }

    ScriptError failure;
    veskhost::PageResponse page = veskhost::RunPage(
        m_hostConfig, m_application, request,
        [&](const veskhost::PageObjects& objects) -> HRESULT {
            if (objects.sessionCreated && objects.session) {
                if (!RunSiteEvent("Session_OnStart", objects, objects.session, &failure) && failure.Failed()) {
                    failure.file = "/global.vsp";
                    objects.response->Clear();
                    return failure.hr;
                }
            }
            {
                ScriptEngine engine(LimitsOf(m_config));
                if (FAILED(AddPageGlobals(engine, objects, objects.session))) {
                    failure.hr = E_OUTOFMEMORY;
                    failure.source = L"vesk-serve";
                    failure.description = L"The script engine could not start.";
                } else if (!RunScriptFile(engine, file, scriptUrl, &failure)) {
                    failure.hr = E_FAIL;
                    failure.source = L"vesk-serve";
                    failure.description = L"The page's script cannot be read.";
                }
            }
            if (failure.Failed()) {
                // What the page wrote and did not flush is not sent.
                objects.response->Clear();
                return failure.hr;
            }
            return S_OK;
        },
        {m_sessions.get(), visitorId});
    if (serial.owns_lock()) serial.unlock();
    if (gate) LeaveGate(visitorId);

    HttpReply reply;
    if (failure.Failed()) {
        std::string what = request.method + " " + request.url + ": " + Narrow(failure.source) + ": " +
                           Narrow(failure.description) + " (" + (failure.file.empty() ? scriptUrl : failure.file) +
                           ":" + std::to_string(failure.line) + ")";
        if (failure.timedOut) what = "script timed out: " + what;
        if (failure.outOfMemory) what = "script out of memory: " + what;
        m_logs.Error(what);
        reply = ErrorReply(failure, scriptUrl, std::move(page.body));
    } else {
        reply.status = page.statusCode;
        reply.body = std::move(page.body);
        std::string type = Narrow(page.contentType);
        if (!page.charSet.empty()) type += "; charset=" + Narrow(page.charSet);
        else if (type.rfind("text/", 0) == 0) type += "; charset=utf-8";
        reply.headers.emplace_back("Content-Type", type);
        reply.headers.emplace_back("Cache-Control", Narrow(page.cacheControl));
        for (const auto& [name, value] : page.headers) reply.headers.emplace_back(Narrow(name), Narrow(value));
        for (const veskhost::PageCookie& cookie : page.cookies)
            reply.headers.emplace_back("Set-Cookie", Narrow(cookie.SetCookieHeader()));
    }
    if (!page.sessionId.empty()) {
        std::string cookie;
        if (page.sessionAbandoned) {
            cookie = std::string(kSessionCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Lax";
        } else if (page.sessionId != visitorId) {
            cookie = std::string(kSessionCookie) + "=" + Narrow(page.sessionId) + "; Path=/; HttpOnly; SameSite=Lax";
        }
        if (!cookie.empty()) {
            if (request.https) cookie += "; Secure";
            reply.headers.emplace_back("Set-Cookie", cookie);
        }
    }
    for (const std::wstring& entry : page.log) reply.logEntries.push_back(Narrow(entry));
    if (page.heldReferences != 0) {
        m_logs.Error(request.method + " " + request.url + ": the page left " + std::to_string(page.heldReferences) +
                     " references to its objects");
    }
    return reply;
}

HttpReply PageRunner::ErrorReply(const ScriptError& error, const std::string& url, std::string flushed) {
    HttpReply reply;
    reply.status = 500;
    reply.headers.emplace_back("Content-Type", "text/html; charset=utf-8");
    reply.headers.emplace_back("Cache-Control", "no-store");
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>500 Internal Server Error</title>"
                       "</head>\n<body>\n<h1>500 Internal Server Error</h1>\n";
    if (m_config.showErrors) {
        page += "<p class=\"error\"><b>" + HtmlEscaped(Narrow(error.source)) + "</b>: " +
                HtmlEscaped(Narrow(error.description)) + "</p>\n";
        page += "<p class=\"where\">" + HtmlEscaped(error.file.empty() ? url : error.file) + ", line " +
                std::to_string(error.line) + "</p>\n";
    } else {
        page += "<p>The page could not be shown.</p>\n";
    }
    page += "</body></html>\n";
    reply.body = std::move(flushed) + page;
    return reply;
}

size_t PageRunner::SweepSessions() { return m_sessions ? m_sessions->SweepExpired() : 0; }

size_t PageRunner::SessionCount() { return m_sessions ? m_sessions->Count() : 0; }

void PageRunner::EndSessions() { m_sessions.reset(); }

}  // namespace veskserve
