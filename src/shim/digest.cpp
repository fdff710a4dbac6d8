#include "shim/digest.h"

#include <cstring>

namespace zul_compat {
namespace {

constexpr size_t kBlockBytes = 64;
constexpr size_t kLengthFieldOffset = 56;  // where the 64-bit bit count starts in the last block
constexpr size_t kPaddingReserve = 72;     // 0x80, up to 63 zero bytes and the 8-byte length
constexpr BYTE kPaddingMarker = 0x80;

// The message, 0x80, zeros up to 56 modulo 64, then the length in bits in the given order.
template <void (*AppendLength)(std::vector<BYTE>&, uint64_t)>
std::vector<BYTE> padded(const BYTE* bytes, size_t length) {
    std::vector<BYTE> message;
    message.reserve(length + kPaddingReserve);
    if (length != 0) message.insert(message.end(), bytes, bytes + length);
    message.push_back(kPaddingMarker);
    message.resize(message.size() + (kLengthFieldOffset + kBlockBytes - message.size() % kBlockBytes) % kBlockBytes);
    AppendLength(message, static_cast<uint64_t>(length) * 8);
    return message;
}

uint32_t load_le32(const BYTE* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t load_be32(const BYTE* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

void store_le32(BYTE* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

void store_be32(BYTE* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (24 - 8 * i));
}

// ---- MD5 ----------------------------------------------------------------------------------

constexpr uint32_t kMd5Init[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

// Per-round left shifts, four to a round.
constexpr unsigned kMd5Shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// floor(abs(sin(i + 1)) * 2^32), the additive constants of RFC 1321.
constexpr uint32_t kMd5Sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

void md5_block(uint32_t (&state)[4], const BYTE* block) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = load_le32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        uint32_t f;
        int k;
        switch (round) {
        case 0: f = (b & c) | (~b & d); k = i; break;
        case 1: f = (d & b) | (~d & c); k = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
        }
        const uint32_t rotated = rotl32(a + f + x[k] + kMd5Sine[i], kMd5Shift[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

// ---- SHA-1 --------------------------------------------------------------------------------

constexpr uint32_t kSha1Init[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
constexpr uint32_t kSha1Round[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

void sha1_block(uint32_t (&state)[5], const BYTE* block) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = load_be32(block + 4 * t);
    for (int t = 16; t < 80; ++t) w[t] = rotl32(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f;
        switch (t / 20) {
        case 0: f = (b & c) | (~b & d); break;
        case 2: f = (b & c) | (b & d) | (c & d); break;
        default: f = b ^ c ^ d; break;
        }
        const uint32_t temp = rotl32(a, 5) + f + e + w[t] + kSha1Round[t / 20];
        e = d;
        d = c;
        c = rotl32(b, 30);
        b = a;
        a = temp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace

void append_le64(std::vector<BYTE>& bytes, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<BYTE>(value >> (8 * i)));
}

void append_be64(std::vector<BYTE>& bytes, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<BYTE>(value >> (56 - 8 * i)));
}

std::array<BYTE, kMd5DigestBytes> md5_digest(const BYTE* bytes, size_t length) {
    const std::vector<BYTE> message = padded<append_le64>(bytes, length);
    uint32_t state[4];
    std::memcpy(state, kMd5Init, sizeof state);
    for (size_t offset = 0; offset < message.size(); offset += kBlockBytes) md5_block(state, message.data() + offset);
    std::array<BYTE, kMd5DigestBytes> digest;
    for (int i = 0; i < 4; ++i) store_le32(digest.data() + 4 * i, state[i]);
    return digest;
}

std::array<BYTE, kSha1DigestBytes> sha1_digest(const BYTE* bytes, size_t length) {
    const std::vector<BYTE> message = padded<append_be64>(bytes, length);
    uint32_t state[5];
    std::memcpy(state, kSha1Init, sizeof state);
    for (size_t offset = 0; offset < message.size(); offset += kBlockBytes) sha1_block(state, message.data() + offset);
    std::array<BYTE, kSha1DigestBytes> digest;
    for (int i = 0; i < 5; ++i) store_be32(digest.data() + 4 * i, state[i]);
    return digest;
}

}  // namespace zul_compat
