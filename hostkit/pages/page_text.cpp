#include "hostkit/pages/page_text.h"

#include <cmath>
#include <cstdio>
#include <cwctype>
#include <vector>

#include "host/runtime.h"

namespace veskhost::pages {

namespace {

constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void AppendEscaped(std::wstring& out, unsigned char byte) {
    out += L'%';
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xF];
}

bool IsAsciiAlnum(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// The UTF-8 bytes of one character.
std::string Utf8OfChar(wchar_t c) { return Utf8Of(std::wstring_view(&c, 1)); }

}  // namespace

void AppendUtf8(std::string& out, std::wstring_view text) {
    for (const wchar_t c : text) {
        uint32_t code = static_cast<uint32_t>(c);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
        if (code < 0x80) {
            out += char(code);
        } else if (code < 0x800) {
            out += char(0xC0 | (code >> 6));
            out += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += char(0xE0 | (code >> 12));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        } else {
            out += char(0xF0 | (code >> 18));
            out += char(0x80 | ((code >> 12) & 0x3F));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        }
    }
}

std::string Utf8Of(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    AppendUtf8(out, text);
    return out;
}

// The runtime's decoder stops at a NUL, so bytes are decoded piece by piece between NULs.
std::wstring TextOfUtf8(std::string_view bytes) {
    std::wstring out;
    size_t start = 0;
    while (start <= bytes.size()) {
        size_t end = bytes.find('\0', start);
        if (end == std::string_view::npos) end = bytes.size();
        const std::string piece(bytes.substr(start, end - start));
        const size_t chars = utf8_utf32(nullptr, 0, piece.c_str());
        const size_t at = out.size();
        out.resize(at + chars + 1);
        utf8_utf32(out.data() + at, chars + 1, piece.c_str());
        out.pop_back();
        if (end == bytes.size()) break;
        out += L'\0';
        start = end + 1;
    }
    return out;
}

std::wstring FormDecode(std::string_view field) {
    std::string bytes;
    bytes.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '+') {
            bytes += ' ';
        } else if (c == '%' && i + 2 < field.size() && HexValue(field[i + 1]) >= 0 && HexValue(field[i + 2]) >= 0) {
            bytes += char(HexValue(field[i + 1]) * 16 + HexValue(field[i + 2]));
            i += 2;
        } else {
            bytes += c;
        }
    }
    return TextOfUtf8(bytes);
}

void ForEachFormField(std::string_view text, const std::function<void(std::wstring, std::wstring)>& add) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view field = text.substr(start, end - start);
        if (!field.empty()) {
            const size_t eq = field.find('=');
            if (eq == std::string_view::npos) add(FormDecode(field), std::wstring());
            else add(FormDecode(field.substr(0, eq)), FormDecode(field.substr(eq + 1)));
        }
        start = end + 1;
    }
}

std::wstring UrlEncode(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        if (IsAsciiAlnum(c)) {
            out += c;
        } else if (c == L' ') {
            out += L'+';
        } else {
            for (const char byte : Utf8OfChar(c)) AppendEscaped(out, static_cast<unsigned char>(byte));
        }
    }
    return out;
}

std::wstring UrlPathEncode(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        if (c > 0x20 && c < 0x7F) {
            out += c;
        } else {
            for (const char byte : Utf8OfChar(c)) AppendEscaped(out, static_cast<unsigned char>(byte));
        }
    }
    return out;
}

std::wstring HtmlEncode(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        switch (c) {
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'&': out += L"&amp;"; break;
        case L'"': out += L"&quot;"; break;
        default:
            if (static_cast<uint32_t>(c) < 0x80) {
                out += c;
            } else {
                out += L"&#";
                out += std::to_wstring(static_cast<uint32_t>(c));
                out += L';';
            }
        }
    }
    return out;
}

