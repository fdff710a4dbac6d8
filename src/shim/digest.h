// MD5 (RFC 1321) and SHA-1 (FIPS 180-1): whole messages, or a message given in pieces to a
// running context whose value may be read at any point without ending it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "shim/types.h"

namespace zul_compat {

constexpr size_t kMd5DigestBytes = 16;
constexpr size_t kSha1DigestBytes = 20;
constexpr size_t kDigestBlockBytes = 64;

constexpr uint32_t rotl32(uint32_t value, unsigned count) {
    count &= 31;
    return count == 0 ? value : (value << count) | (value >> (32 - count));
}

// Append `value` as 8 bytes: little-endian (the MD5 length field) or big-endian (SHA-1's).
VESK_EXPORT void append_le64(std::vector<BYTE>& bytes, uint64_t value);
VESK_EXPORT void append_be64(std::vector<BYTE>& bytes, uint64_t value);

VESK_EXPORT std::array<BYTE, kMd5DigestBytes> md5_digest(const BYTE* bytes, size_t length);
VESK_EXPORT std::array<BYTE, kSha1DigestBytes> sha1_digest(const BYTE* bytes, size_t length);

// A message in progress: whole blocks are compressed as they arrive, so only the unfinished
// block is kept. The same layout serves both algorithms (MD5 uses four state words).
struct DigestContext {
    uint32_t state[5];
    uint64_t length;               // bytes added so far
    BYTE tail[kDigestBlockBytes];  // the length % 64 bytes of the unfinished block
};

void md5_start(DigestContext& context);
void md5_add(DigestContext& context, const BYTE* bytes, size_t length);
// The digest of everything added so far; the context is left as it was.
std::array<BYTE, kMd5DigestBytes> md5_value(const DigestContext& context);

void sha1_start(DigestContext& context);
void sha1_add(DigestContext& context, const BYTE* bytes, size_t length);
std::array<BYTE, kSha1DigestBytes> sha1_value(const DigestContext& context);

// The SHA-1 compression of `count` whole blocks, by the portable code and by the processor's
// SHA instructions. The instructions are used when the processor has them, chosen once at run
// time; sha1_compress_instructions returns false, doing nothing, where it has none.
void sha1_compress_portable(uint32_t (&state)[5], const BYTE* blocks, size_t count);
bool sha1_compress_instructions(uint32_t (&state)[5], const BYTE* blocks, size_t count);
bool sha1_has_instructions();

}  // namespace zul_compat
