#include "templators/vesked_templator.h"

#include <string>
#include <utility>

#include "frame/error.h"
#include "frame/page_context.h"

using namespace PravoltTypeLibrary;

namespace {

// The page controller's marks without the command and child-template ones.
constexpr wchar_t kTemplatorTypes[] = L"%;:*/=~+-$\\&|";
constexpr wchar_t kSource[] = L"VeskedTemplator";

constexpr wchar_t kNoView[] = L"No View: the templator was made outside the page's process.";
constexpr wchar_t kNoBag[] = L"No Bag: the page had no session state. Please specify property 'Name'.";
constexpr wchar_t kNoSession[] = L"No Session: the page runs without one.";
constexpr wchar_t kNoApplication[] = L"No Application object.";
constexpr wchar_t kNoRequest[] = L"No Request object.";
constexpr wchar_t kNoServer[] = L"No Server object to encode with.";
constexpr wchar_t kNoMain[] = L"The page controller that made this templator is gone.";

HRESULT NameKey(BSTR bstrName, CComVariant& key) {
    BSTR copy = SysAllocStringLen(bstrName ? bstrName : L"", SysStringLen(bstrName));
    if (copy == nullptr) return E_OUTOFMEMORY;
    key.SetBSTR(copy);
    return S_OK;
}

// An item of a host dictionary under the name.
HRESULT DictionaryItem(IZULibDictionary* pDictionary, BSTR bstrName, CComVariant& value) {
    const CComPtr<IZULibDictionary> spDictionary = CComPtr<IZULibDictionary>::Share(pDictionary);
    CComVariant key;
    const HRESULT hr = NameKey(bstrName, key);
    if (FAILED(hr)) return hr;
    return spDictionary->get_Item(&key, &value);
}

}  // namespace

