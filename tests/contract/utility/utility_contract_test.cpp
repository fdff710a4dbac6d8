// Every utility member late-bound, one table per member family, with the published vectors.
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <functional>
#include <set>
#include <string>

#include "contract/common/late_bound.h"
#include "contract/common/loaded_module.h"
#include "support/test_support.h"

namespace {
using namespace vesk_test;

constexpr LONG kNoCharset = 0x7FFFFFFF;  // the member takes no charset argument
const std::string kFailed = "vt 0";  // what a failed call leaves in the result

// A BSTR of exactly these characters (NULs included); a null BSTR for a view without data.
CComVariant Str(std::wstring_view text) {
    CComVariant v;
    v.SetBSTR(text.data() ? SysAllocStringLen(text.data(), UINT(text.size())) : nullptr);
    return v;
}
CComVariant NullStr() { return Str({}); }
// A byte array of these dimensions (the first dimension first), holding the bytes in memory
// order; their number is the product of the counts.
CComVariant ShapedBytes(std::initializer_list<ULONG> counts, std::string_view bytes) {
    std::vector<SAFEARRAYBOUND> bounds;
    for (ULONG count : counts) bounds.push_back({count, 0});
    CComVariant v;
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreate(VT_UI1, UINT(bounds.size()), bounds.data());
    if (!bytes.empty()) std::memcpy(v.parray->pvData, bytes.data(), bytes.size());
    return v;
}
// A byte array, and a byte string (a BSTR holding exactly these bytes).
CComVariant Bytes(std::string_view bytes) { return ShapedBytes({ULONG(bytes.size())}, bytes); }
CComVariant ByteStr(std::string_view bytes) {
    CComVariant v;
    v.SetBSTR(SysAllocStringByteLen(bytes.data(), UINT(bytes.size())));
    return v;
}
// A script array holding copies of the values.
CComVariant List(std::initializer_list<const VARIANT*> items) {
    CComVariant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(items.size()));
    VARIANT* data = static_cast<VARIANT*>(v.parray->pvData);
    for (const VARIANT* item : items) VariantCopy(data++, item);
    return v;
}
template <class C>
std::basic_string<C> Repeat(const C* unit, int times) {
    std::basic_string<C> out;
    while (times-- > 0) out += unit;
    return out;
}
// A result as UTF-8 text, or as its bytes: a byte array always, a BSTR when bytes is set.
std::string Show(const VARIANT& v, bool bytes = false) {
    if (v.vt == (VT_ARRAY | VT_UI1)) return "array:" + std::string(static_cast<const char*>(v.parray->pvData), v.parray->rgsabound[0].cElements);
    if (v.vt != VT_BSTR) return "vt " + std::to_string(v.vt);
    if (bytes) return std::string(reinterpret_cast<const char*>(v.bstrVal), SysStringByteLen(v.bstrVal));
    std::string text;  // embedded NULs kept; a character that is no Unicode scalar value as "<bad XXXX>"
    for (wchar_t ch : View(v.bstrVal)) {
        const auto code = uint32_t(ch);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            char bad[24];
            std::snprintf(bad, sizeof bad, "<bad %X>", unsigned(code));
            text += bad;
        } else {
            text += ch ? Utf8(std::wstring(1, ch)) : std::string(1, '\0');
        }
    }
    return text;
}

// A call on a fresh utility object, with copies of the arguments.
CallResult CallUtility(const wchar_t* member, std::initializer_list<const VARIANT*> args) {
    std::vector<CComVariant> copies(args.size());
    auto copy = copies.begin();
    for (const VARIANT* arg : args) (copy++)->Copy(arg);
    CComPtr<IDispatch> util = Module().Create(L"Utility");
    return LateBound(util.Get()).InvokeNamed(member, DISPATCH_METHOD, std::move(copies));
}

// One member family's table; a decoder's result is shown as bytes for a negative charset.
struct Row { const wchar_t* member; CComVariant input; LONG charset; HRESULT hr; std::string expected; };
template <size_t N>
void CheckRows(const Row (&rows)[N]) {
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.member) + " of " + Show(row.input) + ", charset " + std::to_string(row.charset));
        const CComVariant charset = VarI4(row.charset);
        CallResult r = row.charset == kNoCharset ? CallUtility(row.member, {&row.input}) : CallUtility(row.member, {&row.input, &charset});
        EXPECT_HR(row.hr, r.hr);
        EXPECT_EQ(row.expected, Show(r.value, row.charset < 0 && std::wstring_view(row.member).ends_with(L"Decode")));
    }
}

