// The page's host objects as a component the page creates finds them in its object context.
#pragma once

#include "host/host.h"

// Takes Server, Application, Request and Response from the context, in that order, each
// asked for the interface kept; the first failure ends the call and is returned, leaving the
// objects not yet reached as they were. A page without a session is a page like any other:
// the session is taken only when the context holds one, and then it must answer too.
HRESULT TakePageObjects(IGetContextProperties* pContext, CComPtr<PravoltTypeLibrary::IServer>& spServer,
                        CComPtr<PravoltTypeLibrary::IApplicationObject>& spApplication,
                        CComPtr<PravoltTypeLibrary::IRequest>& spRequest,
                        CComPtr<PravoltTypeLibrary::IResponse>& spResponse,
                        CComPtr<PravoltTypeLibrary::ISessionObject>& spSessionObject);
