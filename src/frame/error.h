// Failure reporting towards the calling script: the thread's error information.
#pragma once

#include "host/wintypes.h"

// Sets the calling thread's error information (source and description, nothing else) and
// returns hr unchanged, so a failing path ends in `return RaiseError(hr, L"Vesk", L"...");`.
// When the host cannot create error information the code is still returned, silently.
HRESULT RaiseError(HRESULT hr, const wchar_t* source, const wchar_t* description);
