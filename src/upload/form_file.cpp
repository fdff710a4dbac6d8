#include "upload/form_file.h"

#include <cwchar>
#include <utility>

#include "frame/error.h"

namespace {

constexpr wchar_t kSource[] = L"Vesk";
constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;

HRESULT NoStream() { return RaiseError(E_FAIL, kSource, L"Upload failed. The file has no stream."); }

HRESULT CopyOut(const CComBSTR& value, BSTR* out) {
    if (out == nullptr) return E_INVALIDARG;
    return value.CopyTo(out);
}

}  // namespace

template <class T>
GIFormFileImpl<T>::GIFormFileImpl() {
    CComPtr<IZULibStream> spStream;
    if (FAILED(CoCreateInstance(zul_uuidof<ADODB::Stream>(), nullptr, kClassContext, zul_uuidof<IZULibStream>(),
                                spStream.ReceiveVoid())) ||
        !spStream) {
        return;
    }
    CComVariant noSource;
    noSource.SetError(DISP_E_PARAMNOTFOUND);
    if (FAILED(spStream->Open(noSource, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr))) return;
    if (FAILED(spStream->put_Type(ADODB::adTypeBinary))) return;
    m_spStream = std::move(spStream);
}

template <class T>
HRESULT GIFormFileImpl<T>::get_FileName(BSTR* pbstrFileName) {
    return CopyOut(m_bstrFileName, pbstrFileName);
}

template <class T>
HRESULT GIFormFileImpl<T>::get_FileName2(BSTR* pbstrFileName) {
    if (pbstrFileName == nullptr) return E_INVALIDARG;
    *pbstrFileName = nullptr;
    const wchar_t* name = m_bstrFileName.c_str();
    const UINT length = m_bstrFileName.Length();
    // A client path ends at its last backslash; a name without one at its last slash.
    UINT start = 0;
    for (const wchar_t separator : {L'\\', L'/'}) {
        for (UINT i = length; i > 0; --i) {
            if (name[i - 1] == separator) {
                start = i;
                break;
            }
        }
        if (start != 0) break;
    }
    if (start == 0) return m_bstrFileName.CopyTo(pbstrFileName);
    *pbstrFileName = SysAllocStringLen(name + start, length - start);
    return *pbstrFileName ? S_OK : E_OUTOFMEMORY;
}

template <class T>
HRESULT GIFormFileImpl<T>::get_ContentType(BSTR* pbstrContentType) {
    return CopyOut(m_bstrContentType, pbstrContentType);
}

template <class T>
HRESULT GIFormFileImpl<T>::get_Stream(IDispatch** ppStream) {
    if (ppStream == nullptr) return E_INVALIDARG;
    *ppStream = nullptr;
    if (!m_spStream) return NoStream();
    return m_spStream->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppStream));
}

template <class T>
HRESULT GIFormFileImpl<T>::SetNames(const CComBSTR& bstrFileName, const CComBSTR& bstrContentType) {
    CComBSTR bstrName, bstrType;
    bstrName.Attach(bstrFileName.Copy());
    if (bstrFileName.m_str && !bstrName.m_str) return E_OUTOFMEMORY;
    bstrType.Attach(bstrContentType.Copy());
    if (bstrContentType.m_str && !bstrType.m_str) return E_OUTOFMEMORY;
    m_bstrFileName = std::move(bstrName);
    m_bstrContentType = std::move(bstrType);
    return S_OK;
}

template <class T>
HRESULT GIFormFileImpl<T>::WriteContent(const uint8_t* pData, size_t nSize) {
    if (!m_spStream) return NoStream();
    // The stream is held for the writes: nothing they call may take it from under them.
    const CComPtr<IZULibStream> spStream = CComPtr<IZULibStream>::Share(m_spStream.Get());
    // One array serves every call: only its byte changes.
    CComSafeArray oneByte;
    oneByte.Attach(SafeArrayCreateVector(VT_UI1, 0, 1));
    if (!oneByte) return E_OUTOFMEMORY;
    SAFEARRAY* psa = oneByte.Get();
    VARIANT buffer;
    VariantInit(&buffer);
    buffer.vt = VT_ARRAY | VT_UI1 | VT_BYREF;
    buffer.pparray = &psa;
    uint8_t* slot = static_cast<uint8_t*>(psa->pvData);
    for (size_t i = 0; i < nSize; ++i) {
        *slot = pData[i];
        const HRESULT hr = spStream->Write(buffer);
        if (FAILED(hr)) return hr;
    }
    return spStream->put_Position(0);
}

template class GIFormFileImpl<IFormFile>;
