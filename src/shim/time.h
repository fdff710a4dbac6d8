// The tick count and sleeping, on the steady clock.
#pragma once

#include "shim/types.h"

// Milliseconds on the steady clock since its epoch (not since boot), cut to 32 bits.
HOST_API DWORD GetTickCount();
HOST_API void Sleep(DWORD milliseconds);
