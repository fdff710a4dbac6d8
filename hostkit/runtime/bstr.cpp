// Automation strings. Layout: a 32-bit byte count, the characters (32-bit each), then a
// NUL character. The block is one malloc allocation starting at the count, so the BSTR
// points 4 bytes into it.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "host/runtime.h"

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);
// The largest byte count whose block (prefix + data + padding + NUL) still fits the 32-bit
// count with room to spare; anything bigger is refused rather than wrapped.
constexpr uint32_t kMaxBytes = 0x7FFFFFF0u;

uint32_t* header_of(BSTR bstr) { return reinterpret_cast<uint32_t*>(bstr) - 1; }

// A block for `bytes` bytes of string data, zero-filled past the data so the string is
// NUL-terminated whatever the count (byte strings need not be a whole number of characters).
BSTR allocate(uint32_t bytes) {
    if (bytes > kMaxBytes) return nullptr;
    const size_t data = (size_t(bytes) + sizeof(OLECHAR) - 1) / sizeof(OLECHAR) * sizeof(OLECHAR);
    auto* block = static_cast<uint32_t*>(std::malloc(kPrefix + data + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    block[0] = bytes;
    auto* text = reinterpret_cast<char*>(block + 1);
    std::memset(text + bytes, 0, data - bytes + sizeof(OLECHAR));
    return reinterpret_cast<BSTR>(text);
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    const size_t len = std::wcslen(psz);
    if (len > kMaxBytes / sizeof(OLECHAR)) return nullptr;
    return SysAllocStringLen(psz, UINT(len));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
    if (cch > kMaxBytes / sizeof(OLECHAR)) return nullptr;
    const uint32_t bytes = cch * uint32_t(sizeof(OLECHAR));
    BSTR s = allocate(bytes);
    if (s == nullptr) return nullptr;
    if (pch != nullptr)
        std::memcpy(s, pch, bytes);
    else
        std::memset(s, 0, bytes);
    return s;
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) {
    BSTR s = allocate(len);
    if (s == nullptr) return nullptr;
    auto* bytes = reinterpret_cast<char*>(s);
    if (psz != nullptr)
        std::memcpy(bytes, psz, len);
    else
        std::memset(bytes, 0, len);
    return s;
}

// The new string is built before the old one is freed, so the source may lie inside *pbstr.
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (pbstr == nullptr) return FALSE;
    BSTR s = nullptr;
    if (psz != nullptr) {
        s = SysAllocString(psz);
        if (s == nullptr) return FALSE;
    }
    SysFreeString(*pbstr);
    *pbstr = s;
    return TRUE;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT cch) {
    if (pbstr == nullptr) return FALSE;
    BSTR s = SysAllocStringLen(psz, cch);
    if (s == nullptr) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = s;
    return TRUE;
}

UINT SysStringLen(BSTR bstr) {
    return bstr == nullptr ? 0 : *header_of(bstr) / uint32_t(sizeof(OLECHAR));
}

UINT SysStringByteLen(BSTR bstr) { return bstr == nullptr ? 0 : *header_of(bstr); }

void SysFreeString(BSTR bstr) {
    if (bstr != nullptr) std::free(header_of(bstr));
}

}  // extern "C"
