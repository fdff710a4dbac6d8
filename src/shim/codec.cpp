#include "shim/codec.h"

#include <cstring>
#include <cwchar>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

constexpr wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr wchar_t kPad = L'=';
constexpr uint64_t kMaxDword = 0xFFFFFFFF;

// Values of decoded characters beside the 64 digits, in one 256-entry class table: every
// character above 255 is invalid, so the table decides every character in one look.
constexpr BYTE kPadding = 64;
constexpr BYTE kSpace = 65;    // dropped: space, tab, CR, LF
constexpr BYTE kEnd = 66;      // NUL: the text ends there
constexpr BYTE kInvalid = 0xFF;
constexpr BYTE kNotDigit = 0xC0;  // bits that every class but the 64 digits has

struct SextetTable {
    BYTE value[256];
    constexpr SextetTable() : value{} {
        for (BYTE& v : value) v = kInvalid;
        for (int i = 0; i < 64; ++i) value[static_cast<unsigned>(kAlphabet[i])] = static_cast<BYTE>(i);
        value[static_cast<unsigned>(kPad)] = kPadding;
        value[static_cast<unsigned>(L' ')] = kSpace;
        value[static_cast<unsigned>(L'\t')] = kSpace;
        value[static_cast<unsigned>(L'\r')] = kSpace;
        value[static_cast<unsigned>(L'\n')] = kSpace;
        value[0] = kEnd;
    }
};
constexpr SextetTable kSextets;

BYTE class_of(wchar_t c) {
    const auto u = static_cast<uint32_t>(c);
    return u < 256 ? kSextets.value[u] : kInvalid;
}

// Characters in the encoding of `count` bytes, the NUL not included.
uint64_t encoded_length(uint64_t count) { return (count + 2) / 3 * 4; }

void encode_scalar(const BYTE* bytes, size_t count, LPWSTR text) {
    size_t i = 0;
    for (; count - i >= 3; i += 3) {
        const uint32_t bits = uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
        text[0] = kAlphabet[bits >> 18];
        text[1] = kAlphabet[(bits >> 12) & 0x3F];
        text[2] = kAlphabet[(bits >> 6) & 0x3F];
        text[3] = kAlphabet[bits & 0x3F];
        text += 4;
    }
    if (count - i != 0) {
        const bool two = count - i == 2;
        const uint32_t bits = uint32_t{bytes[i]} << 16 | (two ? uint32_t{bytes[i + 1]} << 8 : 0);
        *text++ = kAlphabet[bits >> 18];
        *text++ = kAlphabet[(bits >> 12) & 0x3F];
        *text++ = two ? kAlphabet[(bits >> 6) & 0x3F] : kPad;
        *text++ = kPad;
    }
    *text = L'\0';
}

#if defined(__x86_64__)

#define VESK_CODEC_TARGET __attribute__((target("ssse3,sse4.1")))

// Twelve bytes to sixteen digits at a time: the bytes are spread so that each 32-bit lane
// holds one group of three, the four 6-bit fields are moved into place by two multiplies, and
// the fields become characters by adding the offset of their range of the alphabet. Reads 16
// bytes for every 12 it encodes, so it stops while 16 remain.
VESK_CODEC_TARGET size_t encode_vector(const BYTE* bytes, size_t count, LPWSTR text) {
    const __m128i spread = _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
    const __m128i offsets = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                          '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    size_t done = 0;
    for (; count - done >= 16; done += 12, text += 16) {
        // Fetched well ahead: a long text is read from memory, and the stride is short.
        __builtin_prefetch(bytes + done + 1536);
        __builtin_prefetch(text + 2048, 1);
        __m128i in = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + done)), spread);
        const __m128i high = _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
        const __m128i low = _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
        const __m128i fields = _mm_or_si128(high, low);
        // Range index: 0 for 0..25 (A-Z, offset at slot 13), 1 for 26..51, 2..11 for digits,
        // 12 and 13 for + and /.
        __m128i range = _mm_subs_epu8(fields, _mm_set1_epi8(51));
        range = _mm_or_si128(range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), fields), _mm_set1_epi8(13)));
        const __m128i digits = _mm_add_epi8(_mm_shuffle_epi8(offsets, range), fields);
        __m128i* out = reinterpret_cast<__m128i*>(text);
        _mm_storeu_si128(out, _mm_cvtepu8_epi32(digits));
        _mm_storeu_si128(out + 1, _mm_cvtepu8_epi32(_mm_srli_si128(digits, 4)));
        _mm_storeu_si128(out + 2, _mm_cvtepu8_epi32(_mm_srli_si128(digits, 8)));
        _mm_storeu_si128(out + 3, _mm_cvtepu8_epi32(_mm_srli_si128(digits, 12)));
    }
    return done;
}

