// Module entry, class objects, object pools and the late-bound call rules, through the
// exports, IClassFactory and IDispatch only.
#include <atomic>
#include <thread>

#include "contract/common/late_bound.h"
#include "contract/common/loaded_module.h"
#include "support/test_support.h"

namespace {
using namespace vesk_test;

constexpr GUID kUtilityClsid = {0x1A467961, 0xD027, 0x4F29, {0x81, 0x47, 0x76, 0x3F, 0x49, 0x82, 0x8C, 0xFF}};
constexpr wchar_t kAbcMd5[] = L"900150983cd24fb0d6963f7d28e17f72";

CComVariant Ref(VARIANT& target) {
    CComVariant ref;
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &target;
    return ref;
}

using ModuleContract = ContractTest;

TEST_F(ModuleContract, ClassLookupByIdentifierAndByExactName) {
    CComPtr<IClassFactory> byId;
    ASSERT_HR(S_OK, Module().GetClassObject(kUtilityClsid, IID_IClassFactory, byId.ReceiveVoid()));
    EXPECT_EQ(byId.Get(), Module().Factory(L"Utility").Get()) << "one factory per class";
    for (const wchar_t* name : {L"utility", L"UTILITY", L"Vesk.Utility", L" Utility", L"Nothing"}) {
        void* pv = nullptr;
        EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, Module().GetClassObjectByName(name, IID_IClassFactory, &pv)) << Utf8(name);
    }
    GUID other = kUtilityClsid;
    other.Data4[7] ^= 1;  // every byte of the identifier counts
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, Module().GetClassObject(other, IID_IClassFactory, &pv));
    EXPECT_HR(E_NOINTERFACE, Module().GetClassObject(kUtilityClsid, IID_IDispatch, &pv)) << "a factory is no object";
    EXPECT_EQ(nullptr, pv);
    EXPECT_HR(E_POINTER, Module().GetClassObject(kUtilityClsid, IID_IClassFactory, nullptr));
    // A null or empty name means the page controller class, whatever that answers.
    void* vesk = nullptr;
    const HRESULT hrVesk = Module().GetClassObjectByName(L"Vesk", IID_IClassFactory, &vesk);
    for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L""}) {
        EXPECT_HR(hrVesk, Module().GetClassObjectByName(name, IID_IClassFactory, &pv));
        EXPECT_TRUE(FAILED(hrVesk) || pv == vesk);
        if (SUCCEEDED(hrVesk)) static_cast<IClassFactory*>(pv)->Release();
    }
    if (SUCCEEDED(hrVesk)) static_cast<IClassFactory*>(vesk)->Release();
}

TEST_F(ModuleContract, ObjectsAndFactoriesHoldTheModuleServerLocksAndPooledBlocksDoNot) {
    CComPtr<IClassFactory> factory = Module().Factory(L"Utility");
    EXPECT_HR(S_FALSE, Module().CanUnloadNow());
    EXPECT_HR(S_OK, factory->LockServer(TRUE));
    CComPtr<IDispatch> object = Module().Create(L"Utility");
    factory.Reset();
    EXPECT_HR(S_FALSE, Module().CanUnloadNow()) << "a live object holds the module";
    CComPtr<IUnknown> own;
    EXPECT_HR(S_OK, object->QueryInterface(Module().Guid("IID_IUtility"), own.ReceiveVoid()));
    EXPECT_EQ(object.Get(), own.Get());
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(E_NOINTERFACE, object->QueryInterface(Module().Guid("IID_IVesk"), &pv));
    EXPECT_EQ(nullptr, pv);
    // TearDown finds the module free again once all are released, the pooled block notwithstanding.
}

