// Runs the site's pages: loads the library module through the host's class registry, keeps
// the site's Application and sessions, runs each page's JavaScript with the page objects as
// its globals (and global.vsp's Application_OnStart, Session_OnStart and Session_OnEnd at
// their moments), serves the requests of one session one at a time, and turns a page's
// result into an HTTP reply (a 500 page when it failed).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hostkit/pages/page_host.h"
#include "server/logs.h"
#include "server/script_engine.h"
#include "server/server_config.h"

namespace veskserve {

constexpr const char* kSessionCookie = "VESKSESSIONID";

struct HttpReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::vector<std::string> logEntries;  // AppendToLog's
};

class PageRunner {
public:
    // clock: what session expiry reads; empty reads the steady clock.
    PageRunner(const ServerConfig& config, Logs& logs,
               std::function<std::chrono::steady_clock::time_point()> clock = {});
    ~PageRunner();
    PageRunner(const PageRunner&) = delete;
    PageRunner& operator=(const PageRunner&) = delete;

    // Loads the module and registers "Vesk", "Vesk.TextTemplator" and "Vesk.Utility".
    bool LoadModule(std::string* message);
    // Runs global.vsp's Application_OnStart, when the site has one.
    void StartApplication();

    // Runs the page script file (its virtual path scriptUrl) for the request.
    HttpReply Run(const std::string& file, const std::string& scriptUrl, const veskhost::PageRequest& request);

    // Ends the sessions idle past their timeout; returns how many.
    size_t SweepSessions();
    // Ends every session (Session_OnEnd runs for each).
    void EndSessions();
    size_t SessionCount();

    // What tells one version of a file from another.
    struct FileStamp {
        int64_t modified = 0;  // ns
        int64_t size = -1;
        uint64_t inode = 0;
        bool operator==(const FileStamp&) const = default;
    };

private:
    // A page script's compiled form, kept while its file stays the same.
    struct Compiled {
        FileStamp stamp;
        std::shared_ptr<const std::string> code;
    };
    // Runs a script file: from its compiled form when the file is unchanged since it was
    // compiled, else from its text (then kept compiled). False when the file cannot be read.
    bool RunScriptFile(ScriptEngine& engine, const std::string& file, const std::string& scriptUrl, ScriptError* error);

    std::shared_ptr<std::mutex> GateFor(const std::wstring& id);
    void LeaveGate(const std::wstring& id);
    // Runs a global.vsp event with the page's objects (session may differ from the page's).
    bool RunSiteEvent(const char* name, const veskhost::PageObjects& objects, PravoltTypeLibrary::ISessionObject* session,
                      ScriptError* error);
    void OnSessionEnd(PravoltTypeLibrary::ISessionObject* session);
    HttpReply ErrorReply(const ScriptError& error, const std::string& url, std::string flushed);

    ServerConfig m_config;
    Logs& m_logs;
    std::string m_globalFile;  // ROOT/global.vsp
    veskhost::PageHostConfig m_hostConfig;
    veskhost::PageApplication m_application;
    std::unique_ptr<veskhost::SessionStore> m_sessions;

    std::mutex m_compiledMutex;
    std::map<std::string, Compiled> m_compiled;  // by file

    std::mutex m_gateMutex;
    std::map<std::wstring, std::pair<std::shared_ptr<std::mutex>, int>> m_gates;  // id -> lock, users
};

}  // namespace veskserve
