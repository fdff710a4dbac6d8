// The page controller's own late-bound members, by name and DISPID (0 to 40); the utility
// rows (41 to 55) follow them in its type information. Rows are tried in order, so a
// property's put row comes before its get row, and the View writes before the View reads.
#pragma once

#include "controller/ivesk.h"
#include "frame/member_table.h"

namespace vesk_members {

// The View dictionary behind the object's own View property.
template <class I>
HRESULT ViewDictionary(I* pObject, CComPtr<IZULibDictionary>& spView) {
    CComPtr<IDispatch> spDispatch;
    HRESULT hr = pObject->get_View(spDispatch.Receive());
    if (FAILED(hr)) return hr;
    if (!spDispatch) return E_UNEXPECTED;
    CComPtr<IZULibDictionary> spFound;
    hr = spDispatch.QueryInterface(spFound.Receive());
    if (FAILED(hr)) return hr;
    if (!spFound) return E_NOINTERFACE;
    spView = std::move(spFound);
    return S_OK;
}

// View(key) = value, and SetView key, value: the two values as they came, unconverted. They
// are copied first: the dictionary's release of an old item may run a script that assigns
// the variables they came in by reference.
template <class I>
HRESULT WriteView(automation::MemberCall& call) {
    if (call.args.CountAll() < 2) return DISP_E_BADPARAMCOUNT;
    const VARIANT* pKey = call.args.Arg(0);
    const VARIANT* pValue = call.args.Arg(1);
    if (pKey == nullptr || pValue == nullptr) return DISP_E_BADPARAMCOUNT;
    CComVariant key, value;
    HRESULT hr = key.Copy(pKey);
    if (SUCCEEDED(hr)) hr = value.Copy(pValue);
    if (FAILED(hr)) return hr;
    CComPtr<IZULibDictionary> spView;
    hr = ViewDictionary(static_cast<I*>(call.instance), spView);
    if (FAILED(hr)) return hr;
    return spView->put_Item(&key, &value);
}

// View(key) reads one item; View alone is the dictionary itself.
template <class I>
HRESULT ReadView(automation::MemberCall& call) {
    I* pObject = static_cast<I*>(call.instance);
    if (call.args.CountAll() == 0) {
        CComPtr<IDispatch> spView;
        const HRESULT hr = pObject->get_View(spView.Receive());
        if (FAILED(hr)) return hr;
        if (call.result) {
            VariantInit(call.result);
            call.result->vt = VT_DISPATCH;
            call.result->pdispVal = spView.Detach();
        }
        return S_OK;
    }
    CComVariant key;
    HRESULT hr = key.Copy(call.args.Arg(0));
    if (FAILED(hr)) return hr;
    CComPtr<IZULibDictionary> spView;
    hr = ViewDictionary(pObject, spView);
    if (FAILED(hr)) return hr;
    CComVariant item;
    hr = spView->get_Item(&key, &item);
    if (FAILED(hr)) return hr;
    if (call.result) item.Detach(call.result);
    return S_OK;
}

constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr WORD kPutRef = DISPATCH_PROPERTYPUTREF;
constexpr WORD kMethod = DISPATCH_METHOD;
using automation::ArgKind;
using automation::raw_row;

}  // namespace vesk_members