using UtilityContract = ContractTest;

TEST_F(UtilityContract, Encoders) {
    CComBSTR held(L"abc");
    CComVariant byRef;
    byRef.vt = VT_BYREF | VT_BSTR;
    byRef.pbstrVal = &held.m_str;
    const Row rows[] = {
        {L"URLEncode", Str(L"a b&c/?=+:#~-._AZaz09"), 0, S_OK, "a%20b%26c%2F%3F%3D%2B%3A%23~-._AZaz09"},
        {L"URLEncode", Str(L"\u00e9"), 65001, S_OK, "%C3%A9"},
        {L"URLEncode", Str(L"A"), -1, S_OK, "A%00%00%00"},
        {L"URLEncode", Str({L"a\0b", 3}), 0, S_OK, "a"},
        {L"URLEncode", Bytes({"\0\xFF", 2}), 0, S_OK, "%00%FF"},
        {L"URLEncode", Bytes("a "), -1, S_OK, "a%20"},
        {L"URLEncode", ByteStr({"a\0b", 3}), -1, S_OK, "a%00b"},
        {L"URLEncode", NullStr(), 0, S_OK, ""},
        {L"URLEncode", NullStr(), -1, S_OK, ""},
        {L"URLEncode", VarBool(true), 0, E_INVALIDARG, kFailed},
        {L"URLEncode", List({}), 0, E_INVALIDARG, kFailed},
        {L"URLEncode", std::move(byRef), 0, E_INVALIDARG, kFailed},
        {L"Base64Encode", Str(L"abc"), 0, S_OK, "YWJj"},
        {L"Base64Encode", Str(L"\u00e9"), 0, S_OK, "w6k="},
        {L"Base64Encode", Str(L"A"), -1, S_OK, "QQAAAA=="},
        {L"Base64Encode", ByteStr({"\0\xFF", 2}), -1, S_OK, "AP8="},
        {L"Base64Encode", Bytes(std::string(100, '\xA5')), 0, S_OK, Repeat("paWl", 33) + "pQ=="},  // one line
        {L"Base64Encode", Bytes(""), 0, S_OK, ""},
        {L"Base64Encode", NullStr(), 0, S_OK, ""},
        {L"Base64Encode", NullStr(), -1, E_FAIL, kFailed},  // no memory to take raw bytes from
        {L"Base64Encode", VarNull(), 0, E_INVALIDARG, kFailed},
        {L"HTMLEncode", Str(L"<a href=\"x\">&'</a>"), kNoCharset, S_OK, "&lt;a href=&quot;x&quot;&gt;&amp;'&lt;/a&gt;"},
        {L"HTMLEncode", Str({L"a\0<", 3}), kNoCharset, S_OK, {"a\0&lt;", 6}},
        // Worst cases on both sides of the short-text stack buffer (100 characters).
        {L"HTMLEncode", Str(std::wstring(100, L'"')), kNoCharset, S_OK, Repeat("&quot;", 100)},
        {L"HTMLEncode", Str(std::wstring(101, L'"')), kNoCharset, S_OK, Repeat("&quot;", 101)},
        // Sized exactly before it is built: every escape at once, a few hundred thousand times.
        {L"HTMLEncode", Str(Repeat(L"<\"&>x", 50000)), kNoCharset, S_OK, Repeat("&lt;&quot;&amp;&gt;x", 50000)},
    };
    CheckRows(rows);
}

