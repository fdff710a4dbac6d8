// VariantChangeType: the conversion matrix. A source is first brought to one of a few
// kinds (references followed once, an object replaced by its default value), then the
// matrix below picks one small function by target kind and source kind. The result is
// built aside and written to the destination only on success, so the destination may be
// the source.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include "host/automation.h"
#include "host/ccom.h"
#include "number_text.h"
#include "variant_types.h"

namespace {

using veskhost::ParsedNumber;
using veskhost::ParseResult;
using veskhost::RoundHalfEven;

enum From { fEmpty, fNull, fSigned, fUnsigned, fReal, fCurrency, fDate, fBool, fString, fError, fObject, kFromCount };
enum To { tEmpty, tNull, tInteger, tFloat, tDouble, tCurrency, tDate, tBool, tString, tError, tObject, kToCount };

struct Source {
    From kind = fEmpty;
    VARTYPE vt = VT_EMPTY;  // the source's own type: R4 and R8 print with different precision
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;    // reals and dates
    int64_t cy = 0;  // currency, scaled by 10 000
    bool b = false;
    const VARIANT* v = nullptr;
};

using Convert = HRESULT (*)(const Source& s, VARTYPE to, VARIANT* out);
extern const Convert kMatrix[kToCount][kFromCount];

constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;
// The dates the automation DATE can hold: 1 January 100 to 31 December 9999.
constexpr double kMinDate = -657434.0;
constexpr double kMaxDate = 2958466.0;

To target_kind(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY: return tEmpty;
    case VT_NULL: return tNull;
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT:
        return tInteger;
    case VT_R4: return tFloat;
    case VT_R8: return tDouble;
    case VT_CY: return tCurrency;
    case VT_DATE: return tDate;
    case VT_BOOL: return tBool;
    case VT_BSTR: return tString;
    case VT_ERROR: return tError;
    case VT_DISPATCH: case VT_UNKNOWN: return tObject;
    default: return kToCount;  // not converted to (decimal, arrays)
    }
}

// Classifies a by-value, non-array VARIANT; false for kinds that convert to nothing else.
bool classify(const VARIANT* v, Source* s) {
    s->vt = v->vt;
    s->v = v;
    switch (v->vt) {
    case VT_EMPTY: s->kind = fEmpty; return true;
    case VT_NULL: s->kind = fNull; return true;
    case VT_I1: s->kind = fSigned; s->i = static_cast<signed char>(v->cVal); return true;
    case VT_I2: s->kind = fSigned; s->i = v->iVal; return true;
    case VT_I4: s->kind = fSigned; s->i = v->lVal; return true;
    case VT_INT: s->kind = fSigned; s->i = v->intVal; return true;
    case VT_I8: s->kind = fSigned; s->i = v->llVal; return true;
    case VT_UI1: s->kind = fUnsigned; s->u = v->bVal; return true;
    case VT_UI2: s->kind = fUnsigned; s->u = v->uiVal; return true;
    case VT_UI4: s->kind = fUnsigned; s->u = v->ulVal; return true;
    case VT_UINT: s->kind = fUnsigned; s->u = v->uintVal; return true;
    case VT_UI8: s->kind = fUnsigned; s->u = v->ullVal; return true;
    case VT_R4: s->kind = fReal; s->d = v->fltVal; return true;
    case VT_R8: s->kind = fReal; s->d = v->dblVal; return true;
    case VT_DATE: s->kind = fDate; s->d = v->date; return true;
    case VT_CY: s->kind = fCurrency; s->cy = v->cyVal.int64; return true;
    case VT_BOOL: s->kind = fBool; s->b = v->boolVal != VARIANT_FALSE; return true;
    case VT_BSTR: s->kind = fString; return true;
    case VT_ERROR: s->kind = fError; return true;
    case VT_DISPATCH: case VT_UNKNOWN: s->kind = fObject; return true;
    default: return false;
    }
}

// ---- Storing a result --------------------------------------------------------------

HRESULT put_signed(int64_t value, VARTYPE to, VARIANT* out) {
    int64_t lo = INT64_MIN, hi = INT64_MAX;
    switch (to) {
    case VT_I1: lo = INT8_MIN; hi = INT8_MAX; break;
    case VT_I2: lo = INT16_MIN; hi = INT16_MAX; break;
    case VT_I4: case VT_INT: lo = INT32_MIN; hi = INT32_MAX; break;
    default: break;
    }
    if (value < lo || value > hi) return DISP_E_OVERFLOW;
    out->vt = to;
    switch (to) {
    case VT_I1: out->cVal = static_cast<char>(value); break;
    case VT_I2: out->iVal = SHORT(value); break;
    case VT_I4: out->lVal = LONG(value); break;
    case VT_INT: out->intVal = INT(value); break;
    default: out->llVal = value; break;
    }
    return S_OK;
}

