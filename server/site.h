// What a URL path names under the site's root: a page script, a static file, or nothing a
// visitor may see. Refused (as not found): anything outside the root (dot-dot, encoded or
// not, and symbolic links that lead out), a folder named "templates", any file or folder
// whose name starts with "." or "_", the site's global.vsp, and paths with a NUL byte or a
// backslash.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace veskserve {

struct SiteTarget {
    enum class Kind { Page, Static, NotFound, BadRequest };
    Kind kind = Kind::NotFound;
    std::string file;       // the file's real path
    std::string scriptUrl;  // the virtual path of a page ("/shop/index.vsp")
};

// root must be a real path (no trailing slash). path is the URL path as sent, undecoded.
SiteTarget ResolveSitePath(const std::string& root, std::string_view path);

// The Content-Type of a static file, by its extension.
const char* ContentTypeOf(std::string_view file);

// A file's validators and whether the request's conditions say the client has it.
std::string EntityTag(uint64_t size, int64_t mtimeNanoseconds);
std::string HttpDate(std::time_t when);
bool ParseHttpDate(std::string_view text, std::time_t* when);
bool NotModified(std::string_view ifNoneMatch, std::string_view ifModifiedSince, const std::string& etag,
                 std::time_t modified);

}  // namespace veskserve