TEST_F(UtilityContract, Decoders) {
    const Row rows[] = {
        {L"URLDecode", Str(L"%41%62c~-._z09"), 0, S_OK, "Abc~-._z09"},
        {L"URLDecode", Str(L"%c3%a9"), 0, S_OK, "\u00e9"},
        {L"URLDecode", Str(L""), 0, S_OK, ""},
        {L"URLDecode", Str(L"%00abc"), 0, S_OK, ""},  // the text ends at the zero byte
        {L"URLDecode", Str(L"%4z% 9"), 0, S_OK, "\x04\x09"},  // the C library reads what it can of a pair
        {L"URLDecode", Str(L"%C3%A9"), -2, S_OK, "array:\xC3\xA9"},
        {L"URLDecode", Str(L"%00abc"), -1, S_OK, {"\0abc", 4}},
        {L"URLDecode", Str({L"\u0141\u0125" L"41", 4}), 0, S_OK, "AA"},  // characters count by their low eight bits
        {L"URLDecode", Str(L"a+b"), 0, E_FAIL, kFailed},  // "+" is not a space here
        {L"URLDecode", Str(L"\u00e9"), 0, E_FAIL, kFailed},  // not unreserved, whatever the locale
        {L"URLDecode", Str(L"a/b"), 0, E_FAIL, kFailed},
        {L"URLDecode", Str(L"%zz"), 0, E_FAIL, kFailed},
        {L"URLDecode", Str({L"%\0" L"1", 3}), 0, E_FAIL, kFailed},  // a NUL ends the pair
        {L"URLDecode", Str(L"abc%4"), 0, E_FAIL, kFailed},  // a truncated escape
        {L"URLDecode", Str(L"%"), 0, E_FAIL, kFailed},
        {L"Base64Decode", Str(L"YW Jj\r\n"), 0, S_OK, "abc"},
        {L"Base64Decode", Str(L"w6k="), 0, S_OK, "\u00e9"},
        {L"Base64Decode", Str(L"YWJjAGRl"), 0, S_OK, "abc"},
        {L"Base64Decode", Str(L"AP8="), -2, S_OK, {"array:\0\xFF", 8}},
        {L"Base64Decode", Str(L"QQAAAA=="), -1, S_OK, {"A\0\0\0", 4}},
        {L"Base64Decode", Str(L"YWJ"), 0, E_FAIL, kFailed},
        {L"Base64Decode", Str(L""), 0, E_FAIL, kFailed},
    };
    CheckRows(rows);
}

TEST_F(UtilityContract, TextMembers) {
    const Row rows[] = {
        {L"SubmitDecode", Str(L"A&#66;C&#x44;; &#12354;&#x3042;"), kNoCharset, S_OK, "ABCD; \u3042\u3042"},
        {L"SubmitDecode", Str(L"x&#65"), kNoCharset, S_OK, "x&#65"},  // no ";"
        {L"SubmitDecode", Str(L"&#66;&#"), kNoCharset, S_OK, "B&#"},
        {L"SubmitDecode", Str(L"&#65abc;Z&#  66;"), kNoCharset, S_OK, "AZB"},  // what follows the number is dropped
        {L"SubmitDecode", Str(L"a&#;b"), kNoCharset, S_OK, "a"},  // reads as 0, which ends the result
        {L"SubmitDecode", Str(L"a&#X41;b"), kNoCharset, S_OK, "a"},  // only a lower-case x means hexadecimal
        // A reference stands for one Unicode scalar value or for U+FFFD: values never wrap
        // round into ordinary characters, and no surrogate or value past U+10FFFF comes out.
        {L"SubmitDecode", Str(L"&#4294967356;&#x10000003C;"), kNoCharset, S_OK, "\uFFFD\uFFFD"},  // 2^32 + '<'
        {L"SubmitDecode", Str(L"a&#4294967296;b"), kNoCharset, S_OK, "a\uFFFDb"},  // 2^32 does not end the text
        {L"SubmitDecode", Str(L"&#99999999999999999999999;&#xFFFFFFFFFFFFFFFFFF3C;"), kNoCharset, S_OK, "\uFFFD\uFFFD"},
        {L"SubmitDecode", Str(L"&#55296;&#xDBFF;&#xdc00;&#57343;"), kNoCharset, S_OK, "\uFFFD\uFFFD\uFFFD\uFFFD"},
        {L"SubmitDecode", Str(L"&#55295;&#xE000;&#1114111;&#x10FFFF;"), kNoCharset, S_OK,
         "\uD7FF\uE000\U0010FFFF\U0010FFFF"},
        {L"SubmitDecode", Str(L"&#1114112;&#x110000;&#-60;&#x-3C;"), kNoCharset, S_OK, "\uFFFD\uFFFD\uFFFD\uFFFD"},
        {L"SubmitDecode", Str(L"&#+60;&#-0;z"), kNoCharset, S_OK, "<"},  // signs as the C library reads them
        {L"Trim", Str(L"\t\t\u3000inner  text\r\n "), kNoCharset, S_OK, "inner  text"},
        {L"Trim", Str(L" \r\n"), kNoCharset, S_OK, ""},
        {L"Trim", Str(L"\u00a0x\u00a0"), kNoCharset, S_OK, "\u00a0x\u00a0"},  // a no-break space stays
        {L"HanToZen", Str(L"\uff71\uff72AB\uff21\uff22 \u30a2"), kNoCharset, S_OK, "\uff71\uff72AB\uff21\uff22 \u30a2"},
        {L"ZenToHan", Str(L"\uff71\uff72AB\uff21\uff22 \u30a2"), kNoCharset, S_OK, "\uff71\uff72AB\uff21\uff22 \u30a2"},
        {L"HanToZen", NullStr(), kNoCharset, S_OK, ""},
        {L"ZenToHan", NullStr(), kNoCharset, S_OK, ""},
    };
    CheckRows(rows);
}

