// Identifiers, GUIDs, type libraries, object creation and the thread's object context.
#include <set>
#include <string>
#include <thread>

#include "hostkit/runtime/registry.h"
#include "support/test_support.h"

using namespace vesk_test;

namespace {

std::wstring text_of(const GUID& g) {
    wchar_t buf[39];
    EXPECT_EQ(39, StringFromGUID2(g, buf, 39));
    return buf;
}

// The published text forms; several differ from a neighbour in one digit only.
TEST(Identifiers, PublishedValues) {
    const std::pair<const GUID*, const wchar_t*> rows[] = {
        {&GUID_NULL, L"{00000000-0000-0000-0000-000000000000}"},
        {&CLSID_NULL, L"{00000000-0000-0000-0000-000000000000}"},
        {&IID_NULL, L"{00000000-0000-0000-0000-000000000000}"},
        {&IID_IUnknown, L"{00000000-0000-0000-C000-000000000046}"},
        {&IID_IClassFactory, L"{00000001-0000-0000-C000-000000000046}"},
        {&IID_IStream, L"{0000000C-0000-0000-C000-000000000046}"},
        {&IID_ISequentialStream, L"{0C733A30-2A1C-11CE-ADE5-00AA0044773D}"},
        {&IID_IDispatch, L"{00020400-0000-0000-C000-000000000046}"},
        {&IID_ITypeInfo, L"{00020401-0000-0000-C000-000000000046}"},
        {&IID_ITypeLib, L"{00020402-0000-0000-C000-000000000046}"},
        {&IID_IErrorInfo, L"{1CF2B120-547D-101B-8E65-08002B2BD119}"},
        {&IID_ICreateErrorInfo, L"{22F03340-547D-101B-8E65-08002B2BD119}"},
        {&IID_ISupportErrorInfo, L"{DF0B3D60-548F-101B-8E65-08002B2BD119}"},
        {&IID_IGetContextProperties, L"{51372AF4-CAE7-11CF-BE81-00AA00A2FA25}"},
        {&IID_IStringList, L"{D97A6DA0-A85D-11CF-83AE-00A0C90C2BD8}"},
        {&IID_IRequestDictionary, L"{D97A6DA0-A85F-11DF-83AE-00A0C90C2BD8}"},
        {&IID_IRequest, L"{D97A6DA0-A861-11CF-93AE-00A0C90C2BD8}"},
        {&IID_IWriteCookie, L"{D97A6DA0-A862-11CF-84AE-00A0C90C2BD8}"},
        {&IID_IReadCookie, L"{71EAF260-0CE0-11D0-A53E-00A0C90C2091}"},
        {&IID_IResponse, L"{D97A6DA0-A864-11CF-83BE-00A0C90C2BD8}"},
        {&IID_ISessionObject, L"{D97A6DA0-A865-11CF-83AF-00A0C90C2BD8}"},
        {&IID_IApplicationObject, L"{D97A6DA0-A866-11CF-83AE-10A0C90C2BD8}"},
        {&IID_IServer, L"{D97A6DA0-A867-11CF-83AE-01A0C90C2BD8}"},
        {&IID_IVariantDictionary, L"{4A7DEB90-B069-11D0-B373-00A0C90C2BD8}"},
        {&CLSID_Stream, L"{00000566-0000-0010-8000-00AA006D2EA4}"},
        {&CLSID_Command, L"{00000507-0000-0010-8000-00AA006D2EA4}"},
        {&CLSID_Dictionary, L"{EE09B103-97E0-11CF-978F-00A02463E06F}"},
        {&IID_IZULibStream, L"{0DC3ACF0-A765-45F0-80CD-1EDBC2295493}"},
        {&IID_IZULDBCommand, L"{809DAE62-5F7C-4773-A970-CC991321FB45}"},
        {&IID_IZULibDictionary, L"{942A0F7B-5D13-4206-ABB3-072AEDBE96A5}"},
        {&IID_ITextStream, L"{81502641-7ABA-495C-BEB1-30C7460C046B}"},
    };
    for (const auto& [guid, text] : rows) EXPECT_EQ(std::wstring(text), text_of(*guid));
}

TEST(Guids, TextNeedsThirtyNineCharacters) {
    wchar_t buf[40];
    for (wchar_t& c : buf) c = L'#';
    EXPECT_EQ(0, StringFromGUID2(IID_IDispatch, buf, 38));
    EXPECT_EQ(L'#', buf[0]);
    EXPECT_EQ(0, StringFromGUID2(IID_IDispatch, nullptr, 39));
    EXPECT_EQ(39, StringFromGUID2(IID_IDispatch, buf, 40));
    EXPECT_EQ(L'\0', buf[38]);
    EXPECT_EQ(L'#', buf[39]);
}

TEST(Guids, CreatedGuidsAreRandomVersionFour) {
    std::set<std::wstring> seen;
    for (int i = 0; i < 64; ++i) {
        GUID g;
        ASSERT_HR(S_OK, CoCreateGuid(&g));
        EXPECT_EQ(0x4000, g.Data3 & 0xF000);
        EXPECT_EQ(0x80, g.Data4[0] & 0xC0);
        seen.insert(text_of(g));
    }
    EXPECT_EQ(64u, seen.size());
    EXPECT_HR(E_INVALIDARG, CoCreateGuid(nullptr));
}

TEST(TypeLibraries, LoadingFailsCleanly) {
    ITypeLib* lib = reinterpret_cast<ITypeLib*>(1);
    EXPECT_HR(TYPE_E_CANTLOADLIBRARY, LoadTypeLib(L"Vesk.tlb", &lib));
    EXPECT_EQ(nullptr, lib);
}

// {6A3E5F10-0000-4000-8000-0000000000AA}: a host class registered by a test.
constexpr CLSID kScriptClsid = {0x6A3E5F10, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xAA}};
constexpr CLSID kSampleClsid = {0x6A3E5F10, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};

