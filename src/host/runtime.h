// The automation runtime the host process supplies. The library leaves every one of these
// undefined and the loader resolves them from the host (libveskhost.so, or any host that
// exports the same names with C linkage).
#pragma once

#include "oaidl.h"

extern "C" {

// Strings. A BSTR is preceded by a 4-byte byte count and followed by a NUL character.
HOST_API BSTR SysAllocString(const OLECHAR* psz);
HOST_API BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
HOST_API BSTR SysAllocStringByteLen(const char* psz, UINT len);
HOST_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
HOST_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT cch);
HOST_API UINT SysStringLen(BSTR bstr);
HOST_API UINT SysStringByteLen(BSTR bstr);
HOST_API void SysFreeString(BSTR bstr);

// Variants.
HOST_API void VariantInit(VARIANT* pvarg);
HOST_API HRESULT VariantClear(VARIANT* pvarg);
HOST_API HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc);
HOST_API HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANT* pvargSrc);
HOST_API HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags,
                                   VARTYPE vt);
HOST_API HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid,
                                     USHORT wFlags, VARTYPE vt);
HOST_API HRESULT VarCmp(VARIANT* pvarLeft, VARIANT* pvarRight, LCID lcid, ULONG dwFlags);

// Safe arrays.
HOST_API SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
HOST_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HOST_API HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HOST_API HRESULT SafeArrayDestroyData(SAFEARRAY* psa);
HOST_API HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
HOST_API UINT SafeArrayGetDim(SAFEARRAY* psa);
HOST_API UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HOST_API HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
HOST_API HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HOST_API HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HOST_API HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HOST_API HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HOST_API HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData);
HOST_API HRESULT SafeArrayLock(SAFEARRAY* psa);
HOST_API HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HOST_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HOST_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
HOST_API HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);

// Type libraries: there are none on this platform, so loading always fails cleanly.
HOST_API HRESULT LoadTypeLib(const OLECHAR* szFile, ITypeLib** pptlib);

// Per-thread error information.
HOST_API HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);
HOST_API HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
HOST_API HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);

// Objects, contexts and identifiers.
HOST_API HRESULT CoGetObjectContext(REFIID riid, void** ppv);
HOST_API HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                  REFIID riid, void** ppv);
HOST_API HRESULT CoCreateGuid(GUID* pguid);
HOST_API INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax);

// UTF-32 <-> UTF-8. utf32_utf8 returns the bytes the whole conversion needs including the
// NUL; utf8_utf32 returns the characters of the text excluding the NUL. Invalid input is
// replaced by U+FFFD; nothing is read or written out of bounds.
HOST_API size_t utf32_utf8(char* dst, size_t dst_bytes, const wchar_t* src);
HOST_API size_t utf8_utf32(wchar_t* dst, size_t dst_chars, const char* src);

// Identifiers the host defines.
HOST_API extern const GUID GUID_NULL;
HOST_API extern const CLSID CLSID_NULL;
HOST_API extern const IID IID_NULL;
HOST_API extern const IID IID_IUnknown;
HOST_API extern const IID IID_IDispatch;
HOST_API extern const IID IID_IClassFactory;
HOST_API extern const IID IID_IErrorInfo;
HOST_API extern const IID IID_ICreateErrorInfo;
HOST_API extern const IID IID_ISupportErrorInfo;
HOST_API extern const IID IID_ITypeInfo;
HOST_API extern const IID IID_ITypeLib;
HOST_API extern const IID IID_IGetContextProperties;
HOST_API extern const IID IID_ISequentialStream;
HOST_API extern const IID IID_IStream;

// Page objects.
HOST_API extern const IID IID_IServer;
HOST_API extern const IID IID_IApplicationObject;
HOST_API extern const IID IID_IRequest;
HOST_API extern const IID IID_IResponse;
HOST_API extern const IID IID_ISessionObject;
HOST_API extern const IID IID_IRequestDictionary;
HOST_API extern const IID IID_IStringList;
HOST_API extern const IID IID_IVariantDictionary;
HOST_API extern const IID IID_IReadCookie;
HOST_API extern const IID IID_IWriteCookie;

// Host components and the host's short text-stream interface.
HOST_API extern const CLSID CLSID_Stream;
HOST_API extern const CLSID CLSID_Command;
HOST_API extern const CLSID CLSID_Dictionary;
HOST_API extern const IID IID_IZULibStream;
HOST_API extern const IID IID_IZULDBCommand;
HOST_API extern const IID IID_IZULibDictionary;
HOST_API extern const IID IID_ITextStream;

}  // extern "C"
