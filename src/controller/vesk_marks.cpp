// The page controller's mark handlers: where each mark type takes its value from (the page
// script, View, the session Bag, the host Session, Application and Request, command links,
// child templates and drawing events), and how the value is written.
#include <cwchar>
#include <string>
#include <utility>

#include "controller/mark_support.h"
#include "controller/vesk_impl.h"
#include "shim/text.h"

using namespace PravoltTypeLibrary;
using namespace vesk_marks;

namespace {

constexpr wchar_t kNoView[] = L"View is not available outside a page process.";
constexpr wchar_t kNoInclude[] = L"Include is not available outside a page process.";
constexpr wchar_t kNoApplication[] = L"Application is not available to this page.";
constexpr wchar_t kEventNotFound[] = L"Event '";
constexpr wchar_t kTooDeep[] = L"Templates include one another too deeply (more than 32 levels).";
static_assert(GIVeskImpl<IVesk>::kMaxTemplateLevels == 32, "the message names the bound");

// "(#*name#)": the mark as a template writes it, for the messages of marks that cannot run.
std::wstring MarkText(const CMarkData& mark) {
    std::wstring text = L"(#";
    text += mark.m_cType;
    text += StreamText(mark.m_ssName);
    text += L"#)";
    return text;
}

// Whether an item of a Request collection holds a value: a value list with at least one
// value, or a cookie that was sent.
bool HasValues(const VARIANT& item) {
    if (item.vt != VT_DISPATCH || item.pdispVal == nullptr) return false;
    int count = 0;
    CComPtr<IStringList> spList;
    if (SUCCEEDED(item.pdispVal->QueryInterface(zul_uuidof<IStringList>(), spList.ReceiveVoid())) && spList) {
        return SUCCEEDED(spList->get_Count(&count)) && count > 0;
    }
    // A cookie is no value list; were it asked only as one, a sent cookie would never be
    // found and the empty certificate item after it would be written instead.
    CComPtr<IReadCookie> spCookie;
    if (SUCCEEDED(item.pdispVal->QueryInterface(zul_uuidof<IReadCookie>(), spCookie.ReceiveVoid())) && spCookie) {
        return SUCCEEDED(spCookie->get_Count(&count)) && count > 0;
    }
    return false;
}

}  // namespace

