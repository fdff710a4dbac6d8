#include "shim/codec.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr wchar_t kPad = L'=';
constexpr uint64_t kMaxDword = 0xFFFFFFFF;

// Values of decoded characters beside the 64 digits.
constexpr int kPadding = 64;
constexpr int kInvalid = -1;

int sextet_of(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return c - L'A';
    if (c >= L'a' && c <= L'z') return c - L'a' + 26;
    if (c >= L'0' && c <= L'9') return c - L'0' + 52;
    if (c == L'+') return 62;
    if (c == L'/') return 63;
    if (c == kPad) return kPadding;
    return kInvalid;
}

bool is_ignored_space(wchar_t c) { return c == L' ' || c == L'\r' || c == L'\n' || c == L'\t'; }

// Characters in the encoding of `count` bytes, the NUL not included.
uint64_t encoded_length(uint64_t count) { return (count + 2) / 3 * 4; }

// Writes the encoding and its NUL straight into text, which has room for both: nothing is
// built on the side, so encoding needs no memory beyond the caller's buffer.
void encode_into(const BYTE* bytes, size_t count, LPWSTR text) {
    for (size_t i = 0; i < count; i += 3) {
        const size_t group = count - i < 3 ? count - i : 3;
        uint32_t bits = uint32_t{bytes[i]} << 16;
        if (group > 1) bits |= uint32_t{bytes[i + 1]} << 8;
        if (group > 2) bits |= bytes[i + 2];
        *text++ = kAlphabet[(bits >> 18) & 0x3F];
        *text++ = kAlphabet[(bits >> 12) & 0x3F];
        *text++ = group > 1 ? kAlphabet[(bits >> 6) & 0x3F] : kPad;
        *text++ = group > 2 ? kAlphabet[bits & 0x3F] : kPad;
    }
    *text = L'\0';
}

// The decoded bytes, or false for text that is empty, not whole groups of four, or not
// Base64. Never reads past `count` characters.
bool decode(LPCWSTR text, size_t count, std::vector<BYTE>& bytes) {
    std::wstring digits;
    for (size_t i = 0; i < count && text[i] != L'\0'; ++i) {
        if (!is_ignored_space(text[i])) digits += text[i];
    }
    if (digits.empty() || digits.size() % 4 != 0) return false;
    bytes.reserve(digits.size() / 4 * 3);
    for (size_t i = 0; i < digits.size(); i += 4) {
        const int v[4] = {sextet_of(digits[i]), sextet_of(digits[i + 1]), sextet_of(digits[i + 2]),
                          sextet_of(digits[i + 3])};
        if (v[0] == kInvalid || v[0] == kPadding || v[1] == kInvalid || v[1] == kPadding) return false;
        if (v[2] == kInvalid || v[3] == kInvalid) return false;
        // "x=" followed by a digit would drop the middle byte and keep the last one.
        if (v[2] == kPadding && v[3] != kPadding) return false;
        const uint32_t bits = uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 |
                              uint32_t(v[2] == kPadding ? 0 : v[2]) << 6 | uint32_t(v[3] == kPadding ? 0 : v[3]);
        bytes.push_back(static_cast<BYTE>(bits >> 16));
        if (v[2] != kPadding) bytes.push_back(static_cast<BYTE>(bits >> 8));
        if (v[3] != kPadding) bytes.push_back(static_cast<BYTE>(bits));
    }
    return true;
}

}  // namespace

BOOL CryptBinaryToStringW(const BYTE* binary, DWORD binaryCount, DWORD flags, LPWSTR text, DWORD* textCount) {
    if (textCount == nullptr || binary == nullptr || (flags & CRYPT_STRING_BASE64) == 0) return FALSE;
    const uint64_t needed = encoded_length(binaryCount) + 1;
    if (needed > kMaxDword) return FALSE;
    const DWORD given = *textCount;
    *textCount = static_cast<DWORD>(needed);
    if (text == nullptr) return TRUE;
    if (given < needed) return FALSE;
    encode_into(binary, binaryCount, text);
    return TRUE;
}

BOOL CryptStringToBinaryW(LPCWSTR text, DWORD textCount, DWORD flags, BYTE* binary, DWORD* binaryCount,
                          DWORD*, DWORD*) {
    if (binaryCount == nullptr || text == nullptr || (flags & CRYPT_STRING_BASE64) == 0) return FALSE;
    const size_t count = textCount != 0 ? textCount : std::wcslen(text);
    std::vector<BYTE> bytes;
    try {
        if (!decode(text, count, bytes)) {
            *binaryCount = 0;
            return FALSE;
        }
    } catch (const std::bad_alloc&) {
        *binaryCount = 0;
        return FALSE;
    }
    const DWORD given = *binaryCount;
    *binaryCount = static_cast<DWORD>(bytes.size());
    if (binary == nullptr) return TRUE;
    if (given < bytes.size()) return FALSE;
    if (!bytes.empty()) std::memcpy(binary, bytes.data(), bytes.size());
    return TRUE;
}
