// Error information, object creation and the thread's object context.
#include <thread>
#include <vector>

#include "hostkit/runtime/class_registry.h"
#include "support/test_support.h"

using namespace vesk_test;

namespace {

CComPtr<IErrorInfo> make_error() {
    CComPtr<ICreateErrorInfo> create;
    CComPtr<IErrorInfo> info;
    EXPECT_HR(S_OK, CreateErrorInfo(create.Receive()));
    EXPECT_HR(S_OK, create.QueryInterface(info.Receive()));
    return info;
}

// One slot per thread, released when the thread ends; GetErrorInfo hands the slot's
// reference over and empties it; setting null clears it.
TEST(ErrorInfo, ThreadSlots) {
    auto refs = [](IUnknown* p) { return p->AddRef(), p->Release(); };
    CComPtr<IErrorInfo> mine = make_error(), theirs = make_error(), got, none;
    ASSERT_HR(S_OK, SetErrorInfo(0, mine.Get()));
    HRESULT seenByWorker = E_FAIL;
    std::thread([&] {
        seenByWorker = GetErrorInfo(0, none.Receive());
        SetErrorInfo(0, theirs.Get());
    }).join();
    EXPECT_HR(S_FALSE, seenByWorker);
    EXPECT_EQ((std::vector<ULONG>{1, 2}), (std::vector<ULONG>{refs(theirs.Get()), refs(mine.Get())}));
    ASSERT_HR(S_OK, GetErrorInfo(0, got.Receive()));
    EXPECT_EQ(mine.Get(), got.Get());
    EXPECT_EQ(2u, refs(mine.Get()));
    ASSERT_HR(S_OK, SetErrorInfo(0, mine.Get()));
    ASSERT_HR(S_OK, SetErrorInfo(0, nullptr));
    EXPECT_HR(S_FALSE, GetErrorInfo(0, none.Receive()));
    EXPECT_HR(E_INVALIDARG, GetErrorInfo(0, nullptr));
}

constexpr CLSID kScriptClsid = {0x6A3E5F10, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xAA}};
constexpr CLSID kSampleClsid = {0x6A3E5F10, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};  // the module's
constexpr CLSID kUnknownClsid = {0xDEADBEEF, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};

HRESULT create_script(IUnknown* outer, REFIID riid, void** ppv) {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    CComPtr<ScriptObject> obj = ScriptObject::Create();
    obj->SetProperty(L"Name", VarStr(L"host class")).SetDefaultMember(L"Name");
    return obj->QueryInterface(riid, ppv);
}

// A new instance's default value as text.
std::wstring created_value(const CLSID& clsid) {
    CComPtr<IDispatch> obj;
    EXPECT_HR(S_OK, CoCreateInstance(clsid, nullptr, 5, IID_IDispatch, obj.ReceiveVoid()));
    CComVariant v = VarDisp(obj.Get()), text;
    EXPECT_HR(S_OK, VariantChangeType(&text, &v, 0, VT_BSTR));
    return std::wstring(View(text.bstrVal));
}

TEST(ObjectCreation, RegisteredModuleAndUnknownClasses) {
    static const bool registered = veskhost::RegisterClassCreator(kScriptClsid, L"Test.Script", create_script);
    ASSERT_TRUE(registered);
    EXPECT_FALSE(veskhost::RegisterClassCreator(kScriptClsid, L"Other.Name", create_script));
    EXPECT_FALSE(veskhost::RegisterClassCreator(kSampleClsid, L"test.SCRIPT", create_script));
    CLSID clsid;
    ASSERT_HR(S_OK, veskhost::CLSIDFromProgID(L"TEST.script", &clsid));
    EXPECT_EQ(L"host class", created_value(clsid));
    EXPECT_HR(hresult_of(0x8007007Eu), veskhost::RegisterModuleClass("/nonexistent/module.so", kSampleClsid, L"x"));
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, veskhost::RegisterModuleClass(SAMPLE_MODULE_PATH, kUnknownClsid, L"x"));
    const HRESULT hr = veskhost::RegisterModuleClass(SAMPLE_MODULE_PATH, kSampleClsid, L"Sample.Object");
    ASSERT_TRUE(hr == S_OK || hr == S_FALSE) << HrName(hr);
    EXPECT_HR(S_FALSE, veskhost::RegisterModuleClass(SAMPLE_MODULE_PATH, kSampleClsid, L"Sample.Object"));
    EXPECT_EQ(L"from module", created_value(kSampleClsid));

    // A host finds the module's exported names through the registry, loading it once.
    const void* entry = nullptr;
    EXPECT_HR(S_OK, veskhost::GetModuleSymbol(SAMPLE_MODULE_PATH, "DllGetClassObject", &entry));
    EXPECT_NE(nullptr, entry);
    EXPECT_HR(hresult_of(0x8007007Fu), veskhost::GetModuleSymbol(SAMPLE_MODULE_PATH, "NoSuchName", &entry));
    EXPECT_EQ(nullptr, entry);
    EXPECT_HR(hresult_of(0x8007007Eu), veskhost::GetModuleSymbol("/nonexistent/module.so", "x", &entry));

    CountingDispatch outer;  // aggregation is refused without keeping the outer object
    for (const CLSID* c : {&kScriptClsid, &kSampleClsid, &kUnknownClsid}) {
        const HRESULT unknown = REGDB_E_CLASSNOTREG;
        const bool known = c != &kUnknownClsid;
        void* pv = &outer;
        EXPECT_HR(known ? CLASS_E_NOAGGREGATION : unknown, CoCreateInstance(*c, &outer, 5, IID_IUnknown, &pv));
        EXPECT_HR(known ? E_NOINTERFACE : unknown, CoCreateInstance(*c, nullptr, 5, IID_IStream, &pv));
        EXPECT_EQ(nullptr, pv);
    }
    EXPECT_EQ(1u, outer.RefCount());
    EXPECT_HR(hresult_of(0x800401F3u), veskhost::CLSIDFromProgID(L"No.Such.Class", &clsid));
}

// Scopes nest and restore the previous context; other threads never see this thread's.
TEST(ObjectContext, ScopesNestAndRestore) {
    CountingDispatch outer, inner;
    void* got = &outer;
    EXPECT_HR(CONTEXT_E_NOCONTEXT, CoGetObjectContext(IID_IDispatch, &got));
    EXPECT_EQ(nullptr, got);
    {
        veskhost::ObjectContextScope a(&outer);
        {
            veskhost::ObjectContextScope b(&inner);
            ASSERT_HR(S_OK, CoGetObjectContext(IID_IDispatch, &got));
            EXPECT_EQ(static_cast<IDispatch*>(&inner), got);
            EXPECT_EQ(2u, inner.Release());  // ours released, the scope's left
            HRESULT seenByOtherThread = S_OK;
            std::thread([&] { seenByOtherThread = CoGetObjectContext(IID_IUnknown, &got); }).join();
            EXPECT_HR(CONTEXT_E_NOCONTEXT, seenByOtherThread);
        }
        ASSERT_HR(S_OK, CoGetObjectContext(IID_IUnknown, &got));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), got);
        outer.Release();
    }
    EXPECT_EQ((std::vector<ULONG>{1, 1}), (std::vector<ULONG>{outer.RefCount(), inner.RefCount()}));
    EXPECT_HR(CONTEXT_E_NOCONTEXT, CoGetObjectContext(IID_IUnknown, &got));
}

}  // namespace
