// Safe arrays: layout, bounds, element copies, reference counts, locks, nests of arrays,
// descriptors that contradict themselves, and releases that call back.
#include <pthread.h>

#include <climits>
#include <cstring>
#include <functional>
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

// Bounds whose upper end does not fit a LONG are refused, not wrapped, by every call that
// takes bounds; the refused ones are refused before anything is allocated.
TEST(SafeArray, UpperBoundsMustFitALong) {
    const struct { LONG lbound; ULONG count; bool fits; } rows[] = {
        {INT_MAX, 1, true}, {INT_MAX, 2, false}, {INT_MAX - 9, 10, true}, {INT_MAX - 9, 11, false},
        {0, 0x80000001u, false}, {-5, 0xFFFFFFFFu, false}, {INT_MIN, 0, false}, {INT_MIN + 1, 0, true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.lbound << " + " << r.count);
        CComSafeArray vector = vector_of(VT_UI1, r.lbound, r.count), square;
        SAFEARRAYBOUND two[2] = {{1, 0}, {r.count, r.lbound}}, bound = two[1];
        square.Attach(SafeArrayCreate(VT_UI1, 2, two));
        EXPECT_EQ((std::vector<bool>{r.fits, r.fits}), (std::vector<bool>{bool(vector), bool(square)}));
        LONG upper = 0;
        if (vector) {
            EXPECT_HR(S_OK, SafeArrayGetUBound(vector.Get(), 1, &upper));
        }
        EXPECT_EQ(r.fits ? int64_t(r.lbound) + r.count - 1 : 0, upper);
        CComSafeArray resized = vector_of(VT_UI1, 0, 1);
        EXPECT_HR(r.fits ? S_OK : E_INVALIDARG, SafeArrayRedim(resized.Get(), &bound));
        EXPECT_EQ(r.fits ? r.lbound : 0, resized.Get()->rgsabound[0].lLbound);
    }
}

constexpr size_t kLimit = 128;  // the documented nesting limit of copies

// depth arrays of two VARIANTs: one holds the next array, the other (first or second by turns)
// a reference to obj; the innermost value is a string. Written into the data directly: a nest
// this deep cannot be made by copying.
CComVariant nest(size_t depth, IDispatch* obj) {
    CComVariant v = VarStr(L"leaf");
    for (size_t i = 0; i < depth; ++i) {
        SAFEARRAY* sa = SafeArrayCreateVector(VT_VARIANT, 0, 2);
        auto* cells = static_cast<VARIANT*>(sa->pvData);
        v.Detach(&cells[i % 2]);
        VarDisp(obj).Detach(&cells[1 - i % 2]);
        v.vt = VT_ARRAY | VT_VARIANT;
        v.parray = sa;
    }
    return v;
}

// How many arrays deep v is, or SIZE_MAX when its innermost value is not the string "leaf".
size_t depth_of(const VARIANT& v) {
    size_t depth = 0;
    const VARIANT* at = &v;
    for (; at->vt == (VT_ARRAY | VT_VARIANT); ++depth) {
        const auto* cells = static_cast<const VARIANT*>(at->parray->pvData);
        at = at->parray->rgsabound[0].cElements == 2 && cells[1].vt & VT_ARRAY ? &cells[1] : &cells[0];
    }
    return at->vt == VT_BSTR && std::wstring(at->bstrVal) == L"leaf" ? depth : SIZE_MAX;
}

// Runs f on a thread with the stack a page-server thread has.
void on_server_thread(std::function<void()> f) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, &attr, [](void* p) -> void* {
        (*static_cast<std::function<void()>*>(p))();
        return nullptr;
    }, &f));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

