#include <cstring>

#include "support/test_support.h"

using namespace vesk_test;

namespace {

DWORD stored_vartype(SAFEARRAY* psa) {
    DWORD vt;
    std::memcpy(&vt, reinterpret_cast<char*>(psa) - 4, 4);
    return vt;
}

TEST(SafeArray, VectorLayoutAndFeatures) {
    struct Row {
        VARTYPE vt;
        ULONG size;
        USHORT features;
    };
    const Row rows[] = {
        {VT_I1, 1, FADF_HAVEVARTYPE}, {VT_UI1, 1, FADF_HAVEVARTYPE}, {VT_I2, 2, FADF_HAVEVARTYPE},
        {VT_BOOL, 2, FADF_HAVEVARTYPE}, {VT_I4, 4, FADF_HAVEVARTYPE}, {VT_R4, 4, FADF_HAVEVARTYPE},
        {VT_ERROR, 4, FADF_HAVEVARTYPE}, {VT_R8, 8, FADF_HAVEVARTYPE}, {VT_CY, 8, FADF_HAVEVARTYPE},
        {VT_DATE, 8, FADF_HAVEVARTYPE}, {VT_I8, 8, FADF_HAVEVARTYPE}, {VT_DECIMAL, 16, FADF_HAVEVARTYPE},
        {VT_BSTR, 8, FADF_HAVEVARTYPE | FADF_BSTR}, {VT_VARIANT, 16, FADF_HAVEVARTYPE | FADF_VARIANT},
        {VT_UNKNOWN, 8, FADF_HAVEIID | FADF_UNKNOWN}, {VT_DISPATCH, 8, FADF_HAVEIID | FADF_DISPATCH},
    };
    for (const Row& r : rows) {
        CComSafeArray sa;
        sa.Attach(SafeArrayCreateVector(r.vt, -2, 5));
        ASSERT_TRUE(sa) << r.vt;
        SAFEARRAY* psa = sa.Get();
        EXPECT_EQ(1u, psa->cDims);
        EXPECT_EQ(r.features, psa->fFeatures) << r.vt;
        EXPECT_EQ(r.size, psa->cbElements) << r.vt;
        EXPECT_EQ(r.size, SafeArrayGetElemsize(psa));
        EXPECT_EQ(0u, psa->cLocks);
        EXPECT_NE(nullptr, psa->pvData);
        EXPECT_EQ(5u, psa->rgsabound[0].cElements);
        EXPECT_EQ(-2, psa->rgsabound[0].lLbound);
        VARTYPE vt = 0;
        ASSERT_HR(S_OK, SafeArrayGetVartype(psa, &vt));
        EXPECT_EQ(r.vt, vt);
        if (r.features & FADF_HAVEVARTYPE) {
            EXPECT_EQ(r.vt, stored_vartype(psa));
        }
        if (r.features & FADF_HAVEIID) {
            const GUID* iid = reinterpret_cast<const GUID*>(reinterpret_cast<char*>(psa) - 16);
            EXPECT_TRUE(guid_equal(r.vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, *iid));
        }
        for (size_t i = 0; i < 5 * r.size; ++i) EXPECT_EQ(0, static_cast<char*>(psa->pvData)[i]);
    }
    for (VARTYPE bad : {VARTYPE(VT_EMPTY), VARTYPE(VT_NULL), VARTYPE(15), VARTYPE(VT_RECORD), VARTYPE(VT_VOID),
                        VARTYPE(VT_BYREF | VT_I4)}) {
        EXPECT_EQ(nullptr, SafeArrayCreateVector(bad, 0, 1)) << bad;
    }
    EXPECT_EQ(nullptr, SafeArrayCreate(VT_I4, 0, nullptr));
}

// Bounds are given first dimension first; the first index varies fastest in memory.
TEST(SafeArray, TwoDimensionsBoundsAndIndexing) {
    SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, 10}};
    CComSafeArray sa;
    sa.Attach(SafeArrayCreate(VT_I4, 2, bounds));
    ASSERT_TRUE(sa);
    EXPECT_EQ(2u, SafeArrayGetDim(sa.Get()));
    LONG lo = 0, hi = 0;
    EXPECT_HR(S_OK, SafeArrayGetLBound(sa.Get(), 1, &lo));
    EXPECT_HR(S_OK, SafeArrayGetUBound(sa.Get(), 1, &hi));
    EXPECT_EQ(1, lo);
    EXPECT_EQ(3, hi);
    EXPECT_HR(S_OK, SafeArrayGetLBound(sa.Get(), 2, &lo));
    EXPECT_HR(S_OK, SafeArrayGetUBound(sa.Get(), 2, &hi));
    EXPECT_EQ(10, lo);
    EXPECT_EQ(11, hi);
    EXPECT_HR(DISP_E_BADINDEX, SafeArrayGetLBound(sa.Get(), 0, &lo));
    EXPECT_HR(DISP_E_BADINDEX, SafeArrayGetUBound(sa.Get(), 3, &hi));

    LONG at[2] = {2, 11};
    LONG value = 77;
    ASSERT_HR(S_OK, SafeArrayPutElement(sa.Get(), at, &value));
    EXPECT_EQ(77, static_cast<LONG*>(sa.Get()->pvData)[(2 - 1) + (11 - 10) * 3]);
    void* cell = nullptr;
    ASSERT_HR(S_OK, SafeArrayPtrOfIndex(sa.Get(), at, &cell));
    EXPECT_EQ(77, *static_cast<LONG*>(cell));
    LONG got = 0;
    ASSERT_HR(S_OK, SafeArrayGetElement(sa.Get(), at, &got));
    EXPECT_EQ(77, got);
    for (auto [i, j] : {std::pair{0, 10}, {4, 10}, {1, 9}, {1, 12}}) {
        LONG bad[2] = {i, j};
        EXPECT_HR(DISP_E_BADINDEX, SafeArrayGetElement(sa.Get(), bad, &got));
        EXPECT_HR(DISP_E_BADINDEX, SafeArrayPutElement(sa.Get(), bad, &value));
        EXPECT_HR(DISP_E_BADINDEX, SafeArrayPtrOfIndex(sa.Get(), bad, &cell));
    }
}

