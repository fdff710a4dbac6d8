// The cryptography calls the library hashes through. A provider is only a token; a hash
// object digests the bytes as they are given and keeps only the unfinished block, so its value
// can be read at any point, and read again, while more bytes may follow.
#pragma once

#include <cstdint>
#include "shim/digest.h"
#include "shim/types.h"

using HCRYPTPROV = uintptr_t;
using HCRYPTHASH = uintptr_t;
using HCRYPTKEY = uintptr_t;

constexpr ALG_ID CALG_MD5 = 0x8003;
constexpr ALG_ID CALG_SHA1 = 0x8004;
constexpr DWORD HP_HASHVAL = 2;
constexpr DWORD PROV_RSA_FULL = 1;
constexpr DWORD CRYPT_MACHINE_KEYSET = 0x20;
constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;

namespace zul_compat {

// What a hash handle points at.
struct CryptHashState {
    ALG_ID algorithm;
    DigestContext context;
};

}  // namespace zul_compat

// Ignores everything but the out pointer; always succeeds.
VESK_EXPORT BOOL CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR providerName,
                                   DWORD providerType, DWORD flags);
// Only CALG_MD5 and CALG_SHA1; any provider, null included, serves.
VESK_EXPORT BOOL CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                              HCRYPTHASH* hash);
VESK_EXPORT BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags);
// Only HP_HASHVAL. Reading the value does not finish the hash: it may be read again, and
// more data may still be added.
VESK_EXPORT BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD parameter, BYTE* buffer, DWORD* size,
                                DWORD flags);
VESK_EXPORT BOOL CryptDestroyHash(HCRYPTHASH hash);
VESK_EXPORT BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags);
