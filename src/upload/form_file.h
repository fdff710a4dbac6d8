// GIFormFileImpl<T>: an uploaded file. Its stream is a host stream component made when the
// object is constructed, opened empty in binary mode; the upload writes the file's bytes
// into it and leaves it at position 0 for the script.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/module.h"
#include "host/host.h"
#include "upload/iformfile.h"

template <class T>
class GIFormFileImpl : public T {
public:
    // A stream that cannot be made, opened or set to binary leaves the item without one:
    // its first write and its Stream property then fail instead of using a missing stream.
    GIFormFileImpl();
    ~GIFormFileImpl() = default;
    GIFormFileImpl(const GIFormFileImpl&) = delete;
    GIFormFileImpl& operator=(const GIFormFileImpl&) = delete;

    HRESULT get_FileName(BSTR* pbstrFileName) override;
    HRESULT get_FileName2(BSTR* pbstrFileName) override;
    HRESULT get_ContentType(BSTR* pbstrContentType) override;
    HRESULT get_Stream(IDispatch** ppStream) override;

    // Filled by the upload: copies of the name as sent and of the content type.
    HRESULT SetNames(const CComBSTR& bstrFileName, const CComBSTR& bstrContentType);
    // Writes the content into the stream one byte per Write call, each a one-element byte
    // array passed by reference, stopping at the first failure; then rewinds the stream.
    HRESULT WriteContent(const uint8_t* pData, size_t nSize);

    bool HasStream() const { return static_cast<bool>(m_spStream); }

private:
    CComBSTR m_bstrFileName;
    CComBSTR m_bstrContentType;
    CComPtr<IZULibStream> m_spStream;
};

// The implementation behind an IFormFile the library made (its interfaces share the
// object's primary base).
inline GIFormFileImpl<IFormFile>* FormFileOf(IFormFile* pFile) { return static_cast<GIFormFileImpl<IFormFile>*>(pFile); }
