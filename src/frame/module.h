// The module's composition: its globals, its class factories, the class table and the
// type-information slot table, and the entry points that walk them.
//
// Everything declared VESK_EXPORT here is exported under its plain name (global variables
// carry no decoration); all other symbols of the library stay hidden. Components include
// frame/identifiers.h, never this.
#pragma once

#include <span>

#include "frame/factory.h"
#include "frame/identifiers.h"
#include "host/host.h"
#include "shim/registry.h"

// ---- Module state ----------------------------------------------------------------------

constexpr DWORD kModulePathChars = 260;

VESK_EXPORT extern HMODULE g_hDLL;
VESK_EXPORT extern wchar_t g_aDLLPath[kModulePathChars];

// Live objects plus outstanding factory references; the module may unload at zero.
// Changed only through InterlockedIncrement / InterlockedDecrement.
VESK_EXPORT extern long g_nRefCount;

// One type information per dispatch interface: every IDispatch call on an object of that
// interface is answered from its slot. Each slot holds one reference.
VESK_EXPORT extern ITypeInfo* g_pTI_IVesk;
VESK_EXPORT extern ITypeInfo* g_pTI_IVeskedTemplator;
VESK_EXPORT extern ITypeInfo* g_pTI_IFormFile;
VESK_EXPORT extern ITypeInfo* g_pTI_IStringList;
VESK_EXPORT extern ITypeInfo* g_pTI_IRequestDictionary;
VESK_EXPORT extern ITypeInfo* g_pTI_ITextTemplator;
VESK_EXPORT extern ITypeInfo* g_pTI_IUtility;

// ---- Class factory singletons ----------------------------------------------------------
// Each creatable implementation has one object class and one factory, declared here and
// defined in classes.cpp in construction order; its row in the class table makes it
// reachable.

struct IVesk;
template <class T>
class GIVeskImpl;

using CVeskObject = GDualImplForPool<IVesk, GIVeskImpl, &g_pTI_IVesk, &g_nRefCount>;
using CVeskFactory = GClassFactoryPooledInContext<CVeskObject, &g_nRefCount>;
VESK_EXPORT extern CVeskFactory g_oCF_Vesk;

struct IVeskedTemplator;
template <class T>
class GIVeskedTemplatorImpl;

using CVeskedTemplatorObject =
    GDualImplForPool<IVeskedTemplator, GIVeskedTemplatorImpl, &g_pTI_IVeskedTemplator, &g_nRefCount>;
using CVeskedTemplatorFactory = GClassFactoryPooledInContext<CVeskedTemplatorObject, &g_nRefCount>;
VESK_EXPORT extern CVeskedTemplatorFactory g_oCF_VeskedTemplator;

struct IFormFile;
template <class T>
class GIFormFileImpl;

using CFormFileObject = GDualImplForPool<IFormFile, GIFormFileImpl, &g_pTI_IFormFile, &g_nRefCount>;
using CFormFileFactory = GClassFactoryPooled<CFormFileObject, &g_nRefCount>;
VESK_EXPORT extern CFormFileFactory g_oCF_FormFile;

template <class T>
class GMultipartFormStringList;

using CMultipartFormStringListObject =
    GDualImplForPool<PravoltTypeLibrary::IStringList, GMultipartFormStringList, &g_pTI_IStringList, &g_nRefCount>;
using CMultipartFormStringListFactory = GClassFactoryPooled<CMultipartFormStringListObject, &g_nRefCount>;
VESK_EXPORT extern CMultipartFormStringListFactory g_oCF_MultipartFormStringList;

template <class T>
class GMultipartForm;

using CMultipartFormObject =
    GDualImplForPool<PravoltTypeLibrary::IRequestDictionary, GMultipartForm, &g_pTI_IRequestDictionary, &g_nRefCount>;
using CMultipartFormFactory = GClassFactoryPooled<CMultipartFormObject, &g_nRefCount>;
VESK_EXPORT extern CMultipartFormFactory g_oCF_MultipartForm;

struct IUtility;
template <class T>
class GIUtilityImpl;

struct ITextTemplator;
template <class T>
class GITextTemplatorImpl;

using CTextTemplatorObject =
    GDualImplForPool<ITextTemplator, GITextTemplatorImpl, &g_pTI_ITextTemplator, &g_nRefCount>;
using CTextTemplatorFactory = GClassFactoryPooled<CTextTemplatorObject, &g_nRefCount>;
VESK_EXPORT extern CTextTemplatorFactory g_oCF_TextTemplator;

using CUtilityObject = GDualImplForPool<IUtility, GIUtilityImpl, &g_pTI_IUtility, &g_nRefCount>;
using CUtilityFactory = GClassFactoryPooled<CUtilityObject, &g_nRefCount>;
VESK_EXPORT extern CUtilityFactory g_oCF_Utility;

// ---- The class table and the slot table ------------------------------------------------

// One row per class of the module, in the order of their factories. Public classes have a
// name (DllGetClassObject with CLSID_NULL), a class identifier and a ProgID (registered with
// the "Apartment" model); the internal ones are made only inside the library. The first row
// also answers a null or empty class name.
struct CModuleClass {
    const wchar_t* name;
    const CLSID* clsid;
    const wchar_t* progId;
    IClassFactory* factory;  // null while the class is not built: CLASS_E_CLASSNOTAVAILABLE
    ITypeInfo** slot;        // the slot its objects answer IDispatch from
};

// One row per type-information slot, in slot order (the order they are filled and freed).
// At attach each slot is looked up in the module's type library that carries it: first
// every row of library 1, then every row of library 2, in table order.
struct CTypeInfoSlot {
    ITypeInfo** slot;
    const IID* iid;
    ITypeInfo* builtin;  // the built-in type information, or null while there is none
    int library;
};

std::span<const CModuleClass> module_classes();
std::span<const CTypeInfoSlot> module_typeinfo_slots();

// ---- Internal entry points -------------------------------------------------------------

// Drops the slot's reference (if any) and stores typeInfo with a reference of its own.
void assign_typeinfo(ITypeInfo** slot, ITypeInfo* typeInfo);
// Drops the slot's reference (if any) and empties it.
void release_typeinfo(ITypeInfo** slot);
// Fills every slot with the built-in type information / empties every slot.
void vesk_init_dispatch_typeinfo();
void vesk_free_dispatch_typeinfo();

HRESULT RegistCOM(const wchar_t* progId, const wchar_t* clsid, const wchar_t* threadingModel);
HRESULT UnregistCOM(const wchar_t* progId, const wchar_t* clsid);

// ---- Exported entry points -------------------------------------------------------------

extern "C" {
VESK_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
VESK_EXPORT HRESULT DllCanUnloadNow();
VESK_EXPORT HRESULT DllRegisterServer();
VESK_EXPORT HRESULT DllUnregisterServer();
VESK_EXPORT BOOL IsEqualGUID(REFGUID first, REFGUID second);
}

// Exported with C++ linkage: its symbol encodes the parameter types (pointer, unsigned int,
// pointer). Reasons: 0 process detach, 1 process attach, 2 and 3 thread attach and detach.
VESK_EXPORT BOOL DllMain(void* hModule, unsigned int reason, void* reserved);
