// Random keys, identifiers and sleeping.
#include <random>

#include "shim/time.h"
#include "utility/random_engine.h"
#include "utility/utility_ops.h"

namespace {

constexpr int kGuidTextChars = 39;  // braces, 32 digits, 4 hyphens and the NUL
constexpr size_t kCompactGuidChars = 32;
constexpr size_t kGuidClosingBrace = 37;

}  // namespace

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
