#include "shim/digest.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#elif defined(__aarch64__) && (defined(__ARM_FEATURE_SHA2) || (defined(__GNUC__) && !defined(__clang__)))
// The SHA-1 instructions are an optional part of ARMv8: a build for the base architecture
// still compiles them into their one function (GCC enables them for it alone) and uses them
// only where the processor reports them.
#define VESK_ARM_SHA1 1
#include <arm_neon.h>
#if defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif
#endif

namespace zul_compat {
namespace {

constexpr size_t kBlockBytes = kDigestBlockBytes;
constexpr size_t kLengthFieldOffset = 56;  // where the 64-bit bit count starts in the last block
constexpr BYTE kPaddingMarker = 0x80;

uint32_t load_le32(const BYTE* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? v : __builtin_bswap32(v);
}

uint32_t load_be32(const BYTE* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? __builtin_bswap32(v) : v;
}

void store_le32(BYTE* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

void store_be32(BYTE* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (24 - 8 * i));
}

void put_le64(BYTE* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

void put_be64(BYTE* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<BYTE>(v >> (56 - 8 * i));
}

// ---- MD5 ----------------------------------------------------------------------------------

constexpr uint32_t kMd5Init[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

// One step: the message word and the sine constant are added off the chain of a, so only the
// round function, one addition, the rotation and the last addition wait on the previous step.
#define VESK_MD5_STEP(f, a, b, c, d, xk, t, s) \
    a += (xk) + (t) + f(b, c, d);              \
    a = rotl32(a, s) + b;

// F and G written so that their halves can be added in any order (no carries between them).
#define VESK_MD5_F(b, c, d) ((((c) ^ (d)) & (b)) ^ (d))
#define VESK_MD5_G(b, c, d) (((d) & (b)) + (~(d) & (c)))
#define VESK_MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define VESK_MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

void md5_compress(uint32_t* state, const BYTE* blocks, size_t count) {
    uint32_t a0 = state[0], b0 = state[1], c0 = state[2], d0 = state[3];
    for (; count != 0; --count, blocks += kBlockBytes) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = load_le32(blocks + 4 * i);
        uint32_t a = a0, b = b0, c = c0, d = d0;
        VESK_MD5_STEP(VESK_MD5_F, a, b, c, d, x[0], 0xd76aa478, 7)
        VESK_MD5_STEP(VESK_MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12)
        VESK_MD5_STEP(VESK_MD5_F, c, d, a, b, x[2], 0x242070db, 17)
        VESK_MD5_STEP(VESK_MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22)
        VESK_MD5_STEP(VESK_MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7)
        VESK_MD5_STEP(VESK_MD5_F, d, a, b, c, x[5], 0x4787c62a, 12)
        VESK_MD5_STEP(VESK_MD5_F, c, d, a, b, x[6], 0xa8304613, 17)
        VESK_MD5_STEP(VESK_MD5_F, b, c, d, a, x[7], 0xfd469501, 22)
        VESK_MD5_STEP(VESK_MD5_F, a, b, c, d, x[8], 0x698098d8, 7)
        VESK_MD5_STEP(VESK_MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12)
        VESK_MD5_STEP(VESK_MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17)
        VESK_MD5_STEP(VESK_MD5_F, b, c, d, a, x[11], 0x895cd7be, 22)
        VESK_MD5_STEP(VESK_MD5_F, a, b, c, d, x[12], 0x6b901122, 7)
        VESK_MD5_STEP(VESK_MD5_F, d, a, b, c, x[13], 0xfd987193, 12)
        VESK_MD5_STEP(VESK_MD5_F, c, d, a, b, x[14], 0xa679438e, 17)
        VESK_MD5_STEP(VESK_MD5_F, b, c, d, a, x[15], 0x49b40821, 22)

        VESK_MD5_STEP(VESK_MD5_G, a, b, c, d, x[1], 0xf61e2562, 5)
        VESK_MD5_STEP(VESK_MD5_G, d, a, b, c, x[6], 0xc040b340, 9)
        VESK_MD5_STEP(VESK_MD5_G, c, d, a, b, x[11], 0x265e5a51, 14)
        VESK_MD5_STEP(VESK_MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20)
        VESK_MD5_STEP(VESK_MD5_G, a, b, c, d, x[5], 0xd62f105d, 5)
        VESK_MD5_STEP(VESK_MD5_G, d, a, b, c, x[10], 0x02441453, 9)
        VESK_MD5_STEP(VESK_MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14)
        VESK_MD5_STEP(VESK_MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20)
        VESK_MD5_STEP(VESK_MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5)
        VESK_MD5_STEP(VESK_MD5_G, d, a, b, c, x[14], 0xc33707d6, 9)
        VESK_MD5_STEP(VESK_MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14)
        VESK_MD5_STEP(VESK_MD5_G, b, c, d, a, x[8], 0x455a14ed, 20)
        VESK_MD5_STEP(VESK_MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5)
        VESK_MD5_STEP(VESK_MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9)
        VESK_MD5_STEP(VESK_MD5_G, c, d, a, b, x[7], 0x676f02d9, 14)
        VESK_MD5_STEP(VESK_MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20)

        VESK_MD5_STEP(VESK_MD5_H, a, b, c, d, x[5], 0xfffa3942, 4)
        VESK_MD5_STEP(VESK_MD5_H, d, a, b, c, x[8], 0x8771f681, 11)
        VESK_MD5_STEP(VESK_MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16)
        VESK_MD5_STEP(VESK_MD5_H, b, c, d, a, x[14], 0xfde5380c, 23)
        VESK_MD5_STEP(VESK_MD5_H, a, b, c, d, x[1], 0xa4beea44, 4)
        VESK_MD5_STEP(VESK_MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11)
        VESK_MD5_STEP(VESK_MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16)
        VESK_MD5_STEP(VESK_MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23)
        VESK_MD5_STEP(VESK_MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4)
        VESK_MD5_STEP(VESK_MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11)
        VESK_MD5_STEP(VESK_MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16)
        VESK_MD5_STEP(VESK_MD5_H, b, c, d, a, x[6], 0x04881d05, 23)
        VESK_MD5_STEP(VESK_MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4)
        VESK_MD5_STEP(VESK_MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11)
        VESK_MD5_STEP(VESK_MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16)
        VESK_MD5_STEP(VESK_MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23)

        VESK_MD5_STEP(VESK_MD5_I, a, b, c, d, x[0], 0xf4292244, 6)
        VESK_MD5_STEP(VESK_MD5_I, d, a, b, c, x[7], 0x432aff97, 10)
        VESK_MD5_STEP(VESK_MD5_I, c, d, a, b, x[14], 0xab9423a7, 15)
        VESK_MD5_STEP(VESK_MD5_I, b, c, d, a, x[5], 0xfc93a039, 21)
        VESK_MD5_STEP(VESK_MD5_I, a, b, c, d, x[12], 0x655b59c3, 6)
        VESK_MD5_STEP(VESK_MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10)
        VESK_MD5_STEP(VESK_MD5_I, c, d, a, b, x[10], 0xffeff47d, 15)
        VESK_MD5_STEP(VESK_MD5_I, b, c, d, a, x[1], 0x85845dd1, 21)
        VESK_MD5_STEP(VESK_MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6)
        VESK_MD5_STEP(VESK_MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10)
        VESK_MD5_STEP(VESK_MD5_I, c, d, a, b, x[6], 0xa3014314, 15)
        VESK_MD5_STEP(VESK_MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21)
        VESK_MD5_STEP(VESK_MD5_I, a, b, c, d, x[4], 0xf7537e82, 6)
        VESK_MD5_STEP(VESK_MD5_I, d, a, b, c, x[11], 0xbd3af235, 10)
        VESK_MD5_STEP(VESK_MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15)
        VESK_MD5_STEP(VESK_MD5_I, b, c, d, a, x[9], 0xeb86d391, 21)
        a0 += a;
        b0 += b;
        c0 += c;
        d0 += d;
    }
    state[0] = a0;
    state[1] = b0;
    state[2] = c0;
    state[3] = d0;
}

#undef VESK_MD5_STEP
#undef VESK_MD5_F
#undef VESK_MD5_G
#undef VESK_MD5_H
#undef VESK_MD5_I

// ---- SHA-1 --------------------------------------------------------------------------------

constexpr uint32_t kSha1Init[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
constexpr uint32_t kSha1Round[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

// Twenty rounds of one kind; the schedule is a rolling window of 16 words.
template <int Kind>
inline void sha1_rounds(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t (&w)[16]) {
#pragma GCC unroll 20
    for (int i = 0; i < 20; ++i) {
        const int t = Kind * 20 + i;
        uint32_t word;
        if (t < 16) {
            word = w[t];
        } else {
            word = rotl32(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
            w[t & 15] = word;
        }
        uint32_t f;
        if constexpr (Kind == 0) f = d ^ (b & (c ^ d));
        else if constexpr (Kind == 2) f = (b & c) | (d & (b | c));
        else f = b ^ c ^ d;
        const uint32_t temp = rotl32(a, 5) + f + e + word + kSha1Round[Kind];
        e = d;
        d = c;
        c = rotl32(b, 30);
        b = a;
        a = temp;
    }
}

void sha1_compress_c(uint32_t (&state)[5], const BYTE* blocks, size_t count) {
    for (; count != 0; --count, blocks += kBlockBytes) {
        uint32_t w[16];
        for (int t = 0; t < 16; ++t) w[t] = load_be32(blocks + 4 * t);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        sha1_rounds<0>(a, b, c, d, e, w);
        sha1_rounds<1>(a, b, c, d, e, w);
        sha1_rounds<2>(a, b, c, d, e, w);
        sha1_rounds<3>(a, b, c, d, e, w);
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

#if defined(__x86_64__)

#define VESK_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Five groups of four rounds of one kind with the x86-64 SHA extensions. Group g takes message
// words 4g..4g+3 (the schedule is a window of four vectors); its E comes from the A that
// entered group g-1, rotated (sha1nexte).
template <int Kind>
VESK_SHA_TARGET inline void sha1_x86_groups(__m128i& abcd, __m128i& abcdBefore, __m128i (&w)[4], __m128i e0) {
#pragma GCC unroll 5
    for (int k = 0; k < 5; ++k) {
        const int g = Kind * 5 + k;
        if (g >= 4) {
            w[g & 3] = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(w[g & 3], w[(g + 1) & 3]), w[(g + 2) & 3]),
                                          w[(g + 3) & 3]);
        }
        const __m128i we = g == 0 ? _mm_add_epi32(e0, w[0]) : _mm_sha1nexte_epu32(abcdBefore, w[g & 3]);
        abcdBefore = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, Kind);
    }
}

VESK_SHA_TARGET void sha1_compress_x86(uint32_t (&state)[5], const BYTE* blocks, size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    for (; count != 0; --count, blocks += kBlockBytes) {
        const __m128i abcdSaved = abcd;
        __m128i w[4];
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), byteSwap);
        __m128i abcdBefore = abcd;
        sha1_x86_groups<0>(abcd, abcdBefore, w, e0);
        sha1_x86_groups<1>(abcd, abcdBefore, w, e0);
        sha1_x86_groups<2>(abcd, abcdBefore, w, e0);
        sha1_x86_groups<3>(abcd, abcdBefore, w, e0);
        e0 = _mm_sha1nexte_epu32(abcdBefore, e0);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

bool detect_sha_instructions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29)) != 0;
}

#define VESK_SHA1_INSTRUCTIONS sha1_compress_x86

#elif defined(VESK_ARM_SHA1)

// The ARMv8 SHA-1 instructions, four rounds per instruction; vsha1h gives the rotated A that
// is the next group's E.
#if !defined(__ARM_FEATURE_SHA2)
__attribute__((target("+crypto")))
#endif
void sha1_compress_arm(uint32_t (&state)[5], const BYTE* blocks, size_t count) {
    uint32x4_t abcd = vld1q_u32(state);
    uint32_t e0 = state[4];
    const uint32x4_t k[4] = {vdupq_n_u32(kSha1Round[0]), vdupq_n_u32(kSha1Round[1]), vdupq_n_u32(kSha1Round[2]),
                             vdupq_n_u32(kSha1Round[3])};
    for (; count != 0; --count, blocks += kBlockBytes) {
        const uint32x4_t abcdSaved = abcd;
        const uint32_t eSaved = e0;
        uint32x4_t w[4];
        for (int i = 0; i < 4; ++i) w[i] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(blocks + 16 * i)));
        uint32_t e = e0;
        for (int g = 0; g < 20; ++g) {
            if (g >= 4) w[g & 3] = vsha1su1q_u32(vsha1su0q_u32(w[g & 3], w[(g + 1) & 3], w[(g + 2) & 3]), w[(g + 3) & 3]);
            const uint32x4_t wk = vaddq_u32(w[g & 3], k[g / 5]);
            const uint32_t eNext = vsha1h_u32(vgetq_lane_u32(abcd, 0));
            if (g < 5) abcd = vsha1cq_u32(abcd, e, wk);
            else if (g < 10 || g >= 15) abcd = vsha1pq_u32(abcd, e, wk);
            else abcd = vsha1mq_u32(abcd, e, wk);
            e = eNext;
        }
        e0 = e + eSaved;
        abcd = vaddq_u32(abcd, abcdSaved);
    }
    vst1q_u32(state, abcd);
    state[4] = e0;
}

