// Server: the encoders, MapPath under the site root, and object creation through the class
// registry (so an object made here finds the page's context as its creator's).
#include "hostkit/pages/page_objects.h"
#include "hostkit/pages/page_text.h"
#include "hostkit/runtime/class_registry.h"

namespace veskhost::pages {

namespace {

constexpr HRESULT CO_E_CLASSSTRING = hresult_of(0x800401F3u);

HRESULT Encoded(BSTR in, std::wstring (*encode)(std::wstring_view), BSTR* out) {
    if (out == nullptr) return E_POINTER;
    const std::wstring text = encode(std::wstring_view(in ? in : L"", SysStringLen(in)));
    *out = SysAllocStringLen(text.data(), UINT(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

using automation::member_row;
using S = IServer;

constexpr automation::MemberRow kServerMembers[] = {
    member_row<S, &S::put_ScriptTimeout>(L"ScriptTimeout", OwnMember(0), DISPATCH_PROPERTYPUT),
    member_row<S, &S::get_ScriptTimeout>(L"ScriptTimeout", OwnMember(0), kGetCall),
    member_row<S, &S::CreateObject>(L"CreateObject", OwnMember(2), kGetCall),
    member_row<S, &S::HTMLEncode>(L"HTMLEncode", OwnMember(3), kGetCall),
    member_row<S, &S::MapPath>(L"MapPath", OwnMember(4), kGetCall),
    member_row<S, &S::URLEncode>(L"URLEncode", OwnMember(5), kGetCall),
    member_row<S, &S::URLPathEncode>(L"URLPathEncode", OwnMember(6), kGetCall),
    member_row<S, &S::Execute>(L"Execute", OwnMember(7), kGetCall),
    member_row<S, &S::Transfer>(L"Transfer", OwnMember(8), kGetCall),
    object_row<&S::GetLastError>(L"GetLastError", OwnMember(9)),
};
const automation::MemberRows CServer::kMembers = kServerMembers;

HRESULT CServer::get_ScriptTimeout(LONG* plTimeoutSeconds) {
    if (plTimeoutSeconds == nullptr) return E_POINTER;
    *plTimeoutSeconds = m_nScriptTimeout;
    return S_OK;
}

HRESULT CServer::put_ScriptTimeout(LONG lTimeoutSeconds) {
    if (lTimeoutSeconds < 1)
        return RaiseComponentError(E_INVALIDARG, kServerSource, L"ScriptTimeout takes a number of seconds above 0.");
    m_nScriptTimeout = lTimeoutSeconds;
    return S_OK;
}

HRESULT CServer::CreateObject(BSTR bstrProgID, IDispatch** ppDispObject) {
    if (ppDispObject == nullptr) return E_POINTER;
    *ppDispObject = nullptr;
    if (m_bClosed) return RaiseComponentError(E_FAIL, kServerSource, kPageEndedText);
    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(bstrProgID ? bstrProgID : L"", &clsid)))
        return RaiseComponentError(CO_E_CLASSSTRING, kServerSource, L"Invalid class string: no class has that ProgID.");
    SetErrorInfo(0, nullptr);
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                        reinterpret_cast<void**>(ppDispObject));
    if (FAILED(hr)) {
        // A creator that explained its failure keeps its own error information.
        CComPtr<IErrorInfo> explained;
        if (GetErrorInfo(0, explained.Receive()) == S_OK && explained) {
            SetErrorInfo(0, explained.Get());
            return hr;
        }
        return RaiseComponentError(hr, kServerSource, L"The object could not be created.");
    }
    return hr;
}

HRESULT CServer::HTMLEncode(BSTR bstrIn, BSTR* pbstrEncoded) { return Encoded(bstrIn, &HtmlEncode, pbstrEncoded); }

HRESULT CServer::URLEncode(BSTR bstrIn, BSTR* pbstrEncoded) { return Encoded(bstrIn, &UrlEncode, pbstrEncoded); }

HRESULT CServer::URLPathEncode(BSTR bstrIn, BSTR* pbstrEncoded) {
    return Encoded(bstrIn, &UrlPathEncode, pbstrEncoded);
}

HRESULT CServer::MapPath(BSTR bstrLogicalPath, BSTR* pbstrPhysicalPath) {
    if (pbstrPhysicalPath == nullptr) return E_POINTER;
    *pbstrPhysicalPath = nullptr;
    std::wstring physical;
    if (!MapSitePath(m_root, m_scriptPath, ToWString(bstrLogicalPath), &physical)) {
        return RaiseComponentError(E_FAIL, kServerSource,
                                   m_root.empty() ? L"MapPath has no site root to map to."
                                                  : L"MapPath takes a path inside the site; this one climbs out of it.");
    }
    *pbstrPhysicalPath = SysAllocStringLen(physical.data(), UINT(physical.size()));
    return *pbstrPhysicalPath ? S_OK : E_OUTOFMEMORY;
}

// The host runs pages as callbacks, not as script files it could run for another page.
HRESULT CServer::Execute(BSTR) {
    return RaiseComponentError(E_NOTIMPL, kServerSource, L"This host does not run one page from another.");
}

HRESULT CServer::Transfer(BSTR) {
    return RaiseComponentError(E_NOTIMPL, kServerSource, L"This host does not run one page from another.");
}

HRESULT CServer::GetLastError(IASPError** ppASPErrorObject) {
    if (ppASPErrorObject) *ppASPErrorObject = nullptr;
    return RaiseComponentError(E_NOTIMPL, kServerSource, L"This host keeps no script error object.");
}

}  // namespace veskhost::pages
