#include "hostkit/components/component_support.h"

namespace veskhost {

namespace {

// Member names are ASCII, so folding ASCII letters is all the case matching they need.
wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c + (L'a' - L'A')) : c; }

VARIANT* FollowReference(VARIANT* v) {
    // A by-reference VARIANT may point at another by-reference VARIANT only through
    // careless callers; a few steps are followed, never an unbounded chain.
    for (int depth = 0; v && v->vt == (VT_BYREF | VT_VARIANT) && depth < 4; ++depth) v = v->pvarVal;
    return v;
}

}  // namespace

HRESULT RaiseComponentError(HRESULT hr, const wchar_t* source, const std::wstring& description) {
    CComPtr<ICreateErrorInfo> spCreate;
    if (FAILED(CreateErrorInfo(spCreate.Receive())) || !spCreate) return hr;
    spCreate->SetSource(const_cast<LPOLESTR>(source));
    spCreate->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    CComPtr<IErrorInfo> spInfo;
    if (SUCCEEDED(spCreate.QueryInterface(spInfo.Receive())) && spInfo) SetErrorInfo(0, spInfo.Get());
    return hr;
}

std::wstring ToWString(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

bool SameMemberName(const wchar_t* a, const wchar_t* b) {
    for (; *a && *b; ++a, ++b) {
        if (FoldAscii(*a) != FoldAscii(*b)) return false;
    }
    return *a == *b;
}

CDispatchArgs::CDispatchArgs(DISPPARAMS* params, WORD flags, UINT* puArgErr)
    : m_pParams(params), m_puArgErr(puArgErr) {
    if (params == nullptr || params->cArgs == 0) {
        if (params && params->cNamedArgs) m_hrStatus = DISP_E_NONAMEDARGS;
        return;
    }
    if (params->rgvarg == nullptr || params->cNamedArgs > params->cArgs) {
        m_hrStatus = E_INVALIDARG;
        return;
    }
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    UINT named = params->cNamedArgs;
    if (put) {
        // The assigned value is the named DISPID_PROPERTYPUT argument; callers that send it
        // unnamed still put it last, which is rgvarg[0].
        if (named > 1 || (named == 1 && (params->rgdispidNamedArgs == nullptr ||
                                         params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT))) {
            m_hrStatus = DISP_E_NONAMEDARGS;
            return;
        }
        m_pPutValue = FollowReference(&params->rgvarg[0]);
        named = 1;
    } else if (named != 0) {
        m_hrStatus = DISP_E_NONAMEDARGS;
        return;
    }
    m_nPositional = params->cArgs - named;
}

HRESULT CDispatchArgs::Expect(UINT min, UINT max) const {
    if (FAILED(m_hrStatus)) return m_hrStatus;
    if (m_nPositional < min || m_nPositional > max) return DISP_E_BADPARAMCOUNT;
    for (UINT i = 0; i < min; ++i) {
        if (Missing(i)) {
            if (m_puArgErr) *m_puArgErr = m_pParams->cArgs - 1 - i;
            return DISP_E_PARAMNOTOPTIONAL;
        }
    }
    return S_OK;
}

VARIANT* CDispatchArgs::At(UINT i) const {
    if (i >= m_nPositional) return nullptr;
    return FollowReference(&m_pParams->rgvarg[m_pParams->cArgs - 1 - i]);
}

bool CDispatchArgs::Missing(UINT i) const {
    const VARIANT* v = At(i);
    return v == nullptr || v->vt == VT_ERROR;
}

HRESULT CDispatchArgs::Mismatch(UINT i) const {
    if (m_puArgErr) *m_puArgErr = m_pParams->cArgs - 1 - i;
    return DISP_E_TYPEMISMATCH;
}

HRESULT CDispatchArgs::Long(UINT i, LONG fallback, LONG* out) const {
    if (Missing(i)) {
        *out = fallback;
        return S_OK;
    }
    CComVariant converted;
    if (FAILED(VariantChangeType(&converted, At(i), 0, VT_I4)) || converted.vt != VT_I4) return Mismatch(i);
    *out = converted.lVal;
    return S_OK;
}

HRESULT CDispatchArgs::String(UINT i, const wchar_t* fallback, CComBSTR* out) const {
    if (Missing(i)) return out->Assign(fallback);
    CComVariant converted;
    if (FAILED(VariantChangeType(&converted, At(i), 0, VT_BSTR)) || converted.vt != VT_BSTR) return Mismatch(i);
    out->Attach(converted.bstrVal);
    converted.vt = VT_EMPTY;
    return S_OK;
}

HRESULT CompleteInvoke(HRESULT hr, EXCEPINFO* pExcepInfo) {
    if (SUCCEEDED(hr) || pExcepInfo == nullptr) return hr;
    // The frame's own argument and member codes are answers about the call, not errors
    // raised by the member, so they are not wrapped.
    const uint32_t bits = static_cast<uint32_t>(hr);
    if ((bits & 0xFFFF0000u) == 0x80020000u) return hr;

    *pExcepInfo = EXCEPINFO{};
    pExcepInfo->scode = hr;
    CComPtr<IErrorInfo> spInfo;
    if (GetErrorInfo(0, spInfo.Receive()) == S_OK && spInfo) {
        spInfo->GetSource(&pExcepInfo->bstrSource);
        spInfo->GetDescription(&pExcepInfo->bstrDescription);
    }
    return DISP_E_EXCEPTION;
}

}  // namespace veskhost
