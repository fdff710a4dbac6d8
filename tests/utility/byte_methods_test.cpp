// The byte-level methods behind the utility members, where their return codes and exact
// buffers are visible.
#include <cctype>

#include "support/test_support.h"
#include "utility/utility_impl.h"

namespace vesk_test {
namespace {

using Utility = GIUtilityImpl<IUtility>;

TEST(URLDecodeBytes, ReturnCodesNameTheFault) {
    struct Row {
        std::wstring text;
        int code;
        std::string bytes;  // when the code is 0
    };
    const Row rows[] = {
        {L"", 0, ""},
        {L"abc", 0, "abc"},
        {L"%41%4a%4A", 0, "AJJ"},
        {L"%-1", 0, "\xFF"},  // the C library reads a sign
        {L"a b", -1, ""},
        {L"a+b", -1, ""},
        {L"\u00e9", -1, ""},  // 0xE9 is not unreserved in the C locale
        {L"%", -2, ""},
        {L"ab%4", -2, ""},
        {L"%zz", -3, ""},
        {L"%g0", -3, ""},
        {std::wstring(L"%\0" L"1", 3), -3, ""},  // a NUL ends the pair's text
    };
    for (const Row& row : rows) {
        std::string bytes = "stale";
        EXPECT_EQ(row.code, Utility::URLDecode(row.text.data(), row.text.size(), bytes)) << Utf8(row.text);
        if (row.code == 0) {
            EXPECT_EQ(row.bytes, bytes) << Utf8(row.text);
        }
    }
}

TEST(URLDecodeBytes, ReadsCharactersByTheirLowEightBits) {
    const std::wstring text = {wchar_t(0x141), wchar_t(0x125), L'4', L'1'};  // low bytes "A%41"
    std::string bytes;
    EXPECT_EQ(0, Utility::URLDecode(text.data(), text.size(), bytes));
    EXPECT_EQ("AA", bytes);
}

TEST(URLDecodeBytes, StopsAtTheGivenLength) {
    const wchar_t text[] = L"ab%41";
    std::string bytes;
    EXPECT_EQ(-2, Utility::URLDecode(text, 3, bytes)) << "the escape lies past the length";
    EXPECT_EQ(0, Utility::URLDecode(text, 2, bytes));
    EXPECT_EQ("ab", bytes);
}

TEST(URLUnreserved, ExactlyLettersDigitsAndFourMarks) {
    for (int b = 0; b < 256; ++b) {
        const bool expected = (b < 128 && std::isalnum(b)) || b == '-' || b == '_' || b == '.' || b == '~';
        EXPECT_EQ(expected, Utility::URL_is_unreserved(static_cast<BYTE>(b))) << b;
    }
}

TEST(URLEncodeBytes, EscapesWithUpperCaseDigits) {
    const BYTE bytes[] = {'a', 0x00, 0x7F, 0xAB, ' ', '~'};
    CComBSTR text;
    ASSERT_TRUE(Utility::URLEncode(bytes, sizeof bytes, text));
    EXPECT_BSTR_EQ(L"a%00%7F%AB%20~", text.m_str);
    CComBSTR empty;
    ASSERT_TRUE(Utility::URLEncode(bytes, 0, empty));
    EXPECT_NE(nullptr, empty.m_str);
    EXPECT_EQ(0u, empty.Length());
}

TEST(Base64Bytes, EncodeIntoAnExactlySizedString) {
    const BYTE bytes[] = {'a', 'b', 'c', 'd'};
    CComBSTR text;
    ASSERT_TRUE(Utility::Base64Encode(bytes, sizeof bytes, text));
    EXPECT_BSTR_EQ(L"YWJjZA==", text.m_str);
    EXPECT_FALSE(Utility::Base64Encode(nullptr, 0, text)) << "no bytes to point at";
}

TEST(Base64Bytes, DecodeKeepsZeroBytesAndReportsFailure) {
    std::string bytes;
    ASSERT_TRUE(Utility::Base64Decode(L"AGEAYg==", 8, bytes));
    EXPECT_EQ(std::string("\0a\0b", 4), bytes);
    EXPECT_FALSE(Utility::Base64Decode(L"YWJ", 3, bytes));
    EXPECT_FALSE(Utility::Base64Decode(nullptr, 0, bytes));
    // An explicit length shorter than the text decodes only that much.
    ASSERT_TRUE(Utility::Base64Decode(L"YWJjZGVm", 4, bytes));
    EXPECT_EQ("abc", bytes);
}

TEST(DigestBytes, HashTheGivenRange) {
    const BYTE abc[] = {'a', 'b', 'c', 'd'};
    CComBSTR md5, sha1;
    const uint32_t three = 3;
    ASSERT_HR(S_OK, Utility::MD5(abc, three, md5.Receive()));
    ASSERT_HR(S_OK, Utility::SHA1(abc, three, sha1.Receive()));
    EXPECT_BSTR_EQ(L"900150983cd24fb0d6963f7d28e17f72", md5.m_str);
    EXPECT_BSTR_EQ(L"a9993e364706816aba3e25717850c26c9cd0d89d", sha1.m_str);
    CComBSTR empty;
    const uint32_t none = 0;
    ASSERT_HR(S_OK, Utility::MD5(nullptr, none, empty.Receive()));
    EXPECT_BSTR_EQ(L"d41d8cd98f00b204e9800998ecf8427e", empty.m_str);
}

TEST(DecodedResult, CharsetChoosesTheForm) {
    const std::string bytes("a\0b", 3);
    CComVariant text, array, raw;
    ASSERT_HR(S_OK, CUtilityOps::MakeDecodedResult(bytes, 0, &text));
    EXPECT_BSTR_EQ(L"a", text.bstrVal);
    ASSERT_HR(S_OK, CUtilityOps::MakeDecodedResult(bytes, -2, &array));
    EXPECT_EQ(VT_ARRAY | VT_UI1, array.vt);
    EXPECT_EQ(3u, array.parray->rgsabound[0].cElements);
    ASSERT_HR(S_OK, CUtilityOps::MakeDecodedResult(bytes, -7, &raw));
    EXPECT_EQ(3u, SysStringByteLen(raw.bstrVal));
    CComVariant emptyArray;
    ASSERT_HR(S_OK, CUtilityOps::MakeDecodedResult(std::string(), -2, &emptyArray));
    EXPECT_EQ(0u, emptyArray.parray->rgsabound[0].cElements);
}

TEST(InputBytes, NullPointersAreRefusedByTheDirectCalls) {
    CComBSTR out;
    EXPECT_HR(E_POINTER, CUtilityOps::HTMLEncode(nullptr, nullptr));
    EXPECT_HR(E_INVALIDARG, CUtilityOps::MD5(static_cast<VARIANT*>(nullptr), 0, out.Receive()));
    EXPECT_HR(E_POINTER, CUtilityOps::MakeKey(4, nullptr, nullptr));
}

}  // namespace
}  // namespace vesk_test