// Sixteen characters to twelve bytes at a time. The characters are narrowed to bytes only
// when all sixteen are below 256 (a negative wchar_t or one past 255 is left to the portable
// loop); each byte's high nibble picks a bit set of the ranges it may be in and its low nibble
// another, so a byte outside every range of the alphabet (white space, padding, NUL or any
// other) shows as a common bit and the block is left to the portable loop as well. Writes 16
// bytes for the 12 it decodes, so the caller keeps 16 bytes of room.
VESK_CODEC_TARGET size_t decode_vector(const wchar_t* text, size_t count, BYTE* out, size_t room) {
    const __m128i lowBits = _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                          0x1B, 0x1B, 0x1B, 0x1A);
    const __m128i highBits = _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                           0x10, 0x10, 0x10, 0x10);
    // What to add to a character to get its value, by its high nibble ("/" moved to slot 1).
    const __m128i shifts = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i gather = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m128i above = _mm_set1_epi32(~0xFF);
    const __m128i nibble = _mm_set1_epi8(0x2F);
    size_t done = 0, written = 0;
    for (; count - done >= 16 && room - written >= 16; done += 16, written += 12) {
        __builtin_prefetch(text + done + 2048);
        const auto* in = reinterpret_cast<const __m128i*>(text + done);
        const __m128i w0 = _mm_loadu_si128(in), w1 = _mm_loadu_si128(in + 1), w2 = _mm_loadu_si128(in + 2),
                      w3 = _mm_loadu_si128(in + 3);
        const __m128i wide = _mm_and_si128(_mm_or_si128(_mm_or_si128(w0, w1), _mm_or_si128(w2, w3)), above);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(wide, _mm_setzero_si128())) != 0xFFFF) break;
        const __m128i chars = _mm_packus_epi16(_mm_packus_epi32(w0, w1), _mm_packus_epi32(w2, w3));
        const __m128i high = _mm_and_si128(_mm_srli_epi32(chars, 4), nibble);
        const __m128i low = _mm_and_si128(chars, nibble);
        const __m128i bad = _mm_and_si128(_mm_shuffle_epi8(lowBits, low), _mm_shuffle_epi8(highBits, high));
        if (_mm_movemask_epi8(_mm_cmpgt_epi8(bad, _mm_setzero_si128())) != 0) break;
        const __m128i slash = _mm_cmpeq_epi8(chars, _mm_set1_epi8('/'));
        const __m128i values = _mm_add_epi8(chars, _mm_shuffle_epi8(shifts, _mm_add_epi8(slash, high)));
        // Four 6-bit values to one 24-bit group per 32-bit lane, then the groups' bytes together.
        const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
        const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + written), _mm_shuffle_epi8(groups, gather));
    }
    return done;
}

bool has_vector_encoder() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    return (c & (1u << 9)) != 0 && (c & (1u << 19)) != 0;
}

#endif

}  // namespace

namespace zul_compat {

void base64_encode_portable(const BYTE* bytes, size_t count, LPWSTR text) { encode_scalar(bytes, count, text); }

bool base64_encode_vector(const BYTE* bytes, size_t count, LPWSTR text) {
#if defined(__x86_64__)
    static const bool has = has_vector_encoder();
    if (!has) return false;
    const size_t done = encode_vector(bytes, count, text);
    encode_scalar(bytes + done, count - done, text + done / 3 * 4);
    return true;
#else
    (void)bytes;
    (void)count;
    (void)text;
    return false;
#endif
}

size_t base64_decode_vector(const wchar_t* text, size_t count, BYTE* out, size_t room) {
#if defined(__x86_64__)
    static const bool has = has_vector_encoder();
    return has ? decode_vector(text, count, out, room) : 0;
#else
    (void)text;
    (void)count;
    (void)out;
    (void)room;
    return 0;
#endif
}

}  // namespace zul_compat