bool detect_sha_instructions() {
#if defined(__linux__)
    return (getauxval(AT_HWCAP) & HWCAP_SHA1) != 0;
#else
    return true;  // built for a processor that has them
#endif
}

#define VESK_SHA1_INSTRUCTIONS sha1_compress_arm

#else

bool detect_sha_instructions() { return false; }

#endif

using Sha1Compress = void (*)(uint32_t (&)[5], const BYTE*, size_t);

// Chosen once, at the first digest.
Sha1Compress sha1_compressor() {
#if defined(VESK_SHA1_INSTRUCTIONS)
    static const Sha1Compress chosen = sha1_has_instructions() ? VESK_SHA1_INSTRUCTIONS : sha1_compress_c;
    return chosen;
#else
    return sha1_compress_c;
#endif
}

void md5_blocks(uint32_t* state, const BYTE* blocks, size_t count) { md5_compress(state, blocks, count); }
void sha1_blocks(uint32_t* state, const BYTE* blocks, size_t count) {
    sha1_compressor()(*reinterpret_cast<uint32_t(*)[5]>(state), blocks, count);
}

// ---- Running contexts ---------------------------------------------------------------------

using Blocks = void (*)(uint32_t*, const BYTE*, size_t);

template <Blocks Compress>
void add(DigestContext& context, const BYTE* bytes, size_t length) {
    if (length == 0) return;
    size_t held = static_cast<size_t>(context.length % kBlockBytes);
    context.length += length;
    if (held != 0) {
        const size_t take = length < kBlockBytes - held ? length : kBlockBytes - held;
        std::memcpy(context.tail + held, bytes, take);
        held += take;
        bytes += take;
        length -= take;
        if (held < kBlockBytes) return;
        Compress(context.state, context.tail, 1);
    }
    const size_t whole = length / kBlockBytes;
    if (whole != 0) Compress(context.state, bytes, whole);
    const size_t rest = length % kBlockBytes;
    if (rest != 0) std::memcpy(context.tail, bytes + whole * kBlockBytes, rest);
}

