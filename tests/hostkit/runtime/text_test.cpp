// Strings: BSTR layout and allocation, the UTF conversions, GUID text.
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

std::string bytes_at(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

// Layout: a 32-bit byte count, the characters, a NUL.
TEST(Bstr, LayoutAndSizeLimits) {
    CComBSTR s(L"h\u00e9llo"), blank(nullptr, 4);
    ASSERT_TRUE(s.m_str && blank.m_str);
    EXPECT_EQ(std::string("\x14\0\0\0", 4), bytes_at(reinterpret_cast<char*>(s.m_str) - 4, 4));
    EXPECT_EQ(std::wstring(L"h\u00e9llo", 6), std::wstring(s.m_str, 6));
    EXPECT_EQ(std::wstring(5, L'\0'), std::wstring(blank.m_str, 5));  // no uninitialised storage
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr) + SysStringByteLen(nullptr));
    EXPECT_EQ(nullptr, SysAllocStringLen(nullptr, 0x40000000u));  // the byte count would not fit
    EXPECT_EQ(nullptr, SysAllocStringByteLen(nullptr, 0xFFFFFFFFu));
}

// The byte count is kept exactly, also by copies; the character count rounds down; NULs follow.
TEST(Bstr, ByteLengthAllocation) {
    const char bytes[] = "\x01\x02\x03\x04\x05\x06\x07\x08";
    for (UINT n = 0; n <= 8; ++n) {
        CComBSTR s, copy;
        s.Attach(SysAllocStringByteLen(bytes, n));
        copy.Attach(s.Copy());
        ASSERT_TRUE(s.m_str && copy.m_str);
        EXPECT_EQ((std::vector<UINT>{n, n / 4, n}),
                  (std::vector{SysStringByteLen(s), SysStringLen(s), SysStringByteLen(copy)}));
        EXPECT_EQ(std::string(bytes, n) + std::string(4, '\0'), bytes_at(s.m_str, n + 4)) << n;
    }
}

const wchar_t R = 0xFFFD;
const std::string kR = "\xEF\xBF\xBD";

