// Factories and pools on the test interface: exact counts, block reuse and order, the
// context step.
#include "frame/test_thing.h"
#include "hostkit/runtime/registry.h"
#include "support/test_support.h"

namespace vesk_test {
namespace {

// A page context that only counts its references.
class FakeContext final : public IGetContextProperties {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (!guid_equal(riid, IID_IUnknown) && !guid_equal(riid, IID_IGetContextProperties)) return E_NOINTERFACE;
        *ppv = static_cast<IGetContextProperties*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override { return --m_cRef; }
    HRESULT Count(LONG* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetProperty(BSTR, VARIANT* value) override {
        VariantInit(value);
        return S_OK;
    }
    HRESULT EnumNames(IEnumNames** names) override {
        *names = nullptr;
        return E_NOTIMPL;
    }
    ULONG m_cRef = 1;
};

CComPtr<ITestThing> NewThing(IClassFactory& factory) {
    CComPtr<ITestThing> thing;
    EXPECT_HR(S_OK, factory.CreateInstance(nullptr, IID_ITestThing, thing.ReceiveVoid()));
    return thing;
}

TEST(Factory, ModuleCountFollowsObjectsAndFactoryReferences) {
    ASSERT_EQ(0, g_nThingCount);
    CComPtr<ITestThing> thing = NewThing(g_oCF_Thing);
    EXPECT_EQ(1, g_nThingCount);
    CComPtr<IClassFactory> factory;
    EXPECT_HR(S_OK, g_oCF_Thing.QueryInterface(IID_IClassFactory, factory.ReceiveVoid()));
    EXPECT_EQ(2, g_nThingCount);
    EXPECT_EQ(3u, factory->AddRef()) << "a factory reference returns the module count";
    EXPECT_EQ(2u, factory->Release());
    factory.Reset();
    EXPECT_EQ(1, g_nThingCount);
    EXPECT_HR(S_OK, g_oCF_Thing.LockServer(TRUE));
    EXPECT_EQ(1, g_nThingCount) << "server locks are not counted";
    thing.Reset();
    EXPECT_EQ(0, g_nThingCount);
}

TEST(Factory, ObjectCountsItsOwnReferencesAndGoesBackToThePoolAtZero) {
    const size_t freeBefore = g_oCF_Thing.FreeCount();
    ITestThing* thing = nullptr;
    ASSERT_HR(S_OK, g_oCF_Thing.CreateInstance(nullptr, IID_ITestThing, reinterpret_cast<void**>(&thing)));
    EXPECT_EQ(freeBefore == 0 ? 0u : freeBefore - 1, g_oCF_Thing.FreeCount());
    EXPECT_EQ(2u, thing->AddRef());
    CComPtr<IDispatch> asDispatch;
    EXPECT_HR(S_OK, thing->QueryInterface(IID_IDispatch, asDispatch.ReceiveVoid()));
    EXPECT_EQ(static_cast<void*>(thing), static_cast<void*>(asDispatch.Get()));
    asDispatch.Reset();
    EXPECT_EQ(1u, thing->Release());
    const int destroyed = ThingCounters::destroyed;
    EXPECT_EQ(0u, thing->Release());
    EXPECT_EQ(destroyed + 1, ThingCounters::destroyed);
    EXPECT_EQ(std::max<size_t>(freeBefore, 1), g_oCF_Thing.FreeCount());
    EXPECT_EQ(0, g_nThingCount);
}

TEST(Factory, ReusedBlockIsZeroedAndFullyConstructedAgain) {
    ITestThing* first = nullptr;
    ASSERT_HR(S_OK, g_oCF_Thing.CreateInstance(nullptr, IID_ITestThing, reinterpret_cast<void**>(&first)));
    auto* object = static_cast<CThingObject*>(first);
    object->m_nUntouched = 99;
    object->m_nMarker = 98;
    object->put_Text(const_cast<BSTR>(L"left over"));
    CountingDispatch target;
    object->putref_Target(&target);
    EXPECT_EQ(2u, target.RefCount());
    first->Release();
    EXPECT_EQ(1u, target.RefCount()) << "the destructor ran when the object went to the pool";

    CComPtr<ITestThing> second = NewThing(g_oCF_Thing);
    ASSERT_EQ(static_cast<void*>(first), static_cast<void*>(second.Get()));
    auto* again = static_cast<CThingObject*>(second.Get());
    EXPECT_EQ(0, again->m_nUntouched);
    EXPECT_EQ(7, again->m_nMarker);
    EXPECT_EQ(0u, again->m_bstrText.Length());
    EXPECT_FALSE(again->m_spTarget);
}

TEST(Factory, FreeListIsLastInFirstOutAndNeverShrinks) {
    std::vector<ITestThing*> things(5);
    for (ITestThing*& t : things) {
        ASSERT_HR(S_OK, g_oCF_Thing.CreateInstance(nullptr, IID_ITestThing, reinterpret_cast<void**>(&t)));
    }
    const size_t freeBefore = g_oCF_Thing.FreeCount();
    for (ITestThing* t : things) t->Release();
    EXPECT_EQ(freeBefore + 5, g_oCF_Thing.FreeCount());
    for (size_t i = things.size(); i-- > 0;) {
        ITestThing* again = nullptr;
        ASSERT_HR(S_OK, g_oCF_Thing.CreateInstance(nullptr, IID_ITestThing, reinterpret_cast<void**>(&again)));
        EXPECT_EQ(things[i], again) << i;
        things[i] = again;
    }
    for (ITestThing* t : things) t->Release();
    EXPECT_EQ(0, g_nThingCount);
}

TEST(Factory, UnsupportedInterfaceLeavesTheCountAndFreesTheBlock) {
    const size_t freeBefore = g_oCF_Thing.FreeCount();
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(E_NOINTERFACE, g_oCF_Thing.CreateInstance(nullptr, IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(0, g_nThingCount);
    EXPECT_EQ(std::max<size_t>(freeBefore, 1), g_oCF_Thing.FreeCount());
}

TEST(Factory, AggregationIsRefusedBeforeTakingABlock) {
    const int constructed = ThingCounters::constructed;
    const size_t freeBefore = g_oCF_Thing.FreeCount();
    CountingDispatch outer;
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(CLASS_E_NOAGGREGATION, g_oCF_Thing.CreateInstance(&outer, IID_IUnknown, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(constructed, ThingCounters::constructed);
    EXPECT_EQ(freeBefore, g_oCF_Thing.FreeCount());
}

TEST(Factory, UnpooledObjectsLiveOnTheHeap) {
    CComPtr<ITestThing> thing;
    ASSERT_HR(S_OK, g_oCF_HeapThing.CreateInstance(nullptr, IID_ITestThing, thing.ReceiveVoid()));
    EXPECT_EQ(1, g_nHeapThingCount);
    const int destroyed = ThingCounters::destroyed;
    thing.Reset();  // deleted: the sanitizer build reports a leak otherwise
    EXPECT_EQ(destroyed + 1, ThingCounters::destroyed);
    EXPECT_EQ(0, g_nHeapThingCount);
}

TEST(Factory, FailedContextStepReleasesTheNewObject) {
    // Outside a page there is no object context: the object is of no use and goes back.
    CComPtr<IGetContextProperties> probe;
    const HRESULT noContext = CoGetObjectContext(IID_IGetContextProperties, probe.ReceiveVoid());
    if (SUCCEEDED(noContext)) GTEST_SKIP() << "this host has an object context on every thread";
    const size_t freeBefore = g_oCF_CtxThing.FreeCount();
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(noContext, g_oCF_CtxThing.CreateInstance(nullptr, IID_ITestThing, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(0, g_nCtxThingCount);
    EXPECT_EQ(std::max<size_t>(freeBefore, 1), g_oCF_CtxThing.FreeCount());
}

TEST(Factory, ContextIsHandedToTheNewObject) {
    FakeContext context;
    veskhost::ObjectContextScope scope(&context);
    ThingCounters::inContextResult = S_OK;
    const int calls = ThingCounters::inContextCalls;
    CComPtr<ITestThing> thing;
    ASSERT_HR(S_OK, g_oCF_CtxThing.CreateInstance(nullptr, IID_ITestThing, thing.ReceiveVoid()));
    EXPECT_EQ(calls + 1, ThingCounters::inContextCalls);
    EXPECT_EQ(static_cast<IGetContextProperties*>(&context), static_cast<CCtxThingObject*>(thing.Get())->m_spContext.Get());
    EXPECT_EQ(1, g_nCtxThingCount);
    thing.Reset();
    EXPECT_EQ(0, g_nCtxThingCount);
    EXPECT_EQ(2u, context.m_cRef) << "only the scope's reference remains";
}

TEST(Factory, ObjectThatRefusesItsContextIsReleasedAndNotHandedOut) {
    FakeContext context;
    {
        veskhost::ObjectContextScope scope(&context);
        ThingCounters::inContextResult = hresult_of(0x80040001u);
        const size_t freeBefore = g_oCF_CtxThing.FreeCount();
        void* pv = reinterpret_cast<void*>(1);
        EXPECT_HR(hresult_of(0x80040001u), g_oCF_CtxThing.CreateInstance(nullptr, IID_ITestThing, &pv));
        ThingCounters::inContextResult = S_OK;
        EXPECT_EQ(nullptr, pv);
        EXPECT_EQ(0, g_nCtxThingCount);
        EXPECT_EQ(std::max<size_t>(freeBefore, 1), g_oCF_CtxThing.FreeCount());
    }
    EXPECT_EQ(1u, context.m_cRef) << "the released object gave its context back";
}

TEST(Factory, ContextFactoryRefusesAggregationWithoutAskingForAContext) {
    CountingDispatch outer;
    void* pv = nullptr;
    const int calls = ThingCounters::inContextCalls;
    EXPECT_HR(CLASS_E_NOAGGREGATION, g_oCF_CtxThing.CreateInstance(&outer, IID_IUnknown, &pv));
    EXPECT_EQ(calls, ThingCounters::inContextCalls);
    EXPECT_EQ(0, g_nCtxThingCount);
}

}  // namespace
}  // namespace vesk_test