HRESULT put_unsigned(uint64_t value, VARTYPE to, VARIANT* out) {
    uint64_t hi = UINT64_MAX;
    switch (to) {
    case VT_UI1: hi = UINT8_MAX; break;
    case VT_UI2: hi = UINT16_MAX; break;
    case VT_UI4: case VT_UINT: hi = UINT32_MAX; break;
    default: break;
    }
    if (value > hi) return DISP_E_OVERFLOW;
    out->vt = to;
    switch (to) {
    case VT_UI1: out->bVal = BYTE(value); break;
    case VT_UI2: out->uiVal = USHORT(value); break;
    case VT_UI4: out->ulVal = ULONG(value); break;
    case VT_UINT: out->uintVal = UINT(value); break;
    default: out->ullVal = value; break;
    }
    return S_OK;
}

bool is_signed_target(VARTYPE to) {
    return to == VT_I1 || to == VT_I2 || to == VT_I4 || to == VT_I8 || to == VT_INT;
}

HRESULT put_integer(int64_t value, VARTYPE to, VARIANT* out) {
    if (is_signed_target(to)) return put_signed(value, to, out);
    if (value < 0) return DISP_E_OVERFLOW;
    return put_unsigned(uint64_t(value), to, out);
}

HRESULT put_integer_u(uint64_t value, VARTYPE to, VARIANT* out) {
    if (is_signed_target(to)) return value > uint64_t(INT64_MAX) ? DISP_E_OVERFLOW : put_signed(int64_t(value), to, out);
    return put_unsigned(value, to, out);
}

HRESULT put_real(double value, VARTYPE to, VARIANT* out) {
    if (to == VT_R4) {
        if (std::isfinite(value) && std::fabs(value) > FLT_MAX) return DISP_E_OVERFLOW;
        out->vt = VT_R4;
        out->fltVal = float(value);
        return S_OK;
    }
    if (to == VT_DATE) {
        if (!(value > kMinDate - 1 && value < kMaxDate)) return DISP_E_OVERFLOW;
        out->vt = VT_DATE;
        out->date = value;
        return S_OK;
    }
    out->vt = VT_R8;
    out->dblVal = value;
    return S_OK;
}

HRESULT put_currency(int64_t scaled, VARIANT* out) {
    out->vt = VT_CY;
    out->cyVal.int64 = scaled;
    return S_OK;
}

HRESULT put_text(const std::wstring& text, VARIANT* out) {
    BSTR s = SysAllocStringLen(text.data(), UINT(text.size()));
    if (s == nullptr) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = s;
    return S_OK;
}

double as_double(const Source& s) {
    switch (s.kind) {
    case fSigned: return double(s.i);
    case fUnsigned: return double(s.u);
    case fCurrency: return double(s.cy) / 10000.0;
    case fBool: return s.b ? -1.0 : 0.0;
    default: return s.d;
    }
}

// Currency to integer, halves to even.
int64_t currency_units(int64_t scaled) {
    int64_t q = scaled / 10000;
    const int64_t r = scaled % 10000;
    if (r > 5000 || (r == 5000 && (q & 1))) ++q;
    if (r < -5000 || (r == -5000 && (q & 1))) --q;
    return q;
}

// ---- The matrix's functions ----------------------------------------------------------

HRESULT mismatch(const Source&, VARTYPE, VARIANT*) { return DISP_E_TYPEMISMATCH; }

HRESULT to_empty(const Source&, VARTYPE, VARIANT* out) {
    out->vt = VT_EMPTY;
    return S_OK;
}

// Empty, Null and numbers become Null.
HRESULT to_null(const Source&, VARTYPE, VARIANT* out) {
    out->vt = VT_NULL;
    return S_OK;
}

