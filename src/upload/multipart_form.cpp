#include "upload/multipart_form.h"

#include <new>
#include <string_view>
#include <utility>

using namespace PravoltTypeLibrary;

namespace {

// An omitted optional argument arrives as VT_ERROR, possibly behind a VARIANT reference.
const VARIANT& Followed(const VARIANT& v) {
    return (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal != nullptr) ? *v.pvarVal : v;
}

}  // namespace

// ---- The form --------------------------------------------------------------------------

template <class T>
HRESULT GMultipartForm<T>::get_Item(VARIANT Var, VARIANT* pVariantReturn) {
    if (pVariantReturn == nullptr) return E_POINTER;
    VariantInit(pVariantReturn);
    // Converting an object key runs its default member, which may be a script that drops
    // the last reference to this form.
    const CComPtr<T> spSelf = CComPtr<T>::Share(this);
    CComVariant key;
    HRESULT hr = VariantChangeType(&key, &Var, 0, VT_BSTR);
    if (FAILED(hr)) return hr;
    const auto found = m_mapValues.find(std::wstring(key.bstrVal ? key.bstrVal : L"", SysStringLen(key.bstrVal)));
    if (found == m_mapValues.end()) return S_OK;

    CComPtr<IDispatch> spList;
    hr = g_oCF_MultipartFormStringList.CreateInstance(nullptr, IID_IDispatch, spList.ReceiveVoid());
    if (FAILED(hr)) return hr;
    if (!spList) return E_UNEXPECTED;
    auto* list = static_cast<GMultipartFormStringList<IStringList>*>(static_cast<IStringList*>(spList.Get()));
    list->Bind(this, &found->second);
    pVariantReturn->vt = VT_DISPATCH;
    pVariantReturn->pdispVal = spList.Detach();
    return S_OK;
}

template <class T>
HRESULT GMultipartForm<T>::get__NewEnum(IUnknown** ppEnumReturn) {
    if (ppEnumReturn) *ppEnumReturn = nullptr;
    return E_NOTIMPL;
}

template <class T>
HRESULT GMultipartForm<T>::get_Count(int* cStrRet) {
    if (cStrRet == nullptr) return E_POINTER;
    *cStrRet = static_cast<int>(m_mapValues.size());
    return S_OK;
}

template <class T>
HRESULT GMultipartForm<T>::get_Key(VARIANT, VARIANT* pvar) {
    if (pvar) VariantInit(pvar);
    return E_NOTIMPL;
}

template <class T>
HRESULT GMultipartForm<T>::Append(const std::wstring& strName, CComVariant&& value) {
    try {
        m_mapValues[strName].push_back(std::move(value));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// ---- One field's values ----------------------------------------------------------------

template <class T>
void GMultipartFormStringList<T>::Bind(IRequestDictionary* pForm, const CUploadValues* pValues) {
    m_spForm.Assign(pForm);
    m_pValues = pValues;
}

template <class T>
HRESULT GMultipartFormStringList<T>::get_Item(VARIANT i, VARIANT* pVariantReturn) {
    if (pVariantReturn == nullptr) return E_POINTER;
    VariantInit(pVariantReturn);
    static const CUploadValues kNone;
    const CUploadValues& values = m_pValues ? *m_pValues : kNone;
    if (Followed(i).vt != VT_ERROR) {
        CComVariant index;
        const HRESULT hr = VariantChangeType(&index, &i, 0, VT_I4);
        if (FAILED(hr)) return hr;
        if (index.lVal < 1 || size_t(index.lVal) > values.size()) return DISP_E_BADINDEX;
        return VariantCopy(pVariantReturn, &values[size_t(index.lVal) - 1]);
    }
    if (values.empty()) return S_OK;
    if (values.size() == 1) return VariantCopy(pVariantReturn, &values.front());

    std::wstring joined;
    for (size_t n = 0; n < values.size(); ++n) {
        CComVariant text;
        const HRESULT hr = VariantChangeType(&text, &values[n], 0, VT_BSTR);
        if (FAILED(hr)) return hr;
        if (n > 0) joined += L", ";
        joined.append(text.bstrVal ? text.bstrVal : L"", SysStringLen(text.bstrVal));
    }
    BSTR result = SysAllocStringLen(joined.data(), UINT(joined.size()));
    if (result == nullptr) return E_OUTOFMEMORY;
    pVariantReturn->vt = VT_BSTR;
    pVariantReturn->bstrVal = result;
    return S_OK;
}

template <class T>
HRESULT GMultipartFormStringList<T>::get_Count(int* cStrRet) {
    if (cStrRet == nullptr) return E_POINTER;
    *cStrRet = m_pValues ? static_cast<int>(m_pValues->size()) : 0;
    return S_OK;
}

template <class T>
HRESULT GMultipartFormStringList<T>::get__NewEnum(IUnknown** ppEnumReturn) {
    if (ppEnumReturn) *ppEnumReturn = nullptr;
    return E_NOTIMPL;
}

template class GMultipartForm<IRequestDictionary>;
template class GMultipartFormStringList<IStringList>;