namespace {

// Writes the encoding and its NUL straight into text, which has room for both: nothing is
// built on the side, so encoding needs no memory beyond the caller's buffer.
void encode_into(const BYTE* bytes, size_t count, LPWSTR text) {
    if (!zul_compat::base64_encode_vector(bytes, count, text)) encode_scalar(bytes, count, text);
}

// One group of four digits (padding allowed in the last two places) into its bytes, written
// when they fit in `room`; false when the group is not Base64.
bool decode_group(const BYTE (&v)[4], BYTE* out, size_t room, size_t& produced) {
    if (v[0] >= kPadding || v[1] >= kPadding) return false;
    if (v[2] > kPadding || v[3] > kPadding) return false;
    // "x=" followed by a digit would drop the middle byte and keep the last one.
    if (v[2] == kPadding && v[3] != kPadding) return false;
    const uint32_t bits = uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 | uint32_t(v[2] == kPadding ? 0 : v[2]) << 6 |
                          uint32_t(v[3] == kPadding ? 0 : v[3]);
    const size_t n = v[2] == kPadding ? 1 : v[3] == kPadding ? 2 : 3;
    if (room - produced >= n && produced <= room) {
        out[produced] = static_cast<BYTE>(bits >> 16);
        if (n > 1) out[produced + 1] = static_cast<BYTE>(bits >> 8);
        if (n > 2) out[produced + 2] = static_cast<BYTE>(bits);
    }
    produced += n;
    return true;
}

// Decodes the text (at most `count` characters, up to a NUL) in one pass, writing the bytes
// into out while they fit in `room` (out may be null with room 0) and counting them all.
// False for text that is empty, not whole groups of four, or not Base64. Never reads past
// `count` characters.
bool decode(LPCWSTR text, size_t count, BYTE* out, size_t room, size_t& produced) {
    produced = 0;
    size_t i = 0;
    size_t groups = 0;
    const BYTE* table = kSextets.value;
    for (;;) {
        // Whole blocks of digits first, where the processor decodes them sixteen at a time.
        if (out != nullptr && produced <= room) {
            const size_t done = zul_compat::base64_decode_vector(text + i, count - i, out + produced, room - produced);
            i += done;
            produced += done / 4 * 3;
            groups += done / 4;
        }
        // Four digits in a row, the common case: no white space, no padding, no end, and room.
        while (count - i >= 4 && room - produced >= 3 && produced <= room) {
            const auto c0 = static_cast<uint32_t>(text[i]), c1 = static_cast<uint32_t>(text[i + 1]),
                       c2 = static_cast<uint32_t>(text[i + 2]), c3 = static_cast<uint32_t>(text[i + 3]);
            if ((c0 | c1 | c2 | c3) > 0xFF) break;
            __builtin_prefetch(text + i + 2048);
            const BYTE a = table[c0], b = table[c1], c = table[c2], d = table[c3];
            if (((a | b | c | d) & kNotDigit) != 0) break;
            const uint32_t bits = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | d;
            out[produced] = static_cast<BYTE>(bits >> 16);
            out[produced + 1] = static_cast<BYTE>(bits >> 8);
            out[produced + 2] = static_cast<BYTE>(bits);
            produced += 3;
            i += 4;
            ++groups;
        }
        // Otherwise the next four characters that count, skipping white space.
        BYTE v[4];
        int held = 0;
        for (; i < count && held < 4; ++i) {
            const BYTE k = class_of(text[i]);
            if (k == kEnd) {
                count = i;
                break;
            }
            if (k == kSpace) continue;
            if (k == kInvalid) return false;
            v[held++] = k;
        }
        if (held == 0) return groups != 0;
        if (held < 4 || !decode_group(v, out, room, produced)) return false;
        ++groups;
    }
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
    const DWORD given = *binaryCount;
    size_t produced = 0;
    // One pass checks the text and writes what fits in the buffer. After a refusal the count
    // is 0, or the size needed when the buffer is too small, and the buffer's content is
    // unspecified.
    if (!decode(text, count, binary, binary != nullptr ? given : 0, produced)) {
        *binaryCount = 0;
        return FALSE;
    }
    *binaryCount = static_cast<DWORD>(produced);
    return binary == nullptr || produced <= given ? TRUE : FALSE;
}
