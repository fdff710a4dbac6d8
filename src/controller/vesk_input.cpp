// The page controller's built-in drawing events: input fields that show the value entered
// before (from the Bag, View or a script property) or a default, and the lists of messages
// the script added. Each writes by expanding one of the mark's parameters as a template, so
// a parameter's own marks see the values the event has just put into View.
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "controller/mark_support.h"
#include "controller/vesk_impl.h"
#include "shim/text.h"

using namespace vesk_marks;

namespace {

constexpr wchar_t kNoView[] = L"View is not available outside a page process.";

// What differs between the three input families, in InputSource order (Bag, View, Property).
struct CInputFamily {
    const wchar_t* pszNameKey;   // View key of the field's name while its format is drawn
    const wchar_t* pszValueKey;  // View key of its value
    const wchar_t* pszChooseEvent;
    const wchar_t* pszFieldEvent;
    const wchar_t* pszInsideEvent;
    const wchar_t* pszChooseCount;
    const wchar_t* pszFieldCount;
    const wchar_t* pszInsideCount;
};
constexpr CInputFamily kFamilies[] = {
    {L"_Input_Name", L"_Input_Value", L"OnDraw__InputDefault", L"OnDraw__Input", L"OnDraw__Input_Default",
     L"Invalid OnDraw__InputDefault param length.", L"Invalid OnDraw__Input param length.",
     L"Invalid OnDraw__Input_Default param length."},
    {L"_InputV_Name", L"_InputV_Value", L"OnDraw__InputDefaultV", L"OnDraw__InputV", L"OnDraw__InputV_Default",
     L"Invalid OnDraw__InputDefaultV param length.", L"Invalid OnDraw__InputV param length.",
     L"Invalid OnDraw__InputV_Default param length."},
    {L"_InputP_Name", L"_InputP_Value", L"OnDraw__InputDefaultP", L"OnDraw__InputP", L"OnDraw__InputP_Default",
     L"Invalid OnDraw__InputDefaultP param length.", L"Invalid OnDraw__InputP param length.",
     L"Invalid OnDraw__InputP_Default param length."},
};

constexpr wchar_t kMessageCount[] = L"Invalid OnDraw__Message param length.";
constexpr wchar_t kMessageTextCount[] = L"Invalid OnDraw__Message_Text param length.";

enum class EBuiltin { Choose, Field, Inside, Messages, MessageText };
struct CBuiltin {
    const wchar_t* pszName;
    EBuiltin kind;
    int nFamily;  // index into kFamilies for the input events
};
// Compared in this order.
constexpr CBuiltin kBuiltins[] = {
    {L"OnDraw__InputDefault", EBuiltin::Choose, 0},   {L"OnDraw__InputDefaultV", EBuiltin::Choose, 1},
    {L"OnDraw__InputDefaultP", EBuiltin::Choose, 2},  {L"OnDraw__Input", EBuiltin::Field, 0},
    {L"OnDraw__Input_Default", EBuiltin::Inside, 0},  {L"OnDraw__InputV", EBuiltin::Field, 1},
    {L"OnDraw__InputV_Default", EBuiltin::Inside, 1}, {L"OnDraw__InputP", EBuiltin::Field, 2},
    {L"OnDraw__InputP_Default", EBuiltin::Inside, 2}, {L"OnDraw__Message", EBuiltin::Messages, 0},
    {L"OnDraw__Message_Text", EBuiltin::MessageText, 0},
};

// Whether two texts are equal as the host compares strings.
bool TextEquals(VARIANT& left, VARIANT& right) { return VarCmp(&left, &right, 0, 0) == VARCMP_EQ; }

bool ElementMatches(const VARIANT& element, VARIANT& text) {
    CComVariant converted;
    if (FAILED(VariantChangeType(&converted, &element, 0, VT_BSTR))) return false;
    return TextEquals(converted, text);
}

// Whether any element of the array equals the text; an element without a text differs.
bool ArrayMatches(SAFEARRAY* psa, VARIANT& text) {
    if (psa == nullptr || psa->cDims == 0) return false;
    VARTYPE vt = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(psa, &vt))) return false;
    // Elements are read in place: VARIANTs as they are, anything else only when it fits in
    // a VARIANT's value (numbers, strings and object pointers, borrowed for the comparison).
    const bool bVariants = vt == VT_VARIANT && psa->cbElements == sizeof(VARIANT);
    if (!bVariants && (vt == VT_VARIANT || vt == VT_RECORD || psa->cbElements > sizeof(LONGLONG))) return false;
    size_t count = 1;
    for (USHORT d = 0; d < psa->cDims; ++d) count *= psa->rgsabound[d].cElements;
    void* pData = nullptr;
    if (FAILED(SafeArrayAccessData(psa, &pData))) return false;
    bool bMatch = false;
    for (size_t i = 0; i < count && !bMatch; ++i) {
        const char* pCell = static_cast<const char*>(pData) + i * psa->cbElements;
        if (bVariants) {
            bMatch = ElementMatches(*reinterpret_cast<const VARIANT*>(pCell), text);
        } else {
            VARIANT element{};
            element.vt = vt;
            std::memcpy(&element.llVal, pCell, psa->cbElements);
            bMatch = ElementMatches(element, text);
        }
    }
    SafeArrayUnaccessData(psa);
    return bMatch;
}