template <class T>
GIVeskedTemplatorImpl<T>::GIVeskedTemplatorImpl() : CTemplatorConcept(kTemplatorTypes) {
    // Without a stream of its own the templator starts with no output: Write and Flush then
    // fail, and a script can still give it one through Stream.
    OutputToMemoryStream();
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::InContext(IGetContextProperties* pContext) {
    // Without a session only the Session marks fail.
    return TakePageObjects(pContext, m_spServer, m_spApplication, m_spRequest, m_spResponse, m_spSessionObject);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::Wire(const CTemplatorWiring& wiring) {
    CComBSTR bstrPrefix(wiring.bstrEventPrefix ? wiring.bstrEventPrefix : L"", SysStringLen(wiring.bstrEventPrefix));
    if (bstrPrefix.m_str == nullptr) return E_OUTOFMEMORY;
    m_bstrEventPrefix = std::move(bstrPrefix);
    m_spMainLink.Assign(wiring.pLink);
    m_spView.Assign(wiring.pView);
    m_spBag.Assign(wiring.pBag);
    return S_OK;
}

// ---- Members -----------------------------------------------------------------------------

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::putref_Script(IDispatch* pScript) {
    m_oEventHandler.Add(pScript);
    return S_OK;
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::get_Script(IDispatch** ppScript) {
    return m_oEventHandler.GetLast(ppScript);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::get_Main(IDispatch** ppMain) {
    if (ppMain == nullptr) return E_INVALIDARG;
    *ppMain = nullptr;
    IVesk* pMain = m_spMainLink ? m_spMainLink->Main() : nullptr;
    if (pMain == nullptr) return RaiseError(E_FAIL, kSource, kNoMain);
    return pMain->QueryInterface(zul_uuidof<IVesk>(), reinterpret_cast<void**>(ppMain));
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::putref_Stream(IUnknown* pStream) {
    return putref_Output(pStream);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::get_Stream(IUnknown** ppStream) {
    return get_Output(ppStream);
}

// The path as given: no template folder, extension, permission check or cache.
template <class T>
HRESULT GIVeskedTemplatorImpl<T>::ProcessTemplateFile(BSTR bstrPath, BSTR bstrCharset) {
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    CComBSTR bstrText;
    const HRESULT hr = ReadTextFile(bstrPath, bstrCharset, bstrText);
    if (FAILED(hr)) return hr;
    return Process(bstrText.m_str);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::ProcessTemplate(BSTR bstrTemplate) {
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    // The caller's text, which a mark function may assign meanwhile.
    CComBSTR bstrText(bstrTemplate ? bstrTemplate : L"", SysStringLen(bstrTemplate));
    if (bstrText.m_str == nullptr) return E_OUTOFMEMORY;
    return Process(bstrText.m_str);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::Write(BSTR bstrText, VARIANT_BOOL bEncode) {
    if (m_pOutput == nullptr) return E_FAIL;
    if (bEncode == 0 || SysStringLen(bstrText) == 0) return WriteOutput(bstrText);
    CComBSTR bstrEncoded;
    HRESULT hr = S_OK;
    // The page's setting as it is now, or as it was when the page's controller went.
    if (m_spMainLink && m_spMainLink->SelfEncode()) {
        hr = m_spMainLink->HTMLEncode(bstrText, bstrEncoded.Receive());
    } else {
        if (!m_spServer) return RaiseError(E_FAIL, kSource, kNoServer);
        const CComPtr<IServer> spServer = CComPtr<IServer>::Share(m_spServer.Get());
        hr = spServer->HTMLEncode(bstrText, bstrEncoded.Receive());
    }
    if (FAILED(hr)) return hr;
    return WriteOutput(bstrEncoded.m_str);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::Flush(BSTR* pbstrText) {
    return ReadBackOutput(pbstrText);
}

// ---- Marks -------------------------------------------------------------------------------

template <class T>
const typename GIVeskedTemplatorImpl<T>::CMarkRoute GIVeskedTemplatorImpl<T>::s_aRoutes[] = {
    {L'*', &GIVeskedTemplatorImpl::ReadView, VARIANT_TRUE},
    {L'/', &GIVeskedTemplatorImpl::ReadView, VARIANT_FALSE},
    {L'=', &GIVeskedTemplatorImpl::ReadSession, VARIANT_TRUE},
    {L'~', &GIVeskedTemplatorImpl::ReadSession, VARIANT_FALSE},
    {L'+', &GIVeskedTemplatorImpl::ReadApplication, VARIANT_TRUE},
    {L'-', &GIVeskedTemplatorImpl::ReadApplication, VARIANT_FALSE},
    {L'$', &GIVeskedTemplatorImpl::ReadRequest, VARIANT_TRUE},
    {L'\\', &GIVeskedTemplatorImpl::ReadRequest, VARIANT_FALSE},
    {L'&', &GIVeskedTemplatorImpl::ReadBag, VARIANT_TRUE},
    {L'|', &GIVeskedTemplatorImpl::ReadBag, VARIANT_FALSE},
};

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::OnMarked(CMarkData& mark) {
    switch (mark.m_cType) {
        case L';': return OnMarked_Property(mark, VARIANT_TRUE);
        case L':': return OnMarked_Property(mark, VARIANT_FALSE);
        case L'%': return OnMarked_Process(mark);
        default: break;
    }
    for (const CMarkRoute& route : s_aRoutes) {
        if (route.type != mark.m_cType) continue;
        CComBSTR bstrName;
        HRESULT hr = MarkText(mark.m_ssName, bstrName);
        if (FAILED(hr)) return hr;
        CComVariant value;
        hr = (this->*route.read)(bstrName, value);
        if (FAILED(hr)) return hr;
        return WriteValue(value, &mark.m_vParams, route.encode);
    }
    return S_OK;  // no type character, or one the engine does not know: nothing is written
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::OnMarked_Property(CMarkData& mark, VARIANT_BOOL bEncode) {
    CComBSTR bstrName;
    HRESULT hr = MarkText(mark.m_ssName, bstrName);
    if (FAILED(hr)) return hr;
    CEvent event;
    hr = m_oEventHandler.GetEvent(bstrName.c_str(), event);
    if (FAILED(hr)) return hr;
    hr = event.Get();
    if (SUCCEEDED(hr)) return WriteValue(event.m_vResult, &mark.m_vParams, bEncode);
    if (hr != DISP_E_MEMBERNOTFOUND) return hr;
    // A function: called with the templator and the mark's parameters as its arguments.
    CComVariant params;
    hr = MakeParamArray(mark.m_vParams, params);
    if (FAILED(hr)) return hr;
    hr = event.Fire(static_cast<T*>(this), &params);
    if (FAILED(hr)) return hr;
    return WriteValue(event.m_vResult, nullptr, bEncode);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::OnMarked_Process(CMarkData& mark) {
    CComBSTR bstrName;
    HRESULT hr = MarkText(mark.m_ssName, bstrName);
    if (FAILED(hr)) return hr;
    std::wstring event(m_bstrEventPrefix.c_str(), m_bstrEventPrefix.Length());
    event.append(bstrName.c_str(), bstrName.Length());
    CEvent function;
    hr = m_oEventHandler.GetEvent(event.c_str(), function);
    if (hr == DISP_E_UNKNOWNNAME) return RaiseError(E_FAIL, kSource, (L"Event '" + event + L"' not found.").c_str());
    if (FAILED(hr)) return hr;
    CComVariant params;
    hr = MakeParamArray(mark.m_vParams, params);
    if (FAILED(hr)) return hr;
    // The function writes what it wants itself; what it returns is not written.
    return function.Fire(static_cast<T*>(this), &params);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::ReadView(BSTR bstrName, CComVariant& value) {
    if (!m_spView) return RaiseError(E_FAIL, kSource, kNoView);
    return DictionaryItem(m_spView.Get(), bstrName, value);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::ReadBag(BSTR bstrName, CComVariant& value) {
    if (!m_spBag) return RaiseError(E_FAIL, kSource, kNoBag);
    return DictionaryItem(m_spBag.Get(), bstrName, value);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::ReadSession(BSTR bstrName, CComVariant& value) {
    if (!m_spSessionObject) return RaiseError(E_FAIL, kSource, kNoSession);
    const CComPtr<ISessionObject> spSession = CComPtr<ISessionObject>::Share(m_spSessionObject.Get());
    return spSession->get_Value(bstrName, &value);
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::ReadApplication(BSTR bstrName, CComVariant& value) {
    if (!m_spApplication) return RaiseError(E_FAIL, kSource, kNoApplication);
    const CComPtr<IApplicationObject> spApplication = CComPtr<IApplicationObject>::Share(m_spApplication.Get());
    return spApplication->get_Value(bstrName, &value);
}

// One lookup: the Request's own item, the host's search over its collections.
template <class T>
HRESULT GIVeskedTemplatorImpl<T>::ReadRequest(BSTR bstrName, CComVariant& value) {
    if (!m_spRequest) return RaiseError(E_FAIL, kSource, kNoRequest);
    const CComPtr<IRequest> spRequest = CComPtr<IRequest>::Share(m_spRequest.Get());
    CComPtr<IDispatch> spItem;
    const HRESULT hr = spRequest->get_Item(bstrName, spItem.Receive());
    if (FAILED(hr)) return hr;
    CComVariant item;
    item.vt = VT_DISPATCH;
    item.pdispVal = spItem.Detach();
    value = std::move(item);
    return S_OK;
}

template <class T>
HRESULT GIVeskedTemplatorImpl<T>::WriteValue(VARIANT& value, const ParamList* pParams, VARIANT_BOOL bEncode) {
    const HRESULT hr = ChangeToBSTR(&value, pParams, false);
    if (FAILED(hr)) return hr;
    return Write(value.bstrVal, bEncode);
}

template class GIVeskedTemplatorImpl<IVeskedTemplator>;

// ---- Made by the page controller ---------------------------------------------------------

HRESULT CreateVeskedTemplator(IDispatch** ppTemplator) {
    if (ppTemplator == nullptr) return E_INVALIDARG;
    return g_oCF_VeskedTemplator.CreateInstance(nullptr, IID_IVeskedTemplator, reinterpret_cast<void**>(ppTemplator));
}

HRESULT WireVeskedTemplator(IDispatch* pTemplator, const CTemplatorWiring& wiring) {
    if (pTemplator == nullptr) return E_INVALIDARG;
    // The object came from the templator's own factory, asked for its own interface, which
    // is its primary base.
    auto* pImpl = static_cast<GIVeskedTemplatorImpl<IVeskedTemplator>*>(static_cast<IVeskedTemplator*>(pTemplator));
    return pImpl->Wire(wiring);
}
