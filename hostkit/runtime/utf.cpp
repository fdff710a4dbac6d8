// UTF-32 <-> UTF-8 for the library's file paths and for the host's own text handling.
// Ill-formed input (surrogates, values past U+10FFFF, bad UTF-8 sequences) becomes U+FFFD,
// one per maximal ill-formed subpart, so conversions never fail and never overrun.
#include <cstring>

#include "host/runtime.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_scalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

size_t utf8_length(char32_t c) {
    if (c < 0x80) return 1;
    if (c < 0x800) return 2;
    if (c < 0x10000) return 3;
    return 4;
}

void encode_utf8(char32_t c, char* out) {
    switch (utf8_length(c)) {
    case 1:
        out[0] = char(c);
        break;
    case 2:
        out[0] = char(0xC0 | (c >> 6));
        out[1] = char(0x80 | (c & 0x3F));
        break;
    case 3:
        out[0] = char(0xE0 | (c >> 12));
        out[1] = char(0x80 | ((c >> 6) & 0x3F));
        out[2] = char(0x80 | (c & 0x3F));
        break;
    default:
        out[0] = char(0xF0 | (c >> 18));
        out[1] = char(0x80 | ((c >> 12) & 0x3F));
        out[2] = char(0x80 | ((c >> 6) & 0x3F));
        out[3] = char(0x80 | (c & 0x3F));
        break;
    }
}

// Decodes one character at p (which is not at the NUL) and advances p past it. The
// accepted second-byte ranges exclude overlong forms, surrogates and values past U+10FFFF;
// a sequence cut short by an unexpected byte consumes only the bytes before that byte.
char32_t decode_utf8(const unsigned char*& p) {
    const unsigned char b0 = *p++;
    if (b0 < 0x80) return b0;
    int need;
    char32_t c;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        c = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        c = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return kReplacement;
    }
    for (int i = 0; i < need; ++i) {
        const unsigned char b = *p;
        if (b < lo || b > hi) return kReplacement;  // includes the terminating NUL
        c = (c << 6) | (b & 0x3F);
        ++p;
        lo = 0x80;
        hi = 0xBF;
    }
    return c;
}

// How many of the bytes from p up to end are ASCII in a row (end is the NUL or before it,
// so none is 0); with dst, they are also written there, one character each (dst has room for
// end - p). Sixteen at a time where the processor's vector registers allow: a block is widened
// whole and the run stops at its first byte from 0x80 up.
size_t ascii_run(const unsigned char* p, const unsigned char* end, wchar_t* dst) {
    const unsigned char* const start = p;
#if defined(__x86_64__)
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned high = unsigned(_mm_movemask_epi8(bytes));
        const size_t n = high != 0 ? size_t(__builtin_ctz(high)) : 16;
        if (dst != nullptr) {
            const __m128i low = _mm_unpacklo_epi8(bytes, zero), upper = _mm_unpackhi_epi8(bytes, zero);
            auto* out = reinterpret_cast<__m128i*>(dst + (p - start));
            _mm_storeu_si128(out, _mm_unpacklo_epi16(low, zero));
            _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(low, zero));
            _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(upper, zero));
            _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(upper, zero));
        }
        p += n;
        if (n != 16) return size_t(p - start);
    }
#endif
    for (; p != end && *p < 0x80; ++p) {
        if (dst != nullptr) dst[p - start] = static_cast<wchar_t>(*p);
    }
    return size_t(p - start);
}

}  // namespace

extern "C" size_t utf32_utf8(char* dst, size_t dst_bytes, const wchar_t* src) {
    size_t needed = 1;  // the terminating NUL
    size_t written = 0;
    bool room = dst != nullptr && dst_bytes > 0;
    if (src != nullptr) {
        for (const wchar_t* s = src; *s != 0; ++s) {
            // A run of ASCII, the common case: one byte each, in a loop of its own.
            if (room) {
                const wchar_t* const start = s;
                while (*s > 0 && *s < 0x80 && written + 1 < dst_bytes) dst[written++] = static_cast<char>(*s++);
                needed += static_cast<size_t>(s - start);
            } else {
                const wchar_t* const start = s;
                while (*s > 0 && *s < 0x80) ++s;
                needed += static_cast<size_t>(s - start);
            }
            if (*s == 0) break;
            char32_t c = static_cast<char32_t>(*s);
            if (!is_scalar(c)) c = kReplacement;
            const size_t n = utf8_length(c);
            needed += n;
            if (room && written + n < dst_bytes) {
                encode_utf8(c, dst + written);
                written += n;
            } else {
                room = false;  // never write a later, shorter character after a cut
            }
        }
    }
    if (dst != nullptr && dst_bytes > 0) dst[written] = '\0';
    return needed;
}

extern "C" size_t utf8_utf32(wchar_t* dst, size_t dst_chars, const char* src) {
    size_t count = 0;
    size_t written = 0;
    if (src != nullptr) {
        const auto* p = reinterpret_cast<const unsigned char*>(src);
        // The end found first, so that runs of ASCII go in blocks without reading past it.
        const unsigned char* const end = p + std::strlen(src);
        while (p != end) {
            if (*p < 0x80) {  // a run of ASCII: one character each
                const unsigned char* const start = p;
                if (dst != nullptr && written + 1 < dst_chars) {
                    const size_t room = dst_chars - written - 1;
                    const unsigned char* const stop = size_t(end - p) > room ? p + room : end;
                    const size_t n = ascii_run(p, stop, dst + written);
                    written += n;
                    p += n;
                }
                p += ascii_run(p, end, nullptr);  // what no longer fits is only counted
                count += static_cast<size_t>(p - start);
                continue;
            }
            const char32_t c = decode_utf8(p);
            if (dst != nullptr && written + 1 < dst_chars) dst[written++] = static_cast<wchar_t>(c);
            ++count;
        }
    }
    if (dst != nullptr && dst_chars > 0) dst[written] = 0;
    return count;
}
