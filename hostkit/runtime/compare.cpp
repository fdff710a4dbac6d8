// VarCmp: strings compare by code unit (or case-folded code unit with NORM_IGNORECASE),
// numbers of any numeric type compare by value, Null compares as VARCMP_NULL, and Empty
// stands for 0 or "" depending on the other side. A string is greater than any number,
// whatever its text (empty, null or digits); two error values are equal.
#include <cwctype>
#include <locale.h>

#include "host/ccom.h"
#include "variant_types.h"

namespace {

constexpr ULONG NORM_IGNORECASE = 0x1;

// Case folding by the full Unicode tables of the C.UTF-8 locale, whatever the process locale.
wint_t fold(wchar_t c) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (utf8 != locale_t(0)) return towlower_l(wint_t(c), utf8);
    return (c >= L'A' && c <= L'Z') ? wint_t(c + 32) : wint_t(c);
}

HRESULT compare_text(BSTR left, BSTR right, ULONG flags) {
    const UINT ln = SysStringLen(left), rn = SysStringLen(right);
    const bool ignoreCase = (flags & NORM_IGNORECASE) != 0;
    for (UINT i = 0; i < ln && i < rn; ++i) {
        uint32_t a = uint32_t(left[i]), b = uint32_t(right[i]);
        if (ignoreCase) {
            a = uint32_t(fold(left[i]));
            b = uint32_t(fold(right[i]));
        }
        if (a != b) return a < b ? VARCMP_LT : VARCMP_GT;
    }
    return ln == rn ? VARCMP_EQ : ln < rn ? VARCMP_LT : VARCMP_GT;
}

// A numeric value held exactly enough to compare: integers as 128-bit, the rest as
// long double (which holds every 64-bit integer and currency value exactly).
struct Number {
    bool integral = true;
    __int128 i = 0;
    long double d = 0;
};

bool read_number(const VARIANT* v, Number* n) {
    switch (v->vt) {
    case VT_EMPTY: n->i = 0; return true;
    case VT_I1: n->i = static_cast<signed char>(v->cVal); return true;
    case VT_I2: n->i = v->iVal; return true;
    case VT_I4: n->i = v->lVal; return true;
    case VT_INT: n->i = v->intVal; return true;
    case VT_I8: n->i = v->llVal; return true;
    case VT_UI1: n->i = v->bVal; return true;
    case VT_UI2: n->i = v->uiVal; return true;
    case VT_UI4: n->i = v->ulVal; return true;
    case VT_UINT: n->i = v->uintVal; return true;
    case VT_UI8: n->i = v->ullVal; return true;
    case VT_BOOL: n->i = v->boolVal != VARIANT_FALSE ? -1 : 0; return true;
    case VT_R4: n->integral = false; n->d = v->fltVal; return true;
    case VT_R8: n->integral = false; n->d = v->dblVal; return true;
    case VT_DATE: n->integral = false; n->d = v->date; return true;
    case VT_CY: n->integral = false; n->d = (long double)v->cyVal.int64 / 10000.0L; return true;
    default: return false;
    }
}

HRESULT compare_numbers(const Number& a, const Number& b) {
    if (a.integral && b.integral) return a.i < b.i ? VARCMP_LT : a.i > b.i ? VARCMP_GT : VARCMP_EQ;
    const long double x = a.integral ? (long double)a.i : a.d;
    const long double y = b.integral ? (long double)b.i : b.d;
    return x < y ? VARCMP_LT : x > y ? VARCMP_GT : VARCMP_EQ;
}

}  // namespace

extern "C" HRESULT VarCmp(VARIANT* pvarLeft, VARIANT* pvarRight, LCID, ULONG dwFlags) {
    if (pvarLeft == nullptr || pvarRight == nullptr) return E_INVALIDARG;
    if (!veskhost::IsValidVariantType(pvarLeft->vt) || !veskhost::IsValidVariantType(pvarRight->vt))
        return DISP_E_BADVARTYPE;
    CComVariant lref, rref;
    const VARIANT* left = pvarLeft;
    const VARIANT* right = pvarRight;
    if (left->vt & VT_BYREF) {
        const HRESULT hr = VariantCopyInd(&lref, left);
        if (FAILED(hr)) return hr;
        left = &lref;
    }
    if (right->vt & VT_BYREF) {
        const HRESULT hr = VariantCopyInd(&rref, right);
        if (FAILED(hr)) return hr;
        right = &rref;
    }
    if (left->vt == VT_NULL || right->vt == VT_NULL) return VARCMP_NULL;
    const bool leftText = left->vt == VT_BSTR || (left->vt == VT_EMPTY && right->vt == VT_BSTR);
    const bool rightText = right->vt == VT_BSTR || (right->vt == VT_EMPTY && left->vt == VT_BSTR);
    if (leftText && rightText) {
        return compare_text(left->vt == VT_BSTR ? left->bstrVal : nullptr,
                            right->vt == VT_BSTR ? right->bstrVal : nullptr, dwFlags);
    }
    if (left->vt == VT_ERROR && right->vt == VT_ERROR) return VARCMP_EQ;
    Number a, b;
    const bool leftNumber = read_number(left, &a), rightNumber = read_number(right, &b);
    if (left->vt == VT_BSTR && rightNumber) return VARCMP_GT;
    if (right->vt == VT_BSTR && leftNumber) return VARCMP_LT;
    if (!leftNumber || !rightNumber) return DISP_E_TYPEMISMATCH;
    return compare_numbers(a, b);
}