TEST(SafeArray, StringAndVariantElementsAreCopied) {
    CComSafeArray strings;
    strings.Attach(SafeArrayCreateVector(VT_BSTR, 0, 2));
    CComBSTR text(L"hello");
    LONG i = 1;
    ASSERT_HR(S_OK, SafeArrayPutElement(strings.Get(), &i, text.m_str));
    BSTR stored = static_cast<BSTR*>(strings.Get()->pvData)[1];
    EXPECT_NE(text.m_str, stored);
    EXPECT_BSTR_EQ(L"hello", stored);
    CComBSTR x(L"x");
    ASSERT_HR(S_OK, SafeArrayPutElement(strings.Get(), &i, x.m_str));  // the old copy is freed
    CComBSTR out;
    ASSERT_HR(S_OK, SafeArrayGetElement(strings.Get(), &i, out.Receive()));
    EXPECT_BSTR_EQ(L"x", out);

    CComSafeArray variants;
    variants.Attach(SafeArrayCreateVector(VT_VARIANT, 1, 1));
    CComVariant v = VarStr(L"inside");
    i = 1;
    ASSERT_HR(S_OK, SafeArrayPutElement(variants.Get(), &i, &v));
    CComVariant back;
    ASSERT_HR(S_OK, SafeArrayGetElement(variants.Get(), &i, &back));
    EXPECT_BSTR_EQ(L"inside", back.bstrVal);
    EXPECT_NE(v.bstrVal, back.bstrVal);

    CComSafeArray copy;
    ASSERT_HR(S_OK, SafeArrayCopy(strings.Get(), copy.Receive()));
    EXPECT_NE(static_cast<BSTR*>(strings.Get()->pvData)[1], static_cast<BSTR*>(copy.Get()->pvData)[1]);
    VARTYPE vt = 0;
    EXPECT_HR(S_OK, SafeArrayGetVartype(copy.Get(), &vt));
    EXPECT_EQ(VT_BSTR, vt);
    SAFEARRAY* none = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_HR(S_OK, SafeArrayCopy(nullptr, &none));
    EXPECT_EQ(nullptr, none);
}

TEST(SafeArray, InterfaceElementsCountReferences) {
    CountingDispatch obj;
    CComSafeArray sa;
    sa.Attach(SafeArrayCreateVector(VT_DISPATCH, 0, 3));
    LONG i = 0;
    ASSERT_HR(S_OK, SafeArrayPutElement(sa.Get(), &i, static_cast<IDispatch*>(&obj)));
    i = 2;
    ASSERT_HR(S_OK, SafeArrayPutElement(sa.Get(), &i, static_cast<IDispatch*>(&obj)));
    EXPECT_EQ(3u, obj.RefCount());
    ASSERT_HR(S_OK, SafeArrayPutElement(sa.Get(), &i, nullptr));  // replacing releases
    EXPECT_EQ(2u, obj.RefCount());
    {
        CComPtr<IDispatch> got;
        i = 0;
        ASSERT_HR(S_OK, SafeArrayGetElement(sa.Get(), &i, got.Receive()));
        EXPECT_EQ(3u, obj.RefCount());
        CComSafeArray copy;
        ASSERT_HR(S_OK, SafeArrayCopy(sa.Get(), copy.Receive()));
        EXPECT_EQ(4u, obj.RefCount());
    }
    EXPECT_EQ(2u, obj.RefCount());
    SAFEARRAYBOUND smaller{0, 0};
    ASSERT_HR(S_OK, SafeArrayRedim(sa.Get(), &smaller));  // shrinking releases the dropped element
    EXPECT_EQ(1u, obj.RefCount());
    i = 0;
    EXPECT_HR(DISP_E_BADINDEX, SafeArrayPutElement(sa.Get(), &i, static_cast<IDispatch*>(&obj)));

    sa.Reset();
    CComVariant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    CComVariant element = VarDisp(&obj);
    ASSERT_HR(S_OK, SafeArrayPutElement(v.parray, &i, &element));
    element.Reset();
    EXPECT_EQ(2u, obj.RefCount());
    ASSERT_HR(S_OK, SafeArrayDestroyData(v.parray));
    EXPECT_EQ(1u, obj.RefCount());
    EXPECT_EQ(nullptr, v.parray->pvData);
}

