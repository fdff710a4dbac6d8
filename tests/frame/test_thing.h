// ITestThing: a small dual interface with one operation of every argument and result kind,
// its member table, and the pooled object and factory built from the frame's templates, so
// frame tests can watch every count exactly. The module count here is the test's own.
#pragma once

#include "frame/error.h"
#include "frame/factory.h"
#include "frame/member_table.h"
#include "host/ccom.h"

struct ITestThing : IDispatch {
    virtual HRESULT put_Text(BSTR text) = 0;
    virtual HRESULT get_Text(BSTR* text) = 0;
    virtual HRESULT putref_Target(IDispatch* target) = 0;
    virtual HRESULT get_Target(IDispatch** target) = 0;
    virtual HRESULT put_Flag(VARIANT_BOOL flag) = 0;
    virtual HRESULT get_Flag(VARIANT_BOOL* flag) = 0;
    virtual HRESULT Join(BSTR text, long count, VARIANT* tail, BSTR* joined) = 0;
    virtual HRESULT Pass(IUnknown* object, IUnknown** same) = 0;
    virtual HRESULT MakeArray(long count, SAFEARRAY** array) = 0;
    virtual HRESULT Echo(VARIANT* value, VARIANT* echoed) = 0;
    virtual HRESULT Fail(long code) = 0;
};

inline constexpr GUID IID_ITestThing = {0x0D8D4E11, 0x51C2, 0x4A0B, {0x9E, 0x3C, 0x7A, 0x11, 0x22, 0x33, 0x44, 0x55}};
ZUL_DEFINE_UUIDOF(ITestThing, IID_ITestThing)

namespace vesk_test {

// Counters every GTestThingImpl constructor and destructor moves.
struct ThingCounters {
    static inline int constructed = 0;
    static inline int destroyed = 0;
    static inline HRESULT inContextResult = S_OK;
    static inline int inContextCalls = 0;
};

template <class T>
class GTestThingImpl : public T {
public:
    GTestThingImpl() : m_nMarker(7) { ++ThingCounters::constructed; }
    ~GTestThingImpl() { ++ThingCounters::destroyed; }

    HRESULT put_Text(BSTR text) override { return m_bstrText.Assign(text); }
    HRESULT get_Text(BSTR* text) override { return m_bstrText.CopyTo(text); }
    HRESULT putref_Target(IDispatch* target) override {
        m_spTarget.Assign(target);
        return S_OK;
    }
    HRESULT get_Target(IDispatch** target) override { return m_spTarget.CopyTo(target); }
    HRESULT put_Flag(VARIANT_BOOL flag) override {
        m_bFlag = flag;
        return S_OK;
    }
    HRESULT get_Flag(VARIANT_BOOL* flag) override {
        *flag = m_bFlag;
        return S_OK;
    }
    HRESULT Join(BSTR text, long count, VARIANT* tail, BSTR* joined) override {
        CComBSTR out;
        for (long i = 0; i < count; ++i) out.Append(text);
        if (tail->vt == VT_BSTR) out.Append(tail->bstrVal);
        *joined = out.Detach();
        return S_OK;
    }
    HRESULT Pass(IUnknown* object, IUnknown** same) override {
        object->AddRef();
        *same = object;
        return S_OK;
    }
    HRESULT MakeArray(long count, SAFEARRAY** array) override {
        *array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count));
        VARIANT* items = static_cast<VARIANT*>((*array)->pvData);
        for (long i = 0; i < count; ++i) {
            items[i].vt = VT_BSTR;
            items[i].bstrVal = SysAllocString(L"item");
        }
        return S_OK;
    }
    HRESULT Echo(VARIANT* value, VARIANT* echoed) override { return VariantCopy(echoed, value); }
    HRESULT Fail(long code) override {
        return RaiseError(static_cast<HRESULT>(code), L"Thing", L"It failed on purpose.");
    }
    HRESULT InContext(IGetContextProperties* context) {
        ++ThingCounters::inContextCalls;
        m_spContext.Assign(context);
        return ThingCounters::inContextResult;
    }

    // Left alone by the constructor: only the pool's zero fill sets it.
    int m_nUntouched;
    int m_nMarker;
    CComBSTR m_bstrText;
    CComPtr<IDispatch> m_spTarget;
    CComPtr<IGetContextProperties> m_spContext;
    VARIANT_BOOL m_bFlag = VARIANT_FALSE;
};

