// The server's two logs: the error log (start, stop, every failure with its URL) and the
// access log (one Combined Log Format line per request, the page's AppendToLog entries as
// a last quoted field). Each goes to a file or to standard error; lines from all threads
// are written whole.
#pragma once

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace veskserve {

struct AccessRecord {
    std::string remote;
    std::time_t when = 0;
    std::string requestLine;  // "GET /path?q HTTP/1.1"
    int status = 0;
    size_t bytes = 0;
    std::string referer, userAgent;
    std::vector<std::string> entries;  // AppendToLog's
};

// A text as a quoted log field: quotes, backslashes and control bytes escaped, so no
// request can forge a line.
std::string LogQuoted(std::string_view text);
std::string AccessLine(const AccessRecord& record);

class Logs {
public:
    Logs() = default;
    ~Logs();
    Logs(const Logs&) = delete;
    Logs& operator=(const Logs&) = delete;

    // Empty paths write to standard error. False with a message when a file cannot be opened.
    bool Open(const std::string& errorPath, const std::string& accessPath, std::string* message);

    void Error(std::string_view text);
    void Info(std::string_view text);
    void Access(const AccessRecord& record);

private:
    void Write(std::FILE* file, std::string_view line);

    std::mutex m_mutex;
    std::FILE* m_error = stderr;
    std::FILE* m_access = stderr;
};

}  // namespace veskserve