HRESULT create_script(IUnknown* outer, REFIID riid, void** ppv) {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    CComPtr<ScriptObject> obj = ScriptObject::Create();
    obj->SetProperty(L"Name", VarStr(L"host class")).SetDefaultMember(L"Name");
    return obj->QueryInterface(riid, ppv);
}

CComBSTR value_of(IDispatch* obj) {
    CComVariant v = VarDisp(obj);
    CComVariant text;
    EXPECT_HR(S_OK, VariantChangeType(&text, &v, 0, VT_BSTR));
    CComBSTR out(text.bstrVal);
    return out;
}

TEST(ObjectCreation, RegisteredHostClass) {
    static const bool registered = veskhost::RegisterClassCreator(kScriptClsid, L"Test.Script", create_script);
    ASSERT_TRUE(registered);
    EXPECT_FALSE(veskhost::RegisterClassCreator(kScriptClsid, L"Other.Name", create_script));
    EXPECT_FALSE(veskhost::RegisterClassCreator(kSampleClsid, L"test.SCRIPT", create_script));

    CLSID clsid;
    ASSERT_HR(S_OK, veskhost::CLSIDFromProgID(L"TEST.script", &clsid));
    EXPECT_TRUE(guid_equal(kScriptClsid, clsid));
    CComPtr<IDispatch> obj;
    ASSERT_HR(S_OK, CoCreateInstance(clsid, nullptr, 5, IID_IDispatch, obj.ReceiveVoid()));
    EXPECT_BSTR_EQ(L"host class", value_of(obj.Get()));

    CountingDispatch outer;
    CComPtr<IUnknown> inner;
    EXPECT_HR(CLASS_E_NOAGGREGATION, CoCreateInstance(clsid, &outer, 5, IID_IUnknown, inner.ReceiveVoid()));
    EXPECT_HR(CLASS_E_NOAGGREGATION, CoCreateInstance(clsid, &outer, 5, IID_IDispatch, inner.ReceiveVoid()));
    EXPECT_EQ(1u, outer.RefCount());
    EXPECT_HR(E_NOINTERFACE, CoCreateInstance(clsid, nullptr, 5, IID_IStream, inner.ReceiveVoid()));
    EXPECT_EQ(nullptr, inner.Get());
}

