#include "hostkit/components/dictionary_key.h"

#include <locale.h>
#include <wctype.h>

#include <cmath>
#include <cstring>
#include <functional>

namespace veskhost {

namespace {

using Kind = DictionaryKey::Kind;

constexpr double kTwo63 = 9223372036854775808.0;

void SetSigned(int64_t value, DictionaryKey* key) {
    key->kind = Kind::Integer;
    key->bits = static_cast<uint64_t>(value);
}

void SetUnsigned(uint64_t value, DictionaryKey* key) {
    if (value <= uint64_t(INT64_MAX)) return SetSigned(int64_t(value), key);
    key->kind = Kind::Unsigned;
    key->bits = value;
}

// A floating value that is a whole number becomes the same key as that integer.
void SetReal(double value, DictionaryKey* key) {
    if (std::isnan(value)) {
        key->kind = Kind::Real;
        key->bits = 0x7FF8000000000000ull;  // every NaN is one key
        return;
    }
    if (value == std::trunc(value)) {
        if (value >= -kTwo63 && value < kTwo63) return SetSigned(int64_t(value), key);
        if (value >= kTwo63 && value < 2 * kTwo63) return SetUnsigned(uint64_t(value), key);
    }
    key->kind = Kind::Real;
    std::memcpy(&key->bits, &value, sizeof value);
}

void SetDecimal(const DECIMAL& dec, DictionaryKey* key) {
    const bool negative = (dec.sign & DECIMAL_NEG) != 0;
    if (dec.scale == 0 && dec.Hi32 == 0) {
        if (!negative) return SetUnsigned(dec.Lo64, key);
        if (dec.Lo64 <= uint64_t(INT64_MAX) + 1) return SetSigned(int64_t(0 - dec.Lo64), key);
    }
    long double magnitude = std::ldexp(static_cast<long double>(dec.Hi32), 64) + static_cast<long double>(dec.Lo64);
    for (int i = 0; i < dec.scale; ++i) magnitude /= 10;
    SetReal(static_cast<double>(negative ? -magnitude : magnitude), key);
}

locale_t FoldingLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    return locale;
}

}  // namespace

std::wstring FoldCase(const wchar_t* text, size_t length) {
    std::wstring folded(text, length);
    const locale_t locale = FoldingLocale();
    for (wchar_t& c : folded) {
        if (c >= L'A' && c <= L'Z') c = wchar_t(c + (L'a' - L'A'));
        else if (c >= 0x80 && locale != locale_t(nullptr)) c = wchar_t(towlower_l(wint_t(c), locale));
    }
    return folded;
}

size_t DictionaryKeyHash::operator()(const DictionaryKey& key) const {
    size_t h = std::hash<uint64_t>()(key.bits) ^ (size_t(key.kind) * 0x9E3779B97F4A7C15ull);
    if (key.kind == Kind::Text) h ^= std::hash<std::wstring>()(key.text);
    if (key.kind == Kind::Object) h ^= std::hash<const void*>()(key.object);
    return h;
}

HRESULT MakeDictionaryKey(const VARIANT* value, bool compareText, DictionaryKey* key) {
    if (value == nullptr || key == nullptr) return E_POINTER;
    for (int depth = 0; value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal && depth < 4; ++depth)
        value = value->pvarVal;
    CComVariant direct;
    if (value->vt & VT_BYREF) {
        if (FAILED(VariantCopyInd(&direct, value))) return DISP_E_TYPEMISMATCH;
        value = &direct;
    }
    *key = DictionaryKey();
    switch (value->vt) {
    case VT_EMPTY: key->kind = Kind::Empty; return S_OK;
    case VT_NULL: key->kind = Kind::Null; return S_OK;
    case VT_BOOL:
        key->kind = Kind::Boolean;
        key->bits = value->boolVal != 0;
        return S_OK;
    case VT_ERROR:
        key->kind = Kind::Error;
        key->bits = uint32_t(value->scode);
        return S_OK;
    case VT_I1: SetSigned(static_cast<signed char>(value->cVal), key); return S_OK;
    case VT_I2: SetSigned(value->iVal, key); return S_OK;
    case VT_I4:
    case VT_INT: SetSigned(value->lVal, key); return S_OK;
    case VT_I8: SetSigned(value->llVal, key); return S_OK;
    case VT_UI1: SetSigned(value->bVal, key); return S_OK;
    case VT_UI2: SetSigned(value->uiVal, key); return S_OK;
    case VT_UI4:
    case VT_UINT: SetSigned(value->ulVal, key); return S_OK;
    case VT_UI8: SetUnsigned(value->ullVal, key); return S_OK;
    case VT_R4: SetReal(value->fltVal, key); return S_OK;
    case VT_R8:
    case VT_DATE: SetReal(value->dblVal, key); return S_OK;
    case VT_CY:
        if (value->cyVal.int64 % 10000 == 0) SetSigned(value->cyVal.int64 / 10000, key);
        else SetReal(double(value->cyVal.int64) / 10000.0, key);
        return S_OK;
    case VT_DECIMAL: SetDecimal(value->decVal, key); return S_OK;
    case VT_BSTR: {
        const size_t length = SysStringLen(value->bstrVal);
        key->kind = Kind::Text;
        key->text = compareText ? FoldCase(value->bstrVal, length)
                                : std::wstring(value->bstrVal ? value->bstrVal : L"", length);
        return S_OK;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
        key->kind = Kind::Object;
        if (value->punkVal == nullptr) return S_OK;
        // Identity is the object's IUnknown; the pointer outlives this reference because the
        // caller (and later the stored key) holds the object.
        CComPtr<IUnknown> identity;
        if (SUCCEEDED(value->punkVal->QueryInterface(IID_IUnknown, identity.ReceiveVoid())) && identity)
            key->object = identity.Get();
        else
            key->object = value->punkVal;
        return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

}  // namespace veskhost
