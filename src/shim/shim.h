// Every Win32-named function the library implements for itself on this platform.
#pragma once

#include "shim/codec.h"
#include "shim/crypt.h"
#include "shim/digest.h"
#include "shim/file.h"
#include "shim/path.h"
#include "shim/registry.h"
#include "shim/safecrt.h"
#include "shim/sync.h"
#include "shim/text.h"
#include "shim/time.h"
