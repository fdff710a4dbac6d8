// FindString and the width conversions.
#include "shim/text.h"
#include "utility/utility_ops.h"

namespace {

constexpr LCID kWidthLocale = 0x110000;
constexpr DWORD kMapFullWidth = 0x80000000;
constexpr DWORD kMapHalfWidth = 0x00400000;

// A FindString argument seen as a list of VARIANTs: the elements of a script array, or the
// single value itself.
class CVariantList {
public:
    HRESULT Read(VARIANT* value) {
        if ((value->vt & VT_ARRAY) == 0) {
            m_pItems = value;
            m_nCount = 1;
            return S_OK;
        }
        // Script arrays are arrays of VARIANTs; other element types are not read.
        if ((value->vt & VT_TYPEMASK) != VT_VARIANT) return E_INVALIDARG;
        SAFEARRAY* psa = value->parray;
        if (value->vt & VT_BYREF) psa = value->pparray ? *value->pparray : nullptr;
        if (psa == nullptr) {
            m_bNoArray = true;
            return S_OK;
        }
        if (psa->cDims != 1 || psa->cbElements != sizeof(VARIANT)) return E_INVALIDARG;
        m_nCount = psa->rgsabound[0].cElements;
        m_pItems = static_cast<VARIANT*>(psa->pvData);
        if (m_pItems == nullptr && m_nCount != 0) return E_INVALIDARG;
        return S_OK;
    }
    bool NoArray() const { return m_bNoArray; }
    ULONG Count() const { return m_nCount; }
    VARIANT* Item(ULONG i) const { return &m_pItems[i]; }

private:
    VARIANT* m_pItems = nullptr;
    ULONG m_nCount = 0;
    bool m_bNoArray = false;
};

HRESULT map_width(BSTR text, DWORD flags, BSTR* converted) {
    if (converted == nullptr) return E_POINTER;
    const int length = static_cast<int>(SysStringLen(text));
    const int size = LCMapStringW(kWidthLocale, flags, text, length, nullptr, 0);
    if (size < 0) return E_FAIL;
    CComBSTR out;
    out.Attach(SysAllocStringLen(nullptr, static_cast<UINT>(size)));
    if (!out) return E_OUTOFMEMORY;
    if (LCMapStringW(kWidthLocale, flags, text, length, out.m_str, size) != size) {
        *converted = nullptr;
        return E_FAIL;
    }
    *converted = out.Detach();
    return S_OK;
}

}  // namespace

HRESULT CUtilityOps::FindString(VARIANT* first, VARIANT* second, VARIANT_BOOL* found) {
    if (first == nullptr || second == nullptr || found == nullptr) return E_POINTER;
    CVariantList haystack;
    CVariantList needles;
    HRESULT hr = haystack.Read(first);
    if (FAILED(hr)) return hr;
    hr = needles.Read(second);
    if (FAILED(hr)) return hr;
    *found = VARIANT_FALSE;
    if (haystack.NoArray() || needles.NoArray()) return S_OK;
    // Values are compared by their string forms: 1 matches "1", an empty value matches "".
    for (ULONG n = 0; n < needles.Count(); ++n) {
        CComVariant needle;
        hr = VariantChangeType(&needle, needles.Item(n), 0, VT_BSTR);
        if (FAILED(hr)) return hr;
        for (ULONG h = 0; h < haystack.Count(); ++h) {
            CComVariant candidate;
            hr = VariantChangeType(&candidate, haystack.Item(h), 0, VT_BSTR);
            if (FAILED(hr)) return hr;
            if (VarCmp(&candidate, &needle, 0, 0) == VARCMP_EQ) {
                *found = VARIANT_TRUE;
                break;
            }
        }
    }
    return S_OK;
}

HRESULT CUtilityOps::HanToZen(BSTR text, BSTR* converted) { return map_width(text, kMapFullWidth, converted); }

HRESULT CUtilityOps::ZenToHan(BSTR text, BSTR* converted) { return map_width(text, kMapHalfWidth, converted); }
