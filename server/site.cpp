#include "server/site.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace veskserve {

namespace {

constexpr const char* kPageExtension = ".vsp";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Decode(std::string_view in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = char(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0' || c == '\\') return false;
        out->push_back(c);
    }
    return true;
}

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool SameFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string RealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

bool Inside(const std::string& root, const std::string& real) {
    return real.size() > root.size() && real.compare(0, root.size(), root) == 0 && real[root.size()] == '/';
}

}  // namespace

SiteTarget ResolveSitePath(const std::string& root, std::string_view path) {
    SiteTarget target;
    std::string decoded;
    if (path.empty() || path[0] != '/') {
        target.kind = SiteTarget::Kind::BadRequest;
        return target;
    }
    if (!Decode(path, &decoded)) return target;
    std::vector<std::string> segments;
    size_t start = 1;
    while (start <= decoded.size()) {
        size_t end = decoded.find('/', start);
        if (end == std::string::npos) end = decoded.size();
        const std::string segment = decoded.substr(start, end - start);
        if (!segment.empty()) {
            if (segment[0] == '.' || segment[0] == '_' || SameFolded(segment, "templates")) return target;
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::string file = root, url;
    for (const std::string& segment : segments) {
        file += "/" + segment;
        url += "/" + segment;
    }
    struct stat info {};
    if (stat(file.c_str(), &info) != 0) return target;
    if (S_ISDIR(info.st_mode)) {
        file += "/index.vsp";
        url += "/index.vsp";
        if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return target;
    } else if (!S_ISREG(info.st_mode)) {
        return target;
    }
    const std::string real = RealPath(file);
    if (real.empty() || !Inside(root, real)) return target;
    if (EndsWith(real, kPageExtension)) {
        // The site's own event script is not a page.
        if (segments.size() == 1 && SameFolded(segments[0], "global.vsp")) return target;
        target.kind = SiteTarget::Kind::Page;
    } else {
        target.kind = SiteTarget::Kind::Static;
    }
    target.file = real;
    target.scriptUrl = url;
    return target;
}

const char* ContentTypeOf(std::string_view file) {
    struct Type {
        const char* extension;
        const char* type;
    };
    static constexpr std::array<Type, 22> kTypes = {{
        {".html", "text/html; charset=utf-8"}, {".htm", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
        {".json", "application/json"},         {".txt", "text/plain; charset=utf-8"},
        {".xml", "application/xml"},           {".svg", "image/svg+xml"},
        {".png", "image/png"},                 {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},               {".gif", "image/gif"},
        {".webp", "image/webp"},               {".ico", "image/x-icon"},
        {".pdf", "application/pdf"},           {".woff", "font/woff"},
        {".woff2", "font/woff2"},              {".wasm", "application/wasm"},
        {".csv", "text/csv; charset=utf-8"},   {".mp4", "video/mp4"},
        {".zip", "application/zip"},           {".md", "text/markdown; charset=utf-8"},
    }};
    for (const Type& t : kTypes) {
        const std::string_view ext = t.extension;
        if (file.size() >= ext.size()) {
            bool same = true;
            for (size_t i = 0; i < ext.size(); ++i) {
                char c = file[file.size() - ext.size() + i];
                if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
                if (c != ext[i]) same = false;
            }
            if (same) return t.type;
        }
    }
    return "application/octet-stream";
}

std::string EntityTag(uint64_t size, int64_t mtimeNanoseconds) {
    char tag[64];
    std::snprintf(tag, sizeof tag, "\"%llx-%llx\"", static_cast<unsigned long long>(mtimeNanoseconds),
                  static_cast<unsigned long long>(size));
    return tag;
}

std::string HttpDate(std::time_t when) {
    std::tm tm{};
    gmtime_r(&when, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return text;
}

bool ParseHttpDate(std::string_view text, std::time_t* when) {
    std::tm tm{};
    const std::string copy(text);
    const char* end = strptime(copy.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    if (end == nullptr || *end != '\0') return false;
    *when = timegm(&tm);
    return true;
}

bool NotModified(std::string_view ifNoneMatch, std::string_view ifModifiedSince, const std::string& etag,
                 std::time_t modified) {
    if (!ifNoneMatch.empty()) {
        // A list of tags, or "*"; a weak tag matches its strong form.
        size_t pos = 0;
        while (pos < ifNoneMatch.size()) {
            size_t comma = ifNoneMatch.find(',', pos);
            if (comma == std::string_view::npos) comma = ifNoneMatch.size();
            std::string_view tag = ifNoneMatch.substr(pos, comma - pos);
            while (!tag.empty() && tag.front() == ' ') tag.remove_prefix(1);
            while (!tag.empty() && tag.back() == ' ') tag.remove_suffix(1);
            if (tag.substr(0, 2) == "W/") tag.remove_prefix(2);
            if (tag == "*" || tag == etag) return true;
            pos = comma + 1;
        }
        return false;  // If-None-Match decides when present
    }
    std::time_t since = 0;
    return !ifModifiedSince.empty() && ParseHttpDate(ifModifiedSince, &since) && modified <= since;
}

}  // namespace veskserve
