// A component module with one class, served through DllGetClassObject like any library the
// host loads. Its object answers DISPID_VALUE with the text "from module".
#include <atomic>

#include "host/ccom.h"

namespace {

// {6A3E5F10-0000-4000-8000-000000000001}
constexpr CLSID kSampleClsid = {0x6A3E5F10, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};

class SampleObject final : public IDispatch {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!guid_equal(riid, IID_IUnknown) && !guid_equal(riid, IID_IDispatch)) return E_NOINTERFACE;
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override {
        const ULONG n = --m_cRef;
        if (n == 0) delete this;
        return n;
    }
    HRESULT GetTypeInfoCount(UINT* n) override {
        if (n) *n = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
        if (id != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
        if (result) {
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocString(L"from module");
        }
        return S_OK;
    }

private:
    std::atomic<ULONG> m_cRef{0};
};

class SampleFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!guid_equal(riid, IID_IUnknown) && !guid_equal(riid, IID_IClassFactory)) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return 2; }  // a static object
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        CComPtr<IDispatch> obj;
        obj.Assign(new SampleObject);
        return obj->QueryInterface(riid, ppv);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

SampleFactory g_oFactory;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!guid_equal(clsid, kSampleClsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_oFactory.QueryInterface(riid, ppv);
}
