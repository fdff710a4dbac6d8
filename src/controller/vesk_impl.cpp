#include "controller/vesk_impl.h"

#include <cwchar>
#include <new>
#include <string>
#include <utility>

#include "controller/template_path.h"
#include "frame/error.h"
#include "frame/page_context.h"
#include "shim/text.h"
#include "template/template_cache.h"

using namespace PravoltTypeLibrary;

namespace {

constexpr wchar_t kSource[] = L"Vesk";
constexpr wchar_t kPageTypes[] = L"%;:*/=~+-$\\&|!?`@";
constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;
constexpr wchar_t kFormEncoding[] = L"application/x-www-form-urlencoded";
constexpr size_t kFormEncodingLength = sizeof(kFormEncoding) / sizeof(wchar_t) - 1;
static_assert(kFormEncodingLength == 33);

// Stores a copy of the whole string; an empty one is kept as a null string, so that every
// empty property reads back the same way.
HRESULT StoreCopy(CComBSTR& member, BSTR value) {
    const UINT length = SysStringLen(value);
    if (length == 0) {
        member.Reset();
        return S_OK;
    }
    return member.Assign(value, length);
}

HRESULT ReadCopy(const CComBSTR& member, BSTR* out) {
    if (out == nullptr) return E_INVALIDARG;
    return member.CopyTo(out);
}

HRESULT ReadBool(bool member, VARIANT_BOOL* out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = member ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// "text.[item]": the item in square brackets right after the text.
HRESULT RaiseNaming(const wchar_t* text, std::wstring_view item) {
    std::wstring description = text;
    description += L'[';
    description += item;
    description += L']';
    return RaiseError(E_FAIL, kSource, description.c_str());
}

HRESULT NewDictionary(CComPtr<IZULibDictionary>& spDictionary) {
    CComPtr<IZULibDictionary> spNew;
    const HRESULT hr = CoCreateInstance(zul_uuidof<Scripting::Dictionary>(), nullptr, kClassContext,
                                        zul_uuidof<IZULibDictionary>(), spNew.ReceiveVoid());
    if (FAILED(hr)) return hr;
    if (!spNew) return E_NOINTERFACE;
    spDictionary = std::move(spNew);
    return S_OK;
}

// An item of a host collection as a string.
HRESULT ReadItemText(IRequestDictionary* pCollection, const wchar_t* key, CComVariant& text) {
    CComVariant vKey;
    HRESULT hr = vKey.SetString(key);
    if (FAILED(hr)) return hr;
    CComVariant item;
    hr = pCollection->get_Item(vKey, &item);
    if (FAILED(hr)) return hr;
    hr = item.ChangeType(VT_BSTR);
    if (FAILED(hr)) return hr;
    text = std::move(item);
    return S_OK;
}

template <class I>
HRESULT HandOutDispatch(I* pObject, IDispatch** ppOut) {
    if (pObject == nullptr) return E_UNEXPECTED;
    return pObject->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppOut));
}

// The caller's reference to a template, dropped on every path.
class CTemplateRef {
public:
    explicit CTemplateRef(CTemplate* pTemplate) : m_pTemplate(pTemplate) {}
    ~CTemplateRef() {
        if (m_pTemplate) m_pTemplate->Release();
    }
    CTemplateRef(const CTemplateRef&) = delete;
    CTemplateRef& operator=(const CTemplateRef&) = delete;
    CTemplate* Get() const { return m_pTemplate; }

private:
    CTemplate* m_pTemplate;
};

}  // namespace

template <class T>
GIVeskImpl<T>::GIVeskImpl() : CTemplatorConcept(kPageTypes) {
    m_pOwner = static_cast<T*>(this);
    m_bstrDrawPrefix.Assign(L"OnDraw_");
    m_bstrCommandName.Assign(L"c");
    m_bstrTemplateCharset.Assign(L"UTF-8");
}

// ---- Host context ------------------------------------------------------------------------

