// Every setting and limit of vesk-serve, in one place, and the command line that sets them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace veskserve {

struct ServerConfig {
    std::string root;                // the site: pages, static files, global.vsp
    std::string module;              // the library module the pages create "Vesk" from
    std::string host = "127.0.0.1";  // where to listen
    uint16_t port = 8080;            // 0: any free port (the one chosen is printed)
    size_t uploadLimit = 4u << 20;   // the largest request body, in bytes
    int sessionTimeoutMinutes = 20;
    int scriptTimeoutSeconds = 10;
    size_t scriptMemoryMB = 64;
    unsigned threads = 8;       // page threads; connections are served by one event loop
    std::string accessLogPath;  // empty: standard error
    std::string logPath;        // empty: standard error
    bool showErrors = true;     // a failing page's 500 names the error and the line

    // Connections. A connection that stays silent this long is closed: an idle keep-alive
    // connection, and a client that stops in the middle of its headers or body.
    unsigned idleTimeoutSeconds = 15;
    // A client that keeps sending, but slowly, is not silent: it is closed when its request
    // line and headers have not arrived this long after it began waiting to send them, or
    // its body this long after the headers, plus a second for each bodyMinRate bytes of the
    // body received (a large upload over a slow link still gets through).
    unsigned requestTimeoutSeconds = 30;
    size_t bodyMinRate = 16u << 10;
    unsigned connectionLimit = 2048;
    size_t headerMemoryBytes = 32u << 10;  // request line and headers of one request
    unsigned maxHeaders = 100;
    // How long a graceful stop waits for requests in flight, beyond the script timeout.
    unsigned stopGraceSeconds = 5;
};

// The bounds the command line accepts.
struct ConfigBounds {
    static constexpr size_t kMaxUploadLimit = size_t(1) << 30;
    static constexpr int kMaxSessionTimeoutMinutes = 366 * 24 * 60;
    static constexpr int kMaxScriptTimeoutSeconds = 3600;
    static constexpr size_t kMaxScriptMemoryMB = 4096;
    static constexpr unsigned kMaxThreads = 256;
    static constexpr unsigned kMaxRequestTimeoutSeconds = 3600;
};

enum class CommandLine { Run, Help, Version, Error };

// Reads the options into config (which holds the defaults); on Error, message says why.
CommandLine ParseCommandLine(int argc, const char* const* argv, ServerConfig* config, std::string* message);
std::string HelpText(const ServerConfig& defaults);
std::string VersionText();

}  // namespace veskserve
