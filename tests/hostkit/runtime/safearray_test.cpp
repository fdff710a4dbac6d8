// Safe arrays: layout, bounds, element copies, reference counts, locks.
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace vesk_test;

namespace {

CComSafeArray vector_of(VARTYPE vt, LONG lbound, ULONG count) {
    CComSafeArray sa;
    sa.Attach(SafeArrayCreateVector(vt, lbound, count));
    return sa;
}

// Element size, features, zeroed data, and the type or interface stored before the
// descriptor; types that cannot be elements (size 0 here) are refused.
TEST(SafeArray, VectorLayoutAndFeatures) {
    constexpr USHORT T = FADF_HAVEVARTYPE, I = FADF_HAVEIID;
    const struct { VARTYPE vt; ULONG size; USHORT features; } rows[] = {
        {VT_I1, 1, T}, {VT_UI1, 1, T}, {VT_I2, 2, T}, {VT_BOOL, 2, T}, {VT_I4, 4, T}, {VT_R4, 4, T}, {VT_ERROR, 4, T},
        {VT_R8, 8, T}, {VT_CY, 8, T}, {VT_DATE, 8, T}, {VT_I8, 8, T}, {VT_DECIMAL, 16, T},
        {VT_BSTR, 8, T | FADF_BSTR}, {VT_VARIANT, 16, T | FADF_VARIANT}, {VT_UNKNOWN, 8, I | FADF_UNKNOWN},
        {VT_DISPATCH, 8, I | FADF_DISPATCH}, {VT_EMPTY, 0, 0}, {VT_NULL, 0, 0}, {15, 0, 0}, {VT_RECORD, 0, 0},
        {VT_VOID, 0, 0}, {VT_BYREF | VT_I4, 0, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.vt);
        CComSafeArray sa = vector_of(r.vt, -2, 5);
        ASSERT_EQ(r.size != 0, bool(sa));
        if (!sa) continue;
        const SAFEARRAY* psa = sa.Get();
        const char* before = reinterpret_cast<const char*>(psa);
        EXPECT_EQ((std::vector<LONG>{1, r.features, LONG(r.size), 0, 5, -2}),
                  (std::vector<LONG>{psa->cDims, psa->fFeatures, LONG(psa->cbElements), LONG(psa->cLocks),
                                     LONG(psa->rgsabound[0].cElements), psa->rgsabound[0].lLbound}));
        EXPECT_EQ(std::string(5 * r.size, '\0'), std::string(static_cast<const char*>(psa->pvData), 5 * r.size));
        const GUID& iid = *reinterpret_cast<const GUID*>(before - 16);
        if (r.features & T) { EXPECT_EQ(0, std::memcmp(before - 4, &r.vt, 2)); }
        if (r.features & I) { EXPECT_TRUE(guid_equal(r.vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, iid)); }
    }
    EXPECT_EQ(nullptr, SafeArrayCreate(VT_I4, 0, nullptr));
}

// Bounds are given first dimension first; the first index varies fastest in memory. A locked
// array is neither destroyed nor cleared from its VARIANT.
TEST(SafeArray, TwoDimensionsBoundsIndexingAndLocks) {
    SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, 10}};
    CComSafeArray sa;
    sa.Attach(SafeArrayCreate(VT_I4, 2, bounds));
    ASSERT_TRUE(sa);
    LONG b[4] = {}, at[2] = {2, 11}, value = 77;
    void* cell = nullptr;
    for (UINT d : {1u, 2u}) {
        EXPECT_HR(S_OK, SafeArrayGetLBound(sa.Get(), d, &b[2 * d - 2]));
        EXPECT_HR(S_OK, SafeArrayGetUBound(sa.Get(), d, &b[2 * d - 1]));
    }
    EXPECT_EQ((std::vector<LONG>{1, 3, 10, 11}), std::vector<LONG>(b, b + 4));
    EXPECT_HR(DISP_E_BADINDEX, SafeArrayGetLBound(sa.Get(), 0, &value));
    EXPECT_HR(DISP_E_BADINDEX, SafeArrayGetUBound(sa.Get(), 3, &value));
    ASSERT_HR(S_OK, SafeArrayPutElement(sa.Get(), at, &value));
    EXPECT_EQ(77, static_cast<LONG*>(sa.Get()->pvData)[(2 - 1) + (11 - 10) * 3]);
    for (auto [i, j] : {std::pair{0, 10}, {4, 10}, {1, 9}, {1, 12}}) {
        LONG bad[2] = {i, j};
        EXPECT_HR(DISP_E_BADINDEX, SafeArrayGetElement(sa.Get(), bad, &value));
        EXPECT_HR(DISP_E_BADINDEX, SafeArrayPutElement(sa.Get(), bad, &value));
    }
    CComVariant v;
    v.vt = VT_ARRAY | VT_I4;
    v.parray = sa.Detach();
    ASSERT_HR(S_OK, SafeArrayAccessData(v.parray, &cell));
    ASSERT_HR(S_OK, SafeArrayLock(v.parray));
    EXPECT_HR(DISP_E_ARRAYISLOCKED, SafeArrayDestroy(v.parray));
    EXPECT_HR(DISP_E_ARRAYISLOCKED, SafeArrayDestroyData(v.parray));
    EXPECT_HR(DISP_E_ARRAYISLOCKED, VariantClear(&v));
    EXPECT_EQ(VT_ARRAY | VT_I4, v.vt);
    ASSERT_HR(S_OK, SafeArrayUnlock(v.parray));
    ASSERT_HR(S_OK, SafeArrayUnaccessData(v.parray));
    EXPECT_HR(E_UNEXPECTED, SafeArrayUnlock(v.parray));
}

