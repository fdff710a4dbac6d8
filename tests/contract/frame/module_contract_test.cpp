// Module entry, class objects and object pools, through the exports and IClassFactory only.
#include "contract/common/late_bound.h"
#include "contract/common/loaded_module.h"
#include "support/test_support.h"

#include <atomic>
#include <thread>
#include <vector>

namespace vesk_test {
namespace {

constexpr GUID kUtilityClsid = {0x1A467961, 0xD027, 0x4F29, {0x81, 0x47, 0x76, 0x3F, 0x49, 0x82, 0x8C, 0xFF}};
constexpr GUID kUnknownClsid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

using ModuleContract = ContractTest;

// ---- Identifiers -----------------------------------------------------------------------

TEST_F(ModuleContract, ExportsTheLibraryIdentifiersWithTheirFixedValues) {
    struct Row {
        const char* name;
        GUID value;
    };
    const Row rows[] = {
        {"CLSID_Vesk", {0x76F1169D, 0xB727, 0x47A9, {0x8D, 0xA5, 0xF9, 0x59, 0xDB, 0x74, 0xA5, 0x12}}},
        {"CLSID_TextTemplator", {0xAC02DE9A, 0x9C6C, 0x428F, {0xB9, 0x87, 0xE3, 0xE4, 0x67, 0x4D, 0xDE, 0x28}}},
        {"CLSID_Utility", kUtilityClsid},
        {"IID_IVesk", {0x074BD3FD, 0x24C4, 0x4EE2, {0x91, 0x03, 0x6B, 0xF2, 0xD5, 0xD7, 0x41, 0x2E}}},
        {"IID_IVeskedTemplator", {0x94C23DF3, 0x9567, 0x4BC3, {0x9D, 0x4A, 0x6E, 0x1C, 0xEE, 0x03, 0x95, 0xA6}}},
        {"IID_IFormFile", {0xED00526A, 0x47B9, 0x4F81, {0x8F, 0xDD, 0x77, 0xC0, 0xD1, 0x08, 0xB1, 0x28}}},
        {"IID_ITextTemplator", {0x6B513D54, 0xC48B, 0x41AA, {0x9E, 0x61, 0xF4, 0x53, 0x62, 0xCF, 0xE4, 0x71}}},
        {"IID_IUtility", {0x34A5713B, 0x06BE, 0x4F0C, {0xBD, 0xCD, 0x68, 0xA4, 0x27, 0xCD, 0xAD, 0x8A}}},
    };
    for (const Row& row : rows) {
        EXPECT_TRUE(guid_equal(row.value, Module().Guid(row.name))) << row.name;
    }
}

TEST_F(ModuleContract, IsEqualGuidComparesAllSixteenBytes) {
    GUID other = kUtilityClsid;
    EXPECT_NE(FALSE, Module().IsEqualGuid(kUtilityClsid, other));
    other.Data4[7] ^= 1;
    EXPECT_EQ(FALSE, Module().IsEqualGuid(kUtilityClsid, other));
    other = kUtilityClsid;
    other.Data1 ^= 0x80000000u;
    EXPECT_EQ(FALSE, Module().IsEqualGuid(kUtilityClsid, other));
}

// ---- Class lookup ----------------------------------------------------------------------

TEST_F(ModuleContract, FindsTheUtilityClassByIdentifierAndByExactName) {
    CComPtr<IClassFactory> byId;
    ASSERT_HR(S_OK, Module().GetClassObject(kUtilityClsid, IID_IClassFactory, byId.ReceiveVoid()));
    CComPtr<IClassFactory> byName;
    void* pv = nullptr;
    ASSERT_HR(S_OK, Module().GetClassObjectByName(L"Utility", IID_IClassFactory, &pv));
    byName.Attach(static_cast<IClassFactory*>(pv));
    EXPECT_EQ(byId.Get(), byName.Get()) << "one factory singleton per class";
}

TEST_F(ModuleContract, RefusesUnknownClassesAndNamesInAnotherCase) {
    const wchar_t* const names[] = {L"utility", L"UTILITY", L"Vesk.Utility", L"Nothing", L" Utility"};
    for (const wchar_t* name : names) {
        void* pv = nullptr;
        EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, Module().GetClassObjectByName(name, IID_IClassFactory, &pv))
            << Utf8(name);
    }
    void* pv = nullptr;
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, Module().GetClassObject(kUnknownClsid, IID_IClassFactory, &pv));
}

