// The tick count and sleeping, on the steady clock.
#pragma once

#include "shim/types.h"

// Milliseconds on the steady clock since its epoch (not since boot), cut to 32 bits.
VESK_EXPORT DWORD GetTickCount();
VESK_EXPORT void Sleep(DWORD milliseconds);
