// Request: its collections built from the request on first use, the search of Item, and the
// body read by BinaryRead under the upload limit.
#include <algorithm>
#include <cstring>
#include <limits>

#include "hostkit/pages/page_objects.h"
#include "hostkit/pages/page_text.h"

namespace veskhost::pages {

namespace {

constexpr std::string_view kFormType = "application/x-www-form-urlencoded";

// The variables every request has, in the order they are listed. A header whose variable
// name is one of these is not listed again: a client's "Method" header must not pass for
// the request method.
constexpr const wchar_t* kFixedVariables[] = {
    L"REQUEST_METHOD", L"HTTP_METHOD", L"CONTENT_TYPE", L"HTTP_CONTENT_TYPE", L"CONTENT_LENGTH", L"QUERY_STRING",
    L"PATH_INFO",      L"SCRIPT_NAME", L"SERVER_NAME",  L"SERVER_PORT",       L"REMOTE_ADDR",    L"HTTPS",
};

bool IsFixedVariable(const std::wstring& name) {
    const std::wstring folded = FoldKey(name);
    return std::any_of(std::begin(kFixedVariables), std::end(kFixedVariables),
                       [&](const wchar_t* fixed) { return FoldKey(fixed) == folded; });
}

// Writes a count back into the caller's VARIANT, through a reference when it is one.
void StoreCount(VARIANT* target, LONG count) {
    if (target->vt == (VT_BYREF | VT_VARIANT) && target->pvarVal) return StoreCount(target->pvarVal, count);
    switch (target->vt) {
    case VT_BYREF | VT_I4: *target->plVal = count; return;
    case VT_BYREF | VT_I2: *target->piVal = SHORT(count); return;
    case VT_BYREF | VT_R8: *target->pdblVal = count; return;
    default:
        if (target->vt & VT_BYREF) return;
        VariantClear(target);
        target->vt = VT_I4;
        target->lVal = count;
    }
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

std::string_view RequestData::Path() const {
    const std::string_view url = request.url;
    return url.substr(0, url.find('?'));
}

std::string_view RequestData::Query() const {
    const std::string_view url = request.url;
    const size_t mark = url.find('?');
    return mark == url.npos ? std::string_view() : url.substr(mark + 1);
}

std::vector<std::string_view> RequestData::HeaderValues(std::string_view name) const {
    std::vector<std::string_view> values;
    for (const auto& [header, value] : request.headers) {
        if (header.size() == name.size() && StartsWithNoCase(header, name)) values.push_back(value);
    }
    return values;
}

using automation::member_row;
using automation::ResultKind;
using R = IRequest;

constexpr automation::MemberRow kRequestMembers[] = {
    member_row<R, &R::get_Item>(L"Item", DISPID_VALUE, kGetCall),
    object_row<&R::get_QueryString>(L"QueryString", OwnMember(1)),
    object_row<&R::get_Form>(L"Form", OwnMember(2)),
    object_row<&R::get_Body>(L"Body", OwnMember(3)),
    object_row<&R::get_ServerVariables>(L"ServerVariables", OwnMember(4)),
    object_row<&R::get_ClientCertificate>(L"ClientCertificate", OwnMember(5)),
    object_row<&R::get_Cookies>(L"Cookies", OwnMember(6)),
    member_row<R, &R::get_TotalBytes>(L"TotalBytes", OwnMember(7), kGetCall),
    member_row<R, &R::BinaryRead, ResultKind::Variant>(L"BinaryRead", OwnMember(8), kGetCall),
};
const automation::MemberRows CRequest::kMembers = kRequestMembers;

HRESULT CRequest::QueryString(CRequestCollection** out) {
    if (!m_spQueryString) {
        FieldList fields;
        ForEachFormField(m_data->Query(), [&](std::wstring n, std::wstring v) { fields.Add(std::move(n), std::move(v)); });
        m_spQueryString = CRequestCollection::OfFields(fields.Take(), TextOfUtf8(m_data->Query()));
    }
    return m_spQueryString.CopyTo(out);
}

HRESULT CRequest::Form(CRequestCollection** out) {
    if (!m_spForm) {
        if (BodyTooLarge()) {
            return RaiseComponentError(E_FAIL, kRequestSource, L"The request body is larger than the upload limit.");
        }
        const std::vector<std::string_view> types = m_data->HeaderValues("Content-Type");
        const bool encoded = !types.empty() && StartsWithNoCase(types.front(), kFormType);
        FieldList fields;
        if (encoded) {
            ForEachFormField(m_data->request.body,
                             [&](std::wstring n, std::wstring v) { fields.Add(std::move(n), std::move(v)); });
        }
        m_spForm = CRequestCollection::OfFields(fields.Take(), encoded ? TextOfUtf8(m_data->request.body) : L"");
    }
    return m_spForm.CopyTo(out);
}

HRESULT CRequest::ServerVariables(CRequestCollection** out) {
    if (!m_spServerVariables) {
        const PageRequest& request = m_data->request;
        const std::wstring method = TextOfUtf8(request.method);
        FieldList fields;
        fields.Add(L"REQUEST_METHOD", method);
        fields.Add(L"HTTP_METHOD", method);
        std::vector<std::string_view> types = m_data->HeaderValues("Content-Type");
        if (types.empty()) types.emplace_back();
        for (const std::string_view type : types) fields.Add(L"CONTENT_TYPE", TextOfUtf8(type));
        for (const std::string_view type : types) fields.Add(L"HTTP_CONTENT_TYPE", TextOfUtf8(type));
        fields.Add(L"CONTENT_LENGTH", std::to_wstring(request.body.size()));
        fields.Add(L"QUERY_STRING", TextOfUtf8(m_data->Query()));
        fields.Add(L"PATH_INFO", TextOfUtf8(m_data->Path()));
        fields.Add(L"SCRIPT_NAME", TextOfUtf8(m_data->Path()));
        fields.Add(L"SERVER_NAME", TextOfUtf8(request.serverName));
        fields.Add(L"SERVER_PORT", std::to_wstring(request.serverPort));
        fields.Add(L"REMOTE_ADDR", TextOfUtf8(request.remoteAddress));
        fields.Add(L"HTTPS", request.https ? L"on" : L"off");
        for (const auto& [name, value] : request.headers) {
            std::wstring variable = ServerVariableName(name);
            if (!IsFixedVariable(variable)) fields.Add(std::move(variable), TextOfUtf8(value));
        }
        m_spServerVariables = CRequestCollection::OfFields(fields.Take(), L"");
    }
    return m_spServerVariables.CopyTo(out);
}

HRESULT CRequest::Cookies(CRequestCollection** out) {
    if (!m_spCookies) {
        std::vector<std::pair<std::string, std::string>> cookies;
        std::string raw;
        for (const std::string_view header : m_data->HeaderValues("Cookie")) {
            if (!raw.empty()) raw += "; ";
            raw += header;
            size_t start = 0;
            while (start <= header.size()) {
                size_t end = header.find(';', start);
                if (end == header.npos) end = header.size();
                const std::string_view pair = Trim(header.substr(start, end - start));
                const size_t eq = pair.find('=');
                const std::string_view name = Trim(pair.substr(0, eq));
                if (!name.empty()) {
                    cookies.emplace_back(name, eq == pair.npos ? std::string_view() : Trim(pair.substr(eq + 1)));
                }
                start = end + 1;
            }
        }
        m_spCookies = CRequestCollection::OfCookies(cookies, TextOfUtf8(raw));
    }
    return m_spCookies.CopyTo(out);
}

// This host takes no client certificates, so the collection is always empty.
HRESULT CRequest::Certificate(CRequestCollection** out) {
    if (!m_spCertificate) m_spCertificate = CRequestCollection::OfFields({}, L"");
    return m_spCertificate.CopyTo(out);
}

HRESULT CRequest::get_Item(BSTR bstrVar, IDispatch** ppObjReturn) {
    if (ppObjReturn == nullptr) return E_POINTER;
    *ppObjReturn = nullptr;
    const std::wstring name = ToWString(bstrVar);
    HRESULT (CRequest::*const order[])(CRequestCollection**) = {
        &CRequest::QueryString, &CRequest::Form, &CRequest::Cookies, &CRequest::Certificate,
        &CRequest::ServerVariables,
    };
    for (const auto collection : order) {
        CComPtr<CRequestCollection> source;
        // A body over the limit leaves the Form unreadable; the other collections still answer.
        if (FAILED((this->*collection)(source.Receive()))) continue;
        if (IDispatch* found = source->Find(name)) {
            *ppObjReturn = found;
            found->AddRef();
            SetErrorInfo(0, nullptr);
            return S_OK;
        }
    }
    SetErrorInfo(0, nullptr);
    *ppObjReturn = new (std::nothrow) CValueList({});
    return *ppObjReturn ? S_OK : E_OUTOFMEMORY;
}

HRESULT CRequest::get_QueryString(IRequestDictionary** ppDictReturn) {
    if (ppDictReturn == nullptr) return E_POINTER;
    *ppDictReturn = nullptr;
    CComPtr<CRequestCollection> collection;
    if (HRESULT hr = QueryString(collection.Receive()); FAILED(hr)) return hr;
    return HandOut(collection, ppDictReturn);
}

HRESULT CRequest::get_Form(IRequestDictionary** ppDictReturn) {
    if (ppDictReturn == nullptr) return E_POINTER;
    *ppDictReturn = nullptr;
    CComPtr<CRequestCollection> collection;
    if (HRESULT hr = Form(collection.Receive()); FAILED(hr)) return hr;
    return HandOut(collection, ppDictReturn);
}

HRESULT CRequest::get_Body(IRequestDictionary** ppDictReturn) {
    if (ppDictReturn) *ppDictReturn = nullptr;
    return RaiseComponentError(E_NOTIMPL, kRequestSource, L"The body is read through Form or BinaryRead.");
}

HRESULT CRequest::get_ServerVariables(IRequestDictionary** ppDictReturn) {
    if (ppDictReturn == nullptr) return E_POINTER;
    *ppDictReturn = nullptr;
    CComPtr<CRequestCollection> collection;
    if (HRESULT hr = ServerVariables(collection.Receive()); FAILED(hr)) return hr;
    return HandOut(collection, ppDictReturn);
}

HRESULT CRequest::get_ClientCertificate(IRequestDictionary** ppDictReturn) {
    if (ppDictReturn == nullptr) return E_POINTER;
    *ppDictReturn = nullptr;
    CComPtr<CRequestCollection> collection;
    if (HRESULT hr = Certificate(collection.Receive()); FAILED(hr)) return hr;
    return HandOut(collection, ppDictReturn);
}

HRESULT CRequest::get_Cookies(IRequestDictionary** ppDictReturn) {
    if (ppDictReturn == nullptr) return E_POINTER;
    *ppDictReturn = nullptr;
    CComPtr<CRequestCollection> collection;
    if (HRESULT hr = Cookies(collection.Receive()); FAILED(hr)) return hr;
    return HandOut(collection, ppDictReturn);
}

HRESULT CRequest::get_TotalBytes(LONG* pcbTotal) {
    if (pcbTotal == nullptr) return E_POINTER;
    *pcbTotal = LONG(std::min<size_t>(m_data->request.body.size(), size_t(std::numeric_limits<LONG>::max())));
    return S_OK;
}

HRESULT CRequest::BinaryRead(VARIANT* pvarCountToRead, VARIANT* pvarReturn) {
    if (pvarCountToRead == nullptr || pvarReturn == nullptr) return E_POINTER;
    VariantInit(pvarReturn);
    if (m_bClosed) return RaiseComponentError(E_FAIL, kRequestSource, kPageEndedText);
    CComVariant count;
    if (FAILED(VariantChangeType(&count, pvarCountToRead, 0, VT_I4))) return DISP_E_TYPEMISMATCH;
    if (BodyTooLarge()) {
        StoreCount(pvarCountToRead, 0);
        return RaiseComponentError(E_FAIL, kRequestSource,
                                   L"The request body of " + std::to_wstring(m_data->request.body.size()) +
                                       L" bytes is larger than the upload limit of " +
                                       std::to_wstring(m_data->uploadLimit) + L" bytes.");
    }
    if (count.lVal < 0) {
        StoreCount(pvarCountToRead, 0);
        return RaiseComponentError(E_INVALIDARG, kRequestSource, L"BinaryRead takes a count of bytes of 0 or more.");
    }
    const std::string& body = m_data->request.body;
    const size_t n = std::min(size_t(count.lVal), body.size() - m_data->readPosition);
    CComSafeArray bytes;
    bytes.Attach(SafeArrayCreateVector(VT_UI1, 0, ULONG(n)));
    if (!bytes) return E_OUTOFMEMORY;
    if (n) std::memcpy(bytes.Get()->pvData, body.data() + m_data->readPosition, n);
    m_data->readPosition += n;
    StoreCount(pvarCountToRead, LONG(n));
    pvarReturn->vt = VT_ARRAY | VT_UI1;
    pvarReturn->parray = bytes.Detach();
    return S_OK;
}

ULONG CRequest::ForeignReferences() const {
    return RefCount() - 1 + ForeignOf(m_spQueryString) + ForeignOf(m_spForm) + ForeignOf(m_spServerVariables) +
           ForeignOf(m_spCookies) + ForeignOf(m_spCertificate);
}

}  // namespace veskhost::pages
