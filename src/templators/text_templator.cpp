#include "templators/text_templator.h"

#include <string>

namespace {

constexpr wchar_t kTextTypes[] = L" \t\r\n";

// A new host stream opened in memory, ready for text.
HRESULT CreateMemoryStream(CComPtr<IZULibStream>& spStream) {
    HRESULT hr = CoCreateInstance(zul_uuidof<ADODB::Stream>(), nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                  zul_uuidof<IZULibStream>(), spStream.ReceiveVoid());
    if (FAILED(hr)) return hr;
    if (!spStream) return E_NOINTERFACE;
    // VT_ERROR with every other byte zero (reserved words included, which VariantInit need
    // not touch): no source, stay in memory.
    VARIANT noSource{};
    noSource.vt = VT_ERROR;
    return spStream->Open(noSource, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr);
}

HRESULT ToBSTR(const CMarkText& ss, CComBSTR& bstr) {
    const std::wstring text = ss.str();
    return bstr.Assign(text.data(), static_cast<UINT>(text.size()));
}

}  // namespace

template <class T>
GITextTemplatorImpl<T>::GITextTemplatorImpl() : CTemplatorConcept(kTextTypes) {
    // Without a stream of its own the templator simply starts with no output; a script can
    // still give it one through Stream.
    CComPtr<IZULibStream> spStream;
    if (FAILED(CreateMemoryStream(spStream))) return;
    CComPtr<IUnknown> spUnknown;
    if (FAILED(spStream.QueryInterface(spUnknown.Receive()))) return;
    putref_Output(spUnknown.Get());
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
    const HRESULT hr = GetTemplate(bstrPath, bstrCharset, bstrText.Receive());
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
    if (pbstrText == nullptr) return E_INVALIDARG;
    *pbstrText = nullptr;
    // Only a host stream can be read back.
    if (m_pOutput != &m_oADODBStream || !m_oADODBStream.m_pSubstance) return E_FAIL;
    IZULibStream* pStream = m_oADODBStream.m_pSubstance.Get();
    const HRESULT hr = pStream->put_Position(0);
    if (FAILED(hr)) return hr;
    return pStream->ReadText(ADODB::adReadAll, pbstrText);
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
    HRESULT hr = ToBSTR(mark.m_ssName, bstrName);
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
    SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(mark.m_vParams.size()));
    if (psa == nullptr) return E_OUTOFMEMORY;
    params.vt = VT_ARRAY | VT_VARIANT;
    params.parray = psa;
    for (LONG i = 0; i < static_cast<LONG>(mark.m_vParams.size()); ++i) {
        CComBSTR bstrParam;
        hr = ToBSTR(*mark.m_vParams[static_cast<size_t>(i)], bstrParam);
        if (FAILED(hr)) return hr;
        CComVariant element;
        element.SetBSTR(bstrParam.Detach());
        hr = SafeArrayPutElement(psa, &i, &element);
        if (FAILED(hr)) return hr;
    }
    hr = event.Fire(static_cast<T*>(this), &params);
    if (SUCCEEDED(hr)) hr = ChangeToBSTR(&event.m_vResult, nullptr, false);
    if (SUCCEEDED(hr)) hr = WriteOutput(event.m_vResult.bstrVal);
    return hr;
}

template <class T>
HRESULT GITextTemplatorImpl<T>::GetTemplate(BSTR bstrPath, BSTR bstrCharset, BSTR* pbstrText) {
    CComPtr<IZULibStream> spStream;
    HRESULT hr = CreateMemoryStream(spStream);
    if (FAILED(hr)) return hr;
    hr = spStream->put_Charset(bstrCharset);
    if (FAILED(hr)) return hr;
    hr = spStream->LoadFromFile(bstrPath);
    if (FAILED(hr)) return hr;
    return spStream->ReadText(ADODB::adReadAll, pbstrText);
}

template class GITextTemplatorImpl<ITextTemplator>;
