#include "upload/multipart_init.h"

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "frame/error.h"
#include "shim/safecrt.h"
#include "upload/form_file.h"
#include "upload/multipart_form.h"
#include "upload/multipart_parser.h"

using namespace PravoltTypeLibrary;

namespace {

constexpr wchar_t kSource[] = L"Vesk";
constexpr std::wstring_view kMultipartType = L"multipart/form-data;";
constexpr std::wstring_view kBoundaryParameter = L"boundary=";
// The boundary in bytes, its NUL included.
constexpr size_t kBoundaryBytes = 255;

// UTF-8 bytes (up to the first zero byte) as a string; empty bytes give a null string.
HRESULT DecodeUtf8(std::string_view bytes, CComBSTR& text) {
    const size_t zero = bytes.find('\0');
    if (zero != std::string_view::npos) bytes = bytes.substr(0, zero);
    text.Reset();
    if (bytes.empty()) return S_OK;
    const std::string terminated(bytes);
    const size_t chars = utf8_utf32(nullptr, 0, terminated.c_str());
    BSTR decoded = SysAllocStringLen(nullptr, UINT(chars));
    if (decoded == nullptr) return E_OUTOFMEMORY;
    utf8_utf32(decoded, chars + 1, terminated.c_str());
    text.Attach(decoded);
    return S_OK;
}

HRESULT ReadContentType(IRequest* pRequest, CComVariant& type) {
    CComPtr<IRequestDictionary> spVariables;
    HRESULT hr = pRequest->get_ServerVariables(spVariables.Receive());
    if (FAILED(hr)) return hr;
    if (!spVariables) return E_UNEXPECTED;
    CComVariant key;
    hr = key.SetString(L"HTTP_CONTENT_TYPE");
    if (FAILED(hr)) return hr;
    CComVariant item;
    hr = spVariables->get_Item(key, &item);
    if (FAILED(hr)) return hr;
    hr = item.ChangeType(VT_BSTR);
    if (FAILED(hr)) return hr;
    type = std::move(item);
    return S_OK;
}

// The boundary parameter's value. A quoted one loses its quotes and an unquoted one ends at
// the next parameter: clients quote boundaries that hold characters such as "=" (Python's
// standard library always does), and taking the quotes or a following parameter into the
// marker would match nothing and lose the whole upload.
std::wstring_view BoundaryOf(std::wstring_view value) {
    if (!value.empty() && value.front() == L'"') {
        const size_t close = value.find(L'"', 1);
        if (close != std::wstring_view::npos) return value.substr(1, close - 1);
        return value;
    }
    value = value.substr(0, value.find(L';'));
    while (!value.empty() && (value.back() == L' ' || value.back() == L'\t')) value.remove_suffix(1);
    return value;
}

// The whole body as one byte array, or a raised error when the host would not give it.
HRESULT ReadBody(IRequest* pRequest, CComVariant& body) {
    LONG total = 0;
    HRESULT hr = pRequest->get_TotalBytes(&total);
    if (FAILED(hr)) return hr;
    CComVariant count;
    count.SetI4(total);
    hr = pRequest->BinaryRead(&count, &body);
    if (SUCCEEDED(hr)) return S_OK;
    body.Reset();
    CComVariant left;
    const bool refused = hr == E_FAIL && SUCCEEDED(VariantChangeType(&left, &count, 0, VT_I4)) && left.lVal == 0;
    if (!refused) return RaiseError(E_FAIL, kSource, L"Upload failed.");
    const std::wstring message = L"Upload size exceeds maximum limit.[" + std::to_wstring(total) + L"B]";
    return RaiseError(E_FAIL, kSource, message.c_str());
}

// What the headers of one part say.
struct CPartHeaders {
    CComBSTR bstrName;
    CComBSTR bstrFileName;
    CComBSTR bstrContentType;

    HRESULT Take(const CMultipartHeader& header) {
        if (header.m_strName == "Content-Disposition" && header.m_strValue == "form-data") {
            HRESULT hr = DecodeUtf8(Parameter(header, "name"), bstrName);
            if (SUCCEEDED(hr)) hr = DecodeUtf8(Parameter(header, "filename"), bstrFileName);
            return hr;
        }
        if (header.m_strName == "Content-Type") return DecodeUtf8(header.m_strValue, bstrContentType);
        return S_OK;
    }

