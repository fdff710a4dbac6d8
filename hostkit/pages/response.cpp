// Response: the page's output (buffered until flushed or the page ends), its status and
// headers, and its log lines. Nothing a script gives may break a header line or a log line.
#include <cstring>

#include "hostkit/pages/page_objects.h"
#include "hostkit/pages/page_text.h"

namespace veskhost::pages {

namespace {

constexpr const wchar_t* kLineBreakText = L"A header may not hold a carriage return, a line feed or a NUL.";

HRESULT SetText(BSTR* out, const std::wstring& text) {
    if (out == nullptr) return E_POINTER;
    *out = SysAllocStringLen(text.data(), UINT(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// "NNN" or "NNN reason": the code when the status reads so, 0 otherwise.
int StatusCodeOf(std::wstring_view status) {
    if (status.size() < 3 || (status.size() > 3 && status[3] != L' ')) return 0;
    int code = 0;
    for (size_t i = 0; i < 3; ++i) {
        if (status[i] < L'0' || status[i] > L'9') return 0;
        code = code * 10 + int(status[i] - L'0');
    }
    return code >= 100 ? code : 0;
}

// The bytes of a byte array (any shape) or of a string's own storage.
HRESULT BytesOf(const VARIANT& input, std::string* out) {
    CComVariant value;
    if (HRESULT hr = VariantCopyInd(&value, &input); FAILED(hr)) return hr;
    if (value.vt == VT_BSTR) {
        out->assign(reinterpret_cast<const char*>(value.bstrVal), SysStringByteLen(value.bstrVal));
        return S_OK;
    }
    if (value.vt != (VT_ARRAY | VT_UI1) || value.parray == nullptr) return DISP_E_TYPEMISMATCH;
    SAFEARRAY* array = value.parray;
    size_t count = array->cDims ? 1 : 0;
    for (USHORT d = 0; d < array->cDims; ++d) count *= array->rgsabound[d].cElements;
    void* data = nullptr;
    if (HRESULT hr = SafeArrayAccessData(array, &data); FAILED(hr)) return hr;
    out->assign(static_cast<const char*>(data), count);
    SafeArrayUnaccessData(array);
    return S_OK;
}

}  // namespace

using automation::member_row;
using automation::ResultKind;
using P = IResponse;

constexpr automation::MemberRow kResponseMembers[] = {
    member_row<P, &P::put_Buffer>(L"Buffer", OwnMember(0), DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_Buffer>(L"Buffer", OwnMember(0), kGetCall),
    member_row<P, &P::put_ContentType>(L"ContentType", OwnMember(2), DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_ContentType>(L"ContentType", OwnMember(2), kGetCall),
    member_row<P, &P::put_Expires>(L"Expires", OwnMember(4), DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_Expires, ResultKind::Variant>(L"Expires", OwnMember(4), kGetCall),
    date_put_row<&P::put_ExpiresAbsolute>(L"ExpiresAbsolute", OwnMember(6)),
    member_row<P, &P::get_ExpiresAbsolute, ResultKind::Variant>(L"ExpiresAbsolute", OwnMember(6), kGetCall),
    object_put_row<&P::get_Cookies>(L"Cookies", OwnMember(8), DISPATCH_PROPERTYPUT),
    object_row<&P::get_Cookies>(L"Cookies", OwnMember(8)),
    member_row<P, &P::put_Status>(L"Status", OwnMember(9), DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_Status>(L"Status", OwnMember(9), kGetCall),
    member_row<P, &P::Add>(L"Add", OwnMember(11), kGetCall),
    member_row<P, &P::AddHeader>(L"AddHeader", OwnMember(12), kGetCall),
    member_row<P, &P::AppendToLog>(L"AppendToLog", OwnMember(13), kGetCall),
    member_row<P, &P::BinaryWrite>(L"BinaryWrite", OwnMember(14), kGetCall),
    member_row<P, &P::Clear>(L"Clear", OwnMember(15), kGetCall),
    member_row<P, &P::End>(L"End", OwnMember(16), kGetCall),
    member_row<P, &P::Flush>(L"Flush", OwnMember(17), kGetCall),
    member_row<P, &P::Redirect>(L"Redirect", OwnMember(18), kGetCall),
    member_row<P, &P::Write>(L"Write", OwnMember(19), kGetCall),
    short_method_row<&P::WriteBlock>(L"WriteBlock", OwnMember(20)),
    member_row<P, &P::IsClientConnected>(L"IsClientConnected", OwnMember(21), kGetCall),
    member_row<P, &P::put_CharSet>(L"CharSet", OwnMember(22), DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_CharSet>(L"CharSet", OwnMember(22), kGetCall),
    member_row<P, &P::Pics>(L"Pics", OwnMember(24), kGetCall),
    member_row<P, &P::put_CacheControl>(L"CacheControl", OwnMember(25), DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_CacheControl>(L"CacheControl", OwnMember(25), kGetCall),
    member_row<P, &P::put_CodePage>(L"CodePage", OwnMember(27), DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_CodePage>(L"CodePage", OwnMember(27), kGetCall),
    member_row<P, &P::put_LCID>(L"LCID", OwnMember(29), DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_LCID>(L"LCID", OwnMember(29), kGetCall),
};
const automation::MemberRows CResponse::kMembers = kResponseMembers;

void CResponse::Emit(std::string_view bytes) {
    ResponseState& state = *m_state;
    if (state.out.ended) return;
    if (state.buffering) {
        state.buffer.append(bytes);
    } else {
        state.out.body.append(bytes);
        state.headersSent = true;
    }
}

HRESULT CResponse::SetHeaderText(std::wstring* field, BSTR text) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    std::wstring value = ToWString(text);
    if (BreaksHeader(value)) return RaiseComponentError(E_INVALIDARG, kResponseSource, kLineBreakText);
    *field = std::move(value);
    return S_OK;
}

HRESULT CResponse::get_Buffer(VARIANT_BOOL* fIsBuffering) {
    if (fIsBuffering == nullptr) return E_POINTER;
    *fIsBuffering = m_state->buffering ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CResponse::put_Buffer(VARIANT_BOOL fIsBuffering) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    ResponseState& state = *m_state;
    state.buffering = fIsBuffering != VARIANT_FALSE;
    if (!state.buffering && !state.buffer.empty()) {
        state.out.body += state.buffer;
        state.buffer.clear();
        state.headersSent = true;
    }
    return S_OK;
}

HRESULT CResponse::get_ContentType(BSTR* pbstrContentTypeRet) { return SetText(pbstrContentTypeRet, m_state->out.contentType); }

HRESULT CResponse::put_ContentType(BSTR bstrContentType) { return SetHeaderText(&m_state->out.contentType, bstrContentType); }

HRESULT CResponse::get_Expires(VARIANT* pvarExpiresMinutesRet) {
    if (pvarExpiresMinutesRet == nullptr) return E_POINTER;
    VariantInit(pvarExpiresMinutesRet);
    if (m_state->out.expiresMinutes) {
        pvarExpiresMinutesRet->vt = VT_I4;
        pvarExpiresMinutesRet->lVal = *m_state->out.expiresMinutes;
    }
    return S_OK;
}

HRESULT CResponse::put_Expires(LONG lExpiresMinutes) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    m_state->out.expiresMinutes = lExpiresMinutes;
    return S_OK;
}

HRESULT CResponse::get_ExpiresAbsolute(VARIANT* pvarExpiresRet) {
    if (pvarExpiresRet == nullptr) return E_POINTER;
    VariantInit(pvarExpiresRet);
    if (m_state->out.expiresAbsolute) {
        pvarExpiresRet->vt = VT_DATE;
        pvarExpiresRet->date = *m_state->out.expiresAbsolute;
    }
    return S_OK;
}

HRESULT CResponse::put_ExpiresAbsolute(DATE dtExpires) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    if (!IsAutomationDate(dtExpires))
        return RaiseComponentError(E_INVALIDARG, kResponseSource, L"The date is outside the years 100 to 9999.");
    m_state->out.expiresAbsolute = dtExpires;
    return S_OK;
}

HRESULT CResponse::Cookies(CResponseCookies** out) {
    if (!m_spCookies) {
        m_spCookies.Attach(new (std::nothrow) CResponseCookies(m_state));
        if (!m_spCookies) return E_OUTOFMEMORY;
    }
    return m_spCookies.CopyTo(out);
}

HRESULT CResponse::get_Cookies(IRequestDictionary** ppCookies) {
    if (ppCookies == nullptr) return E_POINTER;
    *ppCookies = nullptr;
    CComPtr<CResponseCookies> cookies;
    if (HRESULT hr = Cookies(cookies.Receive()); FAILED(hr)) return hr;
    return HandOut(cookies, ppCookies);
}

HRESULT CResponse::get_Status(BSTR* pbstrStatusRet) { return SetText(pbstrStatusRet, m_state->out.status); }

HRESULT CResponse::put_Status(BSTR bstrStatus) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    const std::wstring status = ToWString(bstrStatus);
    if (BreaksHeader(status)) return RaiseComponentError(E_INVALIDARG, kResponseSource, kLineBreakText);
    const int code = StatusCodeOf(status);
    if (code == 0) {
        return RaiseComponentError(E_INVALIDARG, kResponseSource,
                                   L"A status is a three-digit code, then a space and its reason.");
    }
    m_state->out.status = status;
    m_state->out.statusCode = code;
    return S_OK;
}

HRESULT CResponse::Add(BSTR bstrHeaderValue, BSTR bstrHeaderName) { return AddHeader(bstrHeaderName, bstrHeaderValue); }

HRESULT CResponse::AddHeader(BSTR bstrHeaderName, BSTR bstrHeaderValue) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    std::wstring name = ToWString(bstrHeaderName);
    std::wstring value = ToWString(bstrHeaderValue);
    if (BreaksHeader(name) || BreaksHeader(value))
        return RaiseComponentError(E_INVALIDARG, kResponseSource, kLineBreakText);
    if (!IsHeaderName(name)) {
        return RaiseComponentError(E_INVALIDARG, kResponseSource,
                                   L"A header name is one word of letters, digits and punctuation other than separators.");
    }
    m_state->out.headers.emplace_back(std::move(name), std::move(value));
    return S_OK;
}

HRESULT CResponse::AppendToLog(BSTR bstrLogEntry) {
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    m_state->out.log.push_back(EscapeLogEntry(ToWString(bstrLogEntry)));
    return S_OK;
}

HRESULT CResponse::BinaryWrite(VARIANT varInput) {
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    std::string bytes;
    if (HRESULT hr = BytesOf(varInput, &bytes); FAILED(hr)) return hr;
    Emit(bytes);
    return S_OK;
}

HRESULT CResponse::Write(VARIANT varText) {
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    // Text is written from the caller's string; anything else becomes text first.
    BSTR text = varText.vt == VT_BSTR ? varText.bstrVal
              : varText.vt == (VT_BYREF | VT_BSTR) && varText.pbstrVal ? *varText.pbstrVal
                                                                       : nullptr;
    CComVariant converted;
    if (varText.vt != VT_BSTR && text == nullptr) {
        if (HRESULT hr = VariantCopyInd(&converted, &varText); FAILED(hr)) return hr;
        if (converted.vt == VT_NULL) return S_OK;
        // An object converts through its default member, which may be a script calling back
        // here: the output is touched only once the text is known.
        if (converted.vt != VT_BSTR && FAILED(converted.ChangeType(VT_BSTR))) return DISP_E_TYPEMISMATCH;
        if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
        text = converted.bstrVal;
    }
    ResponseState& state = *m_state;
    if (state.out.ended) return S_OK;
    const std::wstring_view chars(text ? text : L"", SysStringLen(text));
    if (state.buffering) {
        AppendUtf8(state.buffer, chars);
    } else {
        AppendUtf8(state.out.body, chars);
        state.headersSent = true;
    }
    return S_OK;
}

HRESULT CResponse::WriteBlock(short) {
    return RaiseComponentError(E_INVALIDARG, kResponseSource, L"This host keeps no script blocks to write.");
}

HRESULT CResponse::Clear() {
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    if (!m_state->buffering)
        return RaiseComponentError(E_FAIL, kResponseSource, L"Without buffering there is no output to clear.");
    m_state->buffer.clear();
    return S_OK;
}

HRESULT CResponse::Flush() {
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    ResponseState& state = *m_state;
    if (!state.buffering) return RaiseComponentError(E_FAIL, kResponseSource, L"Without buffering there is nothing to flush.");
    if (state.out.ended) return S_OK;
    state.out.body += state.buffer;
    state.buffer.clear();
    state.headersSent = true;
    return S_OK;
}

HRESULT CResponse::End() {
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    ResponseState& state = *m_state;
    if (state.out.ended) return S_OK;
    state.out.body += state.buffer;
    state.buffer.clear();
    state.headersSent = true;
    state.out.ended = true;
    return S_OK;
}

HRESULT CResponse::Redirect(BSTR bstrURL) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    const std::wstring url = ToWString(bstrURL);
    if (BreaksHeader(url)) return RaiseComponentError(E_INVALIDARG, kResponseSource, kLineBreakText);
    ResponseState& state = *m_state;
    state.buffer.clear();
    state.out.status = L"302 Object moved";
    state.out.statusCode = 302;
    state.out.headers.emplace_back(L"Location", url);
    state.buffer = Utf8Of(L"<head><title>Object moved</title></head><body><h1>Object Moved</h1>"
                          L"This object may be found <a HREF=\"" + HtmlEncode(url) + L"\">here</a>.</body>\r\n");
    return End();
}

HRESULT CResponse::IsClientConnected(VARIANT_BOOL* pfIsClientConnected) {
    if (pfIsClientConnected == nullptr) return E_POINTER;
    *pfIsClientConnected = m_state->clientConnected ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CResponse::get_CharSet(BSTR* pbstrCharSetRet) { return SetText(pbstrCharSetRet, m_state->out.charSet); }

HRESULT CResponse::put_CharSet(BSTR bstrCharSet) { return SetHeaderText(&m_state->out.charSet, bstrCharSet); }

HRESULT CResponse::Pics(BSTR bstrHeaderValue) {
    const CComBSTR name(L"PICS-Label");
    return AddHeader(name, bstrHeaderValue);
}

HRESULT CResponse::get_CacheControl(BSTR* pbstrCacheControl) { return SetText(pbstrCacheControl, m_state->out.cacheControl); }

HRESULT CResponse::put_CacheControl(BSTR bstrCacheControl) {
    return SetHeaderText(&m_state->out.cacheControl, bstrCacheControl);
}

HRESULT CResponse::get_CodePage(LONG* plvar) {
    if (plvar == nullptr) return E_POINTER;
    *plvar = m_state->codePage;
    return S_OK;
}

HRESULT CResponse::put_CodePage(LONG lvar) {
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    if (lvar < 1) return RaiseComponentError(E_INVALIDARG, kResponseSource, L"A code page is a number above 0.");
    m_state->codePage = lvar;
    return S_OK;
}

HRESULT CResponse::get_LCID(LONG* plvar) {
    if (plvar == nullptr) return E_POINTER;
    *plvar = m_state->lcid;
    return S_OK;
}

HRESULT CResponse::put_LCID(LONG lvar) {
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    m_state->lcid = lvar;
    return S_OK;
}

ULONG CResponse::ForeignReferences() const { return RefCount() - 1 + ForeignOf(m_spCookies); }

void CResponse::EndPage() {
    ResponseState& state = *m_state;
    if (!state.out.ended) state.out.body += state.buffer;
    state.buffer.clear();
    state.closed = true;
}

}  // namespace veskhost::pages
