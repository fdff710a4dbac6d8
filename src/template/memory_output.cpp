// What the templators share around the engine: their in-memory output, which Flush reads
// back, their template files read through a host stream, and the parameter array a mark
// function receives.
#include "template/templator_concept.h"

HRESULT CreateMemoryStream(CComPtr<IZULibStream>& spStream) {
    CComPtr<IZULibStream> spNew;
    HRESULT hr = CoCreateInstance(zul_uuidof<ADODB::Stream>(), nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                  zul_uuidof<IZULibStream>(), spNew.ReceiveVoid());
    if (FAILED(hr)) return hr;
    if (!spNew) return E_NOINTERFACE;
    // VT_ERROR with every other byte zero (reserved words included, which VariantInit need
    // not touch): no source, stay in memory.
    VARIANT noSource{};
    noSource.vt = VT_ERROR;
    hr = spNew->Open(noSource, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    spStream = std::move(spNew);
    return S_OK;
}

HRESULT ReadTextFile(BSTR bstrPath, BSTR bstrCharset, CComBSTR& bstrText) {
    CComPtr<IZULibStream> spStream;
    HRESULT hr = CreateMemoryStream(spStream);
    if (FAILED(hr)) return hr;
    hr = spStream->put_Charset(bstrCharset);
    if (FAILED(hr)) return hr;
    hr = spStream->LoadFromFile(bstrPath);
    if (FAILED(hr)) return hr;
    CComBSTR text;
    hr = spStream->ReadText(ADODB::adReadAll, text.Receive());
    if (FAILED(hr)) return hr;
    bstrText = std::move(text);
    return S_OK;
}

HRESULT CTemplatorConcept::OutputToMemoryStream() {
    CComPtr<IZULibStream> spStream;
    HRESULT hr = CreateMemoryStream(spStream);
    if (FAILED(hr)) return hr;
    CComPtr<IUnknown> spUnknown;
    hr = spStream.QueryInterface(spUnknown.Receive());
    if (FAILED(hr)) return hr;
    return putref_Output(spUnknown.Get());
}

HRESULT CTemplatorConcept::ReadBackOutput(BSTR* pbstrText) {
    if (pbstrText == nullptr) return E_INVALIDARG;
    *pbstrText = nullptr;
    // Only a host stream can be read back.
    if (m_pOutput != &m_oADODBStream || !m_oADODBStream.m_pSubstance) return E_FAIL;
    const CComPtr<IZULibStream> spStream = CComPtr<IZULibStream>::Share(m_oADODBStream.m_pSubstance.Get());
    const HRESULT hr = spStream->put_Position(0);
    if (FAILED(hr)) return hr;
    return spStream->ReadText(ADODB::adReadAll, pbstrText);
}

HRESULT CTemplatorConcept::MakeParamArray(const ParamList& params, CComVariant& array) {
    CComSafeArray psa;
    psa.Attach(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(params.size())));
    if (!psa) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(params.size()); ++i) {
        CComBSTR bstrParam;
        HRESULT hr = MarkText(*params[static_cast<size_t>(i)], bstrParam);
        if (FAILED(hr)) return hr;
        CComVariant element;
        element.SetBSTR(bstrParam.Detach());
        hr = SafeArrayPutElement(psa.Get(), &i, &element);
        if (FAILED(hr)) return hr;
    }
    CComVariant made;
    made.vt = VT_ARRAY | VT_VARIANT;
    made.parray = psa.Detach();
    array = std::move(made);
    return S_OK;
}
