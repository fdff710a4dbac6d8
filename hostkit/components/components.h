// The host components' creation functions (also reached through CoCreateInstance by their
// class identifiers and ProgIDs) and the identifiers they answer beyond the shared ones.
#pragma once

#include "host/ccom.h"

namespace veskhost {

// The enumerator a dictionary's _NewEnum returns: it walks a copy of the keys taken when
// the enumerator was made. Published member order.
struct IEnumVARIANT : IUnknown {
    virtual HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumVARIANT** ppEnum) = 0;
};

// 00020404-0000-0000-C000-000000000046
extern const IID IID_IEnumVARIANT;
// The published dictionary interface (42C642C1-97E1-11CF-978F-00A02463E06F): the dictionary's
// vtable has its member order, so the dictionary answers it as well.
extern const IID IID_IDictionary;

// Class creators in the registry's form: no outer object (CLASS_E_NOAGGREGATION otherwise).
HRESULT CreateHostStream(IUnknown* outer, REFIID riid, void** ppv);
HRESULT CreateHostDictionary(IUnknown* outer, REFIID riid, void** ppv);
HRESULT CreateHostCommand(IUnknown* outer, REFIID riid, void** ppv);

// The folder a command's "Data Source" is taken under when the calling thread runs no page
// whose Server maps a site root (a host's own threads, tests, tools). Null or empty clears it.
HOST_API void SetDatabaseSiteRoot(const wchar_t* root);

}  // namespace veskhost

ZUL_DEFINE_UUIDOF(veskhost::IEnumVARIANT, veskhost::IID_IEnumVARIANT)
