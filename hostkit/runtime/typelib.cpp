// Type libraries. This platform has none; a module then runs on its built-in type
// information.
#include "host/runtime.h"

extern "C" {

HRESULT LoadTypeLib(const OLECHAR*, ITypeLib** pptlib) {
    if (pptlib == nullptr) return E_INVALIDARG;
    *pptlib = nullptr;
    return TYPE_E_CANTLOADLIBRARY;
}

}  // extern "C"
