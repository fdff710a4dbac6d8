#include <cstring>

#include "support/test_support.h"

namespace {

uint32_t prefix_of(BSTR b) {
    uint32_t n;
    std::memcpy(&n, reinterpret_cast<const char*>(b) - 4, 4);
    return n;
}

TEST(Bstr, LayoutIsByteCountThenCharactersThenNul) {
    CComBSTR s(L"h\u00e9llo");
    ASSERT_NE(nullptr, s.m_str);
    EXPECT_EQ(20u, prefix_of(s));
    EXPECT_EQ(5u, SysStringLen(s));
    EXPECT_EQ(20u, SysStringByteLen(s));
    EXPECT_EQ(L'\0', s.m_str[5]);
}

TEST(Bstr, NullAndEmpty) {
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr));
    EXPECT_EQ(0u, SysStringByteLen(nullptr));
    SysFreeString(nullptr);
    CComBSTR empty(L"");
    ASSERT_NE(nullptr, empty.m_str);
    EXPECT_EQ(0u, prefix_of(empty));
    EXPECT_EQ(L'\0', empty.m_str[0]);
}

TEST(Bstr, LengthAllocationKeepsEmbeddedNulsAndZeroesUninitialisedStorage) {
    CComBSTR s(L"a\0b", 3);
    EXPECT_BSTR_EQ(std::wstring_view(L"a\0b", 3), s);
    CComBSTR blank;
    blank.Attach(SysAllocStringLen(nullptr, 4));
    ASSERT_NE(nullptr, blank.m_str);
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(L'\0', blank.m_str[i]);
}

// The byte count is kept exactly; the character count rounds down; a NUL follows the bytes.
TEST(Bstr, ByteLengthAllocation) {
    struct Row {
        UINT bytes;
        UINT chars;
    };
    for (const Row r : {Row{0, 0}, Row{1, 0}, Row{3, 0}, Row{4, 1}, Row{5, 1}, Row{7, 1}, Row{8, 2}}) {
        CComBSTR s;
        s.Attach(SysAllocStringByteLen("\x01\x02\x03\x04\x05\x06\x07\x08", r.bytes));
        ASSERT_NE(nullptr, s.m_str) << r.bytes;
        EXPECT_EQ(r.bytes, SysStringByteLen(s)) << r.bytes;
        EXPECT_EQ(r.chars, SysStringLen(s)) << r.bytes;
        EXPECT_EQ(0, std::memcmp(s.m_str, "\x01\x02\x03\x04\x05\x06\x07\x08", r.bytes));
        const char* end = reinterpret_cast<const char*>(s.m_str) + r.bytes;
        for (int i = 0; i < 4; ++i) EXPECT_EQ('\0', end[i]) << r.bytes;
        // Copies keep the odd byte count too.
        CComBSTR copy;
        copy.Attach(s.Copy());
        EXPECT_EQ(r.bytes, SysStringByteLen(copy));
    }
    CComBSTR zeroed;
    zeroed.Attach(SysAllocStringByteLen(nullptr, 6));
    EXPECT_EQ(0, std::memcmp(zeroed.m_str, "\0\0\0\0\0\0", 6));
}

TEST(Bstr, ReallocationMayReadFromTheOldString) {
    CComBSTR s(L"hello world");
    ASSERT_TRUE(SysReAllocString(&s.m_str, s.m_str + 6));
    EXPECT_BSTR_EQ(L"world", s);
    ASSERT_TRUE(SysReAllocStringLen(&s.m_str, s.m_str + 1, 3));
    EXPECT_BSTR_EQ(L"orl", s);
    ASSERT_TRUE(SysReAllocStringLen(&s.m_str, nullptr, 2));
    EXPECT_BSTR_EQ(std::wstring_view(L"\0\0", 2), s);
    ASSERT_TRUE(SysReAllocString(&s.m_str, nullptr));
    EXPECT_EQ(nullptr, s.m_str);
    EXPECT_FALSE(SysReAllocString(nullptr, L"x"));
}

TEST(Bstr, SizesPastTheCountRangeAreRefused) {
    EXPECT_EQ(nullptr, SysAllocStringLen(nullptr, 0x40000000u));
    EXPECT_EQ(nullptr, SysAllocStringByteLen(nullptr, 0xFFFFFFFFu));
}

}  // namespace