TEST_F(UtilityContract, FindStringComparesTheStringFormsOfEveryPair) {
    CComVariant a = Str(L"a"), b = Str(L"b"), x = Str(L"x"), two = VarI4(2), null = VarNull(), ab = List({&a, &b});
    CComVariant byRef, noArray;
    byRef.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    byRef.pparray = &ab.parray;
    noArray.vt = VT_ARRAY | VT_VARIANT;
    struct Row { CComVariant first, second; HRESULT hr; VARIANT_BOOL found; };
    const Row rows[] = {
        {List({&a, &b}), Str(L"b"), S_OK, VARIANT_TRUE},
        {Str(L"b"), List({&a, &b}), S_OK, VARIANT_TRUE},
        {VarI4(2), Str(L"2"), S_OK, VARIANT_TRUE},
        {List({&x, &b}), List({&a, &b}), S_OK, VARIANT_TRUE},
        {List({&x, &two}), List({&a, &b}), S_OK, VARIANT_FALSE},
        {CComVariant(), Str(L""), S_OK, VARIANT_TRUE},
        {List({}), List({}), S_OK, VARIANT_FALSE},
        {std::move(byRef), Str(L"b"), S_OK, VARIANT_TRUE},
        {std::move(noArray), Str(L"a"), S_OK, VARIANT_FALSE},
        {List({&a, &null}), Str(L"z"), DISP_E_TYPEMISMATCH, 0},  // a value without a string form stops the search
        {Str(L"a"), VarNull(), DISP_E_TYPEMISMATCH, 0},
        {Bytes("a"), Str(L"a"), E_INVALIDARG, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        CallResult r = CallUtility(L"FindString", {&row.first, &row.second});
        EXPECT_HR(row.hr, r.hr);
        EXPECT_EQ(row.hr == S_OK ? VT_BOOL : VT_EMPTY, r.value.vt);
        EXPECT_EQ(row.found, r.value.boolVal);
    }
    EXPECT_EQ(VT_ARRAY | VT_VARIANT, ab.vt) << "an array passed by reference is only borrowed";
}

// Converting a value to its string form may run a script (an object's default member), and
// the script may reach the very array being searched through the variable passed by
// reference. The array stays locked for the search, so it can be neither resized nor erased
// under it; the search goes on over the elements it started with.
TEST_F(UtilityContract, FindStringKeepsItsArraysWhileAScriptRuns) {
    struct Op { const char* name; std::function<HRESULT(SAFEARRAY**)> run; };
    const Op ops[] = {
        {"ReDim to nothing", [](SAFEARRAY** slot) { SAFEARRAYBOUND b{0, 0}; return SafeArrayRedim(*slot, &b); }},
        {"ReDim larger", [](SAFEARRAY** slot) { SAFEARRAYBOUND b{4096, 0}; return SafeArrayRedim(*slot, &b); }},
        {"Erase", [](SAFEARRAY** slot) {
             const HRESULT hr = SafeArrayDestroy(*slot);
             if (SUCCEEDED(hr)) *slot = nullptr;
             return hr;
         }},
        {"drop the data", [](SAFEARRAY** slot) { return SafeArrayDestroyData(*slot); }},
    };
    enum Where { kSearched, kSought, kBoth };
    const char* const kWhere[] = {"the searched list", "the sought list", "both lists"};
    for (const Op& op : ops) {
        for (Where where : {kSearched, kSought, kBoth}) {
            SCOPED_TRACE(std::string(op.name) + " with the array as " + kWhere[where]);
            std::vector<HRESULT> seen;  // what the script's array operations returned
            CComVariant variable;       // the script's array variable
            SAFEARRAY** slot = &variable.parray;
            CComPtr<ScriptObject> obj = ScriptObject::Create();
            obj->AddMethod(L"Value", [&seen, &op, slot](ScriptObject::Args, VARIANT* result) {
                   seen.push_back(op.run(slot));
                   result->vt = VT_BSTR;
                   result->bstrVal = SysAllocString(L"a");
                   return S_OK;
               })
                .SetDefaultMember(L"Value");
            {
                const CComVariant o = VarDisp(obj.Get()), x = Str(L"x"), y = Str(L"y");
                variable = List({&o, &x, &y});
            }
            CComVariant byRef, y = Str(L"y");
            byRef.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
            byRef.pparray = slot;
            CallResult r = where == kSearched ? CallUtility(L"FindString", {&byRef, &y})
                           : where == kSought ? CallUtility(L"FindString", {&y, &byRef})
                                              : CallUtility(L"FindString", {&byRef, &byRef});
            EXPECT_HR(S_OK, r.hr);
            EXPECT_EQ(VARIANT_TRUE, r.value.boolVal);
            EXPECT_FALSE(seen.empty()) << "the object's string form was never asked for";
            for (HRESULT hr : seen) EXPECT_HR(DISP_E_ARRAYISLOCKED, hr);
            ASSERT_NE(nullptr, *slot);
            EXPECT_EQ(3u, (*slot)->rgsabound[0].cElements);
            EXPECT_EQ(0u, (*slot)->cLocks) << "the search must unlock what it locked";
        }
    }
}

// A VARIANT may label an array a script array while the array itself holds something else in
// cells of the same size. Its elements are read as VARIANTs only when the array says so.
TEST_F(UtilityContract, FindStringReadsOnlyArraysWhoseOwnElementsAreVariants) {
    struct Row { const char* what; VARTYPE created; USHORT added, removed; HRESULT hr; };
    const Row rows[] = {
        {"an array of VARIANTs", VT_VARIANT, 0, 0, S_OK},
        {"an array of decimals", VT_DECIMAL, 0, 0, E_INVALIDARG},
        {"an array of decimals flagged as VARIANTs", VT_DECIMAL, FADF_VARIANT, 0, E_INVALIDARG},
        {"VARIANTs flagged as strings too", VT_VARIANT, FADF_BSTR, 0, E_INVALIDARG},
        {"VARIANTs flagged as objects too", VT_VARIANT, FADF_DISPATCH, 0, E_INVALIDARG},
        {"VARIANTs flagged as records too", VT_VARIANT, FADF_RECORD, 0, E_INVALIDARG},
        {"VARIANTs not flagged as VARIANTs", VT_VARIANT, 0, FADF_VARIANT, E_INVALIDARG},
    };
    for (const Row& row : rows) {
        for (bool searched : {true, false}) {
            SCOPED_TRACE(std::string(row.what) + (searched ? " searched" : " sought"));
            // Every cell holds the bytes of the VARIANT 7: read as VARIANTs, the array matches "7".
            CComVariant list;
            list.vt = VT_ARRAY | VT_VARIANT;
            list.parray = SafeArrayCreateVector(row.created, 0, 2);
            ASSERT_EQ(sizeof(VARIANT), list.parray->cbElements);
            const CComVariant seven = VarI4(7), text = Str(L"7");
            auto* cells = static_cast<VARIANT*>(list.parray->pvData);
            for (int i = 0; i < 2; ++i) std::memcpy(cells + i, &seven, sizeof(VARIANT));
            const USHORT features = list.parray->fFeatures;
            list.parray->fFeatures = USHORT((features | row.added) & ~row.removed);
            // Passed by reference: a mislabelled array cannot even be copied safely.
            CComVariant byRef;
            byRef.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
            byRef.pparray = &list.parray;
            CallResult r = searched ? CallUtility(L"FindString", {&byRef, &text})
                                    : CallUtility(L"FindString", {&text, &byRef});
            list.parray->fFeatures = features;  // so the array is freed as what it is
            EXPECT_HR(row.hr, r.hr);
            EXPECT_EQ(row.hr == S_OK ? VARIANT_TRUE : 0, r.value.boolVal);
        }
    }
}

// Every member that takes bytes takes all of a byte array's elements, whatever its shape.
TEST_F(UtilityContract, ByteArraysOfAnyShapeGiveAllTheirBytes) {
    struct Shape { std::initializer_list<ULONG> counts; std::string_view bytes; };
    const Shape shapes[] = {
        {{3, 4}, "abcdefghijkl"},
        {{4, 3}, "abcdefghijkl"},
        {{2, 3, 2}, "<a b>&c?d=e/"},
        {{1, 1, 5}, {"\xFF\x00\x01xy", 5}},
        {{4, 0}, ""},
        {{0, 4, 2}, ""},
    };
    for (const wchar_t* member : {L"Base64Encode", L"URLEncode", L"MD5", L"SHA1"}) {
        for (const Shape& shape : shapes) {
            SCOPED_TRACE(Utf8(member) + " of " + std::to_string(shape.counts.size()) + " dimensions, the first " +
                         std::to_string(*shape.counts.begin()));
            const CComVariant shaped = ShapedBytes(shape.counts, shape.bytes), flat = Bytes(shape.bytes);
            const CComVariant charset = VarI4(0);
            CallResult got = CallUtility(member, {&shaped, &charset}), want = CallUtility(member, {&flat, &charset});
            EXPECT_HR(S_OK, want.hr);
            EXPECT_HR(want.hr, got.hr);
            EXPECT_EQ(Show(want.value), Show(got.value));
        }
    }
}

TEST_F(UtilityContract, Digests) {
    const std::string kAbcMd5 = "900150983cd24fb0d6963f7d28e17f72", kAbcSha1 = "a9993e364706816aba3e25717850c26c9cd0d89d";
    const Row rows[] = {
        {L"MD5", Str(L""), 0, S_OK, "d41d8cd98f00b204e9800998ecf8427e"},
        {L"SHA1", Str(L""), 0, S_OK, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {L"MD5", NullStr(), -1, S_OK, "d41d8cd98f00b204e9800998ecf8427e"},
        {L"MD5", Str(L"abc"), 0, S_OK, kAbcMd5},
        {L"SHA1", Str(L"abc"), 0, S_OK, kAbcSha1},
        {L"MD5", Bytes("abc"), -1, S_OK, kAbcMd5},
        {L"SHA1", Str(L"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"), 0, S_OK, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        // The raw form of "abc" is its three 32-bit characters.
        {L"MD5", Str(L"abc"), -1, S_OK, "7cda010d05f6989c2bf3f27fa71fe33e"},
        {L"MD5", VarI4(1), 0, E_INVALIDARG, kFailed},
        {L"SHA1", VarNull(), 0, E_INVALIDARG, kFailed},
        {L"MD5", List({}), 0, E_INVALIDARG, kFailed},
    };
    CheckRows(rows);
}

TEST_F(UtilityContract, KeysIdentifiersAndSleep) {
    CComPtr<IDispatch> util = Module().Create(L"Utility");
    LateBound late(util.Get());
    struct Row { LONG length; const wchar_t* alphabet; HRESULT hr; };
    const Row rows[] = {
        {8, L"AB", S_OK},
        {5, L"z", S_OK},
        {0, L"AB", S_OK},
        {8, L"", E_INVALIDARG},
        {-1, L"AB", E_INVALIDARG},
        {0x40000000, L"AB", E_OUTOFMEMORY},  // longer than any string: refused before allocating
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.length);
        CallResult r = late.Call(L"MakeKey", VarI4(row.length), VarStr(row.alphabet));
        EXPECT_HR(row.hr, r.hr);
        EXPECT_EQ(row.hr == S_OK ? VT_BSTR : VT_EMPTY, r.value.vt);
        EXPECT_EQ(row.hr == S_OK ? UINT(row.length) : 0u, SysStringLen(r.value.bstrVal));
        for (wchar_t ch : View(r.value.bstrVal)) EXPECT_NE(nullptr, std::wcschr(row.alphabet, ch));
    }
    // Keys serve as one-time command keys: calls in a row must never repeat one.
    std::set<std::wstring> keys;
    for (int i = 0; i < 20; ++i) keys.emplace(View(late.Call(L"MakeKey", VarI4(24), VarStr(L"ABCDEFGHIJ0123456789")).value.bstrVal));
    EXPECT_EQ(20u, keys.size());
    auto guid = [&late](CComVariant compact) { return std::wstring(View(late.Call(L"MakeGUID", std::move(compact)).value.bstrVal)); };
    auto shape = [](std::wstring text) {  // every hexadecimal digit shown as "h"
        for (wchar_t& ch : text) ch = std::iswxdigit(ch) ? L'h' : ch;
        return Utf8(text);
    };
    const std::wstring compact = guid(VarBool(true));
    EXPECT_EQ(std::string(32, 'h'), shape(compact));
    EXPECT_NE(compact, guid(VarBool(true)));
    EXPECT_EQ("{hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh}", shape(guid(VarBool(false))));
    CallResult slept = late.Call(L"Sleep", VarI4(2));
    EXPECT_HR(S_OK, slept.hr);
    EXPECT_EQ(VT_EMPTY, slept.value.vt);
}

}  // namespace
