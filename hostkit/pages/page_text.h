// The text rules of the page objects: request decoding, the Server encoders, what may go into
// a response header or a log line, collection keys and dates.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "host/wintypes.h"

namespace veskhost::pages {

// UTF-8 bytes of the text; a value that is no Unicode scalar becomes U+FFFD.
std::string Utf8Of(std::wstring_view text);
void AppendUtf8(std::string& out, std::wstring_view text);
// The text of UTF-8 bytes, NULs kept; ill-formed bytes become U+FFFD.
std::wstring TextOfUtf8(std::string_view bytes);

// One field name or value of a query string or form body: "+" is a space, "%" and two hex
// digits one byte, any other "%" stays as written; the bytes then read as UTF-8.
std::wstring FormDecode(std::string_view field);
// Each "name=value" field of a query string or form body in order, both decoded; a field
// without "=" has an empty value; empty fields ("a=1&&b=2") are skipped.
void ForEachFormField(std::string_view text, const std::function<void(std::wstring name, std::wstring value)>& add);

// Server.URLEncode: ASCII letters and digits stay, a space is "+", every other character is
// its UTF-8 bytes as "%XX" (upper-case hex).
std::wstring UrlEncode(std::wstring_view text);
// Server.URLPathEncode: spaces, control characters and non-ASCII characters become "%XX" of
// their UTF-8 bytes; the path's own punctuation stays.
std::wstring UrlPathEncode(std::wstring_view text);
// Server.HTMLEncode: < > & " as named references, every character from U+0080 on as "&#N;".
std::wstring HtmlEncode(std::wstring_view text);
// An AppendToLog entry as one line: a backslash doubled, control characters as "\xHH", the
// Unicode line separators as "\uHHHH".
std::wstring EscapeLogEntry(std::wstring_view text);

// True when the text holds CR, LF or NUL: text that would end a header line early.
bool BreaksHeader(std::wstring_view text);
// True for a non-empty header name of token characters (no separators, spaces or controls).
bool IsHeaderName(std::wstring_view name);

// A collection key folded for case-insensitive lookup.
std::wstring FoldKey(std::wstring_view key);
// The server variable of a request header: "HTTP_", upper case, "-" as "_".
std::wstring ServerVariableName(std::string_view header);
// True when text starts with prefix, ASCII case ignored.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// The date as HTTP writes it ("Sun, 06 Nov 1994 08:49:37 GMT"), the value taken as UTC; a
// value outside the automation date range is taken as its nearer end.
std::wstring HttpDate(DATE date);

// The physical path of a logical one under the site root. A logical path starting with "/"
// or "\" is from the root, any other from the folder of scriptPath; "." and ".." are resolved
// as written, without looking at the file system. False when the path climbs out of the root,
// holds NUL, or there is no root.
bool MapSitePath(std::wstring_view root, std::wstring_view scriptPath, std::wstring_view logical, std::wstring* out);

}  // namespace veskhost::pages
