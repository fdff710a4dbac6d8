#include "templators/text_templator.h"

#include <string>

namespace {

constexpr wchar_t kTextTypes[] = L" \t\r\n";

}  // namespace

template <class T>
GITextTemplatorImpl<T>::GITextTemplatorImpl() : CTemplatorConcept(kTextTypes) {
    // Without a stream of its own the templator simply starts with no output; a script can
    // still give it one through Stream.
    OutputToMemoryStream();
}

template <class T>
HRESULT GITextTemplatorImpl<T>::putref_Script(IDispatch* pScript) {
    m_oEventHandler.Add(pScript);
    return S_OK;
}

template <class T>
HRESULT GITextTemplatorImpl<T>::get_Script(IDispatch** ppScript) {
    return m_oEventHandler.GetLast(ppScript);
}

template <class T>
HRESULT GITextTemplatorImpl<T>::putref_Stream(IUnknown* pStream) {
    return putref_Output(pStream);
}

template <class T>
HRESULT GITextTemplatorImpl<T>::get_Stream(IUnknown** ppStream) {
    return get_Output(ppStream);
}

template <class T>
HRESULT GITextTemplatorImpl<T>::ProcessTemplateFile(BSTR bstrPath, BSTR bstrCharset) {
    CComBSTR bstrText;
    const HRESULT hr = ReadTextFile(bstrPath, bstrCharset, bstrText);
    if (FAILED(hr)) return hr;
    return Process(bstrText.m_str);
}

template <class T>
HRESULT GITextTemplatorImpl<T>::ProcessTemplate(BSTR bstrTemplate) {
    return Process(bstrTemplate);
}

template <class T>
HRESULT GITextTemplatorImpl<T>::Write(BSTR bstrText) {
    return WriteOutput(bstrText);
}

template <class T>
HRESULT GITextTemplatorImpl<T>::Flush(BSTR* pbstrText) {
    return ReadBackOutput(pbstrText);
}

template <class T>
HRESULT GITextTemplatorImpl<T>::OnMarked(CMarkData& mark) {
    switch (mark.m_cType) {
        case L' ':
        case L'\t':
        case L'\n':
        case L'\r':
            return S_OK;  // a comment
        default:
            return OnMarked_(mark);
    }
}

template <class T>
HRESULT GITextTemplatorImpl<T>::OnMarked_(CMarkData& mark) {
    CComBSTR bstrName;
    HRESULT hr = MarkText(mark.m_ssName, bstrName);
    if (FAILED(hr)) return hr;

    CEvent event;
    if (FAILED(m_oEventHandler.GetEvent(bstrName.c_str(), event))) {
        // No script knows the name: ask their default members, as of a collection.
        CComVariant value;
        hr = m_oEventHandler.GetValue(bstrName.c_str(), &value);
        if (SUCCEEDED(hr)) hr = ChangeToBSTR(&value, nullptr, false);
        if (SUCCEEDED(hr)) hr = WriteOutput(value.bstrVal);
        return hr;
    }

    hr = event.Get();
    if (SUCCEEDED(hr)) {
        hr = ChangeToBSTR(&event.m_vResult, &mark.m_vParams, false);
        if (SUCCEEDED(hr)) hr = WriteOutput(event.m_vResult.bstrVal);
        return hr;
    }
    if (hr != DISP_E_MEMBERNOTFOUND) return hr;

    // A function: called with the templator and the mark's parameters as an array.
    CComVariant params;
    hr = MakeParamArray(mark.m_vParams, params);
    if (FAILED(hr)) return hr;
    hr = event.Fire(static_cast<T*>(this), &params);
    if (SUCCEEDED(hr)) hr = ChangeToBSTR(&event.m_vResult, nullptr, false);
    if (SUCCEEDED(hr)) hr = WriteOutput(event.m_vResult.bstrVal);
    return hr;
}

template class GITextTemplatorImpl<ITextTemplator>;