template <class T>
HRESULT GIVeskImpl<T>::InContext(IGetContextProperties* pContext) {
    // Without a session only its session members fail.
    HRESULT hr = TakePageObjects(pContext, m_spServer, m_spApplication, m_spRequest, m_spResponse, m_spSessionObject);
    if (FAILED(hr)) return hr;
    CComPtr<IUnknown> spOutput;
    hr = m_spResponse.QueryInterface(spOutput.Receive());
    if (FAILED(hr)) return hr;
    return CTemplatorConcept::putref_Output(spOutput.Get());
}

// ---- Properties --------------------------------------------------------------------------

template <class T>
HRESULT GIVeskImpl<T>::putref_Script(IDispatch* pScript) {
    return AddScript(pScript);
}

template <class T>
HRESULT GIVeskImpl<T>::get_Script(IDispatch** ppScript) {
    return m_oEventHandler.GetLast(ppScript);
}

template <class T>
HRESULT GIVeskImpl<T>::put_Command(BSTR bstr) { return StoreCopy(m_bstrCommand, bstr); }
template <class T>
HRESULT GIVeskImpl<T>::get_Command(BSTR* pbstr) { return ReadCopy(m_bstrCommand, pbstr); }
template <class T>
HRESULT GIVeskImpl<T>::put_Template(BSTR bstr) { return StoreCopy(m_bstrTemplate, bstr); }
template <class T>
HRESULT GIVeskImpl<T>::get_Template(BSTR* pbstr) { return ReadCopy(m_bstrTemplate, pbstr); }
template <class T>
HRESULT GIVeskImpl<T>::put_TemplateFolder(BSTR bstr) { return StoreCopy(m_bstrTemplateFolder, bstr); }
template <class T>
HRESULT GIVeskImpl<T>::get_TemplateFolder(BSTR* pbstr) { return ReadCopy(m_bstrTemplateFolder, pbstr); }
template <class T>
HRESULT GIVeskImpl<T>::put_TemplateExt(BSTR bstr) { return StoreCopy(m_bstrTemplateExt, bstr); }
template <class T>
HRESULT GIVeskImpl<T>::get_TemplateExt(BSTR* pbstr) { return ReadCopy(m_bstrTemplateExt, pbstr); }
template <class T>
HRESULT GIVeskImpl<T>::put_TemplateCharset(BSTR bstr) { return StoreCopy(m_bstrTemplateCharset, bstr); }
template <class T>
HRESULT GIVeskImpl<T>::get_TemplateCharset(BSTR* pbstr) { return ReadCopy(m_bstrTemplateCharset, pbstr); }
template <class T>
HRESULT GIVeskImpl<T>::put_DefaultTemplate(BSTR bstr) { return StoreCopy(m_bstrDefaultTemplate, bstr); }
template <class T>
HRESULT GIVeskImpl<T>::get_DefaultTemplate(BSTR* pbstr) { return ReadCopy(m_bstrDefaultTemplate, pbstr); }
template <class T>
HRESULT GIVeskImpl<T>::put_TemplatePermissionPath(BSTR bstr) { return StoreCopy(m_bstrTemplatePermissionPath, bstr); }
template <class T>
HRESULT GIVeskImpl<T>::get_TemplatePermissionPath(BSTR* pbstr) { return ReadCopy(m_bstrTemplatePermissionPath, pbstr); }
template <class T>
HRESULT GIVeskImpl<T>::put_CommandName(BSTR bstr) { return StoreCopy(m_bstrCommandName, bstr); }
template <class T>
HRESULT GIVeskImpl<T>::get_CommandName(BSTR* pbstr) { return ReadCopy(m_bstrCommandName, pbstr); }
template <class T>
HRESULT GIVeskImpl<T>::put_Name(BSTR bstr) { return StoreCopy(m_bstrName, bstr); }
template <class T>
HRESULT GIVeskImpl<T>::get_Name(BSTR* pbstr) { return ReadCopy(m_bstrName, pbstr); }