// Every path that copies refuses a nest deeper than the limit with E_OUTOFMEMORY and keeps
// nothing of it; a nest at the limit copies whole; clearing frees a nest of any depth, also by
// SafeArrayDestroyData and a shrinking SafeArrayRedim, and goes round no loop. On a 1 MB stack.
TEST(SafeArray, NestsAreCopiedToTheLimitAndClearedAtAnyDepth) {
    CountingDispatch obj;
    on_server_thread([&obj] {
        for (const size_t depth : {kLimit - 1, kLimit, kLimit + 1, size_t(60000)}) {
            SCOPED_TRACE(depth);
            const bool fits = depth <= kLimit;
            CComVariant deep = nest(depth, &obj), copy = VarStr(L"old"), changed, indirect, ref;
            ref.vt = VT_BYREF | VT_VARIANT;
            ref.pvarVal = &deep;
            CComSafeArray arrayCopy;
            EXPECT_HR(fits ? S_OK : E_OUTOFMEMORY, VariantCopy(&copy, &deep));
            EXPECT_HR(fits ? S_OK : E_OUTOFMEMORY, SafeArrayCopy(deep.parray, arrayCopy.Receive()));
            EXPECT_HR(fits ? S_OK : E_OUTOFMEMORY, VariantCopyInd(&indirect, &ref));
            EXPECT_HR(fits ? S_OK : E_OUTOFMEMORY, VariantChangeType(&changed, &deep, 0, VT_ARRAY | VT_VARIANT));
            EXPECT_EQ(fits ? depth : 0, copy.vt == VT_EMPTY ? 0 : depth_of(copy));
            EXPECT_EQ(fits ? 5 * depth + 1 : depth + 1, obj.RefCount());  // four copies or none
            // Storing a VARIANT puts its arrays one level down.
            CComSafeArray outer = vector_of(VT_VARIANT, 0, 2);
            LONG at = 1;
            EXPECT_HR(depth < kLimit ? S_OK : E_OUTOFMEMORY, SafeArrayPutElement(outer.Get(), &at, &deep));
            deep.Detach(static_cast<VARIANT*>(outer.Get()->pvData));
            SAFEARRAYBOUND one{1, 0};
            ASSERT_HR(S_OK, SafeArrayRedim(outer.Get(), &one));  // releases the element that was put
            ASSERT_HR(S_OK, SafeArrayDestroyData(outer.Get()));  // and the nest written in
        }
        // A nest built one level at a time by storing stops at the limit.
        CComVariant v = VarStr(L"leaf");
        size_t levels = 0;
        for (LONG at = 0; levels <= kLimit; ++levels) {
            CComVariant wrapper;
            wrapper.vt = VT_ARRAY | VT_VARIANT;
            wrapper.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
            if (FAILED(SafeArrayPutElement(wrapper.parray, &at, &v))) break;
            v = std::move(wrapper);
        }
        EXPECT_EQ(kLimit, depth_of(v));
        // An array holding itself (written in; no copy makes one) is freed once.
        SAFEARRAY *outer = SafeArrayCreateVector(VT_VARIANT, 0, 1), *inner = SafeArrayCreateVector(VT_VARIANT, 0, 2);
        auto* cells = static_cast<VARIANT*>(inner->pvData);
        cells[0] = cells[1] = v;
        cells[1].parray = inner;
        *static_cast<VARIANT*>(outer->pvData) = cells[1];
        v.parray = outer;
    });
    EXPECT_EQ(1u, obj.RefCount());
}

// An IDispatch double that runs a callback on its final release.
class ReleaseHook final : public GNoMembers<DispatchBase> {
public:
    explicit ReleaseHook(std::function<void()> onFinal) : m_onFinal(std::move(onFinal)) {}
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override {
        if (--m_cRef == 0) m_onFinal();
        return m_cRef;
    }

private:
    ULONG m_cRef = 0;
    std::function<void()> m_onFinal;
};

