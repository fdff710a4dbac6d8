#include "hostkit/components/component_support.h"

namespace veskhost {

namespace {

// Member names are ASCII, so folding ASCII letters is all the case matching they need.
wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c + (L'a' - L'A')) : c; }

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

HRESULT LookupDispatchNames(automation::MemberRows rows, REFIID riid, LPOLESTR* names, UINT cNames, DISPID* ids) {
    if (!guid_equal(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (cNames == 0) return S_OK;
    if (names == nullptr || ids == nullptr) return E_POINTER;
    for (UINT i = 0; i < cNames; ++i) ids[i] = DISPID_UNKNOWN;
    if (names[0] == nullptr) return DISP_E_UNKNOWNNAME;
    const automation::MemberRows parts[] = {rows};
    const automation::MemberRow* row = automation::find_member_by_name(parts, names[0], &SameMemberName);
    if (row == nullptr) return DISP_E_UNKNOWNNAME;
    ids[0] = row->dispid;
    return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT CreateWithoutOuter(IUnknown* outer, REFIID riid, void** ppv, HRESULT (*create)(REFIID riid, void** ppv)) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return create(riid, ppv);
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

HRESULT InvokeMember(IUnknown* self, void* instance, automation::MemberRows rows, DISPID id, REFIID riid, WORD flags,
                     DISPPARAMS* params, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (!guid_equal(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    const automation::MemberRows parts[] = {rows};
    if (!automation::has_member(parts, id)) return DISP_E_MEMBERNOTFOUND;
    const automation::CInvokeArgs args(params, flags);
    if (HRESULT hr = args.CheckNamed(); FAILED(hr)) return hr;
    if (pVarResult) VariantInit(pVarResult);

    SetErrorInfo(0, nullptr);
    CComPtr<IUnknown> keepAlive = CComPtr<IUnknown>::Share(self);
    // A member the flags do not select answers as one that is not there.
    const automation::MemberRow* row = automation::find_member_row(parts, id, flags);
    if (row == nullptr) return DISP_E_MEMBERNOTFOUND;
    CComVariant result;
    const HRESULT hr =
        automation::invoke_member_row(*row, kComponentArgumentRules, instance, flags, args, &result, puArgErr);
    if (SUCCEEDED(hr) && pVarResult) result.Detach(pVarResult);
    return CompleteInvoke(hr, pExcepInfo);
}

}  // namespace veskhost
