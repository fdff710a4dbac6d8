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
