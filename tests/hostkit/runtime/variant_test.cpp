#include <set>

#include "support/test_support.h"

using namespace vesk_test;

namespace {

// The base types a VARIANT carries by value on this platform.
const std::set<VARTYPE> kByValue = {VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8, VT_CY,
                                    VT_DATE, VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL, VT_UNKNOWN,
                                    VT_DECIMAL, VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8,
                                    VT_INT, VT_UINT};

bool carried(VARTYPE vt) {
    const VARTYPE base = vt & VT_TYPEMASK;
    const VARTYPE extra = vt & ~VT_TYPEMASK;
    if (extra == 0) return kByValue.count(base) != 0;
    if (extra != VT_BYREF && extra != VT_ARRAY && extra != (VT_BYREF | VT_ARRAY)) return false;
    return base > VT_NULL && (kByValue.count(base) != 0 || base == VT_VARIANT);
}

// Every VARTYPE: carried types clear and copy (with null payloads), all others are refused
// with DISP_E_BADVARTYPE and left untouched.
TEST(Variant, EveryVartypeIsAcceptedOrRefusedExactly) {
    for (uint32_t t = 0; t <= 0xFFFF; ++t) {
        const VARTYPE vt = VARTYPE(t);
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        VARIANT copy;
        VariantInit(&copy);
        const HRESULT expected = carried(vt) ? S_OK : DISP_E_BADVARTYPE;
        ASSERT_HR(expected, VariantCopy(&copy, &v)) << "vt " << t;
        ASSERT_HR(expected, VariantClear(&v)) << "vt " << t;
        EXPECT_EQ(carried(vt) ? VARTYPE(VT_EMPTY) : vt, v.vt);
        EXPECT_HR(S_OK, VariantClear(&copy));
    }
}

TEST(Variant, ClearReleasesWhatItOwnsAndNotWhatItReferences) {
    CountingDispatch obj;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DISPATCH;
    v.pdispVal = &obj;
    obj.AddRef();
    EXPECT_HR(S_OK, VariantClear(&v));
    EXPECT_EQ(1u, obj.RefCount());
    EXPECT_EQ(VT_EMPTY, v.vt);

    IDispatch* ref = &obj;
    v.vt = VT_BYREF | VT_DISPATCH;
    v.ppdispVal = &ref;
    EXPECT_HR(S_OK, VariantClear(&v));
    EXPECT_EQ(1u, obj.RefCount());

    BSTR text = SysAllocString(L"kept");
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = &text;
    EXPECT_HR(S_OK, VariantClear(&v));
    EXPECT_BSTR_EQ(L"kept", text);  // still alive: a reference owns nothing
    SysFreeString(text);
}

TEST(Variant, CopyIsDeepForStringsAndCountsInterfaces) {
    CountingDispatch obj;
    CComVariant s = VarStr(L"text");
    CComVariant d;
    ASSERT_HR(S_OK, VariantCopy(&d, &s));
    EXPECT_NE(s.bstrVal, d.bstrVal);
    EXPECT_BSTR_EQ(L"text", d.bstrVal);

    CComVariant o = VarDisp(&obj);
    EXPECT_EQ(2u, obj.RefCount());
    ASSERT_HR(S_OK, VariantCopy(&d, &o));  // the old string is freed, the object shared
    EXPECT_EQ(3u, obj.RefCount());
    ASSERT_HR(S_OK, VariantCopy(&d, &s));  // clearing the destination releases the object
    EXPECT_EQ(2u, obj.RefCount());
    ASSERT_HR(S_OK, VariantCopy(&o, &o));  // copying onto itself changes nothing
    EXPECT_EQ(2u, obj.RefCount());
    o.Reset();
    EXPECT_EQ(1u, obj.RefCount());
}

TEST(Variant, CopyKeepsReferencesAsReferences) {
    LONG n = 7;
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BYREF | VT_I4;
    r.plVal = &n;
    CComVariant d;
    ASSERT_HR(S_OK, VariantCopy(&d, &r));
    EXPECT_EQ(VT_BYREF | VT_I4, d.vt);
    EXPECT_EQ(&n, d.plVal);
}

TEST(Variant, CopyOfAnArrayIsDeep) {
    CountingDispatch obj;
    CComVariant v;
    v.vt = VT_ARRAY | VT_DISPATCH;
    v.parray = SafeArrayCreateVector(VT_DISPATCH, 0, 2);
    ASSERT_NE(nullptr, v.parray);
    LONG i = 1;
    ASSERT_HR(S_OK, SafeArrayPutElement(v.parray, &i, static_cast<IDispatch*>(&obj)));
    EXPECT_EQ(2u, obj.RefCount());
    {
        CComVariant copy;
        ASSERT_HR(S_OK, VariantCopy(&copy, &v));
        EXPECT_NE(v.parray, copy.parray);
        EXPECT_EQ(3u, obj.RefCount());
    }
    EXPECT_EQ(2u, obj.RefCount());
    v.Reset();
    EXPECT_EQ(1u, obj.RefCount());
}

TEST(Variant, CopyIndFollowsOneReference) {
    BSTR text = SysAllocString(L"abc");
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BYREF | VT_BSTR;
    r.pbstrVal = &text;
    CComVariant d;
    ASSERT_HR(S_OK, VariantCopyInd(&d, &r));
    EXPECT_EQ(VT_BSTR, d.vt);
    EXPECT_NE(text, d.bstrVal);
    EXPECT_BSTR_EQ(L"abc", d.bstrVal);
    SysFreeString(text);

    CountingDispatch obj;
    CComVariant inner = VarDisp(&obj);
    r.vt = VT_BYREF | VT_VARIANT;
    r.pvarVal = &inner;
    ASSERT_HR(S_OK, VariantCopyInd(&d, &r));
    EXPECT_EQ(VT_DISPATCH, d.vt);
    EXPECT_EQ(3u, obj.RefCount());

    double x = 2.5;
    VARIANT in;
    in.vt = VT_BYREF | VT_R8;
    in.pdblVal = &x;
    ASSERT_HR(S_OK, VariantCopyInd(&in, &in));  // in place
    EXPECT_EQ(VT_R8, in.vt);
    EXPECT_EQ(2.5, in.dblVal);

    // A reference to a reference-to-variant is one level too many.
    VARIANT outer;
    outer.vt = VT_BYREF | VT_VARIANT;
    outer.pvarVal = &r;
    EXPECT_HR(E_INVALIDARG, VariantCopyInd(&d, &outer));
    EXPECT_EQ(VT_EMPTY, d.vt);
    EXPECT_EQ(2u, obj.RefCount());
}

}  // namespace