// The message's end: 0x80, zeros up to 56 modulo 64, then the length in bits, compressed into a
// copy of the state, so the context can go on.
template <Blocks Compress, bool BigEndian>
void finish(const DigestContext& context, uint32_t* state) {
    BYTE last[2 * kBlockBytes] = {};
    const size_t held = static_cast<size_t>(context.length % kBlockBytes);
    std::memcpy(last, context.tail, held);
    last[held] = kPaddingMarker;
    const size_t blocks = held < kLengthFieldOffset ? 1 : 2;
    BYTE* field = last + blocks * kBlockBytes - 8;
    if constexpr (BigEndian) put_be64(field, context.length * 8);
    else put_le64(field, context.length * 8);
    std::memcpy(state, context.state, sizeof context.state);
    Compress(state, last, blocks);
}

}  // namespace

void append_le64(std::vector<BYTE>& bytes, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<BYTE>(value >> (8 * i)));
}

void append_be64(std::vector<BYTE>& bytes, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<BYTE>(value >> (56 - 8 * i)));
}

void md5_start(DigestContext& context) {
    std::memset(&context, 0, sizeof context);
    std::memcpy(context.state, kMd5Init, sizeof kMd5Init);
}

void md5_add(DigestContext& context, const BYTE* bytes, size_t length) { add<md5_blocks>(context, bytes, length); }

