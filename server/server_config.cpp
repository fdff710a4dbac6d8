#include "server/server_config.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <vector>

namespace veskserve {

namespace {

constexpr const char* kVersion = "0.1.0";

bool ReadNumber(std::string_view text, unsigned long long low, unsigned long long high, unsigned long long* out) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(std::string(text).c_str(), nullptr, 10);
    if (errno != 0 || value < low || value > high) return false;
    *out = value;
    return true;
}

bool ReadListen(std::string_view text, ServerConfig* config) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string_view host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    unsigned long long port = 0;
    if (!ReadNumber(text.substr(colon + 1), 0, 65535, &port)) return false;
    config->host = std::string(host);
    config->port = uint16_t(port);
    return true;
}

struct Option {
    const char* name;
    const char* value;  // the value's name in the help, or null for a flag
    const char* help;
    // Reads the value (or sets the flag); false when the value is not accepted.
    std::function<bool(std::string_view, ServerConfig*)> apply;
};

std::vector<Option> Options() {
    using B = ConfigBounds;
    return {
        {"--root", "DIR", "the site's folder: pages (*.vsp), static files, global.vsp",
         [](std::string_view v, ServerConfig* c) {
             if (v.empty()) return false;
             c->root = std::string(v);
             return true;
         }},
        {"--listen", "HOST:PORT", "the address to listen on; port 0 takes a free port",
         [](std::string_view v, ServerConfig* c) { return ReadListen(v, c); }},
        {"--upload-limit", "BYTES", "the largest request body; a larger one is refused with 413",
         [](std::string_view v, ServerConfig* c) {
             unsigned long long n;
             if (!ReadNumber(v, 0, B::kMaxUploadLimit, &n)) return false;
             c->uploadLimit = size_t(n);
             return true;
         }},
        {"--session-timeout", "MINUTES", "how long an idle session lives",
         [](std::string_view v, ServerConfig* c) {
             unsigned long long n;
             if (!ReadNumber(v, 1, B::kMaxSessionTimeoutMinutes, &n)) return false;
             c->sessionTimeoutMinutes = int(n);
             return true;
         }},
        {"--script-timeout", "SECONDS", "how long one page's script may run before it is stopped with a 500",
         [](std::string_view v, ServerConfig* c) {
             unsigned long long n;
             if (!ReadNumber(v, 1, B::kMaxScriptTimeoutSeconds, &n)) return false;
             c->scriptTimeoutSeconds = int(n);
             return true;
         }},
        {"--request-timeout", "SECONDS",
         "how long a client may take to send a request's headers, and again its body; a slower one is disconnected",
         [](std::string_view v, ServerConfig* c) {
             unsigned long long n;
             if (!ReadNumber(v, 1, B::kMaxRequestTimeoutSeconds, &n)) return false;
             c->requestTimeoutSeconds = unsigned(n);
             return true;
         }},
        {"--script-memory", "MB", "how much memory one page's script may use",
         [](std::string_view v, ServerConfig* c) {
             unsigned long long n;
             if (!ReadNumber(v, 1, B::kMaxScriptMemoryMB, &n)) return false;
             c->scriptMemoryMB = size_t(n);
             return true;
         }},
        {"--threads", "N", "how many pages run at once",
         [](std::string_view v, ServerConfig* c) {
             unsigned long long n;
             if (!ReadNumber(v, 1, B::kMaxThreads, &n)) return false;
             c->threads = unsigned(n);
             return true;
         }},
        {"--access-log", "FILE", "one line per request (Combined Log Format), with the pages' AppendToLog entries",
         [](std::string_view v, ServerConfig* c) {
             if (v.empty()) return false;
             c->accessLogPath = std::string(v);
             return true;
         }},
        {"--log", "FILE", "start, stop and every failure, with its URL",
         [](std::string_view v, ServerConfig* c) {
             if (v.empty()) return false;
             c->logPath = std::string(v);
             return true;
         }},
        {"--module", "FILE", "the library module (Vesk.so) the pages create their objects from",
         [](std::string_view v, ServerConfig* c) {
             if (v.empty()) return false;
             c->module = std::string(v);
             return true;
         }},
        {"--show-errors", nullptr, "a failing page answers with the error, its source and the script line",
         [](std::string_view, ServerConfig* c) {
             c->showErrors = true;
             return true;
         }},
        {"--hide-errors", nullptr, "a failing page answers with a plain message (the log still has the error)",
         [](std::string_view, ServerConfig* c) {
             c->showErrors = false;
             return true;
         }},
    };
}

std::string DefaultOf(const std::string& name, const ServerConfig& d) {
    if (name == "--root") return d.root;
    if (name == "--listen") return d.host + ":" + std::to_string(d.port);
    if (name == "--upload-limit") return std::to_string(d.uploadLimit);
    if (name == "--session-timeout") return std::to_string(d.sessionTimeoutMinutes);
    if (name == "--script-timeout") return std::to_string(d.scriptTimeoutSeconds);
    if (name == "--request-timeout") return std::to_string(d.requestTimeoutSeconds);
    if (name == "--script-memory") return std::to_string(d.scriptMemoryMB);
    if (name == "--threads") return std::to_string(d.threads);
    if (name == "--access-log" || name == "--log") return "standard error";
    if (name == "--module") return d.module;
    if (name == "--show-errors") return d.showErrors ? "on" : "";
    return "";
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv, ServerConfig* config, std::string* message) {
    const std::vector<Option> options = Options();
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") return CommandLine::Help;
        if (arg == "--version") return CommandLine::Version;
        std::string_view value;
        bool inlineValue = false;
        if (const size_t eq = arg.find('='); eq != std::string_view::npos && arg.substr(0, 2) == "--") {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        const Option* option = nullptr;
        for (const Option& o : options) {
            if (arg == o.name) option = &o;
        }
        if (option == nullptr) {
            *message = "unknown option '" + std::string(arg) + "' (see --help)";
            return CommandLine::Error;
        }
        if (option->value == nullptr) {
            if (inlineValue) {
                *message = std::string(option->name) + " takes no value";
                return CommandLine::Error;
            }
            option->apply("", config);
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                *message = std::string(option->name) + " needs a value: " + option->value;
                return CommandLine::Error;
            }
            value = argv[++i];
        }
        if (!option->apply(value, config)) {
            *message = "bad value '" + std::string(value) + "' for " + option->name + " " + option->value;
            return CommandLine::Error;
        }
    }
    return CommandLine::Run;
}

std::string HelpText(const ServerConfig& defaults) {
    std::string text =
        "usage: vesk-serve [options]\n"
        "Serves a site: *.vsp files run as JavaScript pages, other files are sent as they are.\n\n";
    for (const Option& o : Options()) {
        std::string left = std::string("  ") + o.name + (o.value ? std::string(" ") + o.value : "");
        if (left.size() < 30) left.resize(30, ' ');
        text += left + o.help;
        const std::string d = DefaultOf(o.name, defaults);
        if (!d.empty()) text += " (default: " + d + ")";
        text += "\n";
    }
    text +=
        "  --help                      this text\n"
        "  --version                   the version\n\n"
        "SIGINT or SIGTERM stops the server: it stops accepting, finishes the requests in flight and\n"
        "ends every session.\n";
    return text;
}

std::string VersionText() { return std::string("vesk-serve ") + kVersion + "\n"; }

}  // namespace veskserve
