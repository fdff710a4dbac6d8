#include "number_text.h"

#include <charconv>
#include <cmath>
#include <cwctype>
#include <cwchar>
#include <utility>

namespace veskhost {

namespace {

bool is_digit(OLECHAR c) { return c >= L'0' && c <= L'9'; }

bool is_space(OLECHAR c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f'; }

void trim(const OLECHAR*& p, const OLECHAR*& end) {
    while (p < end && is_space(*p)) ++p;
    while (end > p && is_space(end[-1])) --end;
}

std::wstring widen(const char* s, size_t n) { return std::wstring(s, s + n); }

// The days of a proleptic Gregorian date counted from 1970-01-01.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = int64_t(yoe) + era * 400 + (*m <= 2);
}

}  // namespace

double RoundHalfEven(double value) {
    const double floor = std::floor(value);
    const double diff = value - floor;
    if (diff > 0.5) return floor + 1;
    if (diff < 0.5) return floor;
    return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

ParseResult ParseNumber(const OLECHAR* text, size_t len, ParsedNumber* out) {
    const OLECHAR* p = text;
    const OLECHAR* end = text + len;
    trim(p, end);
    // The accepted characters are all ASCII; copy them narrow for from_chars.
    std::string ascii;
    bool negative = false;
    if (p < end && (*p == L'+' || *p == L'-')) negative = *p++ == L'-';
    bool digits = false, integral = true, negativeExponent = false;
    while (p < end && is_digit(*p)) ascii.push_back(char(*p++)), digits = true;
    if (p < end && *p == L'.') {
        ascii.push_back('.');
        ++p;
        integral = false;
        while (p < end && is_digit(*p)) ascii.push_back(char(*p++)), digits = true;
    }
    if (!digits) return ParseResult::NotANumber;
    if (p < end && (*p == L'e' || *p == L'E')) {
        integral = false;
        ascii.push_back('e');
        ++p;
        if (p < end && (*p == L'+' || *p == L'-')) {
            negativeExponent = *p == L'-';
            ascii.push_back(char(*p++));
        }
        if (p == end || !is_digit(*p)) return ParseResult::NotANumber;
        while (p < end && is_digit(*p)) ascii.push_back(char(*p++));
    }
    if (p != end) return ParseResult::NotANumber;

    if (integral) {
        uint64_t magnitude = 0;
        const auto r = std::from_chars(ascii.data(), ascii.data() + ascii.size(), magnitude);
        if (r.ec == std::errc()) {
            if (!negative) {
                out->kind = magnitude <= uint64_t(INT64_MAX) ? ParsedNumber::Signed : ParsedNumber::Unsigned;
                out->i = int64_t(magnitude);
                out->u = magnitude;
                return ParseResult::Ok;
            }
            if (magnitude <= uint64_t(INT64_MAX) + 1) {
                out->kind = ParsedNumber::Signed;
                out->i = magnitude == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(magnitude);
                return ParseResult::Ok;
            }
        }
    }
    double value = 0;
    const auto r = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (r.ec == std::errc::result_out_of_range) {
        if (!negativeExponent) return ParseResult::Overflow;
        value = 0;  // too small to represent: it reads as zero
    } else if (r.ec != std::errc()) {
        return ParseResult::NotANumber;
    }
    out->kind = ParsedNumber::Real;
    out->d = negative ? -value : value;
    out->wholeBeyond64 = integral;
    return ParseResult::Ok;
}

bool ParseBoolWord(const OLECHAR* text, size_t len, bool* value) {
    const OLECHAR* p = text;
    const OLECHAR* end = text + len;
    trim(p, end);
    auto equals = [&](const wchar_t* word) {
        const OLECHAR* q = p;
        for (; *word && q < end; ++word, ++q) {
            if (std::towlower(wint_t(*q)) != wint_t(*word)) return false;
        }
        return *word == 0 && q == end;
    };
    if (equals(L"true")) {
        *value = true;
        return true;
    }
    if (equals(L"false")) {
        *value = false;
        return true;
    }
    return false;
}

// The general format with the given precision, trailing zeros dropped, and an exponent
// written upper-case with a sign and at least two digits ("1E+21", "1E-05").
std::wstring FormatDouble(double value, int significantDigits) {
    if (std::isnan(value)) return L"NaN";
    if (std::isinf(value)) return value < 0 ? L"-Infinity" : L"Infinity";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, significantDigits);
    std::wstring text = widen(buf, size_t(r.ptr - buf));
    for (auto& c : text) {
        if (c == L'e') c = L'E';
    }
    return text;
}

std::wstring FormatCurrency(int64_t scaled) {
    const bool negative = scaled < 0;
    const uint64_t magnitude = negative ? 0 - uint64_t(scaled) : uint64_t(scaled);
    std::wstring text = std::to_wstring(magnitude / 10000);
    unsigned fraction = unsigned(magnitude % 10000);
    if (fraction != 0) {
        wchar_t digits[6] = {L'.', wchar_t(L'0' + fraction / 1000), wchar_t(L'0' + fraction / 100 % 10),
                             wchar_t(L'0' + fraction / 10 % 10), wchar_t(L'0' + fraction % 10), 0};
        int last = 4;
        while (digits[last] == L'0') digits[last--] = 0;
        text += digits;
    }
    return negative ? L"-" + text : text;
}

// Day 0 is 1899-12-30. The whole part, truncated toward zero, is the day and the fraction's
// absolute value the time on that day, so -1.25 is 12/29/1899 6:00 AM. The value is put on one
// time line (seconds from day 0 midnight) before it is rounded to the second, so a time that
// rounds up to midnight moves to the next day whatever the sign. The date is left out on day 0,
// the time at midnight: day 0 at midnight is the time alone.
bool FormatDate(DATE value, std::wstring* out) {
    constexpr double kFirstDay = -657434.0, kLastDay = 2958465.0;  // 1/1/100 and 12/31/9999
    if (!(value > kFirstDay - 1 && value < kLastDay + 1)) return false;
    const double whole = std::trunc(value);
    const int64_t line = int64_t(whole) * 86400 + std::llround(std::fabs(value - whole) * 86400.0);
    const int64_t days = line >= 0 ? line / 86400 : -((-line + 86399) / 86400);
    const int64_t seconds = line - days * 86400;
    if (days < kFirstDay || days > kLastDay) return false;
    std::wstring text;
    if (days != 0) {
        int64_t y;
        unsigned m, d;
        civil_from_days(days + days_from_civil(1899, 12, 30), &y, &m, &d);
        text = std::to_wstring(m) + L"/" + std::to_wstring(d) + L"/" + std::to_wstring(y);
    }
    if (seconds != 0 || days == 0) {
        const int64_t h = seconds / 3600, mi = seconds / 60 % 60, s = seconds % 60;
        const int64_t h12 = h % 12 == 0 ? 12 : h % 12;
        wchar_t buf[32];
        swprintf(buf, 32, L"%lld:%02lld:%02lld %ls", static_cast<long long>(h12), static_cast<long long>(mi),
                 static_cast<long long>(s), h < 12 ? L"AM" : L"PM");
        if (!text.empty()) text += L' ';
        text += buf;
    }
    *out = std::move(text);
    return true;
}

}  // namespace veskhost