// Only the automation True counts as true: a raw 1 is false.
template <class T>
HRESULT GIVeskImpl<T>::put_Backable(VARIANT_BOOL b) { m_bBackable = b == VARIANT_TRUE; return S_OK; }
template <class T>
HRESULT GIVeskImpl<T>::get_Backable(VARIANT_BOOL* pb) { return ReadBool(m_bBackable, pb); }
template <class T>
HRESULT GIVeskImpl<T>::put_NullIsEmpty(VARIANT_BOOL b) { m_bNullIsEmpty = b == VARIANT_TRUE; return S_OK; }
template <class T>
HRESULT GIVeskImpl<T>::get_NullIsEmpty(VARIANT_BOOL* pb) { return ReadBool(m_bNullIsEmpty, pb); }
template <class T>
HRESULT GIVeskImpl<T>::put_SubmitDecodeOnPutInto(VARIANT_BOOL b) { m_bSubmitDecodeOnPutInto = b == VARIANT_TRUE; return S_OK; }
template <class T>
HRESULT GIVeskImpl<T>::get_SubmitDecodeOnPutInto(VARIANT_BOOL* pb) { return ReadBool(m_bSubmitDecodeOnPutInto, pb); }
template <class T>
HRESULT GIVeskImpl<T>::put_CacheTemplate(VARIANT_BOOL b) { m_bCacheTemplate = b == VARIANT_TRUE; return S_OK; }
template <class T>
HRESULT GIVeskImpl<T>::get_CacheTemplate(VARIANT_BOOL* pb) { return ReadBool(m_bCacheTemplate, pb); }
template <class T>
HRESULT GIVeskImpl<T>::put_SelfEncode(VARIANT_BOOL b) { m_bSelfEncode = b == VARIANT_TRUE; return S_OK; }
template <class T>
HRESULT GIVeskImpl<T>::get_SelfEncode(VARIANT_BOOL* pb) { return ReadBool(m_bSelfEncode, pb); }

template <class T>
HRESULT GIVeskImpl<T>::putref_Output(IUnknown* pOutput) {
    return CTemplatorConcept::putref_Output(pOutput);
}

template <class T>
HRESULT GIVeskImpl<T>::get_Output(IUnknown** ppOutput) {
    return CTemplatorConcept::get_Output(ppOutput);
}

template <class T>
HRESULT GIVeskImpl<T>::get_View(IDispatch** ppView) {
    if (ppView == nullptr) return E_INVALIDARG;
    *ppView = nullptr;
    // Outside a process there is no View; the failure carries no message of its own.
    if (!m_spView) return E_FAIL;
    return HandOutDispatch(m_spView.Get(), ppView);
}

template <class T>
HRESULT GIVeskImpl<T>::get_Include(IDispatch** ppInclude) {
    if (ppInclude == nullptr) return E_INVALIDARG;
    *ppInclude = nullptr;
    if (!m_spInclude) return S_OK;
    return HandOutDispatch(m_spInclude.Get(), ppInclude);
}

template <class T>
HRESULT GIVeskImpl<T>::get_Bag(IDispatch** ppBag) {
    if (ppBag == nullptr) return E_INVALIDARG;
    *ppBag = nullptr;
    CComPtr<IZULibDictionary> spBag;
    const HRESULT hr = CurrentSession()->get_Bag(spBag.Receive());
    if (FAILED(hr)) return hr;
    if (!spBag) return RaiseError(E_FAIL, kSource, L"Could not get Bag. The host could not create one.");
    return HandOutDispatch(spBag.Get(), ppBag);
}

template <class T>
HRESULT GIVeskImpl<T>::get_Request(IDispatch** ppRequest) {
    if (ppRequest == nullptr) return E_INVALIDARG;
    *ppRequest = nullptr;
    // Only a controller made without a page context has no Request.
    if (!m_spRequest) return E_UNEXPECTED;
    const CComPtr<IRequest> spRequest = CComPtr<IRequest>::Share(m_spRequest.Get());
    CComPtr<IRequestDictionary> spVariables;
    HRESULT hr = spRequest->get_ServerVariables(spVariables.Receive());
    if (FAILED(hr)) return hr;
    if (!spVariables) return E_UNEXPECTED;

    CComVariant method;
    const bool bPost = SUCCEEDED(ReadItemText(spVariables.Get(), L"HTTP_METHOD", method)) &&
                       std::wcscmp(method.bstrVal ? method.bstrVal : L"", L"POST") == 0;
    CComPtr<IRequestDictionary> spCollection;
    if (bPost && m_spMultipartForm) return HandOutDispatch(m_spMultipartForm.Get(), ppRequest);
    bool bForm = false;
    if (bPost) {
        CComVariant type;
        bForm = SUCCEEDED(ReadItemText(spVariables.Get(), L"HTTP_CONTENT_TYPE", type)) &&
                SysStringLen(type.bstrVal) >= kFormEncodingLength &&
                std::wcsncmp(type.bstrVal, kFormEncoding, kFormEncodingLength) == 0;
    }
    hr = bForm ? spRequest->get_Form(spCollection.Receive()) : spRequest->get_QueryString(spCollection.Receive());
    if (FAILED(hr)) return hr;
    return HandOutDispatch(spCollection.Get(), ppRequest);
}