// Strings and variants go in and come out as copies, interfaces as new references; replacing,
// copying and destroying keep the counts exact (the leak checker sees lost strings).
TEST(SafeArray, ElementsAreDeepCopiesWithExactReferenceCounts) {
    CountingDispatch obj;
    IDispatch* p = &obj;
    CComSafeArray strings = vector_of(VT_BSTR, 5, 2), variants = vector_of(VT_VARIANT, 5, 1),
                  objects = vector_of(VT_DISPATCH, 5, 2), copy;
    CComBSTR x(L"x"), out;
    CComVariant v = VarDisp(p);
    LONG i = 5, j = 6;
    ASSERT_HR(S_OK, SafeArrayPutElement(strings.Get(), &j, x.m_str));
    ASSERT_HR(S_OK, SafeArrayPutElement(strings.Get(), &j, x.m_str));  // the old copy is freed
    ASSERT_HR(S_OK, SafeArrayGetElement(strings.Get(), &j, out.Receive()));
    ASSERT_HR(S_OK, SafeArrayCopy(strings.Get(), copy.Receive()));
    const BSTR stored = static_cast<BSTR*>(strings.Get()->pvData)[1];
    const BSTR copied = static_cast<BSTR*>(copy.Get()->pvData)[1];
    EXPECT_TRUE(stored != x.m_str && out.m_str != stored && copied != stored);
    EXPECT_BSTR_EQ(L"x", out);
    EXPECT_BSTR_EQ(L"x", copied);
    ASSERT_HR(S_OK, SafeArrayPutElement(objects.Get(), &i, p));
    ASSERT_HR(S_OK, SafeArrayPutElement(objects.Get(), &j, p));
    ASSERT_HR(S_OK, SafeArrayPutElement(objects.Get(), &j, nullptr));  // replacing releases
    ASSERT_HR(S_OK, SafeArrayPutElement(variants.Get(), &i, &v));
    EXPECT_EQ(4u, obj.RefCount());
    copy.Reset();
    ASSERT_HR(S_OK, SafeArrayCopy(objects.Get(), copy.Receive()));
    EXPECT_EQ(5u, obj.RefCount());
    copy.Reset();
    ASSERT_HR(S_OK, SafeArrayDestroyData(variants.Get()));  // clears the variant elements
    objects.Reset();
    EXPECT_EQ(2u, obj.RefCount());
}

}  // namespace