// A raw row: answers the number of arguments it was given.
HRESULT CountArgs(void* instance, DISPPARAMS* params, VARIANT* result);

inline constexpr MemberRow kThingRows[] = {
    member_row<ITestThing, &ITestThing::put_Text>(L"Text", 1, DISPATCH_PROPERTYPUT),
    member_row<ITestThing, &ITestThing::get_Text>(L"Text", 1, DISPATCH_PROPERTYGET),
    member_row<ITestThing, &ITestThing::putref_Target>(L"Target", 2, DISPATCH_PROPERTYPUTREF),
    member_row<ITestThing, &ITestThing::get_Target>(L"Target", 2, DISPATCH_PROPERTYGET),
    member_row<ITestThing, &ITestThing::put_Flag>(L"Flag", 3, DISPATCH_PROPERTYPUT),
    member_row<ITestThing, &ITestThing::get_Flag>(L"Flag", 3, DISPATCH_PROPERTYGET),
    member_row<ITestThing, &ITestThing::Join>(L"Join", 4, DISPATCH_METHOD),
    member_row<ITestThing, &ITestThing::Pass>(L"Pass", 5, DISPATCH_METHOD),
    member_row<ITestThing, &ITestThing::MakeArray>(L"MakeArray", 6, DISPATCH_METHOD),
    member_row<ITestThing, &ITestThing::Echo, ResultKind::Variant>(L"Echo", 7, DISPATCH_METHOD),
    member_row<ITestThing, &ITestThing::Fail>(L"Fail", 8, DISPATCH_METHOD),
    raw_row(L"CountArgs", 9, DISPATCH_METHOD, &CountArgs),
};
// A second part, as a shared block of rows: the earlier part wins a name both carry.
inline constexpr MemberRow kThingExtraRows[] = {
    member_row<ITestThing, &ITestThing::get_Flag>(L"Extra", 20, DISPATCH_PROPERTYGET),
    member_row<ITestThing, &ITestThing::get_Text>(L"Text", 21, DISPATCH_PROPERTYGET),
};
inline constexpr MemberRows kThingTable[] = {kThingRows, kThingExtraRows};

class ThingTypeInfo final : public MemberTableTypeInfo {
public:
    constexpr ThingTypeInfo() : MemberTableTypeInfo(kThingTable) {}
};

extern ThingTypeInfo g_thing_typeinfo;
extern ITypeInfo* g_pTI_ITestThing;
extern long g_nThingCount;     // the module count of the pooled things
extern long g_nCtxThingCount;  // ... of the things made in context
extern long g_nHeapThingCount; // ... of the unpooled things

using CThingObject = GDualImplForPool<ITestThing, GTestThingImpl, &g_pTI_ITestThing, &g_nThingCount>;
using CThingFactory = GClassFactoryPooled<CThingObject, &g_nThingCount>;
using CCtxThingObject = GDualImplForPool<ITestThing, GTestThingImpl, &g_pTI_ITestThing, &g_nCtxThingCount>;
using CCtxThingFactory = GClassFactoryPooledInContext<CCtxThingObject, &g_nCtxThingCount>;
using CHeapThingObject = GDualImpl<ITestThing, GTestThingImpl, &g_pTI_ITestThing, &g_nHeapThingCount>;
using CHeapThingFactory = GClassFactory<CHeapThingObject, &g_nHeapThingCount>;

extern CThingFactory g_oCF_Thing;
extern CCtxThingFactory g_oCF_CtxThing;
extern CHeapThingFactory g_oCF_HeapThing;

}  // namespace vesk_test
