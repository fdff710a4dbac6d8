#include "controller/event_handler.h"

#include <utility>

namespace {

constexpr LCID kLocale = LOCALE_SYSTEM_DEFAULT;

}  // namespace

// ---- CEvent -------------------------------------------------------------------------------

HRESULT CEvent::Fire(IDispatch* pOwner, VARIANT* pValue) {
    if (!m_spDispatch) return E_UNEXPECTED;
    // Positional arguments stand last to first: the value, then the owner.
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    if (pValue != nullptr) {
        args[0].vt = VT_BYREF | VT_VARIANT;
        args[0].pvarVal = pValue;
    }
    args[1].vt = VT_DISPATCH;
    args[1].pdispVal = pOwner;  // borrowed for the call
    DISPPARAMS params = {args, nullptr, 2, 0};
    m_vResult.Reset();
    return m_spDispatch->Invoke(m_dispid, IID_NULL, kLocale, DISPATCH_METHOD, &params, &m_vResult, nullptr,
                                nullptr);
}

HRESULT CEvent::Get() {
    if (!m_spDispatch) return E_UNEXPECTED;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    m_vResult.Reset();
    return m_spDispatch->Invoke(m_dispid, IID_NULL, kLocale, DISPATCH_PROPERTYGET, &none, &m_vResult, nullptr,
                                nullptr);
}

HRESULT CEvent::Put(VARIANT* pValue) {
    if (!m_spDispatch) return E_UNEXPECTED;
    if (pValue == nullptr) return E_INVALIDARG;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {pValue, &named, 1, 1};
    return m_spDispatch->Invoke(m_dispid, IID_NULL, kLocale, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                                nullptr);
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
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    for (size_t i = m_vScripts.size(); i-- > 0;) {
        CComPtr<IDispatch> spScript = ScriptAt(i);
        if (!spScript) continue;
        DISPID dispid = DISPID_UNKNOWN;
        hr = spScript->GetIDsOfNames(IID_NULL, names, 1, kLocale, &dispid);
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
    CComVariant key;
    HRESULT hr = key.SetString(name);
    if (FAILED(hr)) return hr;
    hr = DISP_E_UNKNOWNNAME;
    for (size_t i = m_vScripts.size(); i-- > 0;) {
        CComPtr<IDispatch> spScript = ScriptAt(i);
        if (!spScript) continue;
        DISPPARAMS params = {&key, nullptr, 1, 0};
        CComVariant result;
        hr = spScript->Invoke(DISPID_VALUE, IID_NULL, kLocale, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                              &result, nullptr, nullptr);
        if (SUCCEEDED(hr)) {
            VariantClear(pValue);
            result.Detach(pValue);
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