template <class T>
HRESULT GIVeskImpl<T>::WriteValue(CComVariant& value, const ParamList* pParams, short bEncode) {
    // A string that is not walked is its own text; the conversion would only copy it.
    const bool bText = value.vt == VT_BSTR && (pParams == nullptr || pParams->empty());
    const HRESULT hr = bText ? S_OK : ChangeToBSTR(&value, pParams, m_bNullIsEmpty);
    if (FAILED(hr)) return hr;
    return Write(value.bstrVal, bEncode);
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked_Property(CMarkData& mark, short bEncode) {
    const std::wstring name = mark.m_ssName.str();
    CEvent event;
    HRESULT hr = m_oEventHandler.GetEvent(name.c_str(), event);
    if (FAILED(hr)) return hr;
    hr = event.Get();
    if (SUCCEEDED(hr)) {
        CComVariant value(std::move(event.m_vResult));
        return WriteValue(value, &mark.m_vParams, bEncode);
    }
    if (hr != DISP_E_MEMBERNOTFOUND) return hr;
    // Not a property but a function: the parameters are its arguments, not a walk.
    CComVariant args;
    hr = MakeParamArray(mark.m_vParams, args);
    if (FAILED(hr)) return hr;
    hr = event.Fire(m_pOwner, &args);
    if (FAILED(hr)) return hr;
    CComVariant value(std::move(event.m_vResult));
    return WriteValue(value, nullptr, bEncode);
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked_View(CMarkData& mark, short bEncode) {
    if (!m_spView) return RaiseNamed(kNoView, MarkText(mark));
    const CComPtr<IZULibDictionary> spView = CComPtr<IZULibDictionary>::Share(m_spView.Get());
    CComVariant key;
    HRESULT hr = StreamVariant(mark.m_ssName, key);
    if (FAILED(hr)) return hr;
    CComVariant value;
    hr = spView->get_Item(&key, &value);
    if (FAILED(hr)) return hr;
    return WriteValue(value, &mark.m_vParams, bEncode);
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked_Session(CMarkData& mark, short bEncode) {
    // A page without a session: the failure carries no message of its own.
    if (!m_spSessionObject) return E_FAIL;
    CComBSTR bstrName;
    HRESULT hr = MarkText(mark.m_ssName, bstrName);
    if (FAILED(hr)) return hr;
    CComVariant value;
    hr = m_spSessionObject->get_Value(bstrName, &value);
    if (FAILED(hr)) return hr;
    return WriteValue(value, &mark.m_vParams, bEncode);
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked_Application(CMarkData& mark, short bEncode) {
    if (!m_spApplication) return RaiseNamed(kNoApplication, MarkText(mark));
    CComBSTR bstrName;
    HRESULT hr = MarkText(mark.m_ssName, bstrName);
    if (FAILED(hr)) return hr;
    CComVariant value;
    hr = m_spApplication->get_Value(bstrName, &value);
    if (FAILED(hr)) return hr;
    return WriteValue(value, &mark.m_vParams, bEncode);
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked_Bag(CMarkData& mark, short bEncode) {
    CComPtr<IZULibDictionary> spBag;
    HRESULT hr = CurrentSession()->get_Bag(spBag.Receive());
    if (FAILED(hr)) return hr;
    if (!spBag) return RaiseError(E_FAIL, kSource, L"Could not get Bag. The host could not create one.");
    CComVariant key;
    hr = StreamVariant(mark.m_ssName, key);
    if (FAILED(hr)) return hr;
    CComVariant value;
    hr = spBag->get_Item(&key, &value);
    if (FAILED(hr)) return hr;
    return WriteValue(value, &mark.m_vParams, bEncode);
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked_Request(CMarkData& mark, short bEncode) {
    if (!m_spRequest) return E_UNEXPECTED;  // only a controller made without a page context
    using Collection = HRESULT (IRequest::*)(IRequestDictionary**);
    // First that has the name wins; the upload form takes its place only for uploads.
    constexpr Collection kOrder[] = {&IRequest::get_ServerVariables, &IRequest::get_QueryString, &IRequest::get_Form,
                                     nullptr, &IRequest::get_Cookies, &IRequest::get_ClientCertificate};
    const CComPtr<IRequest> spRequest = CComPtr<IRequest>::Share(m_spRequest.Get());
    CComVariant key;
    HRESULT hr = StreamVariant(mark.m_ssName, key);
    if (FAILED(hr)) return hr;
    // Without a collection that has the name, what the last successful read gave.
    CComVariant result;
    for (const Collection collection : kOrder) {
        CComPtr<IRequestDictionary> spCollection;
        if (collection == nullptr) {
            if (!m_spMultipartForm) continue;
            spCollection.Assign(m_spMultipartForm.Get());
        } else if (FAILED((spRequest.Get()->*collection)(spCollection.Receive())) || !spCollection) {
            continue;
        }
        CComVariant item;
        if (FAILED(spCollection->get_Item(key, &item))) continue;
        result = std::move(item);
        if (HasValues(result)) break;
    }
    return WriteValue(result, &mark.m_vParams, bEncode);
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked_Command(CMarkData& mark, short bEncode) {
    const std::wstring_view name = StreamText(mark.m_ssName);
    CComBSTR bstrText;
    HRESULT hr = S_OK;
    if (!name.empty()) {
        CComBSTR bstrCommand;
        hr = bstrCommand.Assign(name.data(), static_cast<UINT>(name.size()));
        if (SUCCEEDED(hr)) hr = this->ToCommand(bstrCommand, bstrText.Receive());
    } else if (m_bBackable) {
        hr = bstrText.Assign(m_bstrCommandName.c_str(), m_bstrCommandName.Length());
    } else {
        hr = CurrentSession()->GetCommandName(bstrText.Receive());
    }
    if (FAILED(hr)) return hr;
    return Write(bstrText, bEncode);
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked_Process(CMarkData& mark) {
    std::wstring event(TextOf(m_bstrDrawPrefix));
    event += StreamText(mark.m_ssName);
    CEvent script;
    // The page script's own function comes before a built-in of the same name; it writes
    // its own output, and its return value is not written.
    if (SUCCEEDED(m_oEventHandler.GetEvent(event.c_str(), script))) {
        CComVariant args;
        const HRESULT hr = MakeParamArray(mark.m_vParams, args);
        if (FAILED(hr)) return hr;
        return script.Fire(m_pOwner, &args);
    }
    bool bFound = false;
    const HRESULT hr = RunBuiltinDrawEvent(event.c_str(), mark.m_vParams, bFound);
    if (bFound) return hr;
    std::wstring description = kEventNotFound;
    description += event;
    description += L"' not found.";
    return RaiseError(E_FAIL, kSource, description.c_str());
}

template <class T>
HRESULT GIVeskImpl<T>::DrawChild(BSTR bstrName) {
    if (m_nChildLevels + 1 >= kMaxTemplateLevels) return RaiseNamed(kTooDeep, {bstrName ? bstrName : L"", SysStringLen(bstrName)});
    ++m_nChildLevels;
    const HRESULT hr = this->DrawTemplate(bstrName);
    --m_nChildLevels;
    return hr;
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked_ChildStatic(CMarkData& mark) {
    CComBSTR bstrName;
    const HRESULT hr = MarkText(mark.m_ssName, bstrName);
    if (FAILED(hr)) return hr;
    return DrawChild(bstrName);
}

template <class T>
HRESULT GIVeskImpl<T>::OnMarked_ChildDynamic(CMarkData& mark) {
    if (!m_spInclude) return RaiseNamed(kNoInclude, MarkText(mark));
    const CComPtr<IZULibDictionary> spInclude = CComPtr<IZULibDictionary>::Share(m_spInclude.Get());
    CComVariant key;
    HRESULT hr = StreamVariant(mark.m_ssName, key);
    if (FAILED(hr)) return hr;
    CComVariant value;
    hr = spInclude->get_Item(&key, &value);
    if (FAILED(hr)) return hr;
    // Only a template name is drawn; anything else stands for nothing.
    if (value.vt != VT_BSTR) return hr;
    return DrawChild(value.bstrVal);
}

template HRESULT GIVeskImpl<IVesk>::WriteValue(CComVariant&, const ParamList*, short);
template HRESULT GIVeskImpl<IVesk>::OnMarked_Property(CMarkData&, short);
template HRESULT GIVeskImpl<IVesk>::OnMarked_View(CMarkData&, short);
template HRESULT GIVeskImpl<IVesk>::OnMarked_Session(CMarkData&, short);
template HRESULT GIVeskImpl<IVesk>::OnMarked_Application(CMarkData&, short);
template HRESULT GIVeskImpl<IVesk>::OnMarked_Bag(CMarkData&, short);
template HRESULT GIVeskImpl<IVesk>::OnMarked_Request(CMarkData&, short);
template HRESULT GIVeskImpl<IVesk>::OnMarked_Command(CMarkData&, short);
template HRESULT GIVeskImpl<IVesk>::OnMarked_Process(CMarkData&);
template HRESULT GIVeskImpl<IVesk>::DrawChild(BSTR);
template HRESULT GIVeskImpl<IVesk>::OnMarked_ChildStatic(CMarkData&);
template HRESULT GIVeskImpl<IVesk>::OnMarked_ChildDynamic(CMarkData&);
