// Base64 (RFC 4648, standard alphabet) behind the Win32 binary-to-text calls.
#pragma once

#include "shim/types.h"

constexpr DWORD CRYPT_STRING_BASE64HEADER = 0x0;
constexpr DWORD CRYPT_STRING_BASE64 = 0x1;
constexpr DWORD CRYPT_STRING_HEX = 0x4;
constexpr DWORD CRYPT_STRING_NOCRLF = 0x40000000;

// Any flags with the base64 bit give the same output: one line, "=" padded, no header and
// never a line break. Unlike Win32, the count returned after encoding includes the NUL.
VESK_EXPORT BOOL CryptBinaryToStringW(const BYTE* binary, DWORD binaryCount, DWORD flags, LPWSTR text,
                                   DWORD* textCount);
// Reads at most `textCount` characters (up to the NUL when it is 0) and ignores space, tab,
// CR and LF. Every group of four may end in padding, so padded texts may be concatenated;
// a group whose third character is "=" must end in "=" as well. Headers are not recognised;
// `skip` and `outFlags` are never written. One pass checks and decodes: after a refusal the
// buffer may hold part of the bytes.
VESK_EXPORT BOOL CryptStringToBinaryW(LPCWSTR text, DWORD textCount, DWORD flags, BYTE* binary,
                                   DWORD* binaryCount, DWORD* skip, DWORD* outFlags);

namespace zul_compat {

// The encoder's two paths, for tests: the portable code, and the processor's vector
// instructions (false, writing nothing, where it has none). Both write the NUL.
void base64_encode_portable(const BYTE* bytes, size_t count, LPWSTR text);
bool base64_encode_vector(const BYTE* bytes, size_t count, LPWSTR text);
// The decoder's vector path: how many of the first `count` characters it decoded into out
// (three bytes for every four), stopping at the first block of sixteen that is not all digits
// or when fewer than 16 bytes of `room` are left; 0 where the processor has no such path.
size_t base64_decode_vector(const wchar_t* text, size_t count, BYTE* out, size_t room);

}  // namespace zul_compat
