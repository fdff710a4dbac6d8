// FindString and the width conversions.
#include "shim/text.h"
#include "utility/utility_ops.h"

namespace {

constexpr LCID kWidthLocale = 0x110000;
constexpr DWORD kMapFullWidth = 0x80000000;
constexpr DWORD kMapHalfWidth = 0x00400000;

// Feature flags that say an array's cells hold something other than VARIANTs.
constexpr USHORT kOtherElementKinds = FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_RECORD | FADF_HAVEIID;

// Whether the array's own description says its elements are VARIANTs. The VARIANT that
// carries an array may claim VT_VARIANT for cells holding anything else; read as VARIANTs,
// such cells would give wild pointers.
bool holds_variants(SAFEARRAY* psa) {
    VARTYPE vt = VT_EMPTY;
    return (psa->fFeatures & FADF_VARIANT) && !(psa->fFeatures & kOtherElementKinds) &&
           psa->cbElements == sizeof(VARIANT) && SUCCEEDED(SafeArrayGetVartype(psa, &vt)) && vt == VT_VARIANT;
}

// A FindString argument seen as a list of VARIANTs: the elements of a script array, or the
// single value itself. Converting an element may run a script that reaches the same array
// (passed by reference), so the array stays locked while the list exists: resizing or
// erasing it fails with DISP_E_ARRAYISLOCKED instead of freeing the elements being read.
class CVariantList {
public:
    CVariantList() = default;
    CVariantList(const CVariantList&) = delete;
    CVariantList& operator=(const CVariantList&) = delete;
    ~CVariantList() {
        if (m_pLocked) SafeArrayUnlock(m_pLocked);
    }

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
        if (psa->cDims != 1 || !holds_variants(psa)) return E_INVALIDARG;
        if (psa->pvData == nullptr && psa->rgsabound[0].cElements != 0) return E_INVALIDARG;
        const HRESULT hr = SafeArrayLock(psa);
        if (FAILED(hr)) return hr;
        m_pLocked = psa;
        m_nCount = psa->rgsabound[0].cElements;
        m_pItems = static_cast<VARIANT*>(psa->pvData);
        return S_OK;
    }
    bool NoArray() const { return m_bNoArray; }
    ULONG Count() const { return m_nCount; }
    VARIANT* Item(ULONG i) const { return &m_pItems[i]; }

private:
    VARIANT* m_pItems = nullptr;
    ULONG m_nCount = 0;
    bool m_bNoArray = false;
    SAFEARRAY* m_pLocked = nullptr;
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
