// Facts about VARTYPEs shared by the variant and safe-array code of the runtime.
#pragma once

#include "host/runtime.h"

namespace veskhost {

// Whether a VARIANT may carry vt. By-reference and array forms need a real base type
// (not Empty or Null); a VARIANT holds another VARIANT only by reference or in an array;
// records are not carried by this platform's 16-byte VARIANT.
inline bool IsValidVariantType(VARTYPE vt) {
    if (vt & (VT_VECTOR | VT_RESERVED)) return false;
    const VARTYPE base = vt & VT_TYPEMASK;
    const bool wrapped = (vt & (VT_BYREF | VT_ARRAY)) != 0;
    if (base >= VT_VOID || base == 15) return false;
    if (wrapped && base <= VT_NULL) return false;
    if (!wrapped && base == VT_VARIANT) return false;
    return true;
}

// Size in bytes of one element of vt in a safe array; 0 when vt cannot be an element.
inline ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_UI1:
        return 1;
    case VT_I2: case VT_UI2: case VT_BOOL:
        return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR:
        return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE:
        return 8;
    case VT_BSTR: case VT_DISPATCH: case VT_UNKNOWN:
        return sizeof(void*);
    case VT_VARIANT:
        return sizeof(VARIANT);
    case VT_DECIMAL:
        return sizeof(DECIMAL);
    default:
        return 0;
    }
}

}  // namespace veskhost

namespace veskhost {

// How many arrays may nest inside one another (an array of VARIANT whose element holds an
// array of VARIANT, and so on) in a copy. Copying recurses once per level; this bound keeps a
// copy within a few tens of kilobytes of stack, so a script cannot overflow a page-server
// thread (1 MB) by copying a deep nest. A copy, or a SafeArrayPutElement, that would make a
// nest deeper than this fails with E_OUTOFMEMORY, the failure every copy may already give, and
// builds nothing. Clearing has no such bound: it walks a nest of any depth without recursion.
constexpr unsigned kMaxArrayNesting = 128;

// How a safe array's elements are to be read, from its own features and element size (never
// from the VARTYPE of the VARIANT that holds it). Unreadable: the descriptor contradicts itself
// (two element kinds, an element size that is not the kind's, a stored element type of another
// kind, records), so its elements are neither copied nor released.
enum class ElementKind { Plain, String, Interface, Variant, Unreadable };

inline ElementKind ElementKindOf(const SAFEARRAY* psa) {
    const USHORT f = psa->fFeatures;
    if (f & FADF_RECORD) return ElementKind::Unreadable;
    const int kinds = ((f & FADF_BSTR) != 0) + ((f & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) + ((f & FADF_VARIANT) != 0);
    if (kinds > 1) return ElementKind::Unreadable;
    ElementKind kind = ElementKind::Plain;
    ULONG size = psa->cbElements;
    if (f & FADF_BSTR) kind = ElementKind::String, size = sizeof(BSTR);
    if (f & (FADF_UNKNOWN | FADF_DISPATCH)) kind = ElementKind::Interface, size = sizeof(IUnknown*);
    if (f & FADF_VARIANT) kind = ElementKind::Variant, size = sizeof(VARIANT);
    if (psa->cbElements == 0 || psa->cbElements != size) return ElementKind::Unreadable;
    if (f & FADF_HAVEVARTYPE) {
        const VARTYPE vt = VARTYPE(reinterpret_cast<const DWORD*>(psa)[-1]);
        const ElementKind stored = vt == VT_BSTR ? ElementKind::String
                                   : vt == VT_VARIANT ? ElementKind::Variant
                                   : vt == VT_UNKNOWN || vt == VT_DISPATCH ? ElementKind::Interface
                                                                           : ElementKind::Plain;
        if (stored != kind) return ElementKind::Unreadable;
    }
    return kind;
}

// Copies psa, which will sit inside level - 1 enclosing arrays (1: not inside any), with the
// contract of SafeArrayCopy; refused when the copy would nest deeper than kMaxArrayNesting.
HRESULT CopyArrayAtLevel(SAFEARRAY* psa, SAFEARRAY** ppsaOut, unsigned level);

// VariantCopy whose arrays will sit at the given level (2 for a VARIANT stored in an array).
HRESULT CopyVariantAtLevel(VARIANT* pvargDest, const VARIANT* pvargSrc, unsigned level);

}  // namespace veskhost
