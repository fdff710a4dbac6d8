// The start of every page process: a multipart/form-data post is read whole from the host
// Request, split by the multipart parser and made into the upload form, which the page's
// request reads then go through in place of the host's Form and QueryString.
#pragma once

#include "host/host.h"

// Builds the upload form into spForm when the request is a multipart form post; S_OK and no
// form for any other request. A form that already exists is kept: the body has been read.
// Size limit and read failures are raised with source "Vesk"; a malformed body gives E_FAIL
// without error information, the parts read before the fault staying in the form.
HRESULT InitMultipartForm(PravoltTypeLibrary::IRequest* pRequest, PravoltTypeLibrary::IResponse* pResponse,
                          CComPtr<PravoltTypeLibrary::IRequestDictionary>& spForm);