TEST(SafeArray, LocksGuardDestruction) {
    CComVariant v;
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, 4);
    SAFEARRAY* psa = v.parray;
    void* data = nullptr;
    ASSERT_HR(S_OK, SafeArrayAccessData(psa, &data));
    EXPECT_EQ(psa->pvData, data);
    EXPECT_EQ(1u, psa->cLocks);
    ASSERT_HR(S_OK, SafeArrayLock(psa));
    EXPECT_HR(DISP_E_ARRAYISLOCKED, SafeArrayDestroy(psa));
    EXPECT_HR(DISP_E_ARRAYISLOCKED, SafeArrayDestroyData(psa));
    SAFEARRAYBOUND b{8, 0};
    EXPECT_HR(DISP_E_ARRAYISLOCKED, SafeArrayRedim(psa, &b));
    EXPECT_HR(DISP_E_ARRAYISLOCKED, VariantClear(&v));
    EXPECT_EQ(VT_ARRAY | VT_I4, v.vt);  // left as it was
    ASSERT_HR(S_OK, SafeArrayUnlock(psa));
    ASSERT_HR(S_OK, SafeArrayUnaccessData(psa));
    EXPECT_HR(E_UNEXPECTED, SafeArrayUnlock(psa));
    EXPECT_HR(S_OK, SafeArrayDestroy(nullptr));
}

TEST(SafeArray, RedimKeepsSurvivingElements) {
    CComSafeArray sa;
    sa.Attach(SafeArrayCreateVector(VT_BSTR, 5, 2));
    CComBSTR a(L"a"), b(L"b");
    LONG i = 5;
    ASSERT_HR(S_OK, SafeArrayPutElement(sa.Get(), &i, a.m_str));
    i = 6;
    ASSERT_HR(S_OK, SafeArrayPutElement(sa.Get(), &i, b.m_str));
    SAFEARRAYBOUND bigger{4, 1};
    ASSERT_HR(S_OK, SafeArrayRedim(sa.Get(), &bigger));
    LONG lo = 0, hi = 0;
    SafeArrayGetLBound(sa.Get(), 1, &lo);
    SafeArrayGetUBound(sa.Get(), 1, &hi);
    EXPECT_EQ(1, lo);
    EXPECT_EQ(4, hi);
    BSTR* data = static_cast<BSTR*>(sa.Get()->pvData);
    EXPECT_BSTR_EQ(L"a", data[0]);
    EXPECT_BSTR_EQ(L"b", data[1]);
    EXPECT_EQ(nullptr, data[2]);
    EXPECT_EQ(nullptr, data[3]);
    SAFEARRAYBOUND one{1, 0};
    ASSERT_HR(S_OK, SafeArrayRedim(sa.Get(), &one));  // "b" is freed (checked under the leak checker)
    EXPECT_BSTR_EQ(L"a", static_cast<BSTR*>(sa.Get()->pvData)[0]);

    // Two dimensions: the last one given to SafeArrayCreate is the one that changes.
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    CComSafeArray grid;
    grid.Attach(SafeArrayCreate(VT_I4, 2, bounds));
    LONG at[2] = {1, 1};
    LONG value = 9;
    SafeArrayPutElement(grid.Get(), at, &value);
    SAFEARRAYBOUND rows{3, 0};
    ASSERT_HR(S_OK, SafeArrayRedim(grid.Get(), &rows));
    SafeArrayGetUBound(grid.Get(), 1, &hi);
    EXPECT_EQ(1, hi);
    SafeArrayGetUBound(grid.Get(), 2, &hi);
    EXPECT_EQ(2, hi);
    LONG got = 0;
    ASSERT_HR(S_OK, SafeArrayGetElement(grid.Get(), at, &got));
    EXPECT_EQ(9, got);
}

}  // namespace
