// VARIANT lifetime, VariantChangeType and VarCmp.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <limits>
#include <vector>

#include "support/test_support.h"

using namespace vesk_test;

namespace {

constexpr HRESULT MISMATCH = DISP_E_TYPEMISMATCH, OVERFLOW_ = DISP_E_OVERFLOW;

// The base types a VARIANT carries by value; the last five convert to no text, and all of them
// but Null are made from no number.
const VARTYPE kBases[] = {VT_EMPTY, VT_I2, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_BOOL, VT_I1, VT_UI1,
                          VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT, VT_NULL, VT_DISPATCH, VT_ERROR,
                          VT_UNKNOWN, VT_DECIMAL};

// Every VARTYPE holding zero or null: carried types, and arrays of and references to them,
// copy and clear; the rest are refused with DISP_E_BADVARTYPE and left untouched.
TEST(Variant, EveryVartypeIsAcceptedOrRefusedExactly) {
    const CComVariant one = VarI4(1);
    for (uint32_t t = 0; t <= 0xFFFF; ++t) {
        SCOPED_TRACE(t);
        const VARTYPE vt = VARTYPE(t), base = vt & VT_TYPEMASK, extra = vt & ~VT_TYPEMASK;
        const auto* b = std::find(std::begin(kBases), std::end(kBases), base);
        const bool known = b != std::end(kBases), element = base > VT_NULL && (known || base == VT_VARIANT);
        const bool carried = extra == 0 ? known : element && (extra == VT_BYREF || (extra & ~VT_BYREF) == VT_ARRAY);
        const HRESULT array = extra == VT_ARRAY && element ? MISMATCH : DISP_E_BADVARTYPE;
        const HRESULT converts = extra != 0 || !known ? array : b < std::end(kBases) - 5 ? S_OK : MISMATCH;
        const HRESULT fromNumber = vt == VT_NULL ? S_OK : converts;
        const wchar_t* zero = vt == VT_DATE ? L"12:00:00 AM" : vt == VT_BOOL ? L"False" : L"0";
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        CComVariant copy, converted, text;
        ASSERT_HR(carried ? S_OK : DISP_E_BADVARTYPE, VariantCopy(&copy, &v));
        ASSERT_HR(fromNumber, VariantChangeType(&converted, &one, 0, vt));
        EXPECT_EQ(SUCCEEDED(fromNumber) ? vt : VARTYPE(VT_EMPTY), converted.vt);
        // Made text (a null reference is no value); Empty and a null string give "".
        ASSERT_HR(converts, vt & VT_BYREF ? converts : VariantChangeType(&text, &v, 0, VT_BSTR));
        EXPECT_BSTR_EQ(converts != S_OK || vt == VT_EMPTY || vt == VT_BSTR ? L"" : zero, text.bstrVal);
        ASSERT_HR(carried ? S_OK : DISP_E_BADVARTYPE, VariantClear(&v));
        EXPECT_EQ(carried ? VARTYPE(VT_EMPTY) : vt, v.vt);
    }
}

TEST(Variant, CopyAndClearCountReferencesExactly) {
    CountingDispatch obj;
    IDispatch* p = &obj;
    CComVariant s = VarStr(L"text"), d, o = VarDisp(p), array, copy;
    ASSERT_HR(S_OK, VariantCopy(&d, &s));
    EXPECT_NE(s.bstrVal, d.bstrVal);
    EXPECT_BSTR_EQ(L"text", d.bstrVal);
    ASSERT_HR(S_OK, VariantCopy(&d, &o));  // frees the old string, shares the object
    ASSERT_HR(S_OK, VariantCopy(&o, &o));  // onto itself: nothing changes
    EXPECT_EQ(3u, obj.RefCount());
    d.Reset();
    d.vt = VT_BYREF | VT_DISPATCH;  // a reference owns nothing, and its copy is a reference
    d.ppdispVal = &p;
    ASSERT_HR(S_OK, VariantCopy(&copy, &d));
    EXPECT_EQ(&p, copy.ppdispVal);
    array.vt = VT_ARRAY | VT_DISPATCH;
    array.parray = SafeArrayCreateVector(VT_DISPATCH, 0, 2);
    ASSERT_HR(S_OK, SafeArrayPutElement(array.parray, std::array<LONG, 1>{1}.data(), p));
    ASSERT_HR(S_OK, VariantCopy(&copy, &array));  // element by element
    EXPECT_NE(array.parray, copy.parray);
    EXPECT_EQ(4u, obj.RefCount());
    copy.Reset();
    array.Reset();
    VARIANT r, outer;  // CopyInd follows one reference, never two
    r.vt = outer.vt = VT_BYREF | VT_VARIANT;
    r.pvarVal = &o;
    outer.pvarVal = &r;
    ASSERT_HR(S_OK, VariantCopyInd(&d, &r));
    EXPECT_EQ(3u, obj.RefCount());
    EXPECT_HR(E_INVALIDARG, VariantCopyInd(&d, &outer));
    EXPECT_EQ(VT_EMPTY, d.vt);
    o.Reset();
    EXPECT_EQ(1u, obj.RefCount());
}

// ---- VariantChangeType ------------------------------------------------------------------

struct Val { VARTYPE vt; long double num = 0; const wchar_t* text = nullptr; };
Val V(VARTYPE vt, long double n) { return {vt, n}; }
Val S(const wchar_t* t) { return {VT_BSTR, 0, t}; }
const Val kEmpty{VT_EMPTY}, kNull{VT_NULL}, kTrue{VT_BOOL, -1};
constexpr long double kI64Max = 9223372036854775807.0L, kU64Max = 18446744073709551615.0L;

#define VESK_NUMERIC(X)                                                                                   \
    X(VT_I1, cVal, int8_t) X(VT_UI1, bVal, BYTE) X(VT_I2, iVal, SHORT) X(VT_UI2, uiVal, USHORT)           \
    X(VT_I4, lVal, LONG) X(VT_UI4, ulVal, ULONG) X(VT_INT, intVal, INT) X(VT_UINT, uintVal, UINT)         \
    X(VT_I8, llVal, int64_t) X(VT_UI8, ullVal, uint64_t) X(VT_R4, fltVal, float) X(VT_R8, dblVal, double) \
    X(VT_DATE, date, double) X(VT_CY, cyVal.int64, int64_t) X(VT_BOOL, boolVal, VARIANT_BOOL) X(VT_ERROR, scode, SCODE)
#define VESK_SET(t, m, T) case t: out.m = T(v.num); break;
#define VESK_GET(t, m, T) case t: return T(v.m);

CComVariant make(const Val& v) {
    CComVariant out;
    if (v.vt == VT_BSTR) out.SetString(v.text);
    out.vt = v.vt;
    switch (v.vt) { VESK_NUMERIC(VESK_SET) default: break; }
    return out;
}

long double number_of(const VARIANT& v) {
    switch (v.vt) { VESK_NUMERIC(VESK_GET) default: return 0; }
}

// The result is written only on success: a failed conversion leaves the old value.
void expect_change(const VARIANT& src, VARTYPE to, HRESULT hr, const Val& expected) {
    CComVariant dst = VarStr(L"untouched");
    ASSERT_HR(hr, VariantChangeType(&dst, &src, 0, to));
    const Val want = FAILED(hr) ? S(L"untouched") : expected;
    ASSERT_EQ(want.vt, dst.vt);
    if (want.vt == VT_BSTR) EXPECT_BSTR_EQ(want.text, dst.bstrVal);
    else EXPECT_EQ(number_of(make(want)), number_of(dst));
}

// Every integer type at min-1, min, -1, 0, 1, max, max+1, from a 64-bit integer, a double
// (where exact) and text; the values that fit also print back as the same digits.
TEST(ChangeType, IntegerBoundaries) {
    const struct { VARTYPE vt; long double lo, hi; } ranges[] = {
        {VT_I1, -128, 127}, {VT_UI1, 0, 255}, {VT_I2, -32768, 32767}, {VT_UI2, 0, 65535},
        {VT_I4, -2147483648.0L, 2147483647}, {VT_INT, -2147483648.0L, 2147483647}, {VT_UI4, 0, 4294967295.0L},
        {VT_UINT, 0, 4294967295.0L}, {VT_I8, -kI64Max - 1, kI64Max}, {VT_UI8, 0, kU64Max}};
    for (const auto& r : ranges) {
        for (const long double x : {r.lo - 1, r.lo, -1.0L, 0.0L, 1.0L, r.hi, r.hi + 1}) {
            wchar_t digits[32];
            std::swprintf(digits, 32, L"%.0Lf", x);
            SCOPED_TRACE(::testing::Message() << "vt " << r.vt << ", " << Utf8(digits));
            std::vector<CComVariant> sources;
            sources.push_back(VarStr(digits));
            if (x >= -kI64Max - 1 && x <= kU64Max) sources.push_back(make(V(x <= kI64Max ? VT_I8 : VT_UI8, x)));
            if (std::fabs(x) <= 9007199254740992.0L) sources.push_back(make(V(VT_R8, x)));
            const bool fits = x >= r.lo && x <= r.hi;
            for (const CComVariant& src : sources) expect_change(src, r.vt, fits ? S_OK : OVERFLOW_, V(r.vt, x));
            if (fits) expect_change(make(V(r.vt, x)), VT_BSTR, S_OK, S(digits));
        }
    }
}

// Conversions to numbers and Booleans (True is -1); the result is in the target type.
const struct { Val from; VARTYPE to; HRESULT hr; long double result = 0; } kRows[] = {
    // Doubles, dates, currency and text reach integers by rounding half to even.
    {V(VT_R8, 1.5), VT_I4, S_OK, 2}, {V(VT_R8, 2.5), VT_I4, S_OK, 2}, {V(VT_R8, -2.5), VT_I4, S_OK, -2},
    {V(VT_R8, -0.5), VT_UI1, S_OK, 0}, {V(VT_R8, 127.5), VT_I1, OVERFLOW_}, {V(VT_R8, -128.5), VT_I1, S_OK, -128},
    {V(VT_R8, 2147483647.5), VT_I4, OVERFLOW_}, {V(VT_R8, 1e300), VT_I8, OVERFLOW_}, {V(VT_R4, 3.5f), VT_I2, S_OK, 4},
    {V(VT_R8, std::numeric_limits<double>::quiet_NaN()), VT_I4, OVERFLOW_}, {V(VT_DATE, 1.5), VT_I4, S_OK, 2},
    {S(L"2.5"), VT_I4, S_OK, 2}, {V(VT_CY, 25000), VT_I4, S_OK, 2}, {V(VT_CY, 35000), VT_I4, S_OK, 4},
    // Reals, dates and currency (scaled by 10 000).
    {V(VT_R8, 1e39), VT_R4, OVERFLOW_}, {V(VT_R8, 3e38), VT_R4, S_OK, 3e38f}, {V(VT_R8, 3e6), VT_DATE, OVERFLOW_},
    {V(VT_I4, 5), VT_CY, S_OK, 50000}, {V(VT_R8, 1.25), VT_CY, S_OK, 12500}, {V(VT_CY, 15000), VT_R8, S_OK, 1.5},
    {V(VT_I8, kI64Max), VT_CY, OVERFLOW_}, {kTrue, VT_CY, S_OK, -10000},
    // Text.
    {S(L" 12 "), VT_I4, S_OK, 12}, {S(L"+7"), VT_I4, S_OK, 7}, {S(L"1e3"), VT_I2, S_OK, 1000},
    {S(L"0.1"), VT_R8, S_OK, 0.1}, {S(L"-1.5E+2"), VT_R8, S_OK, -150}, {S(L"1e400"), VT_R8, OVERFLOW_},
    {S(L"1e-400"), VT_R8, S_OK, 0}, {S(L""), VT_I4, MISMATCH}, {S(L"   "), VT_I4, MISMATCH},
    {S(L"12abc"), VT_I4, MISMATCH}, {S(L"1 2"), VT_I4, MISMATCH}, {S(L"."), VT_R8, MISMATCH},
    {S(L"1e"), VT_R8, MISMATCH}, {S(L"12"), VT_DATE, MISMATCH}, {S(L"x"), VT_DISPATCH, MISMATCH},
    // Booleans, Empty, Null and error values.
    {V(VT_I4, 5), VT_BOOL, S_OK, -1}, {V(VT_R8, 0.1), VT_BOOL, S_OK, -1}, {V(VT_I4, 0), VT_BOOL, S_OK, 0},
    {S(L"True"), VT_BOOL, S_OK, -1}, {S(L" fALSE "), VT_BOOL, S_OK, 0}, {S(L"2"), VT_BOOL, S_OK, -1},
    {S(L"yes"), VT_BOOL, MISMATCH}, {kTrue, VT_I4, S_OK, -1}, {kTrue, VT_UI1, S_OK, 255}, {kTrue, VT_R8, S_OK, -1},
    {kEmpty, VT_I4, S_OK, 0}, {kEmpty, VT_NULL, S_OK}, {kNull, VT_EMPTY, S_OK}, {kNull, VT_I4, MISMATCH},
    {V(VT_UI8, kU64Max), VT_NULL, S_OK}, {V(VT_R4, 1.5f), VT_NULL, S_OK}, {V(VT_CY, 5), VT_NULL, S_OK},
    {S(L"1"), VT_NULL, MISMATCH}, {V(VT_ERROR, 5), VT_NULL, MISMATCH},
    {V(VT_ERROR, 5), VT_I4, MISMATCH}, {V(VT_ERROR, 5), VT_ERROR, S_OK, 5}};

// Text forms: 15 significant digits (7 for floats), E+nn past that; dates and times.
const std::pair<Val, const wchar_t*> kText[] = {
    {V(VT_R8, 1.5), L"1.5"}, {V(VT_R8, 0.1), L"0.1"}, {V(VT_R8, 1e15), L"1E+15"}, {V(VT_R8, 1e-5), L"1E-05"},
    {V(VT_R8, 123456789012345.0), L"123456789012345"}, {V(VT_R8, 2.0 / 3), L"0.666666666666667"},
    {V(VT_R8, -0.0001), L"-0.0001"}, {V(VT_R4, 0.1f), L"0.1"}, {V(VT_R4, 16777216.0f), L"1.677722E+07"},
    {V(VT_CY, -12345), L"-1.2345"}, {V(VT_CY, 70000), L"7"}, {kTrue, L"True"}, {S(L"same"), L"same"}};

// Dates as text: the whole part (toward zero) is the day, the fraction's absolute value the time;
// rounding to the second carries forward across midnight for either sign. Day 0 shows only the
// time, midnight only the date. What is no date at all overflows.
const struct { double date; const wchar_t* text; } kDates[] = {
    {45000.75, L"3/15/2023 6:00:00 PM"}, {45000, L"3/15/2023"}, {0, L"12:00:00 AM"}, {0.25, L"6:00:00 AM"},
    {-0.25, L"6:00:00 AM"}, {1, L"12/31/1899"}, {-1, L"12/29/1899"}, {-1.75, L"12/29/1899 6:00:00 PM"},
    {-1.9999999999, L"12:00:00 AM"}, {-0.9999999999, L"12/31/1899"}, {0.9999999999, L"12/31/1899"},
    {-2.0000000001, L"12/28/1899"}, {1.5 / 86400, L"12:00:02 AM"}, {-657434, L"1/1/100"},
    {-657434.9999999999, L"1/2/100"}, {2958465.5, L"12/31/9999 12:00:00 PM"},
    {std::numeric_limits<double>::quiet_NaN(), nullptr}, {std::numeric_limits<double>::infinity(), nullptr},
    {-std::numeric_limits<double>::infinity(), nullptr}, {2958466, nullptr}, {2958465.999999999, nullptr},
    {-657435, nullptr}, {1e300, nullptr}, {-1e300, nullptr}};

TEST(ChangeType, Tables) {
    for (const auto& row : kRows) {
        SCOPED_TRACE(::testing::Message() << "row " << (&row - kRows));
        expect_change(make(row.from), row.to, row.hr, V(row.to, row.result));
    }
    for (const auto& [from, text] : kText) expect_change(make(from), VT_BSTR, S_OK, S(text));
    for (const auto& [date, text] : kDates) {
        SCOPED_TRACE(::testing::Message() << "date " << date);
        expect_change(make(V(VT_DATE, date)), VT_BSTR, text ? S_OK : OVERFLOW_, S(text));
    }
}

CComVariant bytes(const std::string& b, UINT dims = 1) {
    SAFEARRAYBOUND bounds[2] = {{UINT(b.size()), 0}, {1, 0}};
    CComVariant v;
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreate(VT_UI1, dims, bounds);
    std::memcpy(v.parray->pvData, b.data(), b.size());
    return v;
}

// A byte array and a string convert byte for byte: a string's bytes are its 4-byte characters
// as stored, and an array whose length is no whole number of characters keeps that length. Only
// a one-dimensional array of single bytes is read as bytes.
TEST(ChangeType, ByteArraysAndStringsByteForByte) {
    const std::string raw = "\x01\x02\x03\x04\x05\x06\x07\x08\xFF";
    for (size_t n = 0; n <= raw.size(); ++n) {
        SCOPED_TRACE(n);
        CComVariant array = bytes(raw.substr(0, n)), text, back, ref;
        ref.vt = VT_BYREF | VT_ARRAY | VT_UI1;
        ref.pparray = &array.parray;
        ASSERT_HR(S_OK, VariantChangeType(&text, &ref, 0, VT_BSTR));
        ASSERT_EQ(VT_BSTR, text.vt);
        EXPECT_EQ(raw.substr(0, n), std::string(reinterpret_cast<const char*>(text.bstrVal), SysStringByteLen(text.bstrVal)));
        ASSERT_HR(S_OK, VariantChangeType(&back, &text, 0, VT_ARRAY | VT_UI1));
        ASSERT_EQ(VT_ARRAY | VT_UI1, back.vt);
        EXPECT_EQ((std::vector<LONG>{1, 0, LONG(n)}),
                  (std::vector<LONG>{back.parray->cDims, back.parray->rgsabound[0].lLbound, LONG(back.parray->rgsabound[0].cElements)}));
        EXPECT_EQ(raw.substr(0, n), std::string(static_cast<const char*>(back.parray->pvData), n));
    }
    CComVariant ab = VarStr(L"ab"), abBytes, nullText, nullBytes, grid = bytes("abcd", 2), words;
    ASSERT_HR(S_OK, VariantChangeType(&abBytes, &ab, 0, VT_ARRAY | VT_UI1));
    EXPECT_EQ(std::string("a\0\0\0b\0\0\0", 8), std::string(static_cast<const char*>(abBytes.parray->pvData), 8));
    nullText.vt = VT_BSTR;  // a null string is empty
    ASSERT_HR(S_OK, VariantChangeType(&nullBytes, &nullText, 0, VT_ARRAY | VT_UI1));
    EXPECT_EQ(0u, nullBytes.parray->rgsabound[0].cElements);
    words.vt = VT_ARRAY | VT_UI1;  // holding an array of 2-byte elements
    words.parray = SafeArrayCreateVector(VT_I2, 0, 2);
    expect_change(grid, VT_BSTR, MISMATCH, {});
    expect_change(words, VT_BSTR, MISMATCH, {});
    expect_change(VarI4(7), VT_ARRAY | VT_UI1, MISMATCH, {});
}

TEST(ChangeType, InPlaceThroughReferencesAndObjects) {
    CComPtr<ScriptObject> obj = ScriptObject::Create(), plain = ScriptObject::Create();
    obj->SetProperty(L"Value", VarR8(2.5)).SetDefaultMember(L"value");
    CComVariant bad = VarStr(L"forty-two"), src = VarDisp(obj.Get()), dst, unk;
    EXPECT_HR(MISMATCH, VariantChangeType(&bad, &bad, 0, VT_I4));  // in place
    EXPECT_BSTR_EQ(L"forty-two", bad.bstrVal);
    VARIANT ref;
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &src;
    expect_change(ref, VT_BSTR, S_OK, S(L"2.5"));  // an object gives its default member's value
    expect_change(src, VT_I4, S_OK, V(VT_I4, 2));
    ASSERT_HR(S_OK, VariantChangeType(&unk, &src, 0, VT_UNKNOWN));
    ASSERT_HR(S_OK, VariantChangeType(&dst, &unk, 0, VT_DISPATCH));
    EXPECT_EQ(4u, obj->RefCount());
    ASSERT_HR(S_OK, VariantChangeType(&unk, &unk, 0, VT_EMPTY));
    ASSERT_HR(S_OK, VariantChangeType(&dst, &unk, 0, VT_DISPATCH));  // Empty gives a null object
    EXPECT_EQ(2u, obj->RefCount());
    expect_change(dst, VT_BSTR, MISMATCH, {});                   // which has no value
    expect_change(VarDisp(plain.Get()), VT_BSTR, MISMATCH, {});  // nor has one without a default member
    obj->SetProperty(L"Value", VarDisp(plain.Get()));             // nor one whose value is an object
    expect_change(src, VT_BSTR, MISMATCH, {});
}

// Strings by code unit (flag 1: ignoring case), numbers by value across types, Null apart.
TEST(VarCmp, Table) {
    const struct { Val left, right; ULONG flags; HRESULT result; } rows[] = {
        {S(L"a"), S(L"b"), 0, VARCMP_LT}, {S(L"b"), S(L"a"), 0, VARCMP_GT}, {S(L"B"), S(L"a"), 0, VARCMP_LT},
        {S(L"A"), S(L"a"), 1, VARCMP_EQ}, {S(L"\u00c9"), S(L"\u00e9"), 0, VARCMP_LT},
        {S(L"\u00c9t\u00e9"), S(L"\u00e9T\u00c9"), 1, VARCMP_EQ}, {S(L"ab"), S(L"abc"), 0, VARCMP_LT},
        {S(L"abc"), S(L"abc"), 0, VARCMP_EQ}, {S(L""), kEmpty, 0, VARCMP_EQ}, {kEmpty, S(L"x"), 0, VARCMP_LT},
        {kNull, S(L"x"), 0, VARCMP_NULL}, {V(VT_I4, 1), kNull, 0, VARCMP_NULL},
        {V(VT_I4, 2), V(VT_R8, 2.0), 0, VARCMP_EQ}, {V(VT_I4, 2), V(VT_R8, 2.5), 0, VARCMP_LT},
        {V(VT_UI8, kU64Max), V(VT_I8, -1), 0, VARCMP_GT}, {V(VT_I8, kI64Max), V(VT_I8, kI64Max - 1), 0, VARCMP_GT},
        {kEmpty, V(VT_I4, 0), 0, VARCMP_EQ}, {kTrue, V(VT_I2, -1), 0, VARCMP_EQ},
        {V(VT_CY, 15000), V(VT_R8, 1.5), 0, VARCMP_EQ},
        // A string ranks above any number, whatever its text; two error values are equal.
        {S(L"10"), V(VT_I4, 9), 0, VARCMP_GT}, {S(L"1"), V(VT_I4, 9), 0, VARCMP_GT},
        {V(VT_I4, 9), S(L"1"), 0, VARCMP_LT}, {S(L"x"), V(VT_I4, 2), 0, VARCMP_GT}, {S(L""), V(VT_R8, 0), 0, VARCMP_GT},
        {kTrue, S(L"-1"), 0, VARCMP_LT}, {S(L"1"), V(VT_DATE, 1), 0, VARCMP_GT}, {S(L"9"), V(VT_CY, 1e9), 0, VARCMP_GT},
        {V(VT_ERROR, 0), V(VT_ERROR, 0), 0, VARCMP_EQ}, {V(VT_ERROR, 1), V(VT_ERROR, 2), 0, VARCMP_EQ},
        {V(VT_ERROR, 0), V(VT_I4, 0), 0, MISMATCH}, {V(VT_ERROR, 0), S(L""), 0, MISMATCH}};
    for (const auto& row : rows) {
        CComVariant l = make(row.left), r = make(row.right);
        EXPECT_HR(row.result, VarCmp(&l, &r, 0, row.flags)) << "row " << (&row - rows);
    }
    CComVariant nullText, number = VarI4(0);
    nullText.vt = VT_BSTR;
    EXPECT_HR(VARCMP_GT, VarCmp(&nullText, &number, 0, 0));
}

}  // namespace
