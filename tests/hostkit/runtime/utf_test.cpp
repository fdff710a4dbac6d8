#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// ---- UTF-32 -> UTF-8 ----------------------------------------------------------------

struct ToUtf8Row {
    std::wstring text;
    std::string utf8;
};

const ToUtf8Row kToUtf8[] = {
    {L"", ""},
    {L"abc", "abc"},
    {L"\u00e9", "\xC3\xA9"},
    {L"\u20ac", "\xE2\x82\xAC"},
    {std::wstring(1, wchar_t(0x1F600)), "\xF0\x9F\x98\x80"},
    {std::wstring(1, wchar_t(0x10FFFF)), "\xF4\x8F\xBF\xBF"},
    // Ill-formed code units each become U+FFFD.
    {std::wstring(1, wchar_t(0xD800)), "\xEF\xBF\xBD"},
    {std::wstring(1, wchar_t(0xDFFF)), "\xEF\xBF\xBD"},
    {L"a" + std::wstring(1, wchar_t(0x110000)) + L"b", "a\xEF\xBF\xBD" "b"},
    {std::wstring(1, wchar_t(-1)), "\xEF\xBF\xBD"},
};

TEST(Utf32ToUtf8, ConvertsAndCountsIncludingTheNul) {
    for (const auto& row : kToUtf8) {
        EXPECT_EQ(row.utf8.size() + 1, utf32_utf8(nullptr, 0, row.text.c_str()));
        std::vector<char> buf(row.utf8.size() + 1, 'x');
        EXPECT_EQ(buf.size(), utf32_utf8(buf.data(), buf.size(), row.text.c_str()));
        EXPECT_EQ(row.utf8, std::string(buf.data()));
    }
    EXPECT_EQ(1u, utf32_utf8(nullptr, 0, nullptr));
}

// Every smaller buffer gets whole characters only, a NUL, and nothing past its end.
TEST(Utf32ToUtf8, TruncatesAtCharacterBoundaries) {
    const std::wstring text = L"a\u00e9\u20ac" + std::wstring(1, wchar_t(0x1F600));  // 1+2+3+4 bytes
    const size_t boundaries[] = {0, 1, 3, 6, 10};
    for (size_t size = 1; size <= 11; ++size) {
        std::vector<char> buf(size + 4, 'x');
        EXPECT_EQ(11u, utf32_utf8(buf.data(), size, text.c_str()));
        size_t expected = 0;
        for (size_t b : boundaries) {
            if (b < size) expected = b;
        }
        EXPECT_EQ(expected, std::string(buf.data()).size()) << size;
        for (size_t i = size; i < buf.size(); ++i) EXPECT_EQ('x', buf[i]) << size;
    }
    char untouched = 'x';
    EXPECT_EQ(11u, utf32_utf8(&untouched, 0, text.c_str()));
    EXPECT_EQ('x', untouched);
}

// ---- UTF-8 -> UTF-32 ----------------------------------------------------------------

struct ToUtf32Row {
    const char* utf8;
    std::wstring text;
};

const wchar_t R = 0xFFFD;
const ToUtf32Row kToUtf32[] = {
    {"", L""},
    {"abc", L"abc"},
    {"\xC3\xA9\xE2\x82\xAC", L"\u00e9\u20ac"},
    {"\xF0\x9F\x98\x80", std::wstring(1, wchar_t(0x1F600))},
    {"\xF4\x8F\xBF\xBF", std::wstring(1, wchar_t(0x10FFFF))},
    // Overlong forms.
    {"\xC0\xAF", {R, R}},
    {"\xC1\xBF", {R, R}},
    {"\xE0\x80\xAF", {R, R, R}},
    {"\xF0\x80\x80\xAF", {R, R, R, R}},
    // Surrogates encoded in UTF-8.
    {"\xED\xA0\x80", {R, R, R}},
    {"\xED\xBF\xBF", {R, R, R}},
    // Past U+10FFFF, and bytes that never start a sequence.
    {"\xF4\x90\x80\x80", {R, R, R, R}},
    {"\xF5\x80", {R, R}},
    {"\xFF" "a", {R, L'a'}},
    {"\xFE\xF8\xF7", {R, R, R}},
    // Truncated sequences: the maximal prefix becomes one U+FFFD.
    {"\xE2\x82" "a", {R, L'a'}},
    {"\xF0\x9F\x98", {R}},
    {"\xC3", {R}},
    {"\x80" "a\xBF", {R, L'a', R}},
};

TEST(Utf8ToUtf32, ConvertsAndCountsExcludingTheNul) {
    for (const auto& row : kToUtf32) {
        EXPECT_EQ(row.text.size(), utf8_utf32(nullptr, 0, row.utf8)) << row.utf8;
        std::vector<wchar_t> buf(row.text.size() + 1, L'x');
        EXPECT_EQ(row.text.size(), utf8_utf32(buf.data(), buf.size(), row.utf8));
        EXPECT_EQ(row.text, std::wstring(buf.data())) << row.utf8;
    }
    EXPECT_EQ(0u, utf8_utf32(nullptr, 0, nullptr));
}

TEST(Utf8ToUtf32, TruncatesWithANulAndNothingPastTheEnd) {
    const char* text = "a\xC3\xA9" "b\xF0\x9F\x98\x80";
    for (size_t size = 1; size <= 5; ++size) {
        std::vector<wchar_t> buf(size + 2, L'x');
        EXPECT_EQ(4u, utf8_utf32(buf.data(), size, text));
        EXPECT_EQ(std::wstring(L"a\u00e9b" + std::wstring(1, wchar_t(0x1F600))).substr(0, size - 1),
                  std::wstring(buf.data()));
        EXPECT_EQ(L'x', buf[size]);
        EXPECT_EQ(L'x', buf[size + 1]);
    }
}

}  // namespace
