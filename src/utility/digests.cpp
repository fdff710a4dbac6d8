// The MD5 and SHA-1 members: a digest of text or bytes as lower-case hex.
#include "shim/crypt.h"
#include "utility/utility_ops.h"

namespace {

constexpr DWORD kHashContextFlags = CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET;
constexpr DWORD kMaxDigestBytes = 20;

HRESULT hash_bytes(ALG_ID algorithm, DWORD digestBytes, const BYTE* bytes, uint32_t count, BSTR* digest) {
    if (digest == nullptr) return E_POINTER;
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE value[kMaxDigestBytes];
    DWORD size = digestBytes;
    HRESULT hr = E_FAIL;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, kHashContextFlags) &&
        CryptCreateHash(provider, algorithm, 0, 0, &hash) && CryptHashData(hash, bytes, count, 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0) && size == digestBytes) {
        wchar_t text[2 * kMaxDigestBytes + 1];
        // Two lower-case hex digits a byte, as "%02x" writes them, from a table: formatting
        // each byte through the C library took longer than the digest of a short message.
        constexpr wchar_t kHexDigits[] = L"0123456789abcdef";
        for (DWORD i = 0; i < size; ++i) {
            text[2 * i] = kHexDigits[value[i] >> 4];
            text[2 * i + 1] = kHexDigits[value[i] & 0x0F];
        }
        text[2 * size] = L'\0';
        *digest = SysAllocString(text);
        hr = *digest ? S_OK : E_OUTOFMEMORY;
    }
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    return hr;
}

HRESULT hash_input(ALG_ID algorithm, DWORD digestBytes, VARIANT* input, long charset, BSTR* digest) {
    if (digest == nullptr) return E_POINTER;
    CInputBytes in;
    const HRESULT hr = in.Read(input, charset);
    if (FAILED(hr)) return hr;
    if (in.size() > 0xFFFFFFFFu) return E_INVALIDARG;
    return hash_bytes(algorithm, digestBytes, in.data(), static_cast<uint32_t>(in.size()), digest);
}

}  // namespace

HRESULT CUtilityOps::MD5(const BYTE* bytes, const uint32_t& count, BSTR* digest) {
    return hash_bytes(CALG_MD5, 16, bytes, count, digest);
}

HRESULT CUtilityOps::SHA1(const BYTE* bytes, const uint32_t& count, BSTR* digest) {
    return hash_bytes(CALG_SHA1, 20, bytes, count, digest);
}

HRESULT CUtilityOps::MD5(VARIANT* input, long charset, BSTR* digest) {
    return hash_input(CALG_MD5, 16, input, charset, digest);
}

HRESULT CUtilityOps::SHA1(VARIANT* input, long charset, BSTR* digest) {
    return hash_input(CALG_SHA1, 20, input, charset, digest);
}