// Empty reads as zero, False, an empty string or no object.
HRESULT from_empty(const Source&, VARTYPE to, VARIANT* out) {
    switch (target_kind(to)) {
    case tInteger: return put_integer(0, to, out);
    case tFloat: case tDouble: case tDate: return put_real(0, to, out);
    case tCurrency: return put_currency(0, out);
    case tBool: out->vt = VT_BOOL; out->boolVal = VARIANT_FALSE; return S_OK;
    case tString: return put_text(L"", out);
    case tObject: out->vt = to; out->punkVal = nullptr; return S_OK;
    default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT integer_from_signed(const Source& s, VARTYPE to, VARIANT* out) { return put_integer(s.i, to, out); }
HRESULT integer_from_unsigned(const Source& s, VARTYPE to, VARIANT* out) { return put_integer_u(s.u, to, out); }

HRESULT integer_from_real(const Source& s, VARTYPE to, VARIANT* out) {
    const double r = RoundHalfEven(s.d);
    if (r >= 0 && r < kTwo64) return put_integer_u(uint64_t(r), to, out);
    if (r < 0 && r >= -kTwo63) return put_integer(int64_t(r), to, out);
    return DISP_E_OVERFLOW;  // also NaN
}

HRESULT integer_from_currency(const Source& s, VARTYPE to, VARIANT* out) {
    return put_integer(currency_units(s.cy), to, out);
}

// True is -1, which unsigned targets hold as all bits set.
HRESULT integer_from_bool(const Source& s, VARTYPE to, VARIANT* out) {
    if (is_signed_target(to) || !s.b) return put_integer(s.b ? -1 : 0, to, out);
    return put_unsigned(to == VT_UI1 ? UINT8_MAX : to == VT_UI2 ? UINT16_MAX : to == VT_UI8 ? UINT64_MAX : UINT32_MAX, to, out);
}

HRESULT real_from_number(const Source& s, VARTYPE to, VARIANT* out) { return put_real(as_double(s), to, out); }

HRESULT currency_from_integer(const Source& s, VARTYPE, VARIANT* out) {
    constexpr int64_t kLimit = INT64_MAX / 10000;
    if (s.kind == fUnsigned ? s.u > uint64_t(kLimit) : (s.i > kLimit || s.i < -kLimit)) return DISP_E_OVERFLOW;
    return put_currency((s.kind == fUnsigned ? int64_t(s.u) : s.i) * 10000, out);
}

HRESULT currency_from_real(const Source& s, VARTYPE, VARIANT* out) {
    const double r = RoundHalfEven(s.d * 10000.0);
    if (!(r >= -kTwo63 && r < kTwo63)) return DISP_E_OVERFLOW;
    return put_currency(int64_t(r), out);
}

HRESULT currency_from_currency(const Source& s, VARTYPE, VARIANT* out) { return put_currency(s.cy, out); }

HRESULT currency_from_bool(const Source& s, VARTYPE, VARIANT* out) { return put_currency(s.b ? -10000 : 0, out); }

HRESULT bool_from_number(const Source& s, VARTYPE, VARIANT* out) {
    bool value = false;
    switch (s.kind) {
    case fSigned: value = s.i != 0; break;
    case fUnsigned: value = s.u != 0; break;
    case fCurrency: value = s.cy != 0; break;
    case fBool: value = s.b; break;
    default: value = s.d != 0; break;
    }
    out->vt = VT_BOOL;
    out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// Text that is a number converts as that number would.
HRESULT number_from_string(const Source& s, VARTYPE to, VARIANT* out) {
    ParsedNumber n;
    switch (veskhost::ParseNumber(s.v->bstrVal, SysStringLen(s.v->bstrVal), &n)) {
    case ParseResult::NotANumber: return DISP_E_TYPEMISMATCH;
    case ParseResult::Overflow: return DISP_E_OVERFLOW;
    case ParseResult::Ok: break;
    }
    if (n.wholeBeyond64 && target_kind(to) == tInteger) return DISP_E_OVERFLOW;
    Source number;
    number.vt = VT_BSTR;
    number.kind = n.kind == ParsedNumber::Signed ? fSigned : n.kind == ParsedNumber::Unsigned ? fUnsigned : fReal;
    number.i = n.i;
    number.u = n.u;
    number.d = n.d;
    return kMatrix[target_kind(to)][number.kind](number, to, out);
}

HRESULT bool_from_string(const Source& s, VARTYPE to, VARIANT* out) {
    bool value = false;
    if (veskhost::ParseBoolWord(s.v->bstrVal, SysStringLen(s.v->bstrVal), &value)) {
        out->vt = VT_BOOL;
        out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    return number_from_string(s, to, out);
}

HRESULT text_from_integer(const Source& s, VARTYPE, VARIANT* out) {
    return put_text(s.kind == fUnsigned ? std::to_wstring(s.u) : std::to_wstring(s.i), out);
}

HRESULT text_from_real(const Source& s, VARTYPE, VARIANT* out) {
    return put_text(veskhost::FormatDouble(s.d, s.vt == VT_R4 ? 7 : 15), out);
}

HRESULT text_from_currency(const Source& s, VARTYPE, VARIANT* out) { return put_text(veskhost::FormatCurrency(s.cy), out); }

HRESULT text_from_date(const Source& s, VARTYPE, VARIANT* out) {
    std::wstring text;
    if (!veskhost::FormatDate(s.d, &text)) return DISP_E_OVERFLOW;
    return put_text(text, out);
}

HRESULT text_from_bool(const Source& s, VARTYPE, VARIANT* out) { return put_text(s.b ? L"True" : L"False", out); }

HRESULT copy_source(const Source& s, VARTYPE, VARIANT* out) { return VariantCopy(out, s.v); }

// Between the two object types by asking the object; a null object stays null.
HRESULT object_from_object(const Source& s, VARTYPE to, VARIANT* out) {
    IUnknown* obj = s.v->punkVal;
    void* converted = nullptr;
    if (obj != nullptr) {
        const HRESULT hr = obj->QueryInterface(to == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &converted);
        if (FAILED(hr)) return hr == E_NOINTERFACE ? DISP_E_TYPEMISMATCH : hr;
    }
    out->vt = to;
    out->punkVal = static_cast<IUnknown*>(converted);
    return S_OK;
}

// Target kind (rows) by source kind (columns).
#define ROW_OF_NUMBER(zero, i, u, real, cy, date, boolean, text) \
    { zero, mismatch, i, u, real, cy, date, boolean, text, mismatch, mismatch }
const Convert kMatrix[kToCount][kFromCount] = {
    //              Empty        Null      Signed  Unsigned  Real  Currency  Date  Bool  String  Error  Object
    /* Empty    */ {to_empty, to_empty, to_empty, to_empty, to_empty, to_empty, to_empty, to_empty, to_empty, to_empty, to_empty},
    /* Null     */ {to_null, to_null, to_null, to_null, to_null, to_null, mismatch, mismatch, mismatch, mismatch, mismatch},
    /* Integer  */ ROW_OF_NUMBER(from_empty, integer_from_signed, integer_from_unsigned, integer_from_real,
                                 integer_from_currency, integer_from_real, integer_from_bool, number_from_string),
    /* R4       */ ROW_OF_NUMBER(from_empty, real_from_number, real_from_number, real_from_number, real_from_number,
                                 real_from_number, real_from_number, number_from_string),
    /* R8       */ ROW_OF_NUMBER(from_empty, real_from_number, real_from_number, real_from_number, real_from_number,
                                 real_from_number, real_from_number, number_from_string),
    /* Currency */ ROW_OF_NUMBER(from_empty, currency_from_integer, currency_from_integer, currency_from_real,
                                 currency_from_currency, currency_from_real, currency_from_bool, number_from_string),
    /* Date     */ ROW_OF_NUMBER(from_empty, real_from_number, real_from_number, real_from_number, real_from_number,
                                 real_from_number, real_from_number, mismatch),
    /* Bool     */ ROW_OF_NUMBER(from_empty, bool_from_number, bool_from_number, bool_from_number, bool_from_number,
                                 bool_from_number, bool_from_number, bool_from_string),
    /* String   */ ROW_OF_NUMBER(from_empty, text_from_integer, text_from_integer, text_from_real, text_from_currency,
                                 text_from_date, text_from_bool, copy_source),
    /* Error    */ {mismatch, mismatch, mismatch, mismatch, mismatch, mismatch, mismatch, mismatch, mismatch, copy_source, mismatch},
    /* Object   */ {from_empty, mismatch, mismatch, mismatch, mismatch, mismatch, mismatch, mismatch, mismatch, mismatch, object_from_object},
};
#undef ROW_OF_NUMBER

// A byte array and a string convert into each other byte for byte: the string's bytes are its
// characters as stored (4 per character here), and its byte count is the array's length, which
// need not be a whole number of characters. Only a one-dimensional array whose own elements are
// single bytes is read; anything else is refused rather than read in part.
HRESULT text_from_bytes(SAFEARRAY* psa, VARIANT* out) {
    if (psa == nullptr || psa->cDims != 1 || psa->cbElements != 1 ||
        veskhost::ElementKindOf(psa) != veskhost::ElementKind::Plain)
        return DISP_E_TYPEMISMATCH;
    const ULONG count = psa->rgsabound[0].cElements;
    if (count != 0 && psa->pvData == nullptr) return DISP_E_TYPEMISMATCH;
    BSTR s = SysAllocStringByteLen(static_cast<const char*>(psa->pvData), count);
    if (s == nullptr) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = s;
    return S_OK;
}

HRESULT bytes_from_text(BSTR text, VARIANT* out) {
    const UINT count = SysStringByteLen(text);
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, count);
    if (psa == nullptr) return E_OUTOFMEMORY;
    if (count != 0) std::memcpy(psa->pvData, text, count);
    out->vt = VT_ARRAY | VT_UI1;
    out->parray = psa;
    return S_OK;
}

// The conversions between a byte array and a string, or false when src and vt are not that pair.
bool bytes_and_text(const VARIANT* src, VARTYPE vt, VARIANT* result, HRESULT* hr) {
    if (src->vt == (VT_ARRAY | VT_UI1) && vt == VT_BSTR) {
        *hr = text_from_bytes(src->parray, result);
        return true;
    }
    if (src->vt == VT_BSTR && vt == (VT_ARRAY | VT_UI1)) {
        *hr = bytes_from_text(src->bstrVal, result);
        return true;
    }
    return false;
}

// The value of an object's default member (DISPID_VALUE read as a property).
HRESULT default_value(IUnknown* obj, LCID lcid, VARIANT* out) {
    if (obj == nullptr) return DISP_E_TYPEMISMATCH;
    CComPtr<IDispatch> disp;
    if (FAILED(obj->QueryInterface(IID_IDispatch, disp.ReceiveVoid()))) return DISP_E_TYPEMISMATCH;
    const HRESULT hr = automation::InvokeById(disp.Get(), DISPID_VALUE, DISPATCH_PROPERTYGET, {}, out, nullptr, lcid);
    return FAILED(hr) ? DISP_E_TYPEMISMATCH : S_OK;
}

HRESULT convert(const VARIANT* src, LCID lcid, USHORT flags, VARTYPE vt, VARIANT* result) {
    if (!veskhost::IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
    if (!veskhost::IsValidVariantType(vt) || (vt & VT_BYREF)) return DISP_E_BADVARTYPE;
    CComVariant referenced;
    if (src->vt & VT_BYREF) {
        const HRESULT hr = VariantCopyInd(&referenced, src);
        if (FAILED(hr)) return hr;
        src = &referenced;
    }
    if (src->vt == vt) return VariantCopy(result, src);
    HRESULT hr = S_OK;
    if (bytes_and_text(src, vt, result, &hr)) return hr;
    if ((src->vt | vt) & VT_ARRAY) return vt == VT_EMPTY ? S_OK : DISP_E_TYPEMISMATCH;
    const To to = target_kind(vt);
    if (to == kToCount) return DISP_E_TYPEMISMATCH;

    CComVariant value;
    if ((src->vt == VT_DISPATCH || src->vt == VT_UNKNOWN) && to != tObject && to != tEmpty &&
        !(flags & VARIANT_NOVALUEPROP)) {
        hr = default_value(src->punkVal, lcid, value.Receive());
        if (FAILED(hr)) return hr;
        if (value.vt == vt) return VariantCopy(result, &value);
        if (bytes_and_text(&value, vt, result, &hr)) return hr;
        src = &value;
    }
    Source s;
    if (!classify(src, &s)) return DISP_E_TYPEMISMATCH;
    if (s.kind == fObject && to != tObject && to != tEmpty) return DISP_E_TYPEMISMATCH;
    return kMatrix[to][s.kind](s, vt, result);
}

}  // namespace

extern "C" {

HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt) {
    if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
    // A value converted in place to the type it has is already the result: copying it and
    // freeing the original would only cost an allocation (every mark value takes this road).
    if (pvargDest == pvarSrc && pvarSrc->vt == vt && !(vt & VT_BYREF) && veskhost::IsValidVariantType(vt)) return S_OK;
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = convert(pvarSrc, lcid, wFlags, vt, &result);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_SYSTEM_DEFAULT, wFlags, vt);
}

}  // extern "C"
