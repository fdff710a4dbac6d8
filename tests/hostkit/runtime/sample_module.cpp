// A component module with one class, served through DllGetClassObject like any library the
// host loads. Its object answers DISPID_VALUE with the text "from module".
#include "support/script_object.h"
#include "support/variants.h"

namespace {

// {6A3E5F10-0000-4000-8000-000000000001}
constexpr CLSID kSampleClsid = {0x6A3E5F10, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};

// A static object: it counts references but is never deleted.
class SampleFactory final : public automation::GCountedObject<IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        CComPtr<vesk_test::ScriptObject> obj = vesk_test::ScriptObject::Create();
        obj->SetProperty(L"Value", vesk_test::VarStr(L"from module")).SetDefaultMember(L"Value");
        return obj->QueryInterface(riid, ppv);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
} g_oFactory;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return guid_equal(clsid, kSampleClsid) ? g_oFactory.QueryInterface(riid, ppv) : CLASS_E_CLASSNOTAVAILABLE;
}