TEST_F(ModuleContract, PoolHandsOutTheLastFreedBlockFirstAndRebuildsIt) {
    CComPtr<IClassFactory> factory = Module().Factory(L"Utility");
    IDispatch* a = Module().Create(L"Utility").Detach();
    IDispatch* b = Module().Create(L"Utility").Detach();
    ASSERT_NE(a, b);
    a->Release();
    b->Release();
    CComPtr<IDispatch> c = Module().Create(L"Utility");
    EXPECT_EQ(b, c.Get()) << "the last freed block first";
    // Neither a refused aggregation nor a refused interface may lose or keep a block.
    CountingDispatch outer;
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IUnknown, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(1u, outer.RefCount());
    EXPECT_HR(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    CComPtr<IDispatch> d = Module().Create(L"Utility");
    EXPECT_EQ(a, d.Get());
    EXPECT_BSTR_EQ(L"&lt;", LateBound(c.Get()).Call(L"HTMLEncode", VarStr(L"<")).value.bstrVal);
}

TEST_F(ModuleContract, ObjectsOnSeveralThreadsComeAndGoWithoutLosingCount) {
    // Each thread uses its own objects; only the pool and the module count are shared.
    std::atomic<int> failures{0};
    auto work = [&failures] {
        for (int i = 0; i < 500; ++i) {
            CComPtr<IDispatch> a = Module().Create(L"Utility"), b = Module().Create(L"Utility");
            failures += !a || a.Get() == b.Get();
        }
    };
    std::thread threads[] = {std::thread(work), std::thread(work), std::thread(work), std::thread(work)};
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
}

TEST_F(ModuleContract, RegistrationAndDllMainKeepTheBuiltInTypeInformation) {
    EXPECT_TRUE(Module().RegisterServer() == S_OK && Module().UnregisterServer() == S_OK);
    ASSERT_NE(nullptr, Module().Main) << "DllMain is exported under its decorated name";
    EXPECT_EQ(FALSE, Module().Main(nullptr, 1, nullptr)) << "no type library beside the module";
    EXPECT_TRUE(Module().Main(nullptr, 2, nullptr) && Module().Main(nullptr, 3, nullptr)) << "thread notices";
    CComPtr<IDispatch> util = Module().Create(L"Utility");
    EXPECT_BSTR_EQ(kAbcMd5, LateBound(util.Get()).Call(L"MD5", VarStr(L"abc"), VarI4(0)).value.bstrVal);
}

// ---- Late-bound calls, on the utility object --------------------------------------------

using DispatchContract = ContractTest;

TEST_F(DispatchContract, EveryMemberByNameInAnyCaseAndItsRequiredArguments) {
    CComPtr<IDispatch> util = Module().Create(L"Utility");
    LateBound late(util.Get());
    struct Row { const wchar_t* name; DISPID id; int required; };
    const Row rows[] = {
        {L"MakeKey", 41, 2},
        {L"MAKEGUID", 42, 1},
        {L"sleep", 43, 1},
        {L"md5", 44, 2},
        {L"Sha1", 45, 2},
        {L"findSTRING", 46, 2},
        {L"HanToZen", 47, 1},
        {L"zentohan", 48, 1},
        {L"SubmitDecode", 49, 1},
        {L"TRIM", 50, 1},
        {L"HtmlEncode", 51, 1},
        {L"base64encode", 52, 2},
        {L"UrlEncode", 53, 2},
        {L"BASE64DECODE", 54, 2},
        {L"urldecode", 55, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.name));
        DISPID id = DISPID_UNKNOWN;
        EXPECT_HR(S_OK, late.Id(row.name, &id));
        EXPECT_EQ(row.id, id);
        for (int given = 0; given < row.required; ++given) {
            std::vector<CComVariant> args(given);
            for (CComVariant& arg : args) arg = VarStr(L"1");
            CallResult r = late.InvokeId(row.id, DISPATCH_METHOD, std::move(args));
            EXPECT_HR(DISP_E_BADPARAMCOUNT, r.hr) << given << " arguments";
            EXPECT_EQ(VT_EMPTY, r.value.vt);
        }
    }
    DISPID id = 0;
    for (const wchar_t* name : {L"Bag", L"Script", L"MD55", L""}) EXPECT_HR(DISP_E_UNKNOWNNAME, late.Id(name, &id));
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"trim")};
    EXPECT_HR(E_INVALIDARG, util->GetIDsOfNames(IID_NULL, names, 0, 0, &id));
    EXPECT_HR(E_INVALIDARG, util->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id));
    EXPECT_HR(E_INVALIDARG, util->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr));
}

