// zul_uuidof<T>(): the identifier of an interface type (or of a component's class tag).
// The host's identifiers are specialised here; the library specialises its own interfaces
// next to their declarations.
#pragma once

#include "asptlb.h"
#include "components.h"
#include "runtime.h"

template <class T>
const GUID& zul_uuidof();

#define ZUL_DEFINE_UUIDOF(Type, Id) \
    template <>                     \
    inline const GUID& zul_uuidof<Type>() { return Id; }

ZUL_DEFINE_UUIDOF(IUnknown, IID_IUnknown)
ZUL_DEFINE_UUIDOF(IDispatch, IID_IDispatch)
ZUL_DEFINE_UUIDOF(IClassFactory, IID_IClassFactory)
ZUL_DEFINE_UUIDOF(IErrorInfo, IID_IErrorInfo)
ZUL_DEFINE_UUIDOF(ICreateErrorInfo, IID_ICreateErrorInfo)
ZUL_DEFINE_UUIDOF(ISupportErrorInfo, IID_ISupportErrorInfo)
ZUL_DEFINE_UUIDOF(ITypeInfo, IID_ITypeInfo)
ZUL_DEFINE_UUIDOF(ITypeLib, IID_ITypeLib)
ZUL_DEFINE_UUIDOF(IGetContextProperties, IID_IGetContextProperties)
ZUL_DEFINE_UUIDOF(ISequentialStream, IID_ISequentialStream)
ZUL_DEFINE_UUIDOF(IStream, IID_IStream)
ZUL_DEFINE_UUIDOF(PravoltTypeLibrary::IServer, IID_IServer)
ZUL_DEFINE_UUIDOF(PravoltTypeLibrary::IApplicationObject, IID_IApplicationObject)
ZUL_DEFINE_UUIDOF(PravoltTypeLibrary::IRequest, IID_IRequest)
ZUL_DEFINE_UUIDOF(PravoltTypeLibrary::IResponse, IID_IResponse)
ZUL_DEFINE_UUIDOF(PravoltTypeLibrary::ISessionObject, IID_ISessionObject)
ZUL_DEFINE_UUIDOF(PravoltTypeLibrary::IRequestDictionary, IID_IRequestDictionary)
ZUL_DEFINE_UUIDOF(PravoltTypeLibrary::IStringList, IID_IStringList)
ZUL_DEFINE_UUIDOF(PravoltTypeLibrary::IVariantDictionary, IID_IVariantDictionary)
ZUL_DEFINE_UUIDOF(PravoltTypeLibrary::IReadCookie, IID_IReadCookie)
ZUL_DEFINE_UUIDOF(PravoltTypeLibrary::IWriteCookie, IID_IWriteCookie)
ZUL_DEFINE_UUIDOF(Scripting::ITextStream, IID_ITextStream)
ZUL_DEFINE_UUIDOF(ADODB::Stream, CLSID_Stream)
ZUL_DEFINE_UUIDOF(ADODB::Command, CLSID_Command)
ZUL_DEFINE_UUIDOF(Scripting::Dictionary, CLSID_Dictionary)
ZUL_DEFINE_UUIDOF(IZULibStream, IID_IZULibStream)
ZUL_DEFINE_UUIDOF(IZULDBCommand, IID_IZULDBCommand)
ZUL_DEFINE_UUIDOF(IZULibDictionary, IID_IZULibDictionary)

inline bool guid_equal(const GUID& a, const GUID& b) {
    const auto* pa = reinterpret_cast<const uint8_t*>(&a);
    const auto* pb = reinterpret_cast<const uint8_t*>(&b);
    for (int i = 0; i < 16; ++i) {
        if (pa[i] != pb[i]) return false;
    }
    return true;
}
