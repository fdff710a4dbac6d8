// Digests, random keys, identifiers and sleeping, late-bound.
#include <cwctype>
#include <functional>
#include <set>

#include "contract/utility/utility_fixture.h"

namespace vesk_test {
namespace {

using Digests = UtilityContract;

struct DigestRow {
    const char* what;
    std::function<CComVariant()> input;
    LONG charset;
    const wchar_t* md5;
    const wchar_t* sha1;
};

TEST_F(Digests, PublishedVectorsAndInputForms) {
    const std::vector<DigestRow> rows = {
        {"empty", [] { return VarStr(L""); }, 0, L"d41d8cd98f00b204e9800998ecf8427e",
         L"da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", [] { return VarStr(L"abc"); }, 0, L"900150983cd24fb0d6963f7d28e17f72",
         L"a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"message digest", [] { return VarStr(L"message digest"); }, 0, L"f96b697d7cb7938d525a2f31aaf161d0",
         L"c12252ceda8be8994d5fa0290a47231c1d16aae3"},
        {"two blocks",
         [] { return VarStr(L"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"); }, 0,
         L"8215ef0796a20bcaaae116d3876c664a", L"84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"byte array of abc", [] { return VarBytes({0x61, 0x62, 0x63}); }, 0, L"900150983cd24fb0d6963f7d28e17f72",
         L"a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"null string", [] { return VarNullString(); }, 0, L"d41d8cd98f00b204e9800998ecf8427e",
         L"da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"null string, raw", [] { return VarNullString(); }, -1, L"d41d8cd98f00b204e9800998ecf8427e",
         L"da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        // The raw form of "abc" is its three 32-bit characters, as the same 12 bytes show.
        {"raw characters", [] { return VarStr(L"abc"); }, -1, nullptr, nullptr},
    };
    for (const DigestRow& row : rows) {
        CallResult md5 = Call(L"MD5", row.input(), VarI4(row.charset));
        CallResult sha1 = Call(L"SHA1", row.input(), VarI4(row.charset));
        ASSERT_HR(S_OK, md5.hr) << row.what;
        ASSERT_HR(S_OK, sha1.hr) << row.what;
        EXPECT_EQ(32u, SysStringLen(md5.value.bstrVal)) << row.what;
        EXPECT_EQ(40u, SysStringLen(sha1.value.bstrVal)) << row.what;
        if (row.md5) {
            EXPECT_BSTR_EQ(row.md5, md5.value.bstrVal) << row.what;
        }
        if (row.sha1) {
            EXPECT_BSTR_EQ(row.sha1, sha1.value.bstrVal) << row.what;
        }
    }
}

TEST_F(Digests, RawCharsetHashesTheStringsOwnMemory) {
    CallResult raw = Call(L"MD5", VarStr(L"abc"), VarI4(-1));
    CallResult bytes = Call(L"MD5", VarBytes({'a', 0, 0, 0, 'b', 0, 0, 0, 'c', 0, 0, 0}), VarI4(0));
    CallResult utf8 = Call(L"MD5", VarStr(L"abc"), VarI4(0));
    ASSERT_HR(S_OK, raw.hr);
    EXPECT_BSTR_EQ(View(bytes.value.bstrVal), raw.value.bstrVal);
    EXPECT_NE(View(utf8.value.bstrVal), View(raw.value.bstrVal));
}

TEST_F(Digests, RejectOtherInputTypes) {
    for (const wchar_t* name : {L"MD5", L"SHA1"}) {
        EXPECT_HR(E_INVALIDARG, Call(name, VarI4(1), VarI4(0)).hr);
        EXPECT_HR(E_INVALIDARG, Call(name, VarNull(), VarI4(0)).hr);
        EXPECT_HR(E_INVALIDARG, Call(name, VarArray({}), VarI4(0)).hr);
        EXPECT_HR(DISP_E_BADPARAMCOUNT, Call(name, VarStr(L"abc")).hr) << "the charset is required";
    }
}

// ---- MakeKey ---------------------------------------------------------------------------

TEST_F(Digests, MakeKeyDrawsEveryCharacterFromTheAlphabet) {
    CallResult r = Call(L"MakeKey", VarI4(8), VarStr(L"AB"));
    ASSERT_HR(S_OK, r.hr);
    ASSERT_EQ(8u, SysStringLen(r.value.bstrVal));
    for (wchar_t ch : View(r.value.bstrVal)) EXPECT_TRUE(ch == L'A' || ch == L'B');

    CallResult single = Call(L"MakeKey", VarI4(5), VarStr(L"z"));
    ASSERT_HR(S_OK, single.hr);
    EXPECT_BSTR_EQ(L"zzzzz", single.value.bstrVal);
}

TEST_F(Digests, MakeKeyEdgeCases) {
    EXPECT_HR(E_INVALIDARG, Call(L"MakeKey", VarI4(8), VarStr(L"")).hr);
    EXPECT_HR(E_INVALIDARG, Call(L"MakeKey", VarI4(-1), VarStr(L"AB")).hr);
    CallResult empty = Call(L"MakeKey", VarI4(0), VarStr(L"AB"));
    ASSERT_HR(S_OK, empty.hr);
    EXPECT_EQ(VT_BSTR, empty.value.vt);
    EXPECT_NE(nullptr, empty.value.bstrVal);
    EXPECT_EQ(0u, SysStringLen(empty.value.bstrVal));
}

TEST_F(Digests, MakeKeyGivesDifferentKeysForCallsInTheSameMillisecond) {
    // Keys are one-time command keys too: two calls in a row must not repeat a key.
    const wchar_t* alphabet = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::set<std::wstring> keys;
    for (int i = 0; i < 20; ++i) {
        CallResult r = Call(L"MakeKey", VarI4(24), VarStr(alphabet));
        ASSERT_HR(S_OK, r.hr);
        keys.insert(std::wstring(View(r.value.bstrVal)));
    }
    EXPECT_EQ(20u, keys.size());
}

// ---- MakeGUID --------------------------------------------------------------------------

TEST_F(Digests, MakeGUIDInBracedForm) {
    CallResult r = Call(L"MakeGUID", VarBool(false));
    ASSERT_HR(S_OK, r.hr);
    const std::wstring_view text = View(r.value.bstrVal);
    ASSERT_EQ(38u, text.size());
    EXPECT_EQ(L'{', text.front());
    EXPECT_EQ(L'}', text.back());
    for (size_t i = 1; i < 37; ++i) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            EXPECT_EQ(L'-', text[i]) << i;
        } else {
            EXPECT_TRUE(std::iswxdigit(text[i])) << i;
        }
    }
}

TEST_F(Digests, MakeGUIDCompactFormHasOnlyTheDigits) {
    CallResult braced = Call(L"MakeGUID", VarI4(0));
    CallResult compact = Call(L"MakeGUID", VarBool(true));
    ASSERT_HR(S_OK, braced.hr);
    ASSERT_HR(S_OK, compact.hr);
    const std::wstring_view digits = View(compact.value.bstrVal);
    ASSERT_EQ(32u, digits.size());
    for (wchar_t ch : digits) EXPECT_TRUE(std::iswxdigit(ch));
    EXPECT_NE(View(braced.value.bstrVal).substr(1, 8), digits.substr(0, 8)) << "each call makes a new identifier";
}

// ---- Sleep -----------------------------------------------------------------------------

TEST_F(Digests, SleepReturnsNothing) {
    CallResult r = Call(L"Sleep", VarI4(0));
    EXPECT_HR(S_OK, r.hr);
    EXPECT_EQ(VT_EMPTY, r.value.vt);
    EXPECT_HR(S_OK, Call(L"Sleep", VarI4(2)).hr);
    std::vector<CComVariant> args;
    args.push_back(VarI4(0));
    EXPECT_HR(DISP_E_MEMBERNOTFOUND, LateBound(m_util.Get()).InvokeNamed(L"Sleep", DISPATCH_PROPERTYGET, std::move(args)).hr);
}

}  // namespace
}  // namespace vesk_test
