// IFormFile: one uploaded file as a script reads it: the name the browser sent, the same
// name without a client path, its content type and a binary stream holding its bytes.
#pragma once

#include "frame/identifiers.h"
#include "host/host.h"

struct IFormFile : IDispatch {
    virtual HRESULT get_FileName(BSTR* pbstrFileName) = 0;
    virtual HRESULT get_FileName2(BSTR* pbstrFileName) = 0;
    virtual HRESULT get_ContentType(BSTR* pbstrContentType) = 0;
    virtual HRESULT get_Stream(IDispatch** ppStream) = 0;
};

ZUL_DEFINE_UUIDOF(IFormFile, IID_IFormFile)