TEST(ObjectCreation, UnknownClassesAndProgIds) {
    const CLSID unknown = {0xDEADBEEF, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    void* out = reinterpret_cast<void*>(1);
    EXPECT_HR(REGDB_E_CLASSNOTREG, CoCreateInstance(unknown, nullptr, 5, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_HR(E_POINTER, CoCreateInstance(unknown, nullptr, 5, IID_IUnknown, nullptr));
    CLSID clsid;
    EXPECT_HR(hresult_of(0x800401F3u), veskhost::CLSIDFromProgID(L"No.Such.Class", &clsid));
    EXPECT_TRUE(guid_equal(CLSID_NULL, clsid));
}

TEST(ObjectCreation, ModuleClassThroughItsClassFactory) {
    EXPECT_HR(hresult_of(0x8007007Eu), veskhost::RegisterModuleClass("/nonexistent/module.so", kSampleClsid, L"x"));
    const CLSID other = {0x6A3E5F10, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x02}};
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, veskhost::RegisterModuleClass(SAMPLE_MODULE_PATH, other, L"Sample.Other"));
    const HRESULT hr = veskhost::RegisterModuleClass(SAMPLE_MODULE_PATH, kSampleClsid, L"Sample.Object");
    ASSERT_TRUE(hr == S_OK || hr == S_FALSE) << HrName(hr);
    EXPECT_HR(S_FALSE, veskhost::RegisterModuleClass(SAMPLE_MODULE_PATH, kSampleClsid, L"Sample.Object"));
    CComPtr<IDispatch> obj;
    ASSERT_HR(S_OK, CoCreateInstance(kSampleClsid, nullptr, 5, IID_IDispatch, obj.ReceiveVoid()));
    EXPECT_BSTR_EQ(L"from module", value_of(obj.Get()));
    CountingDispatch outer;
    CComPtr<IUnknown> inner;
    EXPECT_HR(CLASS_E_NOAGGREGATION, CoCreateInstance(kSampleClsid, &outer, 5, IID_IUnknown, inner.ReceiveVoid()));
}

TEST(ObjectContext, ScopesNestAndRestore) {
    IDispatch* none = reinterpret_cast<IDispatch*>(1);
    EXPECT_HR(CONTEXT_E_NOCONTEXT, CoGetObjectContext(IID_IDispatch, reinterpret_cast<void**>(&none)));
    EXPECT_EQ(nullptr, none);
    CountingDispatch outer, inner;
    {
        veskhost::ObjectContextScope a(&outer);
        EXPECT_EQ(2u, outer.RefCount());
        {
            veskhost::ObjectContextScope b(&inner);
            CComPtr<IDispatch> got;
            ASSERT_HR(S_OK, CoGetObjectContext(IID_IDispatch, got.ReceiveVoid()));
            EXPECT_EQ(&inner, got.Get());
            CComPtr<IStream> wrong;
            EXPECT_HR(E_NOINTERFACE, CoGetObjectContext(IID_IStream, wrong.ReceiveVoid()));
            HRESULT seenByOtherThread = S_OK;
            std::thread([&] {
                void* p = nullptr;
                seenByOtherThread = CoGetObjectContext(IID_IUnknown, &p);
            }).join();
            EXPECT_HR(CONTEXT_E_NOCONTEXT, seenByOtherThread);
        }
        EXPECT_EQ(1u, inner.RefCount());
        CComPtr<IUnknown> got;
        ASSERT_HR(S_OK, CoGetObjectContext(IID_IUnknown, got.ReceiveVoid()));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), got.Get());
    }
    EXPECT_EQ(1u, outer.RefCount());
    veskhost::SetThreadObjectContext(&outer);
    EXPECT_EQ(2u, outer.RefCount());
    veskhost::SetThreadObjectContext(nullptr);
    EXPECT_EQ(1u, outer.RefCount());
}

}  // namespace
