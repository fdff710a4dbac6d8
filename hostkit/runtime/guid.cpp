// GUIDs: random ones for new identifiers, and the braced text form.
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>

#include "host/runtime.h"

namespace {

bool read_urandom(void* buf, size_t len) {
    FILE* f = std::fopen("/dev/urandom", "rb");
    if (f == nullptr) return false;
    const bool ok = std::fread(buf, 1, len, f) == len;
    std::fclose(f);
    return ok;
}

bool random_bytes(void* buf, size_t len) {
    auto* p = static_cast<unsigned char*>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = getrandom(p + got, len - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return read_urandom(p + got, len - got);  // kernels without getrandom
        }
        got += size_t(n);
    }
    return true;
}

}  // namespace

extern "C" {

// A random (version 4, RFC 4122 variant) GUID.
HRESULT CoCreateGuid(GUID* pguid) {
    if (pguid == nullptr) return E_INVALIDARG;
    GUID g;
    if (!random_bytes(&g, sizeof g)) return E_FAIL;
    g.Data3 = uint16_t((g.Data3 & 0x0FFF) | 0x4000);
    g.Data4[0] = uint8_t((g.Data4[0] & 0x3F) | 0x80);
    *pguid = g;
    return S_OK;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 38 characters and a NUL; 0 when it does not fit.
INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax) {
    constexpr INT kChars = 39;
    if (lpsz == nullptr || cchMax < kChars) return 0;
    const GUID& g = rguid;
    std::swprintf(lpsz, size_t(kChars), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return kChars;
}

}  // extern "C"
