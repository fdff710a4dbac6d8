// MD5 (RFC 1321) and SHA-1 (FIPS 180-1) over a whole message held in memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "shim/types.h"

namespace zul_compat {

constexpr size_t kMd5DigestBytes = 16;
constexpr size_t kSha1DigestBytes = 20;

constexpr uint32_t rotl32(uint32_t value, unsigned count) {
    count &= 31;
    return count == 0 ? value : (value << count) | (value >> (32 - count));
}

// Append `value` as 8 bytes: little-endian (the MD5 length field) or big-endian (SHA-1's).
VESK_EXPORT void append_le64(std::vector<BYTE>& bytes, uint64_t value);
VESK_EXPORT void append_be64(std::vector<BYTE>& bytes, uint64_t value);

// May throw std::bad_alloc: the message is copied once for padding.
VESK_EXPORT std::array<BYTE, kMd5DigestBytes> md5_digest(const BYTE* bytes, size_t length);
VESK_EXPORT std::array<BYTE, kSha1DigestBytes> sha1_digest(const BYTE* bytes, size_t length);

}  // namespace zul_compat