TEST_F(ModuleContract, NullOrEmptyNameMeansThePageControllerClass) {
    // Whatever the page controller's factory answers, a null or empty name answers the same.
    void* byVesk = nullptr;
    const HRESULT hrVesk = Module().GetClassObjectByName(L"Vesk", IID_IClassFactory, &byVesk);
    void* byNull = nullptr;
    const HRESULT hrNull = Module().GetClassObjectByName(nullptr, IID_IClassFactory, &byNull);
    void* byEmpty = nullptr;
    const HRESULT hrEmpty = Module().GetClassObjectByName(L"", IID_IClassFactory, &byEmpty);
    EXPECT_HR(hrVesk, hrNull);
    EXPECT_HR(hrVesk, hrEmpty);
    if (SUCCEEDED(hrVesk)) {
        EXPECT_EQ(byVesk, byNull);
        EXPECT_EQ(byVesk, byEmpty);
        for (void* p : {byVesk, byNull, byEmpty}) static_cast<IClassFactory*>(p)->Release();
    }
}

TEST_F(ModuleContract, FactoryAnswersOnlyUnknownAndClassFactory) {
    CComPtr<IUnknown> unknown;
    EXPECT_HR(S_OK, Module().GetClassObject(kUtilityClsid, IID_IUnknown, unknown.ReceiveVoid()));
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(E_NOINTERFACE, Module().GetClassObject(kUtilityClsid, IID_IDispatch, &pv));
    EXPECT_EQ(nullptr, pv);
}

// ---- Unloading -------------------------------------------------------------------------

TEST_F(ModuleContract, CanUnloadOnlyWhileNoFactoryOrObjectIsHeld) {
    CComPtr<IClassFactory> factory = Module().Factory(L"Utility");
    EXPECT_HR(S_FALSE, Module().CanUnloadNow());
    CComPtr<IDispatch> object;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, object.ReceiveVoid()));
    factory.Reset();
    EXPECT_HR(S_FALSE, Module().CanUnloadNow()) << "a live object holds the module";
    object.Reset();
    EXPECT_HR(S_OK, Module().CanUnloadNow()) << "pooled memory does not hold the module";
}

TEST_F(ModuleContract, ServerLocksAreNotCounted) {
    CComPtr<IClassFactory> factory = Module().Factory(L"Utility");
    EXPECT_HR(S_OK, factory->LockServer(TRUE));
    factory.Reset();
    EXPECT_HR(S_OK, Module().CanUnloadNow());
}

TEST_F(ModuleContract, RegistrationSucceedsWithoutARegistry) {
    EXPECT_HR(S_OK, Module().RegisterServer());
    EXPECT_HR(S_OK, Module().UnregisterServer());
}

TEST_F(ModuleContract, DllMainThreadNotificationsChangeNothing) {
    ASSERT_NE(nullptr, Module().Main) << "DllMain is exported under its decorated name";
    EXPECT_NE(FALSE, Module().Main(nullptr, 2, nullptr));
    EXPECT_NE(FALSE, Module().Main(nullptr, 3, nullptr));
    CComPtr<IDispatch> util = Module().Create(L"Utility");
    EXPECT_HR(S_OK, LateBound(util.Get()).Call(L"Trim", VarStr(L" x ")).hr);
}

TEST_F(ModuleContract, AttachWithoutTypeLibrariesKeepsTheBuiltInTypeInformation) {
    // There is no type library beside the module here, so attach reports zero and dispatch
    // goes on from the built-in tables.
    EXPECT_EQ(FALSE, Module().Main(nullptr, 1, nullptr));
    CComPtr<IDispatch> util = Module().Create(L"Utility");
    CallResult r = LateBound(util.Get()).Call(L"MD5", VarStr(L"abc"), VarI4(0));
    ASSERT_HR(S_OK, r.hr);
    EXPECT_BSTR_EQ(L"900150983cd24fb0d6963f7d28e17f72", r.value.bstrVal);
}

