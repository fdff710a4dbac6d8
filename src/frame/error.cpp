#include "frame/error.h"

#include "host/ccom.h"

HRESULT RaiseError(HRESULT hr, const wchar_t* source, const wchar_t* description) {
    CComPtr<ICreateErrorInfo> spCreate;
    if (FAILED(CreateErrorInfo(spCreate.Receive())) || !spCreate) return hr;
    // The host copies both texts; the casts only satisfy the published non-const signature.
    spCreate->SetSource(const_cast<LPOLESTR>(source ? source : L""));
    spCreate->SetDescription(const_cast<LPOLESTR>(description ? description : L""));
    CComPtr<IErrorInfo> spInfo;
    if (SUCCEEDED(spCreate.QueryInterface(spInfo.Receive())) && spInfo) SetErrorInfo(0, spInfo.Get());
    return hr;
}
