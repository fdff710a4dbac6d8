#include "controller/vesk_concept.h"

#include <string>

#include "frame/error.h"

namespace {

constexpr wchar_t kSource[] = L"Vesk";
constexpr wchar_t kNestingTooDeep[] = L"Script events nest too deeply (more than 32 at once).";
static_assert(CVeskConcept::kMaxNestedEvents == 32, "the message names the bound");

// Script events in progress on this thread, over every controller.
thread_local unsigned int t_nEvents = 0;

// One level of event nesting, held for the call, unless the thread is already at the bound.
class CEventLevel {
public:
    CEventLevel() : m_bEntered(t_nEvents < CVeskConcept::kMaxNestedEvents) {
        if (m_bEntered) ++t_nEvents;
    }
    ~CEventLevel() {
        if (m_bEntered) --t_nEvents;
    }
    CEventLevel(const CEventLevel&) = delete;
    CEventLevel& operator=(const CEventLevel&) = delete;

    bool Entered() const { return m_bEntered; }

private:
    bool m_bEntered;
};

// "Unknown Command 'save'.": the property value quoted unchanged.
HRESULT RaiseUnknown(const wchar_t* what, const CComBSTR& value) {
    std::wstring text = what;
    text += L" '";
    text += TextOf(value);
    text += L"'.";
    return RaiseError(E_FAIL, kSource, text.c_str());
}

}  // namespace

CVeskConcept::CVeskConcept() {
    m_bstrCommandPrefix.Assign(L"OnCommand_");
    m_bstrTemplatePrefix.Assign(L"OnTemplate_");
}

HRESULT CVeskConcept::Process() {
    // A script may drop the page's last reference to this object from any event.
    const CComPtr<IDispatch> spKeepAlive = CComPtr<IDispatch>::Share(m_pOwner);
    bool bContinue = false;
    HRESULT hr = On_StartProcess(bContinue);
    if (FAILED(hr)) return hr;
    if (bContinue) {
        hr = On_StartCommand(bContinue);
        if (FAILED(hr)) return hr;
        if (bContinue) {
            hr = Command(bContinue);
            if (FAILED(hr)) return hr;
            if (!bContinue) return RaiseUnknown(L"Unknown Command", m_bstrCommand);
        }
        hr = On_EndCommand(bContinue);
        if (FAILED(hr)) return hr;
        hr = On_StartDraw(bContinue);
        if (FAILED(hr)) return hr;
        if (bContinue) {
            hr = Draw(bContinue);
            if (FAILED(hr)) return hr;
            if (!bContinue) return RaiseUnknown(L"Unknown Template", m_bstrTemplate);
        }
        hr = On_EndDraw(bContinue);
        if (FAILED(hr)) return hr;
    }
    return On_EndProcess(bContinue);
}

HRESULT CVeskConcept::On_StartProcess(bool& bContinue) { return CallEvent(L"On_StartProcess", {}, true, bContinue); }
HRESULT CVeskConcept::On_EndProcess(bool& bContinue) { return CallEvent(L"On_EndProcess", {}, true, bContinue); }
HRESULT CVeskConcept::On_StartCommand(bool& bContinue) { return CallEvent(L"On_StartCommand", {}, true, bContinue); }
HRESULT CVeskConcept::On_EndCommand(bool& bContinue) { return CallEvent(L"On_EndCommand", {}, true, bContinue); }
HRESULT CVeskConcept::On_StartDraw(bool& bContinue) { return CallEvent(L"On_StartDraw", {}, true, bContinue); }
HRESULT CVeskConcept::On_EndDraw(bool& bContinue) { return CallEvent(L"On_EndDraw", {}, true, bContinue); }

HRESULT CVeskConcept::Command(bool& bContinue) {
    return CallEvent(TextOf(m_bstrCommandPrefix), TextOf(m_bstrCommand), false, bContinue);
}

HRESULT CVeskConcept::Draw(bool& bContinue) {
    return CallEvent(TextOf(m_bstrTemplatePrefix), TextOf(m_bstrTemplate), false, bContinue);
}

HRESULT CVeskConcept::CallEvent(std::wstring_view prefix, std::wstring_view suffix, bool bDefault, bool& bContinue) {
    std::wstring name;
    name.reserve(prefix.size() + suffix.size());
    name.append(prefix).append(suffix);
    const CEventLevel level;
    if (!level.Entered()) return RaiseError(E_FAIL, kSource, kNestingTooDeep);
    return m_oEventHandler.CallEvent(m_pOwner, name.c_str(), bDefault, bContinue);
}

HRESULT CVeskConcept::FireNamed(const wchar_t* name, VARIANT* pValue, CComVariant& result, bool& bFound) {
    const CEventLevel level;
    if (!level.Entered()) return RaiseError(E_FAIL, kSource, kNestingTooDeep);
    CEvent event;
    HRESULT hr = m_oEventHandler.GetEvent(name, event);
    if (FAILED(hr)) return hr;
    bFound = true;
    hr = event.Fire(m_pOwner, pValue);
    if (FAILED(hr)) return hr;
    result = std::move(event.m_vResult);
    return S_OK;
}
