#include "shim/crypt.h"

#include <cstring>
#include <new>

#include "shim/digest.h"

namespace {

using zul_compat::CryptHashState;

CryptHashState* state_of(HCRYPTHASH hash) { return reinterpret_cast<CryptHashState*>(hash); }

// The digest length of an algorithm, 0 for one the shim does not hash.
DWORD digest_bytes(ALG_ID algorithm) {
    switch (algorithm) {
    case CALG_MD5: return zul_compat::kMd5DigestBytes;
    case CALG_SHA1: return zul_compat::kSha1DigestBytes;
    default: return 0;
    }
}

}  // namespace

BOOL CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR, LPCWSTR, DWORD, DWORD) {
    if (provider == nullptr) return TRUE;
    // A one-byte token: distinct per context and never inspected.
    char* token = new (std::nothrow) char;
    if (token == nullptr) return FALSE;
    *provider = reinterpret_cast<HCRYPTPROV>(token);
    return TRUE;
}

BOOL CryptCreateHash(HCRYPTPROV, ALG_ID algorithm, HCRYPTKEY, DWORD, HCRYPTHASH* hash) {
    if (hash == nullptr) return FALSE;
    *hash = 0;
    if (digest_bytes(algorithm) == 0) return FALSE;
    auto* state = new (std::nothrow) CryptHashState{algorithm, {}};
    if (state == nullptr) return FALSE;
    if (algorithm == CALG_MD5) {
        zul_compat::md5_start(state->context);
    } else {
        zul_compat::sha1_start(state->context);
    }
    *hash = reinterpret_cast<HCRYPTHASH>(state);
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD) {
    CryptHashState* state = state_of(hash);
    if (state == nullptr || (data == nullptr && length != 0)) return FALSE;
    if (length == 0) return TRUE;
    if (state->algorithm == CALG_MD5) {
        zul_compat::md5_add(state->context, data, length);
    } else {
        zul_compat::sha1_add(state->context, data, length);
    }
    return TRUE;
}

BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD parameter, BYTE* buffer, DWORD* size, DWORD) {
    const CryptHashState* state = state_of(hash);
    if (state == nullptr || size == nullptr || parameter != HP_HASHVAL) return FALSE;
    const DWORD needed = digest_bytes(state->algorithm);
    if (needed == 0) return FALSE;
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return buffer == nullptr ? TRUE : FALSE;
    }
    if (state->algorithm == CALG_MD5) {
        std::memcpy(buffer, zul_compat::md5_value(state->context).data(), needed);
    } else {
        std::memcpy(buffer, zul_compat::sha1_value(state->context).data(), needed);
    }
    *size = needed;
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
    delete state_of(hash);
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD) {
    delete reinterpret_cast<char*>(provider);
    return TRUE;
}
