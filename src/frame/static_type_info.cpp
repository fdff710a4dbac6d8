#include "frame/static_type_info.h"

#include "host/uuidof.h"

HRESULT StaticTypeInfo::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    if (!guid_equal(riid, IID_IUnknown) && !guid_equal(riid, IID_ITypeInfo)) return E_NOINTERFACE;
    *ppv = static_cast<ITypeInfo*>(this);
    AddRef();
    return S_OK;
}
