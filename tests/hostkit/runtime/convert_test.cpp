#include <cmath>
#include <limits>
#include <map>

#include "support/test_support.h"

using namespace vesk_test;

namespace {

// A value in a table row: a type and either a number or a text.
struct Val {
    VARTYPE vt;
    long double num = 0;
    const wchar_t* text = nullptr;
};

Val V(VARTYPE vt, long double n) { return {vt, n}; }
Val S(const wchar_t* t) { return {VT_BSTR, 0, t}; }
const Val kEmpty{VT_EMPTY}, kNull{VT_NULL}, kNone{VT_EMPTY};
const Val kTrue{VT_BOOL, -1}, kFalse{VT_BOOL, 0};

CComVariant make(const Val& v) {
    CComVariant out;
    if (v.vt == VT_BSTR) {
        out.SetString(v.text);
        return out;
    }
    out.vt = v.vt;
    switch (v.vt) {
    case VT_I1: out.cVal = char(v.num); break;
    case VT_I2: out.iVal = SHORT(v.num); break;
    case VT_I4: out.lVal = LONG(v.num); break;
    case VT_INT: out.intVal = INT(v.num); break;
    case VT_I8: out.llVal = int64_t(v.num); break;
    case VT_UI1: out.bVal = BYTE(v.num); break;
    case VT_UI2: out.uiVal = USHORT(v.num); break;
    case VT_UI4: out.ulVal = ULONG(v.num); break;
    case VT_UINT: out.uintVal = UINT(v.num); break;
    case VT_UI8: out.ullVal = uint64_t(v.num); break;
    case VT_R4: out.fltVal = float(v.num); break;
    case VT_R8: out.dblVal = double(v.num); break;
    case VT_DATE: out.date = double(v.num); break;
    case VT_CY: out.cyVal.int64 = int64_t(v.num); break;
    case VT_BOOL: out.boolVal = v.num != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_ERROR: out.scode = SCODE(v.num); break;
    default: break;
    }
    return out;
}

long double number_of(const VARIANT& v) {
    switch (v.vt) {
    case VT_I1: return static_cast<signed char>(v.cVal);
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_INT: return v.intVal;
    case VT_I8: return v.llVal;
    case VT_UI1: return v.bVal;
    case VT_UI2: return v.uiVal;
    case VT_UI4: return v.ulVal;
    case VT_UINT: return v.uintVal;
    case VT_UI8: return v.ullVal;
    case VT_R4: return v.fltVal;
    case VT_R8: return v.dblVal;
    case VT_DATE: return v.date;
    case VT_CY: return v.cyVal.int64;
    case VT_BOOL: return v.boolVal;
    default: return 0;
    }
}

struct Row {
    Val from;
    VARTYPE to;
    HRESULT hr;
    Val expected = kNone;
};

constexpr long double kI64Max = 9223372036854775807.0L;
constexpr long double kU64Max = 18446744073709551615.0L;

const Row kRows[] = {
    // Integer ranges: min-1, min, -1, 0, 1, max, max+1.
    {V(VT_I4, -129), VT_I1, DISP_E_OVERFLOW}, {V(VT_I4, -128), VT_I1, S_OK, V(VT_I1, -128)},
    {V(VT_I4, 127), VT_I1, S_OK, V(VT_I1, 127)}, {V(VT_I4, 128), VT_I1, DISP_E_OVERFLOW},
    {V(VT_I4, -1), VT_UI1, DISP_E_OVERFLOW}, {V(VT_I4, 0), VT_UI1, S_OK, V(VT_UI1, 0)},
    {V(VT_I4, 255), VT_UI1, S_OK, V(VT_UI1, 255)}, {V(VT_I4, 256), VT_UI1, DISP_E_OVERFLOW},
    {V(VT_I4, -32769), VT_I2, DISP_E_OVERFLOW}, {V(VT_I4, -32768), VT_I2, S_OK, V(VT_I2, -32768)},
    {V(VT_I4, 32767), VT_I2, S_OK, V(VT_I2, 32767)}, {V(VT_I4, 32768), VT_I2, DISP_E_OVERFLOW},
    {V(VT_I4, -1), VT_UI2, DISP_E_OVERFLOW}, {V(VT_I4, 65535), VT_UI2, S_OK, V(VT_UI2, 65535)},
    {V(VT_I4, 65536), VT_UI2, DISP_E_OVERFLOW}, {V(VT_I8, -2147483649.0L), VT_I4, DISP_E_OVERFLOW},
    {V(VT_I8, -2147483648.0L), VT_I4, S_OK, V(VT_I4, -2147483648.0L)},
    {V(VT_I8, 2147483647), VT_I4, S_OK, V(VT_I4, 2147483647)},
    {V(VT_I8, 2147483648.0L), VT_I4, DISP_E_OVERFLOW}, {V(VT_I8, 2147483648.0L), VT_INT, DISP_E_OVERFLOW},
    {V(VT_I4, -1), VT_UI4, DISP_E_OVERFLOW}, {V(VT_I8, 4294967295.0L), VT_UI4, S_OK, V(VT_UI4, 4294967295.0L)},
    {V(VT_I8, 4294967296.0L), VT_UI4, DISP_E_OVERFLOW}, {V(VT_I8, 4294967296.0L), VT_UINT, DISP_E_OVERFLOW},
    {V(VT_UI8, kI64Max), VT_I8, S_OK, V(VT_I8, kI64Max)}, {V(VT_UI8, kI64Max + 1), VT_I8, DISP_E_OVERFLOW},
    {V(VT_I8, -1), VT_UI8, DISP_E_OVERFLOW}, {V(VT_UI4, 4294967295.0L), VT_I4, DISP_E_OVERFLOW},
    {V(VT_I1, -1), VT_I8, S_OK, V(VT_I8, -1)},
    // Doubles to integers round half to even.
    {V(VT_R8, 0.5), VT_I4, S_OK, V(VT_I4, 0)}, {V(VT_R8, 1.5), VT_I4, S_OK, V(VT_I4, 2)},
    {V(VT_R8, 2.5), VT_I4, S_OK, V(VT_I4, 2)}, {V(VT_R8, 2.5000001), VT_I4, S_OK, V(VT_I4, 3)},
    {V(VT_R8, -0.5), VT_I4, S_OK, V(VT_I4, 0)}, {V(VT_R8, -1.5), VT_I4, S_OK, V(VT_I4, -2)},
    {V(VT_R8, -2.5), VT_I4, S_OK, V(VT_I4, -2)}, {V(VT_R8, 127.4), VT_I1, S_OK, V(VT_I1, 127)},
    {V(VT_R8, 127.5), VT_I1, DISP_E_OVERFLOW}, {V(VT_R8, -128.5), VT_I1, S_OK, V(VT_I1, -128)},
    {V(VT_R8, -0.5), VT_UI1, S_OK, V(VT_UI1, 0)}, {V(VT_R8, 255.5), VT_UI1, DISP_E_OVERFLOW},
    {V(VT_R8, 2147483647.5), VT_I4, DISP_E_OVERFLOW},
    {V(VT_R8, 2147483646.5), VT_I4, S_OK, V(VT_I4, 2147483646)},
    {V(VT_R8, std::numeric_limits<double>::quiet_NaN()), VT_I4, DISP_E_OVERFLOW},
    {V(VT_R8, 1e300), VT_I8, DISP_E_OVERFLOW}, {V(VT_R4, 3.5f), VT_I2, S_OK, V(VT_I2, 4)},
    {V(VT_DATE, 1.5), VT_I4, S_OK, V(VT_I4, 2)},
    // Doubles to narrower reals and dates.
    {V(VT_R8, 1e39), VT_R4, DISP_E_OVERFLOW}, {V(VT_R8, 3e38), VT_R4, S_OK, V(VT_R4, 3e38f)},
    {V(VT_R8, 3e6), VT_DATE, DISP_E_OVERFLOW}, {V(VT_I4, 45000), VT_DATE, S_OK, V(VT_DATE, 45000)},
    // Currency: scaled by 10 000, rounded half to even on the way out.
    {V(VT_I4, 5), VT_CY, S_OK, V(VT_CY, 50000)}, {V(VT_R8, 1.25), VT_CY, S_OK, V(VT_CY, 12500)},
    {V(VT_CY, 25000), VT_I4, S_OK, V(VT_I4, 2)}, {V(VT_CY, 35000), VT_I4, S_OK, V(VT_I4, 4)},
    {V(VT_CY, -25000), VT_I4, S_OK, V(VT_I4, -2)}, {V(VT_CY, 15000), VT_R8, S_OK, V(VT_R8, 1.5)},
    {V(VT_I8, kI64Max), VT_CY, DISP_E_OVERFLOW}, {kTrue, VT_CY, S_OK, V(VT_CY, -10000)},
    // Text to numbers.
    {S(L" 12 "), VT_I4, S_OK, V(VT_I4, 12)}, {S(L"+7"), VT_I4, S_OK, V(VT_I4, 7)},
    {S(L"2.5"), VT_I4, S_OK, V(VT_I4, 2)}, {S(L"3.5"), VT_I4, S_OK, V(VT_I4, 4)},
    {S(L"1e3"), VT_I2, S_OK, V(VT_I2, 1000)}, {S(L"-1"), VT_UI4, DISP_E_OVERFLOW},
    {S(L"128"), VT_I1, DISP_E_OVERFLOW}, {S(L"9223372036854775807"), VT_I8, S_OK, V(VT_I8, kI64Max)},
    {S(L"-9223372036854775808"), VT_I8, S_OK, V(VT_I8, -kI64Max - 1)},
    {S(L"18446744073709551615"), VT_UI8, S_OK, V(VT_UI8, kU64Max)},
    {S(L"18446744073709551615"), VT_I8, DISP_E_OVERFLOW}, {S(L"0.1"), VT_R8, S_OK, V(VT_R8, 0.1)},
    {S(L"-1.5E+2"), VT_R8, S_OK, V(VT_R8, -150)}, {S(L"1e400"), VT_R8, DISP_E_OVERFLOW},
    {S(L"1e-400"), VT_R8, S_OK, V(VT_R8, 0)}, {S(L"1.5"), VT_CY, S_OK, V(VT_CY, 15000)},
    {S(L""), VT_I4, DISP_E_TYPEMISMATCH}, {S(L"   "), VT_I4, DISP_E_TYPEMISMATCH},
    {S(L"abc"), VT_I4, DISP_E_TYPEMISMATCH}, {S(L"12abc"), VT_I4, DISP_E_TYPEMISMATCH},
    {S(L"1 2"), VT_I4, DISP_E_TYPEMISMATCH}, {S(L"."), VT_R8, DISP_E_TYPEMISMATCH},
    {S(L"1e"), VT_R8, DISP_E_TYPEMISMATCH}, {S(L"12"), VT_DATE, DISP_E_TYPEMISMATCH},
    // Booleans.
    {V(VT_I4, 5), VT_BOOL, S_OK, kTrue}, {V(VT_I4, 0), VT_BOOL, S_OK, kFalse},
    {V(VT_R8, 0.1), VT_BOOL, S_OK, kTrue}, {S(L"True"), VT_BOOL, S_OK, kTrue},
    {S(L" fALSE "), VT_BOOL, S_OK, kFalse}, {S(L"2"), VT_BOOL, S_OK, kTrue}, {S(L"0"), VT_BOOL, S_OK, kFalse},
    {S(L"yes"), VT_BOOL, DISP_E_TYPEMISMATCH}, {kTrue, VT_I4, S_OK, V(VT_I4, -1)},
    {kTrue, VT_UI1, S_OK, V(VT_UI1, 255)}, {kTrue, VT_UI4, S_OK, V(VT_UI4, 4294967295.0L)},
    {kTrue, VT_R8, S_OK, V(VT_R8, -1)}, {kFalse, VT_UI2, S_OK, V(VT_UI2, 0)},
    // Text forms.
    {V(VT_I4, -5), VT_BSTR, S_OK, S(L"-5")}, {V(VT_I1, -128), VT_BSTR, S_OK, S(L"-128")},
    {V(VT_UI8, kU64Max), VT_BSTR, S_OK, S(L"18446744073709551615")},
    {V(VT_I8, -kI64Max - 1), VT_BSTR, S_OK, S(L"-9223372036854775808")},
    {V(VT_R8, 1.5), VT_BSTR, S_OK, S(L"1.5")}, {V(VT_R8, 0.1), VT_BSTR, S_OK, S(L"0.1")},
    {V(VT_R8, 1e21), VT_BSTR, S_OK, S(L"1E+21")}, {V(VT_R8, 1e15), VT_BSTR, S_OK, S(L"1E+15")},
    {V(VT_R8, 123456789012345.0), VT_BSTR, S_OK, S(L"123456789012345")},
    {V(VT_R8, 1.0 / 3), VT_BSTR, S_OK, S(L"0.333333333333333")},
    {V(VT_R8, 2.0 / 3), VT_BSTR, S_OK, S(L"0.666666666666667")}, {V(VT_R8, 1e-5), VT_BSTR, S_OK, S(L"1E-05")},
    {V(VT_R8, -0.0001), VT_BSTR, S_OK, S(L"-0.0001")}, {V(VT_R8, 100), VT_BSTR, S_OK, S(L"100")},
    {V(VT_R4, 0.1f), VT_BSTR, S_OK, S(L"0.1")}, {V(VT_R4, 16777216.0f), VT_BSTR, S_OK, S(L"1.677722E+07")},
    {V(VT_CY, 15000), VT_BSTR, S_OK, S(L"1.5")}, {V(VT_CY, -12345), VT_BSTR, S_OK, S(L"-1.2345")},
    {V(VT_CY, 70000), VT_BSTR, S_OK, S(L"7")}, {V(VT_DATE, 0), VT_BSTR, S_OK, S(L"12/30/1899")},
    {V(VT_DATE, 45000), VT_BSTR, S_OK, S(L"3/15/2023")},
    {V(VT_DATE, 45000.75), VT_BSTR, S_OK, S(L"3/15/2023 6:00:00 PM")},
    {V(VT_DATE, 0.25), VT_BSTR, S_OK, S(L"6:00:00 AM")}, {kTrue, VT_BSTR, S_OK, S(L"True")},
    {kFalse, VT_BSTR, S_OK, S(L"False")}, {S(L"same"), VT_BSTR, S_OK, S(L"same")},
    // Empty, Null and error values.
    {kEmpty, VT_I4, S_OK, V(VT_I4, 0)}, {kEmpty, VT_R8, S_OK, V(VT_R8, 0)}, {kEmpty, VT_BSTR, S_OK, S(L"")},
    {kEmpty, VT_BOOL, S_OK, kFalse}, {kEmpty, VT_NULL, S_OK, kNull}, {kNull, VT_NULL, S_OK, kNull},
    {kNull, VT_EMPTY, S_OK, kEmpty}, {kNull, VT_BSTR, DISP_E_TYPEMISMATCH}, {kNull, VT_I4, DISP_E_TYPEMISMATCH},
    {kNull, VT_BOOL, DISP_E_TYPEMISMATCH}, {V(VT_I4, 3), VT_NULL, DISP_E_TYPEMISMATCH},
    {V(VT_I4, 3), VT_EMPTY, S_OK, kEmpty}, {V(VT_ERROR, 5), VT_I4, DISP_E_TYPEMISMATCH},
    {V(VT_ERROR, 5), VT_BSTR, DISP_E_TYPEMISMATCH}, {V(VT_ERROR, 5), VT_ERROR, S_OK, V(VT_ERROR, 5)},
    {V(VT_I4, 5), VT_ERROR, DISP_E_TYPEMISMATCH}, {S(L"x"), VT_DISPATCH, DISP_E_TYPEMISMATCH},
};

::testing::AssertionResult same_value(const VARIANT& actual, const Val& expected) {
    if (actual.vt != expected.vt)
        return ::testing::AssertionFailure() << "vt " << actual.vt << ", expected " << expected.vt;
    if (expected.vt == VT_BSTR) return BstrEqual("expected", "actual", expected.text, actual.bstrVal);
    const long double a = number_of(actual);
    const long double e = number_of(make(expected));
    if (a == e) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "value " << double(a) << ", expected " << double(e);
}

TEST(ChangeType, BoundaryTable) {
    int line = 0;
    for (const Row& row : kRows) {
        ++line;
        CComVariant src = make(row.from);
        CComVariant dst = VarStr(L"untouched");
        const HRESULT hr = VariantChangeType(&dst, &src, 0, row.to);
        EXPECT_HR(row.hr, hr) << "row " << line;
        if (hr != row.hr) continue;
        if (SUCCEEDED(hr)) {
            EXPECT_TRUE(same_value(dst, row.expected)) << "row " << line;
        } else {
            EXPECT_BSTR_EQ(L"untouched", dst.bstrVal) << "row " << line;  // written only on success
        }
    }
}

// What each base type of target does with the integer 1 as source.
TEST(ChangeType, EveryTargetVartypeFromAnInteger) {
    const std::map<VARTYPE, HRESULT> converts = {
        {VT_EMPTY, S_OK}, {VT_NULL, DISP_E_TYPEMISMATCH}, {VT_I2, S_OK}, {VT_I4, S_OK}, {VT_R4, S_OK},
        {VT_R8, S_OK}, {VT_CY, S_OK}, {VT_DATE, S_OK}, {VT_BSTR, S_OK}, {VT_DISPATCH, DISP_E_TYPEMISMATCH},
        {VT_ERROR, DISP_E_TYPEMISMATCH}, {VT_BOOL, S_OK}, {VT_UNKNOWN, DISP_E_TYPEMISMATCH},
        {VT_DECIMAL, DISP_E_TYPEMISMATCH}, {VT_I1, S_OK}, {VT_UI1, S_OK}, {VT_UI2, S_OK}, {VT_UI4, S_OK},
        {VT_I8, S_OK}, {VT_UI8, S_OK}, {VT_INT, S_OK}, {VT_UINT, S_OK}};
    CComVariant one = VarI4(1);
    for (uint32_t t = 0; t <= 0xFFFF; ++t) {
        const VARTYPE vt = VARTYPE(t);
        HRESULT expected = DISP_E_BADVARTYPE;
        const auto it = converts.find(vt & VT_TYPEMASK);
        if ((vt & ~VT_TYPEMASK) == 0 && it != converts.end()) expected = it->second;
        if ((vt & ~VT_TYPEMASK) == VT_ARRAY && (vt & VT_TYPEMASK) > VT_NULL &&
            (it != converts.end() || (vt & VT_TYPEMASK) == VT_VARIANT))
            expected = DISP_E_TYPEMISMATCH;
        CComVariant dst;
        ASSERT_HR(expected, VariantChangeType(&dst, &one, 0, vt)) << "vt " << t;
        EXPECT_EQ(SUCCEEDED(expected) ? vt : VARTYPE(VT_EMPTY), dst.vt) << "vt " << t;
    }
}

// What each base type of source (holding zero or a null pointer) does when made text.
TEST(ChangeType, EverySourceVartypeToText) {
    const std::map<VARTYPE, const wchar_t*> text = {
        {VT_EMPTY, L""}, {VT_I2, L"0"}, {VT_I4, L"0"}, {VT_R4, L"0"}, {VT_R8, L"0"}, {VT_CY, L"0"},
        {VT_DATE, L"12/30/1899"}, {VT_BOOL, L"False"}, {VT_I1, L"0"}, {VT_UI1, L"0"}, {VT_UI2, L"0"},
        {VT_UI4, L"0"}, {VT_I8, L"0"}, {VT_UI8, L"0"}, {VT_INT, L"0"}, {VT_UINT, L"0"}, {VT_BSTR, L""}};
    const std::map<VARTYPE, HRESULT> refused = {
        {VT_NULL, DISP_E_TYPEMISMATCH}, {VT_ERROR, DISP_E_TYPEMISMATCH}, {VT_DISPATCH, DISP_E_TYPEMISMATCH},
        {VT_UNKNOWN, DISP_E_TYPEMISMATCH}, {VT_DECIMAL, DISP_E_TYPEMISMATCH}};
    for (uint32_t t = 0; t <= 0x3FFF; ++t) {
        VARIANT src;
        VariantInit(&src);
        src.vt = VARTYPE(t);
        HRESULT expected = DISP_E_BADVARTYPE;
        const wchar_t* expectedText = nullptr;
        if (t & VT_ARRAY) {
            const VARTYPE base = t & VT_TYPEMASK;
            if (t == (VT_ARRAY | base) && base > VT_NULL && (text.count(base) || refused.count(base) || base == VT_VARIANT))
                expected = DISP_E_TYPEMISMATCH;
        } else if (text.count(VARTYPE(t))) {
            expected = S_OK;
            expectedText = text.at(VARTYPE(t));
        } else if (refused.count(VARTYPE(t))) {
            expected = refused.at(VARTYPE(t));
        }
        CComVariant dst;
        ASSERT_HR(expected, VariantChangeType(&dst, &src, 0, VT_BSTR)) << "vt " << t;
        if (expectedText) {
            EXPECT_BSTR_EQ(expectedText, dst.bstrVal) << "vt " << t;
        }
    }
}

TEST(ChangeType, InPlaceAndThroughReferences) {
    CComVariant v = VarStr(L" 42 ");
    ASSERT_HR(S_OK, VariantChangeType(&v, &v, 0, VT_I4));
    EXPECT_EQ(VT_I4, v.vt);
    EXPECT_EQ(42, v.lVal);
    CComVariant bad = VarStr(L"forty-two");
    EXPECT_HR(DISP_E_TYPEMISMATCH, VariantChangeType(&bad, &bad, 0, VT_I4));
    EXPECT_BSTR_EQ(L"forty-two", bad.bstrVal);

    LONG n = -3;
    VARIANT ref;
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &n;
    CComVariant text;
    ASSERT_HR(S_OK, VariantChangeType(&text, &ref, 0, VT_BSTR));
    EXPECT_BSTR_EQ(L"-3", text.bstrVal);
    CComVariant inner = VarStr(L"True");
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &inner;
    CComVariant b;
    ASSERT_HR(S_OK, VariantChangeType(&b, &ref, 0, VT_BOOL));
    EXPECT_EQ(VARIANT_TRUE, b.boolVal);
}

TEST(ChangeType, ObjectsConvertThroughTheirDefaultMember) {
    CComPtr<ScriptObject> obj = ScriptObject::Create();
    obj->SetProperty(L"Value", VarR8(2.5)).SetDefaultMember(L"value");
    CComVariant src = VarDisp(obj.Get());
    CComVariant dst;
    ASSERT_HR(S_OK, VariantChangeType(&dst, &src, 0, VT_BSTR));
    EXPECT_BSTR_EQ(L"2.5", dst.bstrVal);
    ASSERT_HR(S_OK, VariantChangeType(&dst, &src, 0, VT_I4));
    EXPECT_EQ(2, dst.lVal);
    EXPECT_EQ(2, obj->CallCount(L"Value"));
    EXPECT_HR(DISP_E_TYPEMISMATCH, VariantChangeType(&dst, &src, VARIANT_NOVALUEPROP, VT_BSTR));
    EXPECT_EQ(2, obj->CallCount(L"Value"));

    CComPtr<ScriptObject> plain = ScriptObject::Create();  // no default member
    CComVariant p = VarDisp(plain.Get());
    EXPECT_HR(DISP_E_TYPEMISMATCH, VariantChangeType(&dst, &p, 0, VT_BSTR));
    obj->SetProperty(L"Value", VarDisp(plain.Get()));  // an object's value that is an object
    EXPECT_HR(DISP_E_TYPEMISMATCH, VariantChangeType(&dst, &src, 0, VT_BSTR));
    CComVariant none;
    none.vt = VT_DISPATCH;
    EXPECT_HR(DISP_E_TYPEMISMATCH, VariantChangeType(&dst, &none, 0, VT_BSTR));
    obj->SetProperty(L"Value", VarStr(L"x"));
}

TEST(ChangeType, BetweenObjectTypesCountsReferences) {
    CountingDispatch obj;
    {
        CComVariant src = VarDisp(&obj);
        CComVariant unk;
        ASSERT_HR(S_OK, VariantChangeType(&unk, &src, 0, VT_UNKNOWN));
        EXPECT_EQ(VT_UNKNOWN, unk.vt);
        EXPECT_EQ(3u, obj.RefCount());
        CComVariant back;
        ASSERT_HR(S_OK, VariantChangeType(&back, &unk, 0, VT_DISPATCH));
        EXPECT_EQ(4u, obj.RefCount());
        ASSERT_HR(S_OK, VariantChangeType(&src, &src, 0, VT_EMPTY));
        EXPECT_EQ(3u, obj.RefCount());
    }
    EXPECT_EQ(1u, obj.RefCount());
    CComVariant empty, dst;
    ASSERT_HR(S_OK, VariantChangeType(&dst, &empty, 0, VT_DISPATCH));
    EXPECT_EQ(VT_DISPATCH, dst.vt);
    EXPECT_EQ(nullptr, dst.pdispVal);
}

// ---- VarCmp -------------------------------------------------------------------------

struct CmpRow {
    Val left, right;
    ULONG flags;
    HRESULT result;
};

const CmpRow kCmpRows[] = {
    {S(L"a"), S(L"b"), 0, VARCMP_LT}, {S(L"b"), S(L"a"), 0, VARCMP_GT},
    {S(L"B"), S(L"a"), 0, VARCMP_LT},  // code unit order
    {S(L"A"), S(L"a"), 0, VARCMP_LT}, {S(L"A"), S(L"a"), 1, VARCMP_EQ},
    {S(L"\u00c9t\u00e9"), S(L"\u00e9T\u00c9"), 1, VARCMP_EQ}, {S(L"\u00c9"), S(L"\u00e9"), 0, VARCMP_LT},
    {S(L"ab"), S(L"abc"), 0, VARCMP_LT}, {S(L"abc"), S(L"abc"), 0, VARCMP_EQ}, {S(L""), kEmpty, 0, VARCMP_EQ},
    {kEmpty, S(L"x"), 0, VARCMP_LT}, {kNull, S(L"x"), 0, VARCMP_NULL}, {V(VT_I4, 1), kNull, 0, VARCMP_NULL},
    {V(VT_I4, 2), V(VT_R8, 2.0), 0, VARCMP_EQ}, {V(VT_I4, 2), V(VT_R8, 2.5), 0, VARCMP_LT},
    {V(VT_UI8, kU64Max), V(VT_I8, -1), 0, VARCMP_GT}, {V(VT_I8, kI64Max), V(VT_I8, kI64Max - 1), 0, VARCMP_GT},
    {kEmpty, V(VT_I4, 0), 0, VARCMP_EQ}, {kEmpty, kEmpty, 0, VARCMP_EQ}, {kTrue, V(VT_I2, -1), 0, VARCMP_EQ},
    {V(VT_CY, 15000), V(VT_R8, 1.5), 0, VARCMP_EQ}, {S(L"2"), V(VT_I4, 2), 0, VARCMP_EQ},
    {S(L"10"), V(VT_I4, 9), 0, VARCMP_GT}, {S(L"x"), V(VT_I4, 2), 0, DISP_E_TYPEMISMATCH},
    {V(VT_ERROR, 0), V(VT_I4, 0), 0, DISP_E_TYPEMISMATCH},
};

TEST(VarCmp, Table) {
    int line = 0;
    for (const CmpRow& row : kCmpRows) {
        ++line;
        CComVariant l = make(row.left), r = make(row.right);
        EXPECT_HR(row.result, VarCmp(&l, &r, 0, row.flags)) << "row " << line;
    }
    CComVariant s = VarStr(L"x");
    VARIANT ref;
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &s;
    EXPECT_HR(VARCMP_EQ, VarCmp(&ref, &s, 0, 0));
}

}  // namespace
