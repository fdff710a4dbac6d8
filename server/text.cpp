#include "server/text.h"

#include <cmath>
#include <cstdint>

namespace veskserve {

namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr double kDaysTo1970 = 25569.0;  // 1899-12-30 to 1970-01-01
constexpr char32_t kReplacement = 0xFFFD;

void Append(std::string* out, char32_t c) {
    if (c < 0x80) {
        out->push_back(char(c));
    } else if (c < 0x800) {
        out->push_back(char(0xC0 | (c >> 6)));
        out->push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(char(0xE0 | (c >> 12)));
        out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(char(0x80 | (c & 0x3F)));
    } else {
        out->push_back(char(0xF0 | (c >> 18)));
        out->push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(char(0x80 | (c & 0x3F)));
    }
}

// One character of UTF-8 (surrogates accepted as the engine writes them) at *pos.
char32_t Next(const unsigned char* s, size_t length, size_t* pos) {
    const unsigned char lead = s[*pos];
    size_t more = 0;
    char32_t c = 0;
    if (lead < 0x80) {
        ++*pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        more = 1;
        c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        more = 2;
        c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        more = 3;
        c = lead & 0x07;
    } else {
        ++*pos;
        return kReplacement;
    }
    if (*pos + more >= length) {  // the lead announces more bytes than are left
        *pos = length;
        return kReplacement;
    }
    for (size_t i = 1; i <= more; ++i) {
        if ((s[*pos + i] & 0xC0) != 0x80) {
            *pos += i;
            return kReplacement;
        }
        c = (c << 6) | (s[*pos + i] & 0x3F);
    }
    *pos += more + 1;
    static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[more] || c > 0x10FFFF) return kReplacement;
    return c;
}

}  // namespace

std::string Utf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        const char32_t c = char32_t(w);
        Append(&out, (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) ? kReplacement : c);
    }
    return out;
}

std::wstring WideOfUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t pos = 0;
    while (pos < text.size()) {
        char32_t c = Next(s, text.size(), &pos);
        if (c >= 0xD800 && c <= 0xDFFF) c = kReplacement;
        out.push_back(wchar_t(c));
    }
    return out;
}

void ScriptText(const wchar_t* text, size_t length, std::string* out) {
    out->clear();
    out->reserve(length);
    for (size_t i = 0; i < length; ++i) {
        char32_t c = char32_t(text[i]);
        if (c > 0x10FFFF) c = kReplacement;
        if (c >= 0x10000) {
            c -= 0x10000;
            Append(out, 0xD800 + (c >> 10));
            Append(out, 0xDC00 + (c & 0x3FF));
        } else {
            Append(out, c);
        }
    }
}

BSTR WideOfScript(const char* text, size_t length) {
    std::wstring out;
    out.reserve(length);
    const auto* s = reinterpret_cast<const unsigned char*>(text ? text : "");
    size_t pos = 0;
    while (pos < length) {
        char32_t c = Next(s, length, &pos);
        if (c >= 0xD800 && c <= 0xDBFF && pos < length) {
            size_t after = pos;
            const char32_t low = Next(s, length, &after);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                pos = after;
            }
        }
        out.push_back(wchar_t(c));
    }
    return SysAllocStringLen(out.data(), UINT(out.size()));
}

std::wstring Fold(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) {
        if (c >= L'A' && c <= L'Z') c = wchar_t(c - L'A' + L'a');
    }
    return out;
}

double DateToMilliseconds(DATE date) {
    const double days = std::trunc(date);
    const double fraction = std::fabs(date - days);
    return std::round((days + fraction - kDaysTo1970) * kMsPerDay);
}

DATE MillisecondsToDate(double milliseconds) {
    const double value = milliseconds / kMsPerDay + kDaysTo1970;
    if (value >= 0) return value;
    // Before 1899-12-30 the whole days count back while the time of day still counts forward.
    const double days = std::floor(value);
    return days - (value - days);
}

}  // namespace veskserve