// ---- Creation and pools ----------------------------------------------------------------

TEST_F(ModuleContract, ReleasedObjectBlockIsReusedByTheNextCreation) {
    CComPtr<IClassFactory> factory = Module().Factory(L"Utility");
    IDispatch* first = nullptr;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&first)));
    first->Release();
    CComPtr<IDispatch> second;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, second.ReceiveVoid()));
    EXPECT_EQ(static_cast<void*>(first), static_cast<void*>(second.Get()));
    // The reused object is fully constructed again: it answers calls as a fresh one does.
    CallResult r = LateBound(second.Get()).Call(L"HTMLEncode", VarStr(L"<"));
    ASSERT_HR(S_OK, r.hr);
    EXPECT_BSTR_EQ(L"&lt;", r.value.bstrVal);
}

TEST_F(ModuleContract, PoolHandsOutTheLastFreedBlockFirst) {
    CComPtr<IClassFactory> factory = Module().Factory(L"Utility");
    IDispatch* a = nullptr;
    IDispatch* b = nullptr;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&a)));
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&b)));
    ASSERT_NE(a, b);
    void* const blockA = a;
    void* const blockB = b;
    a->Release();
    b->Release();
    CComPtr<IDispatch> c, d;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, c.ReceiveVoid()));
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, d.ReceiveVoid()));
    EXPECT_EQ(blockB, static_cast<void*>(c.Get()));
    EXPECT_EQ(blockA, static_cast<void*>(d.Get()));
}

TEST_F(ModuleContract, AggregationIsRefusedWithoutCreatingAnything) {
    CComPtr<IClassFactory> factory = Module().Factory(L"Utility");
    CountingDispatch outer;
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IUnknown, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(1u, outer.RefCount());
    factory.Reset();
    EXPECT_HR(S_OK, Module().CanUnloadNow());
}

TEST_F(ModuleContract, UnsupportedInterfaceSendsTheNewObjectBackToThePool) {
    CComPtr<IClassFactory> factory = Module().Factory(L"Utility");
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    factory.Reset();
    EXPECT_HR(S_OK, Module().CanUnloadNow());
}

TEST_F(ModuleContract, ObjectAnswersUnknownDispatchAndItsOwnInterface) {
    CComPtr<IDispatch> util = Module().Create(L"Utility");
    ASSERT_TRUE(util);
    CComPtr<IUnknown> unknown;
    EXPECT_HR(S_OK, util->QueryInterface(IID_IUnknown, unknown.ReceiveVoid()));
    EXPECT_EQ(static_cast<void*>(util.Get()), static_cast<void*>(unknown.Get()));
    CComPtr<IUnknown> own;
    EXPECT_HR(S_OK, util->QueryInterface(Module().Guid("IID_IUtility"), own.ReceiveVoid()));
    EXPECT_EQ(static_cast<void*>(util.Get()), static_cast<void*>(own.Get()));
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(E_NOINTERFACE, util->QueryInterface(Module().Guid("IID_IVesk"), &pv));
    EXPECT_EQ(nullptr, pv);
}

TEST_F(ModuleContract, ObjectReferenceCountCountsItsOwnReferences) {
    CComPtr<IDispatch> util = Module().Create(L"Utility");
    EXPECT_EQ(2u, util->AddRef());
    EXPECT_EQ(1u, util->Release());
}

TEST_F(ModuleContract, ObjectsOnSeveralThreadsComeAndGoWithoutLosingCount) {
    // Each thread uses its own objects (apartment rule); only the pool and the module count
    // are shared.
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures] {
            CComPtr<IClassFactory> factory = Module().Factory(L"Utility");
            for (int i = 0; i < 500; ++i) {
                CComPtr<IDispatch> a, b;
                if (FAILED(factory->CreateInstance(nullptr, IID_IDispatch, a.ReceiveVoid())) ||
                    FAILED(factory->CreateInstance(nullptr, IID_IDispatch, b.ReceiveVoid())) ||
                    a.Get() == b.Get()) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_HR(S_OK, Module().CanUnloadNow());
}

}  // namespace
}  // namespace vesk_test
