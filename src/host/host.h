// Everything the library knows of its host: types, interfaces, runtime functions,
// identifiers and the owning wrappers.
#pragma once

#include "asptlb.h"
#include "ccom.h"
#include "components.h"
#include "oaidl.h"
#include "objbase.h"
#include "runtime.h"
#include "uuidof.h"
#include "wintypes.h"
