// VARIANT lifetime: initialise, clear, copy and copy-through-reference. A copy is built
// completely before the destination is touched, so a source that the old destination
// value kept alive (or that is the destination) is still intact while it is read.
#include <cstring>

#include "host/runtime.h"
#include "variant_types.h"

using veskhost::ElementSize;
using veskhost::IsValidVariantType;

namespace {

HRESULT copy_bstr(BSTR src, BSTR* out) {
    *out = nullptr;
    if (src == nullptr) return S_OK;
    *out = SysAllocStringByteLen(reinterpret_cast<const char*>(src), SysStringByteLen(src));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// Copies a by-value src (already validated) into tmp, which the caller then owns.
HRESULT copy_value(const VARIANT* src, VARIANT* tmp) {
    *tmp = *src;
    if (src->vt & VT_BYREF) return S_OK;  // references are copied as references
    if (src->vt & VT_ARRAY) {
        tmp->parray = nullptr;
        return src->parray ? SafeArrayCopy(src->parray, &tmp->parray) : S_OK;
    }
    switch (src->vt) {
    case VT_BSTR:
        return copy_bstr(src->bstrVal, &tmp->bstrVal);
    case VT_UNKNOWN:
    case VT_DISPATCH:
        if (src->punkVal) src->punkVal->AddRef();
        return S_OK;
    default:
        return S_OK;
    }
}

// Copies the value a by-reference src points at into tmp as a by-value VARIANT.
HRESULT copy_referenced(const VARIANT* src, VARIANT* tmp) {
    const VARTYPE vt = src->vt & ~VT_BYREF;
    VariantInit(tmp);
    if (src->byref == nullptr) return E_INVALIDARG;
    if (vt & VT_ARRAY) {
        tmp->vt = vt;
        tmp->parray = nullptr;
        return *src->pparray ? SafeArrayCopy(*src->pparray, &tmp->parray) : S_OK;
    }
    switch (vt) {
    case VT_VARIANT: {
        const VARIANT* inner = src->pvarVal;
        if (inner->vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;  // one level only
        if (inner->vt & VT_BYREF) return copy_referenced(inner, tmp);
        if (!IsValidVariantType(inner->vt)) return DISP_E_BADVARTYPE;
        return copy_value(inner, tmp);
    }
    case VT_BSTR:
        tmp->vt = VT_BSTR;
        return copy_bstr(*src->pbstrVal, &tmp->bstrVal);
    case VT_UNKNOWN:
    case VT_DISPATCH:
        tmp->vt = vt;
        tmp->punkVal = *src->ppunkVal;
        if (tmp->punkVal) tmp->punkVal->AddRef();
        return S_OK;
    case VT_DECIMAL:
        tmp->decVal = *src->pdecVal;  // overlays vt, so the type is set afterwards
        tmp->vt = VT_DECIMAL;
        return S_OK;
    default:
        tmp->vt = vt;
        std::memcpy(&tmp->llVal, src->byref, ElementSize(vt));
        return S_OK;
    }
}

// Puts a finished copy into dest: dest's old value is cleared first; if that fails the
// copy is dropped and dest keeps its value.
HRESULT install(VARIANT* dest, VARIANT* tmp, HRESULT hr) {
    if (FAILED(hr)) {
        VariantClear(tmp);
        VariantClear(dest);
        VariantInit(dest);
        return hr;
    }
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(tmp);
        return hr;
    }
    *dest = *tmp;
    return S_OK;
}

}  // namespace

extern "C" {

void VariantInit(VARIANT* pvarg) {
    if (pvarg == nullptr) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
    pvarg->llVal = 0;
}

HRESULT VariantClear(VARIANT* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    if (!IsValidVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
    if (!(pvarg->vt & VT_BYREF)) {
        if (pvarg->vt & VT_ARRAY) {
            if (pvarg->parray) {
                const HRESULT hr = SafeArrayDestroy(pvarg->parray);
                if (FAILED(hr)) return hr;
            }
        } else if (pvarg->vt == VT_BSTR) {
            SysFreeString(pvarg->bstrVal);
        } else if (pvarg->vt == VT_UNKNOWN || pvarg->vt == VT_DISPATCH) {
            if (pvarg->punkVal) pvarg->punkVal->Release();
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (!IsValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    if (pvargDest == pvargSrc) return S_OK;
    VARIANT tmp;
    VariantInit(&tmp);
    const HRESULT hr = copy_value(pvargSrc, &tmp);
    return install(pvargDest, &tmp, hr);
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANT* pvargSrc) {
    if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (!(pvargSrc->vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
    if (!IsValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    VARIANT tmp;
    const HRESULT hr = copy_referenced(pvargSrc, &tmp);
    return install(pvarDest, &tmp, hr);
}

}  // extern "C"
