// Base64, URL and HTML encoding, numeric references and trimming, late-bound.
#include <cstring>
#include <functional>

#include "contract/utility/utility_fixture.h"

namespace vesk_test {
namespace {

using Encoders = UtilityContract;

struct EncodeRow {
    const char* what;
    std::function<CComVariant()> input;
    LONG charset;
    HRESULT hr;
    const wchar_t* expected;  // compared when hr is S_OK
};

void CheckEncodeRows(IDispatch* util, const wchar_t* member, const std::vector<EncodeRow>& rows) {
    for (const EncodeRow& row : rows) {
        CallResult r = LateBound(util).Call(member, row.input(), VarI4(row.charset));
        EXPECT_HR(row.hr, r.hr) << Utf8(member) << ": " << row.what;
        if (row.hr == S_OK) {
            EXPECT_EQ(VT_BSTR, r.value.vt) << row.what;
            EXPECT_BSTR_EQ(row.expected, r.value.bstrVal) << row.what;
        } else {
            EXPECT_EQ(VT_EMPTY, r.value.vt) << row.what;
        }
    }
}

// ---- URLEncode -------------------------------------------------------------------------

TEST_F(Encoders, URLEncode) {
    const std::vector<EncodeRow> rows = {
        {"space and ampersand", [] { return VarStr(L"a b&c"); }, 0, S_OK, L"a%20b%26c"},
        {"UTF-8 of e-acute", [] { return VarStr(L"\u00e9"); }, 0, S_OK, L"%C3%A9"},
        {"unreserved marks", [] { return VarStr(L"~-._"); }, 0, S_OK, L"~-._"},
        {"letters and digits", [] { return VarStr(L"AZaz09"); }, 0, S_OK, L"AZaz09"},
        {"reserved characters", [] { return VarStr(L"/?=&+:#"); }, 0, S_OK, L"%2F%3F%3D%26%2B%3A%23"},
        {"any charset above zero is UTF-8", [] { return VarStr(L"\u00e9"); }, 65001, S_OK, L"%C3%A9"},
        {"raw character memory", [] { return VarStr(L"A"); }, -1, S_OK, L"A%00%00%00"},
        {"byte array", [] { return VarBytes({0x00, 0xFF}); }, 0, S_OK, L"%00%FF"},
        {"byte array ignores the charset", [] { return VarBytes({'a', ' '}); }, -1, S_OK, L"a%20"},
        {"empty byte array", [] { return VarBytes({}); }, 0, S_OK, L""},
        {"null string", [] { return VarNullString(); }, 0, S_OK, L""},
        {"null string, raw", [] { return VarNullString(); }, -1, S_OK, L""},
        {"text ends at a NUL", [] { return VarByteString(std::string("a\0\0\0\0\0\0\0b\0\0\0", 12)); }, 0, S_OK, L"a"},
        {"integer", [] { return VarI4(5); }, 0, E_INVALIDARG, nullptr},
        {"Boolean", [] { return VarBool(true); }, 0, E_INVALIDARG, nullptr},
        {"script array", [] { return VarArray({}); }, 0, E_INVALIDARG, nullptr},
    };
    CheckEncodeRows(m_util.Get(), L"URLEncode", rows);
}

TEST_F(Encoders, URLEncodeRejectsByReferenceInput) {
    CComVariant text = VarStr(L"abc");
    CComVariant ref;
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &text.bstrVal;
    EXPECT_HR(E_INVALIDARG, Call(L"URLEncode", std::move(ref), VarI4(0)).hr);
}

// ---- URLDecode -------------------------------------------------------------------------

struct DecodeRow {
    const wchar_t* text;
    LONG charset;
    HRESULT hr;
    const wchar_t* expected;
};

TEST_F(Encoders, URLDecodeToText) {
    const DecodeRow rows[] = {
        {L"%41%62c", 0, S_OK, L"Abc"},
        {L"%C3%A9", 0, S_OK, L"\u00e9"},
        {L"%c3%a9", 0, S_OK, L"\u00e9"},
        {L"~-._az09", 0, S_OK, L"~-._az09"},
        {L"", 0, S_OK, L""},
        {L"%00abc", 0, S_OK, L""},     // the text ends at the zero byte
        {L"%4z", 0, S_OK, L"\x04"},    // a second character that is not a digit is dropped
        {L"% 9", 0, S_OK, L"\x09"},    // the pair may start with white space
        {L"a+b", 0, E_FAIL, nullptr},  // "+" is not a space here
        {L"a b", 0, E_FAIL, nullptr},
        {L"a/b", 0, E_FAIL, nullptr},
        {L"a=b&c", 0, E_FAIL, nullptr},
        {L"abc%4", 0, E_FAIL, nullptr},  // truncated escape
        {L"abc%", 0, E_FAIL, nullptr},
        {L"%zz", 0, E_FAIL, nullptr},
        {L"%", 0, E_FAIL, nullptr},
    };
    for (const DecodeRow& row : rows) {
        CallResult r = Call(L"URLDecode", VarStr(row.text), VarI4(row.charset));
        EXPECT_HR(row.hr, r.hr) << Utf8(row.text);
        if (row.hr == S_OK) {
            EXPECT_EQ(VT_BSTR, r.value.vt);
            EXPECT_BSTR_EQ(row.expected, r.value.bstrVal) << Utf8(row.text);
        }
    }
}

TEST_F(Encoders, URLDecodeTruncatedEscapeNeverReadsPastTheText) {
    // The "%" sits right at the end of the counted text; the characters after it in memory
    // must not be taken as its digits.
    CComVariant text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringLen(L"ab%41", 3);
    EXPECT_HR(E_FAIL, Call(L"URLDecode", std::move(text), VarI4(0)).hr);
}

TEST_F(Encoders, URLDecodeToBytes) {
    CallResult array = Call(L"URLDecode", VarStr(L"%C3%A9"), VarI4(-2));
    ASSERT_HR(S_OK, array.hr);
    EXPECT_EQ(VT_ARRAY | VT_UI1, array.value.vt);
    EXPECT_EQ((std::vector<BYTE>{0xC3, 0xA9}), ArrayBytes(array.value));
    EXPECT_EQ(0, array.value.parray->rgsabound[0].lLbound);

    CallResult byteString = Call(L"URLDecode", VarStr(L"%00abc"), VarI4(-1));
    ASSERT_HR(S_OK, byteString.hr);
    EXPECT_EQ(VT_BSTR, byteString.value.vt);
    EXPECT_EQ(4u, SysStringByteLen(byteString.value.bstrVal));
    EXPECT_EQ(std::string("\0abc", 4), ByteStringBytes(byteString.value));
}

TEST_F(Encoders, URLRoundTripOfEveryByte) {
    std::vector<BYTE> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<BYTE>(i);
    CallResult encoded = Call(L"URLEncode", VarBytes(all), VarI4(0));
    ASSERT_HR(S_OK, encoded.hr);
    CallResult decoded = Call(L"URLDecode", VarStr(encoded.value.bstrVal), VarI4(-2));
    ASSERT_HR(S_OK, decoded.hr);
    EXPECT_EQ(all, ArrayBytes(decoded.value));
}

// ---- Base64 ----------------------------------------------------------------------------

TEST_F(Encoders, Base64Encode) {
    const std::vector<EncodeRow> rows = {
        {"three bytes", [] { return VarStr(L"abc"); }, 0, S_OK, L"YWJj"},
        {"two bytes", [] { return VarStr(L"ab"); }, 0, S_OK, L"YWI="},
        {"one byte", [] { return VarStr(L"a"); }, 0, S_OK, L"YQ=="},
        {"empty", [] { return VarStr(L""); }, 0, S_OK, L""},
        {"null string", [] { return VarNullString(); }, 0, S_OK, L""},
        {"UTF-8", [] { return VarStr(L"\u00e9"); }, 0, S_OK, L"w6k="},
        {"raw character memory", [] { return VarStr(L"A"); }, -1, S_OK, L"QQAAAA=="},
        {"byte array", [] { return VarBytes({0xFF}); }, 0, S_OK, L"/w=="},
        {"empty byte array", [] { return VarBytes({}); }, 0, S_OK, L""},
        // A null string has no memory to take raw bytes from.
        {"null string, raw", [] { return VarNullString(); }, -1, E_FAIL, nullptr},
        {"integer", [] { return VarI4(7); }, 0, E_INVALIDARG, nullptr},
        {"null", [] { return VarNull(); }, 0, E_INVALIDARG, nullptr},
    };
    CheckEncodeRows(m_util.Get(), L"Base64Encode", rows);
}

TEST_F(Encoders, Base64EncodeWritesOneLineWhateverTheLength) {
    std::vector<BYTE> bytes(100, 0xA5);
    CallResult r = Call(L"Base64Encode", VarBytes(bytes), VarI4(0));
    ASSERT_HR(S_OK, r.hr);
    ASSERT_EQ(136u, SysStringLen(r.value.bstrVal));
    EXPECT_EQ(nullptr, std::wcspbrk(r.value.bstrVal, L"\r\n"));
}

TEST_F(Encoders, Base64DecodeToText) {
    const DecodeRow rows[] = {
        {L"YW Jj\r\n", 0, S_OK, L"abc"},
        {L"YWI=", 0, S_OK, L"ab"},
        {L"YQ==", 0, S_OK, L"a"},
        {L"w6k=", 0, S_OK, L"\u00e9"},
        {L"YWJjAGRl", 0, S_OK, L"abc"},  // the text ends at the zero byte
        {L"YWJ", 0, E_FAIL, nullptr},
        {L"", 0, E_FAIL, nullptr},
        {L" \t\r\n", 0, E_FAIL, nullptr},
        {L"YW=j", 0, E_FAIL, nullptr},
        {L"Y===", 0, E_FAIL, nullptr},
        {L"YWJ*", 0, E_FAIL, nullptr},
    };
    for (const DecodeRow& row : rows) {
        CallResult r = Call(L"Base64Decode", VarStr(row.text), VarI4(row.charset));
        EXPECT_HR(row.hr, r.hr) << Utf8(row.text);
        if (row.hr == S_OK) {
            EXPECT_BSTR_EQ(row.expected, r.value.bstrVal) << Utf8(row.text);
        }
    }
}

TEST_F(Encoders, Base64DecodeToBytesAndBack) {
    CallResult array = Call(L"Base64Decode", VarStr(L"AP8="), VarI4(-2));
    ASSERT_HR(S_OK, array.hr);
    EXPECT_EQ((std::vector<BYTE>{0x00, 0xFF}), ArrayBytes(array.value));

    // A byte string made by the decoder encodes back to the same text.
    for (const wchar_t* text : {L"QQAAAA==", L"AP8=", L"YWJjZA==", L"3q2+7w=="}) {
        CallResult raw = Call(L"Base64Decode", VarStr(text), VarI4(-1));
        ASSERT_HR(S_OK, raw.hr) << Utf8(text);
        CComVariant bytes;
        bytes.Attach(&raw.value);
        CallResult again = Call(L"Base64Encode", std::move(bytes), VarI4(-1));
        ASSERT_HR(S_OK, again.hr);
        EXPECT_BSTR_EQ(text, again.value.bstrVal);
    }
}

// ---- HTMLEncode ------------------------------------------------------------------------

TEST_F(Encoders, HTMLEncode) {
    struct Row {
        std::wstring text;
        std::wstring expected;
    };
    const Row rows[] = {
        {L"<a href=\"x\">&'</a>", L"&lt;a href=&quot;x&quot;&gt;&amp;'&lt;/a&gt;"},
        {L"plain text", L"plain text"},
        {L"", L""},
        {std::wstring(L"a\0<", 3), std::wstring(L"a\0&lt;", 6)},
    };
    for (const Row& row : rows) {
        CComVariant text;
        text.vt = VT_BSTR;
        text.bstrVal = SysAllocStringLen(row.text.data(), static_cast<UINT>(row.text.size()));
        CallResult r = Call(L"HTMLEncode", std::move(text));
        ASSERT_HR(S_OK, r.hr);
        ASSERT_NE(nullptr, r.value.bstrVal) << "an empty result is still a string";
        EXPECT_BSTR_EQ(row.expected, r.value.bstrVal) << row.text.size() << " characters";
    }
}

TEST_F(Encoders, HTMLEncodeGivesTheSameResultOnBothSidesOfTheStackBuffer) {
    const std::wstring unit = L"<b>&\"x\"</b>'";  // 12 characters
    for (size_t length : {99u, 100u, 101u, 5000u}) {
        std::wstring text;
        while (text.size() < length) text += unit;
        text.resize(length);
        std::wstring expected;
        for (wchar_t ch : text) {
            switch (ch) {
            case L'<': expected += L"&lt;"; break;
            case L'>': expected += L"&gt;"; break;
            case L'&': expected += L"&amp;"; break;
            case L'"': expected += L"&quot;"; break;
            default: expected += ch;
            }
        }
        CallResult r = Call(L"HTMLEncode", VarStr(text.c_str()));
        ASSERT_HR(S_OK, r.hr);
        EXPECT_BSTR_EQ(expected, r.value.bstrVal) << length;
    }
}

// ---- SubmitDecode ----------------------------------------------------------------------

TEST_F(Encoders, SubmitDecode) {
    struct Row {
        const wchar_t* text;
        const wchar_t* expected;
    };
    const Row rows[] = {
        {L"A&#66;C&#x44;", L"ABCD"},
        {L"x&#65", L"x&#65"},              // no ";"
        {L"a&#;b", L"a"},                   // reads as 0: the result ends there
        {L"a&#X41;b", L"a"},                // upper-case X is not hexadecimal here
        {L"&#12354;&#x3042;", L"\u3042\u3042"},
        {L"&#65abc;Z", L"AZ"},              // what follows the number is dropped
        {L"&#  66;", L"B"},                 // leading white space is read over
        {L"plain", L"plain"},
        {L"", L""},
        {L"&#", L"&#"},
        {L"&#66;&#", L"B&#"},
        {L"; &#67; ;", L"; C ;"},
    };
    for (const Row& row : rows) {
        CallResult r = Call(L"SubmitDecode", VarStr(row.text));
        ASSERT_HR(S_OK, r.hr) << Utf8(row.text);
        EXPECT_BSTR_EQ(row.expected, r.value.bstrVal) << Utf8(row.text);
    }
}

// ---- Trim ------------------------------------------------------------------------------

TEST_F(Encoders, Trim) {
    struct Row {
        const wchar_t* text;
        const wchar_t* expected;
    };
    const Row rows[] = {
        {L"\t\t\u3000inner text\r\n", L"inner text"},
        {L"  a  b  ", L"a  b"},
        {L"   ", L""},
        {L"", L""},
        {L"x", L"x"},
        {L"\u00a0x\u00a0", L"\u00a0x\u00a0"},  // no-break space is not trimmed
    };
    for (const Row& row : rows) {
        CallResult r = Call(L"Trim", VarStr(row.text));
        ASSERT_HR(S_OK, r.hr) << Utf8(row.text);
        EXPECT_EQ(VT_BSTR, r.value.vt);
        EXPECT_BSTR_EQ(row.expected, r.value.bstrVal) << Utf8(row.text);
    }
}

}  // namespace
}  // namespace vesk_test
