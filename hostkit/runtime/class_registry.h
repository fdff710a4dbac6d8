// The host's class registry and per-thread object context, for host programs and host
// components. Components register their classes (from static initialisers in their own
// files if they like); the library's classes are served by its module through
// DllGetClassObject. CoCreateInstance and CoGetObjectContext answer from here.
#pragma once

#include "host/ccom.h"

namespace veskhost {

using ClassCreator = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// Registers a host component class under its class identifier and ProgID (either may be
// looked up). False, and nothing changed, when the creator is null or the class identifier
// or ProgID is already registered.
HOST_API bool RegisterClassCreator(const CLSID& clsid, const wchar_t* progId, ClassCreator create);

// Loads a component module (dlopen RTLD_NOW|RTLD_LOCAL) and registers the given class as
// served by its exported DllGetClassObject, after checking that the module serves it.
// Returns the HRESULT (S_FALSE when the class was already registered); the module stays
// loaded for the process.
HOST_API HRESULT RegisterModuleClass(const char* modulePath, const CLSID& clsid, const wchar_t* progId);

// The address of a name the module exports (a class identifier such as "CLSID_Utility",
// for a host that knows the library's classes by name), loading the module as above.
// HRESULT_MOD_NOT_FOUND when it does not load, HRESULT_PROC_NOT_FOUND when it exports no
// such name.
HOST_API HRESULT GetModuleSymbol(const char* modulePath, const char* name, const void** address);

// For tests of what a component creates: while the scope lives, CoCreateInstance makes the
// class with `create` instead of what is registered for it; a null creator makes the class
// one the host cannot create (REGDB_E_CLASSNOTREG). Scopes nest, the latest winning.
class HOST_API ClassCreatorOverride {
public:
    ClassCreatorOverride(const CLSID& clsid, ClassCreator create);
    ~ClassCreatorOverride();
    ClassCreatorOverride(const ClassCreatorOverride&) = delete;
    ClassCreatorOverride& operator=(const ClassCreatorOverride&) = delete;

private:
    CLSID m_clsid;
};

// Case-insensitive ProgID lookup; CO_E_CLASSSTRING when unknown.
HOST_API HRESULT CLSIDFromProgID(const wchar_t* progId, CLSID* out);

// The calling thread's current page context, answered by CoGetObjectContext (which QIs it
// for the requested interface; none set -> CONTEXT_E_NOCONTEXT).
HOST_API void SetThreadObjectContext(IUnknown* context);  // AddRefs; null clears

// Called on a thread each time its object context is replaced, as a page starts and as it
// ends, so that a component can let go of what it kept for the page. Up to four listeners;
// false when there is no room. Listeners must not change the context themselves.
using ContextChangeListener = void (*)();
HOST_API bool AddContextChangeListener(ContextChangeListener listener);

// Makes ctx the thread's context for the scope's lifetime and restores the previous one.
class HOST_API ObjectContextScope {
public:
    explicit ObjectContextScope(IUnknown* ctx);
    ~ObjectContextScope();
    ObjectContextScope(const ObjectContextScope&) = delete;
    ObjectContextScope& operator=(const ObjectContextScope&) = delete;

private:
    CComPtr<IUnknown> m_spPrevious;
};

}  // namespace veskhost