// A release that calls back finds the old value already gone from its slot, cannot destroy or
// resize the array being cleared, and sees in a shrinking array only the elements that remain.
TEST(SafeArray, ReleasesThatCallBackSeeAConsistentArray) {
    CComVariant holder, replaced;
    std::vector<HRESULT> seen;
    LONG zero = 0, one = 1;
    SAFEARRAYBOUND bound{1, 0};
    ReleaseHook inHolder([&] { seen = {holder.vt}; });
    ReleaseHook inReplaced([&] { seen = {replaced.vt}; });
    holder.vt = VT_DISPATCH;
    holder.pdispVal = &inHolder;
    inHolder.AddRef();
    holder.Reset();
    EXPECT_EQ((std::vector<HRESULT>{VT_EMPTY}), seen);
    replaced.vt = VT_DISPATCH;
    replaced.pdispVal = &inReplaced;
    inReplaced.AddRef();
    CComVariant text = VarStr(L"new");
    ASSERT_HR(S_OK, VariantCopy(&replaced, &text));
    EXPECT_EQ((std::vector<HRESULT>{VT_BSTR}), seen);

    CComSafeArray sa = vector_of(VT_DISPATCH, 0, 2);
    IDispatch* got = nullptr;
    ReleaseHook inArray([&] {
        seen = {SafeArrayDestroy(sa.Get()), SafeArrayRedim(sa.Get(), &bound), SafeArrayGetElement(sa.Get(), &zero, &got),
                SafeArrayPutElement(sa.Get(), &zero, nullptr), SafeArrayPutElement(sa.Get(), &one, nullptr)};
    });
    ASSERT_HR(S_OK, SafeArrayPutElement(sa.Get(), &one, static_cast<IDispatch*>(&inArray)));
    ASSERT_HR(S_OK, SafeArrayRedim(sa.Get(), &bound));
    EXPECT_EQ((std::vector<HRESULT>{DISP_E_ARRAYISLOCKED, DISP_E_ARRAYISLOCKED, S_OK, S_OK, DISP_E_BADINDEX}), seen);
    ASSERT_HR(S_OK, SafeArrayPutElement(sa.Get(), &zero, static_cast<IDispatch*>(&inArray)));
    ASSERT_HR(S_OK, SafeArrayDestroyData(sa.Get()));
    EXPECT_EQ((std::vector<HRESULT>{DISP_E_ARRAYISLOCKED, DISP_E_ARRAYISLOCKED, E_INVALIDARG, E_INVALIDARG,
                                    DISP_E_BADINDEX}), seen);
}

// Elements are read as the array's own descriptor says, never as the VARIANT's type says: a
// descriptor that contradicts itself is neither copied nor read, only freed. The data is filled
// with bytes that crash the sanitizer if read as a pointer.
TEST(SafeArray, DescriptorsThatContradictThemselvesAreNotRead) {
    const struct { VARTYPE vt; USHORT add, remove; ULONG size; HRESULT copy; } rows[] = {
        {VT_DECIMAL, 0, 0, 16, S_OK},                         // 16-byte plain elements under VT_VARIANT
        {VT_DECIMAL, FADF_VARIANT, 0, 16, E_INVALIDARG},      // flagged VARIANT, stored type decimal
        {VT_VARIANT, FADF_BSTR, 0, 16, E_INVALIDARG},         // two element kinds
        {VT_VARIANT, 0, 0, 8, E_INVALIDARG},                  // VARIANT elements of 8 bytes
        {VT_BSTR, 0, FADF_HAVEVARTYPE, 16, E_INVALIDARG},     // strings of 16 bytes
        {VT_VARIANT, 0, FADF_VARIANT, 16, E_INVALIDARG},      // stored type VARIANT, no flag
        {VT_VARIANT, FADF_RECORD, 0, 16, E_INVALIDARG}};
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        CComVariant v, copy;
        v.vt = VT_ARRAY | VT_VARIANT;
        v.parray = SafeArrayCreateVector(r.vt, 0, 2);
        std::memset(v.parray->pvData, 0xAB, 2 * v.parray->cbElements);
        v.parray->fFeatures = USHORT((v.parray->fFeatures | r.add) & ~r.remove);
        v.parray->cbElements = r.size;
        EXPECT_HR(r.copy, VariantCopy(&copy, &v));
        LONG at = 0;
        char cell[16] = {};
        EXPECT_HR(r.copy, SafeArrayGetElement(v.parray, &at, cell));
        EXPECT_HR(r.copy, SafeArrayPutElement(v.parray, &at, cell));
        EXPECT_HR(S_OK, VariantClear(&v));
    }
}

}  // namespace
