// VARIANT lifetime: initialise, clear, copy and copy-through-reference. A copy is built
// completely before the destination is touched, so a source that the old destination
// value kept alive (or that is the destination) is still intact while it is read. An old
// value is always taken out of its VARIANT before it is released: the release may run a
// script, and that script must find the VARIANT empty or holding its new value, never a
// value half released.
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

// Copies a by-value src (already validated) into tmp, which the caller then owns; arrays in
// it are copied at the given nesting level.
HRESULT copy_value(const VARIANT* src, VARIANT* tmp, unsigned level) {
    *tmp = *src;
    if (src->vt & VT_BYREF) return S_OK;  // references are copied as references
    if (src->vt & VT_ARRAY) {
        tmp->parray = nullptr;
        return veskhost::CopyArrayAtLevel(src->parray, &tmp->parray, level);
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
        return veskhost::CopyArrayAtLevel(*src->pparray, &tmp->parray, 1);
    }
    switch (vt) {
    case VT_VARIANT: {
        const VARIANT* inner = src->pvarVal;
        if (inner->vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;  // one level only
        if (inner->vt & VT_BYREF) return copy_referenced(inner, tmp);
        if (!IsValidVariantType(inner->vt)) return DISP_E_BADVARTYPE;
        return copy_value(inner, tmp, 1);
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

// Why v cannot be cleared, or S_OK.
HRESULT clearable(const VARIANT* v) {
    if (!IsValidVariantType(v->vt)) return DISP_E_BADVARTYPE;
    if ((v->vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY && v->parray && v->parray->cLocks != 0)
        return DISP_E_ARRAYISLOCKED;
    return S_OK;
}

// Puts a finished copy into dest: if dest's old value cannot be cleared the copy is dropped
// and dest keeps its value; a failed copy leaves dest empty.
HRESULT install(VARIANT* dest, VARIANT* tmp, HRESULT hr) {
    if (FAILED(hr)) {
        VariantClear(tmp);
        VariantClear(dest);
        VariantInit(dest);
        return hr;
    }
    hr = clearable(dest);
    if (FAILED(hr)) {
        VariantClear(tmp);
        return hr;
    }
    VARIANT old = *dest;
    *dest = *tmp;
    VariantClear(&old);
    return S_OK;
}

}  // namespace

namespace veskhost {

HRESULT CopyVariantAtLevel(VARIANT* pvargDest, const VARIANT* pvargSrc, unsigned level) {
    if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (!IsValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    if (pvargDest == pvargSrc) return S_OK;
    VARIANT tmp;
    VariantInit(&tmp);
    const HRESULT hr = copy_value(pvargSrc, &tmp, level);
    return install(pvargDest, &tmp, hr);
}

}  // namespace veskhost

extern "C" {

void VariantInit(VARIANT* pvarg) {
    if (pvarg == nullptr) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
    pvarg->llVal = 0;
}

// An array is destroyed by SafeArrayDestroy, which walks nested arrays without recursion.
HRESULT VariantClear(VARIANT* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    const HRESULT hr = clearable(pvarg);
    if (FAILED(hr)) return hr;
    const VARIANT old = *pvarg;
    VariantInit(pvarg);
    if (old.vt & VT_BYREF) return S_OK;
    if (old.vt & VT_ARRAY) {
        SafeArrayDestroy(old.parray);
    } else if (old.vt == VT_BSTR) {
        SysFreeString(old.bstrVal);
    } else if ((old.vt == VT_UNKNOWN || old.vt == VT_DISPATCH) && old.punkVal) {
        old.punkVal->Release();
    }
    return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
    return veskhost::CopyVariantAtLevel(pvargDest, pvargSrc, 1);
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