    static std::string_view Parameter(const CMultipartHeader& header, const std::string& name) {
        const auto found = header.m_mapParameters.find(name);
        return found == header.m_mapParameters.end() ? std::string_view() : std::string_view(found->second);
    }
};

HRESULT AppendFile(GMultipartForm<IRequestDictionary>& form, const CPartHeaders& part, const uint8_t* pContent,
                   size_t nContent) {
    CComPtr<IDispatch> spFile;
    HRESULT hr = g_oCF_FormFile.CreateInstance(nullptr, IID_IDispatch, spFile.ReceiveVoid());
    if (FAILED(hr)) return hr;
    if (!spFile) return E_UNEXPECTED;
    GIFormFileImpl<IFormFile>* file = FormFileOf(static_cast<IFormFile*>(spFile.Get()));
    hr = file->SetNames(part.bstrFileName, part.bstrContentType);
    if (FAILED(hr)) return hr;
    hr = file->WriteContent(pContent, nContent);
    if (FAILED(hr)) return hr;
    CComVariant value;
    value.SetDispatch(spFile.Get());
    return form.Append(std::wstring(part.bstrName.c_str(), part.bstrName.Length()), std::move(value));
}

HRESULT AppendText(GMultipartForm<IRequestDictionary>& form, const CPartHeaders& part, const uint8_t* pContent,
                   size_t nContent) {
    CComBSTR bstrText;
    HRESULT hr = DecodeUtf8(std::string_view(reinterpret_cast<const char*>(pContent), nContent), bstrText);
    if (FAILED(hr)) return hr;
    CComVariant value;
    // A text field is always a string, an empty one too.
    hr = value.SetString(bstrText.c_str());
    if (FAILED(hr)) return hr;
    return form.Append(std::wstring(part.bstrName.c_str(), part.bstrName.Length()), std::move(value));
}

// Every part up to the closing boundary, into the form; the first failure ends the walk.
HRESULT ParseParts(const uint8_t* pBody, uint64_t nSize, const char* pszMarker,
                   GMultipartForm<IRequestDictionary>& form) {
    CMultipartParser parser(pBody, nSize, pszMarker);
    uint64_t boundaryStart = 0;
    bool bFinal = false;
    HRESULT hr = parser.MoveNextBoundary(boundaryStart, bFinal);
    while (SUCCEEDED(hr) && !bFinal) {
        CPartHeaders part;
        CMultipartHeader header;
        HRESULT hrHeader;
        while ((hrHeader = parser.GetHeader(header)) == S_OK) {
            hr = part.Take(header);
            if (FAILED(hr)) return hr;
        }
        if (hrHeader != S_FALSE) return hrHeader;
        const uint64_t contentStart = parser.Position();
        hr = parser.MoveNextBoundary(boundaryStart, bFinal);
        if (FAILED(hr)) return hr;
        // The CR LF before the boundary line belongs to the boundary.
        const uint64_t contentEnd = boundaryStart >= 2 ? boundaryStart - 2 : 0;
        const size_t nContent = contentEnd > contentStart ? size_t(contentEnd - contentStart) : 0;
        const uint8_t* pContent = pBody + contentStart;
        hr = part.bstrFileName.IsEmpty() ? AppendText(form, part, pContent, nContent)
                                         : AppendFile(form, part, pContent, nContent);
    }
    return hr;
}

}  // namespace

HRESULT InitMultipartForm(IRequest* pRequest, IResponse* pResponse, CComPtr<IRequestDictionary>& spForm) {
    // The body has been read into the form already; reading it again would find it gone.
    if (spForm) return S_OK;
    // A controller made without a page context has no request to read an upload from.
    if (pRequest == nullptr) return S_OK;
    const CComPtr<IRequest> spRequest = CComPtr<IRequest>::Share(pRequest);
    CComVariant type;
    HRESULT hr = ReadContentType(spRequest.Get(), type);
    if (FAILED(hr)) return hr;
    const std::wstring_view contentType(type.bstrVal ? type.bstrVal : L"", SysStringLen(type.bstrVal));
    if (contentType.substr(0, kMultipartType.size()) != kMultipartType) return S_OK;
    const size_t at = contentType.find(kBoundaryParameter);
    if (at == std::wstring_view::npos) return S_OK;
    const std::wstring boundary(BoundaryOf(contentType.substr(at + kBoundaryParameter.size())));
    char boundaryBytes[kBoundaryBytes] = {};
    size_t written = 0;
    if (wcstombs_s(&written, boundaryBytes, boundary.c_str(), kBoundaryBytes) != 0 || boundaryBytes[0] == '\0')
        return S_OK;

    CComVariant body;
    hr = ReadBody(spRequest.Get(), body);
    if (FAILED(hr)) return hr;
    if (body.vt != (VT_ARRAY | VT_UI1) || body.parray == nullptr) return S_OK;

    CComPtr<IRequestDictionary> spNew;
    hr = g_oCF_MultipartForm.CreateInstance(nullptr, zul_uuidof<IRequestDictionary>(), spNew.ReceiveVoid());
    if (FAILED(hr)) return hr;
    if (!spNew) return E_UNEXPECTED;
    spForm.Assign(spNew.Get());

    const std::string marker = std::string("--") + boundaryBytes;
    if (pResponse) {
        // The text conversions take UTF-8 whatever the page's code page; it is read all the same.
        LONG codePage = 0;
        (void)pResponse->get_CodePage(&codePage);
    }
    SAFEARRAY* psa = body.parray;
    void* data = nullptr;
    hr = SafeArrayAccessData(psa, &data);
    if (FAILED(hr)) return hr;
    const uint64_t size = SafeArrayGetDim(psa) == 1 ? psa->rgsabound[0].cElements : 0;
    hr = ParseParts(static_cast<const uint8_t*>(data), size, marker.c_str(), *MultipartFormOf(spNew.Get()));
    SafeArrayUnaccessData(psa);
    return hr;
}
