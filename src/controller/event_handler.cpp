#include "controller/event_handler.h"

#include <utility>

#include "host/automation.h"

namespace {

constexpr LCID kLocale = LOCALE_SYSTEM_DEFAULT;

}  // namespace

// ---- CEvent -------------------------------------------------------------------------------

HRESULT CEvent::Fire(IDispatch* pOwner, VARIANT* pValue) {
    if (!m_spDispatch) return E_UNEXPECTED;
    CComVariant args[2];
    args[0].SetDispatch(pOwner);
    if (pValue != nullptr) args[1] = automation::ByRef(pValue);
    m_vResult.Reset();
    return automation::InvokeById(m_spDispatch.Get(), m_dispid, DISPATCH_METHOD, args, &m_vResult, nullptr, kLocale);
}

HRESULT CEvent::Get() {
    if (!m_spDispatch) return E_UNEXPECTED;
    m_vResult.Reset();
    return automation::InvokeById(m_spDispatch.Get(), m_dispid, DISPATCH_PROPERTYGET, {}, &m_vResult, nullptr, kLocale);
}

HRESULT CEvent::Put(VARIANT* pValue) {
    if (!m_spDispatch) return E_UNEXPECTED;
    if (pValue == nullptr) return E_INVALIDARG;
    // The call takes over its arguments, so it gets a copy: the caller keeps its value.
    CComVariant value[1];
    const HRESULT hr = value[0].Copy(pValue);
    if (FAILED(hr)) return hr;
    return automation::InvokeById(m_spDispatch.Get(), m_dispid, DISPATCH_PROPERTYPUT, value, nullptr, nullptr, kLocale);
}

// ---- CEventHandler ------------------------------------------------------------------------

void CEventHandler::Add(IDispatch* pScript) { m_vScripts.push_back(CComPtr<IDispatch>::Share(pScript)); }

HRESULT CEventHandler::GetLast(IDispatch** ppScript) const {
    if (ppScript == nullptr) return E_INVALIDARG;
    *ppScript = nullptr;
    if (m_vScripts.empty()) return S_OK;
    return m_vScripts.back().CopyTo(ppScript);
}

HRESULT CEventHandler::GetEvent(const wchar_t* name, CEvent& event) const {
    HRESULT hr = DISP_E_UNKNOWNNAME;
    for (size_t i = m_vScripts.size(); i-- > 0;) {
        CComPtr<IDispatch> spScript = ScriptAt(i);
        if (!spScript) continue;
        DISPID dispid = DISPID_UNKNOWN;
        hr = automation::GetMemberId(spScript.Get(), name, &dispid, kLocale);
        if (SUCCEEDED(hr)) {
            event.m_spDispatch = std::move(spScript);
            event.m_dispid = dispid;
            return S_OK;
        }
    }
    return hr;
}

HRESULT CEventHandler::GetValue(const wchar_t* name, VARIANT* pValue) const {
    if (pValue == nullptr) return E_INVALIDARG;
    HRESULT hr = DISP_E_UNKNOWNNAME;
    for (size_t i = m_vScripts.size(); i-- > 0;) {
        CComPtr<IDispatch> spScript = ScriptAt(i);
        if (!spScript) continue;
        // Each call takes over its key.
        CComVariant key[1];
        hr = key[0].SetString(name);
        if (FAILED(hr)) return hr;
        CComVariant result;
        hr = automation::InvokeById(spScript.Get(), DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, key, &result,
                                    nullptr, kLocale);
        if (SUCCEEDED(hr)) {
            // The caller's old value leaves its slot before it is released: its release may run
            // a script that assigns the same variable.
            VARIANT old = *pValue;
            result.Detach(pValue);
            VariantClear(&old);
            return S_OK;
        }
    }
    return hr;
}

CComPtr<IDispatch> CEventHandler::ScriptAt(size_t index) const {
    if (index >= m_vScripts.size()) return nullptr;
    return CComPtr<IDispatch>::Share(m_vScripts[index].Get());
}

HRESULT CEventHandler::CallEvent(IDispatch* pOwner, const wchar_t* name, bool bDefault, bool& bContinue) const {
    CEvent event;
    HRESULT hr = GetEvent(name, event);
    if (hr == DISP_E_UNKNOWNNAME) {
        bContinue = bDefault;
        return S_OK;
    }
    if (FAILED(hr)) return hr;
    hr = event.Fire(pOwner, nullptr);
    if (FAILED(hr)) return hr;
    // Only an explicit Boolean stops the step; nothing returned, numbers and strings go on.
    bContinue = event.m_vResult.vt != VT_BOOL || event.m_vResult.boolVal == VARIANT_TRUE;
    return S_OK;
}