// ---- Scripts, session and messages -------------------------------------------------------

template <class T>
HRESULT GIVeskImpl<T>::AddScript(IDispatch* pScript) {
    m_oEventHandler.Add(pScript);
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::Abandon() {
    if (!m_spSessionObject) return E_FAIL;
    const CComPtr<ISessionObject> spSession = CComPtr<ISessionObject>::Share(m_spSessionObject.Get());
    CComPtr<IVariantDictionary> spContents;
    HRESULT hr = spSession->get_Contents(spContents.Receive());
    if (FAILED(hr)) return hr;
    if (!spContents) return E_UNEXPECTED;
    // The key is the whole name, as the state was stored under it.
    CComBSTR bstrName;
    hr = StoreCopy(bstrName, m_bstrName);
    if (FAILED(hr)) return hr;
    CComVariant key;
    key.SetBSTR(bstrName.Detach());
    // The removal releases the stored state, and whatever that releases may call back here.
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    return spContents->Remove(key);
}

template <class T>
HRESULT GIVeskImpl<T>::AddLog(BSTR bstrFirst, BSTR bstrSecond) {
    if (!m_spResponse) return E_UNEXPECTED;
    CComBSTR entry(L"[");
    HRESULT hr = entry.m_str ? S_OK : E_OUTOFMEMORY;
    if (SUCCEEDED(hr)) hr = entry.Append(bstrFirst, SysStringLen(bstrFirst));
    if (SUCCEEDED(hr)) hr = entry.Append(L":");
    if (SUCCEEDED(hr)) hr = entry.Append(bstrSecond, SysStringLen(bstrSecond));
    if (SUCCEEDED(hr)) hr = entry.Append(L"]");
    if (FAILED(hr)) return hr;
    return m_spResponse->AppendToLog(entry);
}

template <class T>
HRESULT GIVeskImpl<T>::FireEvent(BSTR bstrName, VARIANT* pValue, VARIANT* pResult, VARIANT_BOOL* pbFound) {
    if (pbFound == nullptr) return E_INVALIDARG;
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    // The name is the caller's; a copy stays valid whatever the function assigns meanwhile.
    const CComBSTR bstrCopy(bstrName ? bstrName : L"");
    if (bstrCopy.m_str == nullptr) return E_OUTOFMEMORY;
    CComVariant result;
    bool bFound = false;
    const HRESULT hr = FireNamed(bstrCopy.m_str, pValue, result, bFound);
    if (hr == DISP_E_UNKNOWNNAME && !bFound) {
        *pbFound = VARIANT_FALSE;
        return S_OK;
    }
    if (bFound) *pbFound = VARIANT_TRUE;
    if (FAILED(hr)) return hr;
    if (pResult == nullptr) return S_OK;
    return VariantCopy(pResult, &result);
}

template <class T>
HRESULT GIVeskImpl<T>::AddMessage(VARIANT* pMessage, BSTR bstrKey) {
    if (pMessage == nullptr) return E_INVALIDARG;
    // A message is kept by value: one that refers to a script's variable is followed, since
    // the variable does not live as long as the page.
    CComVariant message;
    const HRESULT hr = VariantCopyInd(&message, pMessage);
    if (FAILED(hr)) return hr;
    try {
        m_mapMessages[std::wstring(bstrKey ? bstrKey : L"", SysStringLen(bstrKey))].push_back(std::move(message));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::MessageExists(VARIANT* pKey, VARIANT_BOOL* pbExists) {
    if (pKey == nullptr || pbExists == nullptr) return E_INVALIDARG;
    bool bExists = false;
    if (pKey->vt == VT_ERROR) {
        // No key given: any message under any key.
        bExists = !m_mapMessages.empty();
    } else if (pKey->vt == VT_BSTR) {
        const auto found = m_mapMessages.find(std::wstring(pKey->bstrVal ? pKey->bstrVal : L"", SysStringLen(pKey->bstrVal)));
        bExists = found != m_mapMessages.end() && !found->second.empty();
    } else {
        return E_INVALIDARG;
    }
    *pbExists = bExists ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// ---- Processing --------------------------------------------------------------------------

template <class T>
HRESULT GIVeskImpl<T>::ProcessTemplate(BSTR bstrTemplate) {
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    return CTemplatorConcept::Process(bstrTemplate);
}

template <class T>
HRESULT GIVeskImpl<T>::Process() {
    return CVeskConcept::Process();
}

template <class T>
HRESULT GIVeskImpl<T>::DrawTemplate(BSTR bstrName) {
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    return Draw(bstrName);
}

template <class T>
HRESULT GIVeskImpl<T>::On_StartVeskSession(bool& bContinue) {
    return CallEvent(L"On_FirstAccess", {}, true, bContinue);
}

template <class T>
HRESULT GIVeskImpl<T>::On_EndVeskSession(bool& bContinue) {
    return CallEvent(L"On_LastAccess", {}, true, bContinue);
}

template <class T>
HRESULT GIVeskImpl<T>::On_StartProcess(bool& bContinue) {
    HRESULT hr = InitMultipartForm();
    if (FAILED(hr)) return hr;
    hr = NewDictionary(m_spView);
    if (FAILED(hr)) return hr;
    hr = NewDictionary(m_spInclude);
    if (FAILED(hr)) return hr;
    hr = ChooseSession();
    if (FAILED(hr)) return hr;
    return CVeskConcept::On_StartProcess(bContinue);
}

template <class T>
HRESULT GIVeskImpl<T>::ChooseSession() {
    if (!m_spSessionObject || m_bstrName.IsEmpty()) {
        m_spVeskSession.Assign(&g_oVeskSessionNull);
        return S_OK;
    }
    const CComPtr<ISessionObject> spSession = CComPtr<ISessionObject>::Share(m_spSessionObject.Get());
    CComBSTR bstrName;
    HRESULT hr = StoreCopy(bstrName, m_bstrName);
    if (FAILED(hr)) return hr;
    CComVariant stored;
    if (SUCCEEDED(spSession->get_Value(bstrName, &stored)) && stored.vt == VT_UNKNOWN && stored.punkVal != nullptr) {
        CComPtr<IVeskSession> spState;
        hr = FindSessionState(stored.punkVal, spState.Receive());
        if (FAILED(hr)) return hr;
        m_spVeskSession = std::move(spState);
        return S_OK;
    }

    CComPtr<CVeskSession> spCreated;
    hr = CVeskSession::Create(spCreated.Receive());
    if (FAILED(hr)) return hr;
    CComVariant value;
    value.SetUnknown(spCreated.Get());
    // The new state is current before it is stored: storing releases whatever was under the
    // name, and a script run by that release already sees the new state. A state the host
    // refused to keep is not used.
    m_spVeskSession.Assign(spCreated.Get());
    hr = spSession->putref_Value(bstrName, value);
    if (FAILED(hr)) {
        m_spVeskSession.Assign(&g_oVeskSessionNull);
        return hr;
    }
    bool bIgnored = true;
    return On_StartVeskSession(bIgnored);
}

template <class T>
CComPtr<IVeskSession> GIVeskImpl<T>::CurrentSession() const {
    return CComPtr<IVeskSession>::Share(m_spVeskSession ? m_spVeskSession.Get() : &g_oVeskSessionNull);
}

template <class T>
HRESULT GIVeskImpl<T>::On_StartCommand(bool& bContinue) {
    if (m_bstrCommand.IsEmpty()) {
        CComBSTR bstrKey;
        HRESULT hr = m_bBackable ? StoreCopy(bstrKey, m_bstrCommandName)
                                 : CurrentSession()->GetCommandName(bstrKey.Receive());
        if (FAILED(hr)) return hr;
        CComPtr<IDispatch> spRequest;
        hr = this->get_Request(spRequest.Receive());
        if (FAILED(hr)) return hr;
        CComPtr<IRequestDictionary> spCollection;
        hr = spRequest.QueryInterface(spCollection.Receive());
        if (FAILED(hr)) return hr;
        CComVariant command;
        hr = ReadItemText(spCollection.Get(), bstrKey.c_str(), command);
        if (FAILED(hr)) return hr;
        hr = StoreCopy(m_bstrCommand, command.bstrVal);
        if (FAILED(hr)) return hr;
    }
    return CVeskConcept::On_StartCommand(bContinue);
}

template <class T>
HRESULT GIVeskImpl<T>::Command(bool& bContinue) {
    const HRESULT hr = CVeskConcept::Command(bContinue);
    if (FAILED(hr)) return hr;
    // A page without a command needs no command function.
    if (!bContinue && m_bstrCommand.IsEmpty()) bContinue = true;
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::On_EndCommand(bool& bContinue) {
    const HRESULT hr = CVeskConcept::On_EndCommand(bContinue);
    if (FAILED(hr)) return hr;
    if (m_bBackable) return S_OK;
    return CurrentSession()->IncrementCommand();
}

template <class T>
HRESULT GIVeskImpl<T>::On_StartDraw(bool& bContinue) {
    if (m_bstrTemplate.IsEmpty()) {
        const HRESULT hr = StoreCopy(m_bstrTemplate, m_bstrDefaultTemplate);
        if (FAILED(hr)) return hr;
    }
    return CVeskConcept::On_StartDraw(bContinue);
}

template <class T>
HRESULT GIVeskImpl<T>::Draw(bool& bContinue) {
    bool bHook = true;
    HRESULT hr = CallEvent(L"OnDrawTemplate_", TextOf(m_bstrTemplate), true, bHook);
    if (FAILED(hr)) return hr;
    // The hook may have switched to another template before returning False.
    if (!bHook) return RerunDraw(bContinue);
    hr = CVeskConcept::Draw(bContinue);
    if (FAILED(hr)) return hr;
    if (bContinue) return S_OK;  // the script drew the page itself
    if (!m_bstrTemplate.IsEmpty()) {
        CComBSTR bstrName;
        hr = StoreCopy(bstrName, m_bstrTemplate);
        if (SUCCEEDED(hr)) hr = Draw(bstrName.m_str);
        if (FAILED(hr)) return hr;
    }
    bContinue = true;
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::On_EndProcess(bool& bContinue) {
    HRESULT hr = CVeskConcept::On_EndProcess(bContinue);
    if (FAILED(hr)) return hr;
    m_spView.Reset();
    m_spInclude.Reset();
    if (!m_spSessionObject || m_bstrName.IsEmpty()) return S_OK;
    const CComPtr<ISessionObject> spSession = CComPtr<ISessionObject>::Share(m_spSessionObject.Get());
    CComBSTR bstrName;
    hr = StoreCopy(bstrName, m_bstrName);
    if (FAILED(hr)) return hr;
    CComVariant stored;
    if (SUCCEEDED(spSession->get_Value(bstrName, &stored)) && stored.vt == VT_UNKNOWN) return S_OK;
    bool bIgnored = true;
    return On_EndVeskSession(bIgnored);
}

template <class T>
HRESULT GIVeskImpl<T>::RerunDraw(bool& bContinue) {
    if (m_nDrawReruns >= kMaxDrawReruns) {
        return RaiseNaming(L"Template draw step given up after 16 re-runs.", TextOf(m_bstrTemplate));
    }
    ++m_nDrawReruns;
    const HRESULT hr = Draw(bContinue);
    --m_nDrawReruns;
    return hr;
}

// ---- Template drawing --------------------------------------------------------------------

template <class T>
HRESULT GIVeskImpl<T>::Draw(BSTR bstrName) {
    // Nested draws form a stack of including templates: each takes the path of the one that
    // includes it out of the member and puts it back when it is done, whatever happens.
    CComBSTR bstrIncluding;
    bstrIncluding.Attach(m_bstrCurrentTemplatePath.Detach());
    const HRESULT hr = DrawFrom(bstrIncluding, bstrName);
    m_bstrCurrentTemplatePath.Attach(bstrIncluding.Detach());
    return hr;
}

template <class T>
HRESULT GIVeskImpl<T>::DrawFrom(const CComBSTR& bstrIncluding, BSTR bstrName) {
    CComBSTR bstrBuilt;
    HRESULT hr = BuildTemplatePath(TextOf(bstrIncluding), TextOf(m_bstrTemplateFolder),
                                   {bstrName ? bstrName : L"", SysStringLen(bstrName)}, TextOf(m_bstrTemplateExt),
                                   bstrBuilt);
    if (FAILED(hr)) return hr;
    CComBSTR bstrCanonical;
    if (FAILED(ConvertToCanonicalizedPath(TextOf(bstrBuilt), bstrCanonical))) {
        return RaiseNaming(L"Template file path is invalid.", TextOf(bstrBuilt));
    }
    bool bPermitted = false;
    CanPathObtain(bstrCanonical, bPermitted);
    if (!bPermitted) return RaiseNaming(L"Template file can't obtain.", TextOf(bstrCanonical));

    CComBSTR bstrText;
    if (FAILED(ReadTemplateFile(bstrCanonical, bstrText))) return TemplateNotReadable(bstrCanonical);
    if (!m_bCacheTemplate) {
        hr = StoreCopy(m_bstrCurrentTemplatePath, bstrBuilt);
        if (FAILED(hr)) return hr;
        return CTemplatorConcept::Process(bstrText.m_str);
    }
    return ExpandParsed(bstrBuilt, bstrText);
}

template <class T>
HRESULT GIVeskImpl<T>::ExpandParsed(const CComBSTR& bstrBuilt, const CComBSTR& bstrText) {
    CTemplate* pCached = nullptr;
    g_oTemplateCache.Take(bstrBuilt, &pCached);
    if (pCached != nullptr) {
        const CTemplateRef cached(pCached);
        const HRESULT hr = StoreCopy(m_bstrCurrentTemplatePath, bstrBuilt);
        if (FAILED(hr)) return hr;
        return CTemplatorConcept::Process(*cached.Get());
    }
    const CTemplateRef fresh(new (std::nothrow) CTemplate);
    if (fresh.Get() == nullptr) return E_OUTOFMEMORY;
    // A template that does not parse is freed with its reference and never cached.
    HRESULT hr = Parse(bstrText.m_str, *fresh.Get());
    if (FAILED(hr)) return hr;
    g_oTemplateCache.Store(bstrBuilt, fresh.Get());
    hr = StoreCopy(m_bstrCurrentTemplatePath, bstrBuilt);
    if (FAILED(hr)) return hr;
    return CTemplatorConcept::Process(*fresh.Get());
}

template <class T>
HRESULT GIVeskImpl<T>::ReadTemplateFile(const CComBSTR& bstrCanonical, CComBSTR& bstrText) {
    CComPtr<IZULibStream> spStream;
    HRESULT hr = CoCreateInstance(zul_uuidof<ADODB::Stream>(), nullptr, kClassContext, zul_uuidof<IZULibStream>(),
                                  spStream.ReceiveVoid());
    if (FAILED(hr)) return hr;
    if (!spStream) return E_NOINTERFACE;
    // VT_ERROR with every other byte zero: no source, the stream stays in memory.
    VARIANT noSource{};
    noSource.vt = VT_ERROR;
    hr = spStream->Open(noSource, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr);
    if (SUCCEEDED(hr)) hr = spStream->put_Charset(m_bstrTemplateCharset);
    if (SUCCEEDED(hr)) hr = spStream->LoadFromFile(bstrCanonical);
    if (SUCCEEDED(hr)) hr = spStream->ReadText(ADODB::adReadAll, bstrText.Receive());
    return hr;
}

template <class T>
HRESULT GIVeskImpl<T>::TemplateNotReadable(const CComBSTR& bstrCanonical) {
    bool bContinue = true;
    HRESULT hr = CallEvent(L"On_TemplateNotFound", {}, true, bContinue);
    if (FAILED(hr)) return hr;
    if (bContinue) return RaiseNaming(L"Template file can't read.", TextOf(bstrCanonical));
    // The handler chose another way out (typically a fallback Template): draw the page again.
    bool bDrawn = false;
    return RerunDraw(bDrawn);
}

template <class T>
HRESULT GIVeskImpl<T>::CanPathObtain(BSTR bstrCanonical, bool& bPermitted) {
    bPermitted = TemplatePathPermitted({bstrCanonical ? bstrCanonical : L"", SysStringLen(bstrCanonical)},
                                       TextOf(m_bstrTemplatePermissionPath), TextOf(m_bstrTemplateFolder));
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked(CMarkData& mark) {
    // Handlers call scripts, and a script may drop the page's last reference to this object.
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    constexpr short kEncoded = VARIANT_TRUE;
    constexpr short kRaw = 0;
    HRESULT hr = S_OK;
    switch (mark.m_cType) {
    case L';': hr = OnMarked_Property(mark, kEncoded); break;
    case L':': hr = OnMarked_Property(mark, kRaw); break;
    case L'*': hr = OnMarked_View(mark, kEncoded); break;
    case L'/': hr = OnMarked_View(mark, kRaw); break;
    case L'=': hr = OnMarked_Session(mark, kEncoded); break;
    case L'~': hr = OnMarked_Session(mark, kRaw); break;
    case L'+': hr = OnMarked_Application(mark, kEncoded); break;
    case L'-': hr = OnMarked_Application(mark, kRaw); break;
    case L'$': hr = OnMarked_Request(mark, kEncoded); break;
    case L'\\': hr = OnMarked_Request(mark, kRaw); break;
    case L'&': hr = OnMarked_Bag(mark, kEncoded); break;
    case L'|': hr = OnMarked_Bag(mark, kRaw); break;
    case L'!': hr = OnMarked_Command(mark, kEncoded); break;
    case L'?': hr = OnMarked_Command(mark, kRaw); break;
    case L'%': hr = OnMarked_Process(mark); break;
    case L'`': hr = OnMarked_ChildStatic(mark); break;
    case L'@': hr = OnMarked_ChildDynamic(mark); break;
    default: return S_OK;  // a mark without a type stands for nothing
    }
    // E_FAIL carries its own message (or deliberately none); any other failure is told again
    // with the mark it came from.
    if (SUCCEEDED(hr) || hr == E_FAIL) return hr;
    constexpr DWORD kMessageChars = 1279;
    wchar_t system[kMessageChars + 1] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(hr), 0x800, system, kMessageChars, nullptr);
    std::wstring description = system;
    description += L"[(#";
    description += mark.m_cType;
    description += mark.m_ssName.str();
    description += L"#)]";
    return RaiseError(hr, kSource, description.c_str());
}

template <class T>
HRESULT GIVeskImpl<T>::Write(BSTR bstrText, VARIANT_BOOL bEncode) {
    // Nothing is encoded for an output that is not there.
    if (m_pOutput == nullptr) return RaiseError(E_FAIL, kSource, L"Nothing to write to: no output is selected.");
    if (bEncode == 0 || SysStringLen(bstrText) == 0) return WriteOutput(bstrText);
    // The output may be a script's own object, and writing to it may call back here.
    const CComPtr<IDispatch> spKeepAlive = KeepAlive();
    CComBSTR bstrEncoded;
    HRESULT hr = S_OK;
    if (m_bSelfEncode) {
        hr = this->HTMLEncode(bstrText, bstrEncoded.Receive());
    } else {
        if (!m_spServer) return E_UNEXPECTED;  // only a controller made without a page context
        const CComPtr<IServer> spServer = CComPtr<IServer>::Share(m_spServer.Get());
        hr = spServer->HTMLEncode(bstrText, bstrEncoded.Receive());
    }
    if (FAILED(hr)) return hr;
    // The sink may have gone while the encoder ran.
    if (m_pOutput == nullptr) return RaiseError(E_FAIL, kSource, L"Nothing to write to: no output is selected.");
    return WriteOutput(bstrEncoded.m_str);
}

// Mail is not offered by this platform: always E_NOTIMPL, and the out-pointer is left alone.
template <class T>
HRESULT GIVeskImpl<T>::NewMail(BSTR, long, IDispatch**) { return E_NOTIMPL; }

template class GIVeskImpl<IVesk>;