// Surrogates, values past U+10FFFF and negative units each become U+FFFD. The count includes
// the NUL; a short buffer gets whole characters, a NUL, and nothing past its end.
TEST(Utf, Utf32ToUtf8) {
    const std::pair<std::wstring, std::string> rows[] = {
        {L"", ""}, {{L'a', L'\u00e9', L'\u20ac', wchar_t(0x1F600)}, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {{wchar_t(0x10FFFF)}, "\xF4\x8F\xBF\xBF"},
        {{wchar_t(0xD800), L'a', wchar_t(0xDFFF), wchar_t(0x110000), wchar_t(-1)}, kR + "a" + kR + kR + kR}};
    for (const auto& [text, utf8] : rows) {
        EXPECT_EQ(utf8.size() + 1, utf32_utf8(nullptr, 0, text.c_str()));
        for (size_t size = 0; size <= utf8.size() + 1; ++size) {
            std::string buf(size + 2, 'x');
            EXPECT_EQ(utf8.size() + 1, utf32_utf8(buf.data(), size, text.c_str()));
            size_t kept = size ? size - 1 : 0;
            while (kept < utf8.size() && (utf8[kept] & 0xC0) == 0x80) --kept;
            EXPECT_EQ(utf8.substr(0, kept), std::string(buf.c_str()).substr(0, size)) << size;
            EXPECT_EQ("xx", buf.substr(size)) << size;
        }
    }
    EXPECT_EQ(1u, utf32_utf8(nullptr, 0, nullptr));
}

// Overlong forms, encoded surrogates, values past U+10FFFF, bytes that never lead and cut
// sequences give one U+FFFD per maximal ill-formed part. The count excludes the NUL; a short
// buffer gets a NUL and nothing past its end.
TEST(Utf, Utf8ToUtf32) {
    const std::pair<const char*, std::wstring> rows[] = {
        {"", L""}, {"a\xC3\xA9\xE2\x82\xAC", L"a\u00e9\u20ac"},
        {"\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", {wchar_t(0x1F600), wchar_t(0x10FFFF)}},
        {"\xC0\xAF" "\xE0\x80\xAF" "\xF0\x80\x80\xAF", std::wstring(9, R)},
        {"\xED\xA0\x80" "\xED\xBF\xBF", std::wstring(6, R)},
        {"\xF4\x90\x80\x80" "\xF5\x80" "\xFF" "a\xFE", {R, R, R, R, R, R, R, L'a', R}},
        {"\xE2\x82" "a\xF0\x9F\x98", {R, L'a', R}}, {"\xC3", {R}}, {"\x80" "a\xBF", {R, L'a', R}}};
    for (const auto& [utf8, text] : rows) {
        EXPECT_EQ(text.size(), utf8_utf32(nullptr, 0, utf8));
        for (size_t size = 1; size <= text.size() + 1; ++size) {
            std::wstring buf(size + 2, L'x');
            EXPECT_EQ(text.size(), utf8_utf32(buf.data(), size, utf8));
            EXPECT_EQ(text.substr(0, size - 1) + L'\0' + L"xx", buf);
        }
    }
    EXPECT_EQ(0u, utf8_utf32(nullptr, 0, nullptr));
}

// Long ASCII runs go in blocks of sixteen: at every length up to 100 and every alignment, with
// one multi-byte character or one stray byte at each place, and into every buffer size near a
// block's edge, the result is the one built a character at a time here.
TEST(Utf, Utf8ToUtf32AsciiBlocks) {
    const std::pair<std::string, std::wstring> odd[] = {{"\xC3\xA9", L"\u00e9"}, {"\xFF", {R}}, {"\xE2\x82", {R}}};
    for (size_t length = 0; length <= 100; ++length) {
        for (size_t at = 0; at <= length; at += 1 + (at > 40 ? 7 : 0)) {
            for (const auto& [bytes, chars] : odd) {
                std::string utf8;
                std::wstring text;
                for (size_t i = 0; i < length; ++i) {
                    if (i == at) {
                        utf8 += bytes;
                        text += chars;
                    }
                    const char c = char(0x20 + (i * 37) % 95);
                    utf8 += c;
                    text += wchar_t(c);
                }
                for (size_t shift = 0; shift < 3; ++shift) {
                    const std::string moved = std::string(shift, 'x') + utf8;
                    const char* src = moved.c_str() + shift;
                    EXPECT_EQ(text.size(), utf8_utf32(nullptr, 0, src));
                    for (size_t size : {size_t(1), size_t(15), size_t(16), size_t(17), size_t(33), text.size(), text.size() + 1}) {
                        if (size == 0 || size > text.size() + 1) continue;
                        std::wstring buf(size + 2, L'?');
                        EXPECT_EQ(text.size(), utf8_utf32(buf.data(), size, src)) << length << " " << at;
                        EXPECT_EQ(text.substr(0, size - 1) + L'\0' + L"??", buf) << length << " " << at << " " << size;
                    }
                }
            }
        }
    }
}

TEST(Guid, TextFormBufferSizeAndRandomGuids) {
    const GUID mixed = {0x0123ABCD, 0x4567, 0x89EF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    wchar_t buf[40];
    std::wmemset(buf, L'#', 40);
    EXPECT_EQ(0, StringFromGUID2(mixed, buf, 38));  // too small: nothing written
    EXPECT_EQ(L'#', buf[0]);
    EXPECT_EQ(39, StringFromGUID2(mixed, buf, 40));
    EXPECT_EQ(std::wstring(L"{0123ABCD-4567-89EF-0123-456789ABCDEF}") + L'\0' + L'#', std::wstring(buf, 40));
    GUID a, b;
    EXPECT_TRUE(CoCreateGuid(&a) == S_OK && CoCreateGuid(&b) == S_OK && !guid_equal(a, b));
}

}  // namespace
