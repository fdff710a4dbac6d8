// Script events: the list of page scripts, one script member bound by name, and the event
// call by which a script function's return value decides whether a step goes on.
#pragma once

#include <vector>

#include "host/host.h"

// One script member found by name, used for a single call.
class CEvent {
public:
    // Calls the member as a method with two arguments: the owner, and the caller's value by
    // reference (so the function can change it) or Empty when there is none.
    HRESULT Fire(IDispatch* pOwner, VARIANT* pValue);
    // Reads the member as a property.
    HRESULT Get();
    // Assigns the member as a property.
    HRESULT Put(VARIANT* pValue);

    CComPtr<IDispatch> m_spDispatch;  // the script that knows the member
    DISPID m_dispid = DISPID_UNKNOWN;
    CComVariant m_vResult;  // result of the last Fire or Get
};

// The scripts of a page or templator, oldest first. A later script shadows an earlier one
// that defines the same name.
//
// Every lookup calls into scripts, and a script may add scripts to this very list meanwhile
// (or, through its owner, drop the last reference to one). So a walk goes by index over the
// scripts that were there when it began, re-checks the index at every step, and holds a
// reference of its own to the script it is calling; scripts added during a walk are not asked
// by it.
class CEventHandler {
public:
    // Appends a script (null included: it is kept, and never answers a lookup).
    void Add(IDispatch* pScript);
    // The most recently added script with a new reference, or null.
    HRESULT GetLast(IDispatch** ppScript) const;

    // Binds the name to the latest script that knows it. DISP_E_UNKNOWNNAME means that no
    // script defines it; any other failure is the last script's lookup error.
    HRESULT GetEvent(const wchar_t* name, CEvent& event) const;
    // Asks each script's default member, latest first, for the named value.
    HRESULT GetValue(const wchar_t* name, VARIANT* pValue) const;
    // The event call: fires the named function with the owner. An undefined function sets
    // bContinue to bDefault; a defined one sets it false only by returning a Boolean other
    // than True. On failure bContinue is left as it was.
    HRESULT CallEvent(IDispatch* pOwner, const wchar_t* name, bool bDefault, bool& bContinue) const;

    std::vector<CComPtr<IDispatch>> m_vScripts;

private:
    // A new reference to the script at the index, or null when there is none (any more).
    CComPtr<IDispatch> ScriptAt(size_t index) const;
};
