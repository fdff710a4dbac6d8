// Random engines for keys that must not be guessed (utility keys, one-time command keys).
#pragma once

#include <random>

#include "host/wintypes.h"

// Seeds the engine from the system's entropy source, with enough words to fill its state,
// so that engines seeded a moment apart share nothing and no key can be predicted from the
// clock. E_FAIL when the entropy source is unavailable.
HRESULT SeedRandomEngine(std::mt19937& engine);
