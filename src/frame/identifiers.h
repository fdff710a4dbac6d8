// The library's own class and interface identifiers. A component includes this to learn its
// identifier without seeing the module's composition.
#pragma once

#include "host/wintypes.h"

VESK_EXPORT extern const CLSID CLSID_Vesk;
VESK_EXPORT extern const CLSID CLSID_TextTemplator;
VESK_EXPORT extern const CLSID CLSID_Utility;
VESK_EXPORT extern const IID IID_IVesk;
VESK_EXPORT extern const IID IID_IVeskedTemplator;
VESK_EXPORT extern const IID IID_IFormFile;
VESK_EXPORT extern const IID IID_ITextTemplator;
VESK_EXPORT extern const IID IID_IUtility;