enum class EMatch { Equal, Different, NoText };

// A value matches when it, or for an array any of its elements, equals the text.
EMatch Match(VARIANT& value, VARIANT& text) {
    if (value.vt & VT_ARRAY) {
        SAFEARRAY* psa = (value.vt & VT_BYREF) ? (value.pparray ? *value.pparray : nullptr) : value.parray;
        return ArrayMatches(psa, text) ? EMatch::Equal : EMatch::Different;
    }
    CComVariant converted;
    if (FAILED(VariantChangeType(&converted, &value, 0, VT_BSTR))) return EMatch::NoText;
    return TextEquals(converted, text) ? EMatch::Equal : EMatch::Different;
}

// Removes the key if the dictionary has it: a format that drew a field of the same family
// has already removed it.
HRESULT RemoveIfThere(IZULibDictionary* pDictionary, CComVariant& key) {
    VARIANT_BOOL bExists = VARIANT_FALSE;
    const HRESULT hr = pDictionary->Exists(&key, &bExists);
    if (FAILED(hr)) return hr;
    if (bExists != VARIANT_TRUE) return S_OK;
    return pDictionary->Remove(&key);
}

}  // namespace

template <class T>
HRESULT GIVeskImpl<T>::RunBuiltinDrawEvent(const wchar_t* pszEvent, const ParamList& params, bool& bFound) {
    bFound = false;
    for (const CBuiltin& builtin : kBuiltins) {
        if (_wcsicmp(pszEvent, builtin.pszName) != 0) continue;
        bFound = true;
        const auto source = static_cast<InputSource>(builtin.nFamily);
        switch (builtin.kind) {
        case EBuiltin::Choose: return DrawInputDefault(source, params);
        case EBuiltin::Field: return DrawInput(source, params);
        case EBuiltin::Inside: return DrawInputChoice(source, params);
        case EBuiltin::Messages: return DrawMessages(params);
        case EBuiltin::MessageText: return DrawMessageText(params);
        }
    }
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::ExpandParam(const CMarkText& param) {
    CComBSTR bstrText;
    const HRESULT hr = MarkText(param, bstrText);
    if (FAILED(hr)) return hr;
    return CTemplatorConcept::Process(bstrText.m_str);
}

template <class T>
HRESULT GIVeskImpl<T>::ReadInputValue(InputSource source, const VARIANT& name, CComVariant& value) {
    CComVariant key;
    HRESULT hr = key.Copy(&name);
    if (FAILED(hr)) return hr;
    CComVariant found;
    switch (source) {
    case InputSource::Bag: {
        CComPtr<IZULibDictionary> spBag;
        hr = CurrentSession()->get_Bag(spBag.Receive());
        if (FAILED(hr)) return hr;
        if (!spBag) return RaiseError(E_FAIL, kSource, L"Could not get Bag. The host could not create one.");
        hr = spBag->get_Item(&key, &found);
        break;
    }
    case InputSource::View: {
        if (!m_spView) return RaiseNamed(kNoView, kFamilies[1].pszFieldEvent);
        const CComPtr<IZULibDictionary> spView = CComPtr<IZULibDictionary>::Share(m_spView.Get());
        hr = spView->get_Item(&key, &found);
        break;
    }
    case InputSource::Property: {
        // A script property is named by a string only.
        if (key.vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
        CEvent event;
        hr = m_oEventHandler.GetEvent(key.bstrVal ? key.bstrVal : L"", event);
        if (SUCCEEDED(hr)) hr = event.Get();
        if (SUCCEEDED(hr)) found = std::move(event.m_vResult);
        break;
    }
    }
    if (FAILED(hr)) return hr;
    value = std::move(found);
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::NextInputNumber(InputSource source, const std::wstring& name, uint32_t& number) {
    std::map<std::wstring, uint32_t>& counts = source == InputSource::Bag    ? m_mapInputCount
                                               : source == InputSource::View ? m_mapInputVCount
                                                                             : m_mapInputPCount;
    try {
        number = ++counts[name];
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

template <class T>
HRESULT GIVeskImpl<T>::DrawInputDefault(InputSource source, const ParamList& params) {
    const CInputFamily& family = kFamilies[static_cast<int>(source)];
    if (params.size() != 4) return RaiseError(E_FAIL, kSource, family.pszChooseCount);
    if (source == InputSource::View && !m_spView) return RaiseNamed(kNoView, family.pszChooseEvent);
    CComVariant name, text, value;
    HRESULT hr = StreamVariant(*params[0], name);
    if (SUCCEEDED(hr)) hr = StreamVariant(*params[1], text);
    if (SUCCEEDED(hr)) hr = ReadInputValue(source, name, value);
    if (FAILED(hr)) return hr;
    const EMatch match = Match(value, text);
    if (match == EMatch::NoText) return S_OK;
    return ExpandParam(*params[match == EMatch::Equal ? 2 : 3]);
}

template <class T>
HRESULT GIVeskImpl<T>::DrawInput(InputSource source, const ParamList& params) {
    const CInputFamily& family = kFamilies[static_cast<int>(source)];
    if (params.size() != 2 && params.size() != 3) return RaiseError(E_FAIL, kSource, family.pszFieldCount);
    if (!m_spView) return RaiseNamed(kNoView, family.pszFieldEvent);
    // The keys are removed from the dictionary they were put into, whatever the format does
    // to the controller's View meanwhile.
    const CComPtr<IZULibDictionary> spView = CComPtr<IZULibDictionary>::Share(m_spView.Get());
    CComVariant nameKey, valueKey, name;
    HRESULT hr = nameKey.SetString(family.pszNameKey);
    if (SUCCEEDED(hr)) hr = valueKey.SetString(family.pszValueKey);
    if (SUCCEEDED(hr)) hr = StreamVariant(*params[0], name);
    if (FAILED(hr)) return hr;

    {
        CComVariant item;
        hr = item.Copy(&name);
        if (SUCCEEDED(hr)) hr = spView->put_Item(&nameKey, &item);
    }
    VARIANT_BOOL bScriptValue = VARIANT_FALSE;
    if (SUCCEEDED(hr)) hr = spView->Exists(&valueKey, &bScriptValue);
    // A value the script put there itself is drawn as it is.
    if (SUCCEEDED(hr) && bScriptValue != VARIANT_TRUE) {
        CComVariant value;
        if (params.size() == 2) {
            hr = ReadInputValue(source, name, value);
        } else if (!StreamText(*params[1]).empty()) {
            hr = StreamVariant(*params[1], value);
        } else {
            uint32_t number = 0;
            hr = NextInputNumber(source, params[0]->str(), number);
            value.vt = VT_UI4;
            value.ulVal = number;
        }
        if (SUCCEEDED(hr)) hr = spView->put_Item(&valueKey, &value);
    }
    if (SUCCEEDED(hr)) hr = ExpandParam(*params.back());
    // The keys go on every path: left behind after a failure, a stale value would be taken
    // for the script's own by the next field the page draws.
    const HRESULT hrName = RemoveIfThere(spView.Get(), nameKey);
    const HRESULT hrValue = RemoveIfThere(spView.Get(), valueKey);
    if (FAILED(hr)) return hr;
    return FAILED(hrName) ? hrName : hrValue;
}

template <class T>
HRESULT GIVeskImpl<T>::DrawInputChoice(InputSource source, const ParamList& params) {
    const CInputFamily& family = kFamilies[static_cast<int>(source)];
    if (params.size() != 2) return RaiseError(E_FAIL, kSource, family.pszInsideCount);
    if (!m_spView) return RaiseNamed(kNoView, family.pszInsideEvent);
    const CComPtr<IZULibDictionary> spView = CComPtr<IZULibDictionary>::Share(m_spView.Get());
    CComVariant nameKey, valueKey, name, value, drawn;
    HRESULT hr = nameKey.SetString(family.pszNameKey);
    if (SUCCEEDED(hr)) hr = valueKey.SetString(family.pszValueKey);
    if (SUCCEEDED(hr)) hr = spView->get_Item(&nameKey, &name);
    if (SUCCEEDED(hr)) hr = ReadInputValue(source, name, value);
    if (SUCCEEDED(hr)) hr = spView->get_Item(&valueKey, &drawn);
    if (SUCCEEDED(hr)) hr = drawn.ChangeType(VT_BSTR);
    if (FAILED(hr)) return hr;
    const EMatch match = Match(value, drawn);
    if (match == EMatch::NoText) return S_OK;
    // The texts come the other way round from the four-parameter event: the match second.
    return ExpandParam(*params[match == EMatch::Equal ? 1 : 0]);
}

template <class T>
HRESULT GIVeskImpl<T>::DrawMessages(const ParamList& params) {
    const size_t count = params.size();
    if (count < 1 || count > 3) return RaiseError(E_FAIL, kSource, kMessageCount);
    const std::wstring key = count == 1 ? std::wstring() : params[0]->str();
    const CMarkText& format = *params[count == 1 ? 0 : 1];
    const auto found = m_mapMessages.find(key);
    if (found == m_mapMessages.end() || found->second.empty()) {
        return count == 3 ? ExpandParam(*params[2]) : S_OK;
    }
    // A format may add messages, under this key too; it draws the ones there were.
    std::vector<CComVariant> messages(found->second.size());
    for (size_t i = 0; i < messages.size(); ++i) {
        const HRESULT hr = messages[i].Copy(&found->second[i]);
        if (FAILED(hr)) return hr;
    }
    // A message list drawn inside a message's format gives the outer message back after it.
    VARIANT* const pOuter = m_pCurrentMessage;
    HRESULT hr = S_OK;
    for (CComVariant& message : messages) {
        m_pCurrentMessage = &message;
        hr = ExpandParam(format);
        m_pCurrentMessage = pOuter;
        if (FAILED(hr)) break;
    }
    return hr;
}

template <class T>
HRESULT GIVeskImpl<T>::DrawMessageText(const ParamList& params) {
    VARIANT* const pMessage = m_pCurrentMessage;
    if (pMessage == nullptr) return E_FAIL;  // outside a message format; no message of its own
    // A message text is a template of its own.
    if (pMessage->vt == VT_BSTR) return CTemplatorConcept::Process(pMessage->bstrVal);
    CComVariant number;
    const HRESULT hr = VariantChangeType(&number, pMessage, 0, VT_I4);
    if (FAILED(hr)) return hr;
    if (number.lVal < 1 || static_cast<size_t>(number.lVal) > params.size()) {
        return RaiseError(E_FAIL, kSource, kMessageTextCount);
    }
    return ExpandParam(*params[static_cast<size_t>(number.lVal) - 1]);
}

template HRESULT GIVeskImpl<IVesk>::RunBuiltinDrawEvent(const wchar_t*, const ParamList&, bool&);
template HRESULT GIVeskImpl<IVesk>::ExpandParam(const CMarkText&);
template HRESULT GIVeskImpl<IVesk>::ReadInputValue(InputSource, const VARIANT&, CComVariant&);
template HRESULT GIVeskImpl<IVesk>::NextInputNumber(InputSource, const std::wstring&, uint32_t&);
template HRESULT GIVeskImpl<IVesk>::DrawInputDefault(InputSource, const ParamList&);
template HRESULT GIVeskImpl<IVesk>::DrawInput(InputSource, const ParamList&);
template HRESULT GIVeskImpl<IVesk>::DrawInputChoice(InputSource, const ParamList&);
template HRESULT GIVeskImpl<IVesk>::DrawMessages(const ParamList&);
template HRESULT GIVeskImpl<IVesk>::DrawMessageText(const ParamList&);