template <class I>
inline constexpr MemberRow kVeskMembers[] = {
    // The default member: whatever arguments come with it are not read.
    member_row<I, &I::get_Bag>(L"Bag", 0, vesk_members::kGet),
    member_row<I, &I::putref_Script>(L"Script", 1, vesk_members::kPutRef),
    member_row<I, &I::get_Script>(L"Script", 1, vesk_members::kGet),
    member_row<I, &I::put_Command>(L"Command", 2, vesk_members::kPut),
    member_row<I, &I::get_Command>(L"Command", 2, vesk_members::kGet),
    member_row<I, &I::put_Template>(L"Template", 3, vesk_members::kPut),
    member_row<I, &I::get_Template>(L"Template", 3, vesk_members::kGet),
    member_row<I, &I::put_TemplateFolder>(L"TemplateFolder", 4, vesk_members::kPut),
    member_row<I, &I::get_TemplateFolder>(L"TemplateFolder", 4, vesk_members::kGet),
    member_row<I, &I::put_TemplateExt>(L"TemplateExt", 5, vesk_members::kPut),
    member_row<I, &I::get_TemplateExt>(L"TemplateExt", 5, vesk_members::kGet),
    member_row<I, &I::put_TemplateCharset>(L"TemplateCharset", 6, vesk_members::kPut),
    member_row<I, &I::get_TemplateCharset>(L"TemplateCharset", 6, vesk_members::kGet),
    member_row<I, &I::put_DefaultTemplate>(L"DefaultTemplate", 7, vesk_members::kPut),
    member_row<I, &I::get_DefaultTemplate>(L"DefaultTemplate", 7, vesk_members::kGet),
    member_row<I, &I::put_TemplatePermissionPath>(L"TemplatePermissionPath", 8, vesk_members::kPut),
    member_row<I, &I::get_TemplatePermissionPath>(L"TemplatePermissionPath", 8, vesk_members::kGet),
    member_row<I, &I::put_CommandName>(L"CommandName", 9, vesk_members::kPut),
    member_row<I, &I::get_CommandName>(L"CommandName", 9, vesk_members::kGet),
    member_row<I, &I::putref_Output>(L"Output", 10, vesk_members::kPutRef),
    member_row<I, &I::get_Output>(L"Output", 10, vesk_members::kGet),
    vesk_members::raw_row(L"View", 11, vesk_members::kPut, &vesk_members::WriteView<I>,
                          {vesk_members::ArgKind::Variant, vesk_members::ArgKind::Variant}),
    vesk_members::raw_row(L"SetView", 12, vesk_members::kMethod, &vesk_members::WriteView<I>,
                          {vesk_members::ArgKind::Variant, vesk_members::ArgKind::Variant}),
    vesk_members::raw_row(L"View", 11, vesk_members::kGet, &vesk_members::ReadView<I>),
    member_row<I, &I::get_Include>(L"Include", 13, vesk_members::kGet),
    member_row<I, &I::get_Request>(L"Request", 14, vesk_members::kGet),
    member_row<I, &I::put_Name>(L"Name", 15, vesk_members::kPut),
    member_row<I, &I::get_Name>(L"Name", 15, vesk_members::kGet),
    member_row<I, &I::put_Backable>(L"Backable", 16, vesk_members::kPut),
    member_row<I, &I::get_Backable>(L"Backable", 16, vesk_members::kGet),
    member_row<I, &I::put_NullIsEmpty>(L"NullIsEmpty", 17, vesk_members::kPut),
    member_row<I, &I::get_NullIsEmpty>(L"NullIsEmpty", 17, vesk_members::kGet),
    member_row<I, &I::put_SubmitDecodeOnPutInto>(L"SubmitDecodeOnPutInto", 18, vesk_members::kPut),
    member_row<I, &I::get_SubmitDecodeOnPutInto>(L"SubmitDecodeOnPutInto", 18, vesk_members::kGet),
    member_row<I, &I::put_CacheTemplate>(L"CacheTemplate", 19, vesk_members::kPut),
    member_row<I, &I::get_CacheTemplate>(L"CacheTemplate", 19, vesk_members::kGet),
    member_row<I, &I::put_SelfEncode>(L"SelfEncode", 20, vesk_members::kPut),
    member_row<I, &I::get_SelfEncode>(L"SelfEncode", 20, vesk_members::kGet),
    member_row<I, &I::AddScript>(L"AddScript", 21, vesk_members::kMethod),
    member_row<I, &I::PutIntoBag>(L"PutIntoBag", 22, vesk_members::kMethod),
    member_row<I, &I::PutIntoView>(L"PutIntoView", 23, vesk_members::kMethod),
    member_row<I, &I::PutIntoProp>(L"PutIntoProp", 24, vesk_members::kMethod),
    member_row<I, &I::Write>(L"Write", 25, vesk_members::kMethod),
    member_row<I, &I::Abandon>(L"Abandon", 26, vesk_members::kMethod),
    member_row<I, &I::AddLog>(L"AddLog", 27, vesk_members::kMethod),
    member_row<I, &I::FireEvent>(L"FireEvent", 28, vesk_members::kMethod),
    member_row<I, &I::AddMessage>(L"AddMessage", 29, vesk_members::kMethod),
    member_row<I, &I::MessageExists>(L"MessageExists", 30, vesk_members::kMethod),
    member_row<I, &I::ProcessTemplate>(L"ProcessTemplate", 31, vesk_members::kMethod),
    member_row<I, &I::Process>(L"Process", 32, vesk_members::kMethod),
    member_row<I, &I::ToArray>(L"ToArray", 33, vesk_members::kMethod),
    member_row<I, &I::ToCommand>(L"ToCommand", 34, vesk_members::kMethod),
    member_row<I, &I::ToParameter>(L"ToParameter", 35, vesk_members::kMethod),
    member_row<I, &I::Redirect>(L"Redirect", 36, vesk_members::kMethod),
    member_row<I, &I::DrawTemplate>(L"DrawTemplate", 37, vesk_members::kMethod),
    member_row<I, &I::NewADOCommand>(L"NewADOCommand", 38, vesk_members::kMethod),
    member_row<I, &I::NewTemplator>(L"NewTemplator", 39, vesk_members::kMethod),
    member_row<I, &I::NewMail>(L"NewMail", 40, vesk_members::kMethod),
};
