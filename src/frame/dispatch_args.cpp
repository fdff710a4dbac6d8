#include "frame/dispatch_args.h"

#include <cwchar>

#include "host/ccom.h"

VARIANT* disp_arg(DISPPARAMS* args, UINT position) {
    if (args == nullptr || args->rgvarg == nullptr || position >= args->cArgs) return nullptr;
    VARIANT* arg = &args->rgvarg[args->cArgs - 1 - position];
    if (arg->vt == (VT_BYREF | VT_VARIANT) && arg->pvarVal != nullptr) return arg->pvarVal;
    return arg;
}

HRESULT coerce_arg(DISPPARAMS* args, UINT position, VARTYPE vt, VARIANT* out) {
    VARIANT* arg = disp_arg(args, position);
    if (arg == nullptr) return DISP_E_BADPARAMCOUNT;
    const HRESULT hr = VariantChangeType(out, arg, 0, vt);
    return FAILED(hr) ? DISP_E_TYPEMISMATCH : hr;
}

HRESULT get_dispatch_arg(DISPPARAMS* args, UINT position, IDispatch** out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    VARIANT* arg = disp_arg(args, position);
    if (arg == nullptr) return DISP_E_BADPARAMCOUNT;
    if (arg->vt == VT_DISPATCH) {
        *out = arg->pdispVal;
        return *out ? S_OK : E_INVALIDARG;
    }
    if (arg->vt == VT_UNKNOWN && arg->punkVal != nullptr) {
        CComPtr<IDispatch> spDisp;
        const HRESULT hr = arg->punkVal->QueryInterface(IID_IDispatch, spDisp.ReceiveVoid());
        if (FAILED(hr)) return hr;
        if (!spDisp) return E_NOINTERFACE;
        // The argument VARIANT keeps the object alive for the call, so the reference the
        // query added is not needed.
        *out = spDisp.Get();
        return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT get_unknown_arg(DISPPARAMS* args, UINT position, IUnknown** out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    VARIANT* arg = disp_arg(args, position);
    if (arg == nullptr) return DISP_E_BADPARAMCOUNT;
    if (arg->vt != VT_UNKNOWN && arg->vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
    *out = arg->punkVal;
    return *out ? S_OK : E_INVALIDARG;
}

HRESULT set_bstr_result(VARIANT* result, BSTR value) {
    if (result == nullptr) {
        SysFreeString(value);
        return S_OK;
    }
    VariantInit(result);
    result->vt = VT_BSTR;
    result->bstrVal = value;
    return S_OK;
}

HRESULT set_dispatch_result(VARIANT* result, IDispatch* value) {
    if (result == nullptr) {
        if (value) value->Release();
        return S_OK;
    }
    VariantInit(result);
    result->vt = VT_DISPATCH;
    result->pdispVal = value;
    return S_OK;
}

HRESULT set_unknown_result(VARIANT* result, IUnknown* value) {
    if (result == nullptr) {
        if (value) value->Release();
        return S_OK;
    }
    VariantInit(result);
    result->vt = VT_UNKNOWN;
    result->punkVal = value;
    return S_OK;
}

HRESULT set_bool_result(VARIANT* result, VARIANT_BOOL value) {
    if (result == nullptr) return S_OK;
    VariantInit(result);
    result->vt = VT_BOOL;
    result->boolVal = value;
    return S_OK;
}

HRESULT set_variant_result(VARIANT* result, const VARIANT* value) {
    if (result == nullptr) return S_OK;
    VariantInit(result);
    return VariantCopy(result, value);
}

bool name_eq(const wchar_t* name, const wchar_t* candidate) {
    return name != nullptr && candidate != nullptr && wcscasecmp(name, candidate) == 0;
}