std::wstring EscapeLogEntry(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        const uint32_t code = static_cast<uint32_t>(c);
        if (c == L'\\') {
            out += L"\\\\";
        } else if (code < 0x20 || code == 0x7F) {
            out += L"\\x";
            out += kHexDigits[code >> 4];
            out += kHexDigits[code & 0xF];
        } else if (code == 0x85 || code == 0x2028 || code == 0x2029) {
            out += L"\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(code >> shift) & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

bool BreaksHeader(std::wstring_view text) { return text.find_first_of(std::wstring_view(L"\r\n\0", 3)) != text.npos; }

bool IsHeaderName(std::wstring_view name) {
    if (name.empty()) return false;
    constexpr std::wstring_view kSeparators = L"()<>@,;:\\\"/[]?={} \t";
    for (const wchar_t c : name) {
        if (c <= 0x20 || c >= 0x7F || kSeparators.find(c) != kSeparators.npos) return false;
    }
    return true;
}

std::wstring FoldKey(std::wstring_view key) {
    std::wstring out(key);
    for (wchar_t& c : out) {
        if (c >= L'A' && c <= L'Z') c = wchar_t(c + (L'a' - L'A'));
        else if (static_cast<uint32_t>(c) >= 0x80) c = wchar_t(std::towlower(wint_t(c)));
    }
    return out;
}

std::wstring ServerVariableName(std::string_view header) {
    std::wstring name = L"HTTP_";
    for (const wchar_t c : TextOfUtf8(header)) {
        if (c == L'-') name += L'_';
        else if (c >= L'a' && c <= L'z') name += wchar_t(c - (L'a' - L'A'));
        else name += c;
    }
    return name;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c; };
        if (lower(text[i]) != lower(prefix[i])) return false;
    }
    return true;
}

std::wstring HttpDate(DATE date) {
    // An automation date counts days from 30 December 1899; before it, the fraction still
    // counts forward from midnight of the day.
    if (!(date >= -657434.0)) date = -657434.0;  // NaN as well
    if (date > 2958465.99999) date = 2958465.99999;
    const double whole = std::trunc(date);
    const double fraction = std::fabs(date - whole);
    int64_t seconds = int64_t(whole) * 86400 + int64_t(std::llround(fraction * 86400.0));
    constexpr int64_t kDaysTo1970 = 25569;
    seconds -= kDaysTo1970 * 86400;
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    const int64_t secondOfDay = seconds - days * 86400;
    const int weekday = int(((days % 7) + 7 + 4) % 7);  // 1 January 1970 was a Thursday

    // Civil date from days since 1970 (proleptic Gregorian calendar).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const int day = int(dayOfYear - (153 * mp + 2) / 5 + 1);
    const int month = int(mp < 10 ? mp + 3 : mp - 9);
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    static const wchar_t* const kWeekdays[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
    static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    wchar_t text[64];
    std::swprintf(text, 64, L"%ls, %02d %ls %04lld %02d:%02d:%02d GMT", kWeekdays[weekday], day, kMonths[month - 1],
                  static_cast<long long>(year), int(secondOfDay / 3600), int(secondOfDay / 60 % 60),
                  int(secondOfDay % 60));
    return text;
}

bool MapSitePath(std::wstring_view root, std::wstring_view scriptPath, std::wstring_view logical, std::wstring* out) {
    if (root.empty() || logical.find(L'\0') != logical.npos) return false;
    std::vector<std::wstring> parts;
    const auto walk = [&parts](std::wstring_view path, bool dropLast) {
        size_t start = 0;
        std::vector<std::wstring_view> pieces;
        while (start <= path.size()) {
            size_t end = path.find_first_of(L"/\\", start);
            if (end == path.npos) end = path.size();
            pieces.push_back(path.substr(start, end - start));
            start = end + 1;
        }
        if (dropLast && !pieces.empty()) pieces.pop_back();
        for (const std::wstring_view piece : pieces) {
            if (piece.empty() || piece == L".") continue;
            if (piece == L"..") {
                if (parts.empty()) return false;
                parts.pop_back();
                continue;
            }
            parts.emplace_back(piece);
        }
        return true;
    };
    const bool fromRoot = !logical.empty() && (logical[0] == L'/' || logical[0] == L'\\');
    if (!fromRoot && !walk(scriptPath, true)) return false;
    if (!walk(logical, false)) return false;

    std::wstring path(root);
    while (path.size() > 1 && path.back() == L'/') path.pop_back();
    for (const std::wstring& part : parts) {
        if (path.back() != L'/') path += L'/';
        path += part;
    }
    *out = std::move(path);
    return true;
}

}  // namespace veskhost::pages
