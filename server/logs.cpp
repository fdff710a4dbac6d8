#include "server/logs.h"

namespace veskserve {

namespace {

std::string Stamp(std::time_t when, const char* format) {
    std::tm tm{};
    gmtime_r(&when, &tm);
    char text[64];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

// Control bytes and the quote as \xNN, so a value cannot end its field or the line.
std::string Escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out.push_back(char(c));
        }
    }
    return out;
}

}  // namespace

std::string LogQuoted(std::string_view text) { return "\"" + Escaped(text) + "\""; }

std::string AccessLine(const AccessRecord& r) {
    std::string line = Escaped(r.remote.empty() ? "-" : r.remote) + " - - [" + Stamp(r.when, "%d/%b/%Y:%H:%M:%S +0000") +
                       "] " + LogQuoted(r.requestLine) + " " + std::to_string(r.status) + " " +
                       (r.bytes ? std::to_string(r.bytes) : std::string("-")) + " " +
                       LogQuoted(r.referer.empty() ? "-" : r.referer) + " " +
                       LogQuoted(r.userAgent.empty() ? "-" : r.userAgent);
    if (!r.entries.empty()) {
        std::string joined;
        for (const std::string& entry : r.entries) joined += (joined.empty() ? "" : "; ") + entry;
        line += " " + LogQuoted(joined);
    }
    return line;
}

Logs::~Logs() {
    if (m_error != stderr) std::fclose(m_error);
    if (m_access != stderr && m_access != m_error) std::fclose(m_access);
}

bool Logs::Open(const std::string& errorPath, const std::string& accessPath, std::string* message) {
    if (!errorPath.empty()) {
        m_error = std::fopen(errorPath.c_str(), "a");
        if (m_error == nullptr) {
            m_error = stderr;
            *message = "cannot open the log " + errorPath;
            return false;
        }
    }
    if (!accessPath.empty()) {
        m_access = accessPath == errorPath ? m_error : std::fopen(accessPath.c_str(), "a");
        if (m_access == nullptr) {
            m_access = stderr;
            *message = "cannot open the access log " + accessPath;
            return false;
        }
    }
    return true;
}

void Logs::Write(std::FILE* file, std::string_view line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fwrite(line.data(), 1, line.size(), file);
    std::fputc('\n', file);
    std::fflush(file);
}

void Logs::Error(std::string_view text) {
    Write(m_error, "[" + Stamp(std::time(nullptr), "%Y-%m-%dT%H:%M:%SZ") + "] error " + Escaped(text));
}

void Logs::Info(std::string_view text) {
    Write(m_error, "[" + Stamp(std::time(nullptr), "%Y-%m-%dT%H:%M:%SZ") + "] " + Escaped(text));
}

void Logs::Access(const AccessRecord& record) { Write(m_access, AccessLine(record)); }

}  // namespace veskserve
