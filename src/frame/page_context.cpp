#include "frame/page_context.h"

#include <utility>

using namespace PravoltTypeLibrary;

namespace {

HRESULT GetContextValue(IGetContextProperties* pContext, const wchar_t* name, CComVariant& value) {
    const CComBSTR bstrName(name);
    if (bstrName.m_str == nullptr) return E_OUTOFMEMORY;
    return pContext->GetProperty(bstrName, &value);
}

// A host object handed over in a VARIANT, asked for the interface the component keeps.
template <class I>
HRESULT TakeHostObject(const VARIANT& value, CComPtr<I>& spObject) {
    if ((value.vt != VT_DISPATCH && value.vt != VT_UNKNOWN) || value.punkVal == nullptr) return E_NOINTERFACE;
    CComPtr<I> spFound;
    const HRESULT hr = value.punkVal->QueryInterface(zul_uuidof<I>(), spFound.ReceiveVoid());
    if (FAILED(hr)) return hr;
    if (!spFound) return E_NOINTERFACE;
    spObject = std::move(spFound);
    return S_OK;
}

}  // namespace

HRESULT TakePageObjects(IGetContextProperties* pContext, CComPtr<IServer>& spServer,
                        CComPtr<IApplicationObject>& spApplication, CComPtr<IRequest>& spRequest,
                        CComPtr<IResponse>& spResponse, CComPtr<ISessionObject>& spSessionObject) {
    if (pContext == nullptr) return E_INVALIDARG;
    CComVariant server, application, request, response, session;
    HRESULT hr = GetContextValue(pContext, L"Server", server);
    if (SUCCEEDED(hr)) hr = GetContextValue(pContext, L"Application", application);
    if (SUCCEEDED(hr)) hr = GetContextValue(pContext, L"Request", request);
    if (SUCCEEDED(hr)) hr = GetContextValue(pContext, L"Response", response);
    if (SUCCEEDED(hr)) hr = TakeHostObject(server, spServer);
    if (SUCCEEDED(hr)) hr = TakeHostObject(application, spApplication);
    if (SUCCEEDED(hr)) hr = TakeHostObject(request, spRequest);
    if (SUCCEEDED(hr)) hr = TakeHostObject(response, spResponse);
    if (FAILED(hr)) return hr;
    if (SUCCEEDED(GetContextValue(pContext, L"Session", session)) && session.vt == VT_DISPATCH && session.pdispVal) {
        return TakeHostObject(session, spSessionObject);
    }
    return S_OK;
}
