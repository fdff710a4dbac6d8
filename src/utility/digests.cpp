// Digests, random keys, identifiers and sleeping.
#include <random>

#include "shim/crypt.h"
#include "shim/safecrt.h"
#include "shim/time.h"
#include "utility/random_engine.h"
#include "utility/utility_ops.h"

namespace {

constexpr DWORD kHashContextFlags = CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET;
constexpr DWORD kMaxDigestBytes = 20;
constexpr int kGuidTextChars = 39;  // braces, 32 digits, 4 hyphens and the NUL
constexpr size_t kCompactGuidChars = 32;
constexpr size_t kGuidClosingBrace = 37;

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
        for (DWORD i = 0; i < size; ++i) swprintf_s(text + 2 * i, 3, L"%02x", static_cast<unsigned>(value[i]));
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

HRESULT CUtilityOps::MakeKey(long length, BSTR alphabet, BSTR* key) {
    if (key == nullptr) return E_POINTER;
    const UINT letters = SysStringLen(alphabet);
    if (length < 0 || letters == 0) return E_INVALIDARG;
    if (static_cast<unsigned long>(length) > kMaxBstrChars) return E_OUTOFMEMORY;
    std::mt19937 engine;
    const HRESULT hr = SeedRandomEngine(engine);
    if (FAILED(hr)) return hr;
    // A letter that occurs several times in the alphabet is drawn that much more often.
    std::uniform_int_distribution<UINT> pick(0, letters - 1);
    BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (out == nullptr) return E_OUTOFMEMORY;
    for (long i = 0; i < length; ++i) out[i] = alphabet[pick(engine)];
    *key = out;
    return S_OK;
}

HRESULT CUtilityOps::MakeGUID(VARIANT_BOOL compact, BSTR* guid) {
    if (guid == nullptr) return E_POINTER;
    GUID id;
    HRESULT hr = CoCreateGuid(&id);
    if (FAILED(hr)) return hr;
    wchar_t text[kGuidTextChars];
    if (StringFromGUID2(id, text, kGuidTextChars) != kGuidTextChars) return E_FAIL;
    if (compact != VARIANT_TRUE) {
        *guid = SysAllocString(text);
        return *guid ? S_OK : E_OUTOFMEMORY;
    }
    CComBSTR digits;
    digits.Attach(SysAllocStringLen(nullptr, kCompactGuidChars));
    if (!digits) return E_OUTOFMEMORY;
    // Copy the digits after the opening brace, skipping hyphens and the closing brace.
    size_t from = 1;
    size_t copied = 0;
    while (copied < kCompactGuidChars && from <= kGuidClosingBrace) {
        digits.m_str[copied++] = text[from++];
        while (from <= kGuidClosingBrace && (text[from] == L'-' || text[from] == L'{' || text[from] == L'}')) ++from;
    }
    if (copied != kCompactGuidChars || from != kGuidClosingBrace + 1) return E_FAIL;
    *guid = digits.Detach();
    return S_OK;
}

HRESULT CUtilityOps::Sleep(long milliseconds) {
    // Taken as an unsigned 32-bit count: a negative value is a very long wait.
    ::Sleep(static_cast<DWORD>(milliseconds));
    return S_OK;
}