TEST_F(DispatchContract, CallFlagsChooseTheRow) {
    CComPtr<IDispatch> util = Module().Create(L"Utility");
    LateBound late(util.Get());
    // Script engines call a method with the method and property-read bits together.
    for (WORD flags : {DISPATCH_METHOD, WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET)})
        EXPECT_HR(S_OK, late.InvokeNamed(L"Sleep", flags, ArgList(VarI4(0))).hr) << flags;
    for (WORD flags : {DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF, WORD(0)})
        EXPECT_HR(DISP_E_MEMBERNOTFOUND, late.InvokeNamed(L"Sleep", flags, ArgList(VarI4(0))).hr) << flags;
    for (DISPID id : {0, 40, 56, -1, DISPID_PROPERTYPUT}) EXPECT_HR(DISP_E_MEMBERNOTFOUND, late.InvokeId(id, DISPATCH_METHOD, {}).hr) << id;
    EXPECT_HR(DISP_E_BADPARAMCOUNT, util->Invoke(50, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));
    // An object property is set by reference only.
    CComPtr<IDispatch> templator = Module().Create(L"TextTemplator");
    CountingDispatch script;
    LateBound t(templator.Get());
    EXPECT_HR(DISP_E_MEMBERNOTFOUND, t.InvokeNamed(L"Script", DISPATCH_PROPERTYPUT, ArgList(VarDisp(&script))).hr);
    EXPECT_HR(S_OK, t.InvokeNamed(L"Script", DISPATCH_PROPERTYPUTREF, ArgList(VarDisp(&script))).hr);
    EXPECT_EQ(2u, script.RefCount());
    EXPECT_HR(E_INVALIDARG, t.InvokeNamed(L"Script", DISPATCH_PROPERTYPUTREF, ArgList(VarDisp(nullptr))).hr) << "Nothing";
    templator.Reset();
    EXPECT_EQ(1u, script.RefCount());
}

TEST_F(DispatchContract, ArgumentsResultsAndFailures) {
    CComPtr<IDispatch> util = Module().Create(L"Utility");
    LateBound late(util.Get());
    CComVariant text = VarStr(L"abc"), charset = VarI4(0);
    EXPECT_BSTR_EQ(kAbcMd5, late.InvokeNamed(L"MD5", DISPATCH_METHOD, ArgList(Ref(text), Ref(charset))).value.bstrVal);
    EXPECT_BSTR_EQ(L"abc", text.bstrVal) << "the referenced value stays the caller's";
    EXPECT_BSTR_EQ(L"abc", late.Call(L"HTMLEncode", Ref(text)).value.bstrVal) << "coerced through the reference";
    EXPECT_BSTR_EQ(kAbcMd5, late.Call(L"MD5", VarStr(L"abc"), VarStr(L"0")).value.bstrVal) << "charset from text";
    EXPECT_BSTR_EQ(kAbcMd5, late.Call(L"MD5", VarStr(L"abc"), VarI4(0), VarStr(L"extra")).value.bstrVal);
    EXPECT_BSTR_EQ(L"42", late.Call(L"Trim", VarI4(42)).value.bstrVal);
    EXPECT_HR(DISP_E_TYPEMISMATCH, late.Call(L"MakeKey", VarStr(L"eight"), VarStr(L"AB")).hr);
    EXPECT_HR(DISP_E_TYPEMISMATCH, late.Call(L"Trim", VarNull()).hr);
    // The sanitizer build's leak check catches a result that is dropped instead of freed.
    for (const wchar_t* name : {L"MD5", L"Base64Encode", L"URLEncode", L"Base64Decode", L"URLDecode"})
        EXPECT_HR(S_OK, late.InvokeNamed(name, DISPATCH_METHOD, ArgList(VarStr(L"YWJj"), VarI4(-2)), false).hr) << Utf8(name);
    SetErrorInfo(0, nullptr);
    EXPECT_HR(E_FAIL, late.Call(L"URLDecode", VarStr(L"a+b"), VarI4(0)).hr);
    EXPECT_HR(E_INVALIDARG, late.Call(L"MD5", VarI4(1), VarI4(0)).hr);
    CComPtr<IErrorInfo> info;
    EXPECT_HR(S_FALSE, GetErrorInfo(0, info.Receive()));
}

}  // namespace
