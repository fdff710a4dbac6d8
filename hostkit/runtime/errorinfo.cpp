// Per-thread error information. One object serves both the writing side (ICreateErrorInfo)
// and the reading side (IErrorInfo). Each thread has one slot; reading the slot empties it,
// and a thread's leftover entry is released when the thread ends.
#include <new>

#include "host/automation.h"

namespace {

// IUnknown is reached through IErrorInfo, so the two interface pointers stay distinct.
class CErrorInfo final : public automation::GObject<CErrorInfo, IErrorInfo, ICreateErrorInfo> {
public:
    HRESULT GetGUID(GUID* pGUID) override {
        if (pGUID == nullptr) return E_INVALIDARG;
        *pGUID = m_guid;
        return S_OK;
    }
    HRESULT GetSource(BSTR* out) override { return m_bstrSource.CopyTo(out); }
    HRESULT GetDescription(BSTR* out) override { return m_bstrDescription.CopyTo(out); }
    HRESULT GetHelpFile(BSTR* out) override { return m_bstrHelpFile.CopyTo(out); }
    HRESULT GetHelpContext(DWORD* out) override {
        if (out == nullptr) return E_INVALIDARG;
        *out = m_dwHelpContext;
        return S_OK;
    }

    HRESULT SetGUID(REFGUID rguid) override {
        m_guid = rguid;
        return S_OK;
    }
    HRESULT SetSource(LPOLESTR sz) override { return m_bstrSource.Assign(sz); }
    HRESULT SetDescription(LPOLESTR sz) override { return m_bstrDescription.Assign(sz); }
    HRESULT SetHelpFile(LPOLESTR sz) override { return m_bstrHelpFile.Assign(sz); }
    HRESULT SetHelpContext(DWORD ctx) override {
        m_dwHelpContext = ctx;
        return S_OK;
    }

private:
    friend GObject;
    ~CErrorInfo() = default;

    GUID m_guid = GUID_NULL;
    CComBSTR m_bstrSource;
    CComBSTR m_bstrDescription;
    CComBSTR m_bstrHelpFile;
    DWORD m_dwHelpContext = 0;
};

// The calling thread's slot; its destructor runs at thread exit and drops what is left.
thread_local CComPtr<IErrorInfo> t_spErrorInfo;

}  // namespace

extern "C" {

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
    if (pperrinfo == nullptr) return E_INVALIDARG;
    auto* info = new (std::nothrow) CErrorInfo;
    *pperrinfo = info;
    return info ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
    if (dwReserved != 0) return E_INVALIDARG;
    t_spErrorInfo.Assign(perrinfo);
    return S_OK;
}

HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
    if (pperrinfo == nullptr) return E_INVALIDARG;
    *pperrinfo = nullptr;
    if (dwReserved != 0) return E_INVALIDARG;
    *pperrinfo = t_spErrorInfo.Detach();
    return *pperrinfo ? S_OK : S_FALSE;
}

}  // extern "C"