std::array<BYTE, kMd5DigestBytes> md5_value(const DigestContext& context) {
    uint32_t state[5];
    finish<md5_blocks, false>(context, state);
    std::array<BYTE, kMd5DigestBytes> digest;
    for (int i = 0; i < 4; ++i) store_le32(digest.data() + 4 * i, state[i]);
    return digest;
}

void sha1_start(DigestContext& context) {
    std::memset(&context, 0, sizeof context);
    std::memcpy(context.state, kSha1Init, sizeof kSha1Init);
}

void sha1_add(DigestContext& context, const BYTE* bytes, size_t length) { add<sha1_blocks>(context, bytes, length); }

std::array<BYTE, kSha1DigestBytes> sha1_value(const DigestContext& context) {
    uint32_t state[5];
    finish<sha1_blocks, true>(context, state);
    std::array<BYTE, kSha1DigestBytes> digest;
    for (int i = 0; i < 5; ++i) store_be32(digest.data() + 4 * i, state[i]);
    return digest;
}

std::array<BYTE, kMd5DigestBytes> md5_digest(const BYTE* bytes, size_t length) {
    DigestContext context;
    md5_start(context);
    md5_add(context, bytes, length);
    return md5_value(context);
}

std::array<BYTE, kSha1DigestBytes> sha1_digest(const BYTE* bytes, size_t length) {
    DigestContext context;
    sha1_start(context);
    sha1_add(context, bytes, length);
    return sha1_value(context);
}

void sha1_compress_portable(uint32_t (&state)[5], const BYTE* blocks, size_t count) {
    sha1_compress_c(state, blocks, count);
}

bool sha1_compress_instructions(uint32_t (&state)[5], const BYTE* blocks, size_t count) {
#if defined(VESK_SHA1_INSTRUCTIONS)
    if (!sha1_has_instructions()) return false;
    VESK_SHA1_INSTRUCTIONS(state, blocks, count);
    return true;
#else
    (void)state;
    (void)blocks;
    (void)count;
    return false;
#endif
}

bool sha1_has_instructions() {
    static const bool has = detect_sha_instructions();
    return has;
}

}  // namespace zul_compat
