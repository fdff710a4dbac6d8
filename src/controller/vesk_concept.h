// The process lifecycle: the fixed sequence of script events a page runs through (start of
// process, command, draw, end of process), each step a virtual operation that the page
// controller overrides to do its own work around the event.
#pragma once

#include <string_view>

#include "controller/event_handler.h"
#include "host/host.h"

class CVeskConcept {
public:
    // At most this many script events run inside one another on one thread: a script may
    // call back into a controller from any event (Process, DrawTemplate, FireEvent), which
    // fires events again, and each level costs native stack. The next one fails with E_FAIL.
    static constexpr unsigned int kMaxNestedEvents = 32;

    CVeskConcept();
    CVeskConcept(const CVeskConcept&) = delete;
    CVeskConcept& operator=(const CVeskConcept&) = delete;

    // Runs the steps in order. A failing step ends the process at once; a False from a start
    // event skips what that event starts.
    HRESULT Process();

protected:
    ~CVeskConcept() = default;

    // Each fires its script event through the event call and sets bContinue from it.
    virtual HRESULT On_StartProcess(bool& bContinue);
    virtual HRESULT On_EndProcess(bool& bContinue);
    virtual HRESULT On_StartCommand(bool& bContinue);
    // "OnCommand_" + Command; undefined means not handled.
    virtual HRESULT Command(bool& bContinue);
    virtual HRESULT On_EndCommand(bool& bContinue);
    virtual HRESULT On_StartDraw(bool& bContinue);
    // "OnTemplate_" + Template; undefined means not handled.
    virtual HRESULT Draw(bool& bContinue);
    virtual HRESULT On_EndDraw(bool& bContinue);

    // The event call for the function named prefix + suffix, with the owner as its first
    // argument. The name is built before the call, so a script that changes the property it
    // came from meanwhile changes nothing here.
    HRESULT CallEvent(std::wstring_view prefix, std::wstring_view suffix, bool bDefault, bool& bContinue);
    // Fires a script function as FireEvent does: found is set once the name is bound.
    HRESULT FireNamed(const wchar_t* name, VARIANT* pValue, CComVariant& result, bool& bFound);

    CEventHandler m_oEventHandler;
    IDispatch* m_pOwner = nullptr;  // the object scripts see; not counted (it is this object)
    CComBSTR m_bstrCommand;
    CComBSTR m_bstrTemplate;
    CComBSTR m_bstrCommandPrefix;
    CComBSTR m_bstrTemplatePrefix;
};

// The text of a string property as a view: a null string is empty.
inline std::wstring_view TextOf(const CComBSTR& bstr) { return {bstr.c_str(), bstr.Length()}; }
