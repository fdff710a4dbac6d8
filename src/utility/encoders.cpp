// Base64, URL and HTML encoding, numeric character references and trimming.
#include <cctype>
#include <cstring>
#include <cwchar>

#include "shim/codec.h"
#include "shim/safecrt.h"
#include "utility/utility_ops.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr DWORD kBase64OneLine = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;

// A zero-length byte array may have no data block; encoders still get a valid pointer.
constexpr BYTE kNoBytes[1] = {0};

// Where a vector loop stopped: what it read and where it wrote to. Returned, not written
// through references, so that the caller's loop keeps both in registers.
struct CWritten {
    size_t read;
    wchar_t* out;
};

#if defined(__x86_64__)
// What the processor offers the vector loops, asked once as the library loads.
const bool kHasSsse3 = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3") != 0);
const bool kHasAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
#endif

// Each character below 256 as it is written in HTML text: its entity, or itself. Entries are
// eight characters wide so that one fixed-size copy writes any of them; `length` says how
// many count. Characters from 256 up are written as they are.
struct HtmlTable {
    wchar_t text[256][8];
    BYTE length[256];
    constexpr HtmlTable() : text{}, length{} {
        for (unsigned c = 0; c < 256; ++c) {
            text[c][0] = static_cast<wchar_t>(c);
            length[c] = 1;
        }
        put('<', L"&lt;");
        put('>', L"&gt;");
        put('&', L"&amp;");
        put('"', L"&quot;");
    }
    constexpr void put(unsigned c, const wchar_t* entity) {
        BYTE n = 0;
        for (; entity[n] != L'\0'; ++n) text[c][n] = entity[n];
        length[c] = n;
    }
};
constexpr HtmlTable kHtml;

size_t html_length_of(wchar_t ch) {
    const auto u = static_cast<uint32_t>(ch);
    return u < 256 ? kHtml.length[u] : 1;
}

// Each byte as it is written in a URL: itself when unreserved, else "%" and two upper-case hex
// digits; four characters wide for one fixed-size copy.
struct UrlTable {
    wchar_t text[256][4];
    BYTE length[256];
    constexpr UrlTable() : text{}, length{} {
        constexpr wchar_t hex[] = L"0123456789ABCDEF";
        for (unsigned b = 0; b < 256; ++b) {
            const bool unreserved = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                                    b == '-' || b == '_' || b == '.' || b == '~';
            if (unreserved) {
                text[b][0] = static_cast<wchar_t>(b);
                length[b] = 1;
            } else {
                text[b][0] = L'%';
                text[b][1] = hex[b >> 4];
                text[b][2] = hex[b & 0x0F];
                length[b] = 3;
            }
        }
    }
};
constexpr UrlTable kUrl;

constexpr wchar_t kTrimSpaces[] = {L' ', L'\x3000', L'\t', L'\r', L'\n'};

bool is_trim_space(wchar_t ch) {
    for (wchar_t space : kTrimSpaces) {
        if (ch == space) return true;
    }
    return false;
}

constexpr wchar_t kReplacement = 0xFFFD;

// The character a numeric reference stands for. A value that is no Unicode scalar value
// (negative, a surrogate, past U+10FFFF, or too long for wcstol, which then gives its
// largest value) becomes U+FFFD rather than wrapping round: 2^32 + 60 must never pass a
// filter as "<". 0 is a scalar value and stays, ending the result there.
wchar_t scalar_or_replacement(long value) {
    if (value < 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return kReplacement;
    return static_cast<wchar_t>(value);
}

}  // namespace

// ---- Input and output forms ------------------------------------------------------------

HRESULT CInputBytes::Read(const VARIANT* input, long charset) {
    if (input == nullptr) return E_INVALIDARG;
    if (input->vt == VT_BSTR) {
        if (charset < 0) {
            m_pData = reinterpret_cast<const BYTE*>(input->bstrVal);
            m_nSize = SysStringByteLen(input->bstrVal);
            return S_OK;
        }
        const wchar_t* text = input->bstrVal ? input->bstrVal : L"";
        // ASCII up to the end or a NUL, the common case, is its own UTF-8: narrowed in one pass.
        const size_t length = SysStringLen(input->bstrVal);
        m_strUtf8.resize(length);
        size_t i = 0;
#if defined(__x86_64__)
        // Sixteen at a time (SSE2, which every x86-64 processor has) while all sixteen are
        // from 1 to 0x7F: they are packed to bytes whole.
        for (; length - i >= 16; i += 16) {
            const auto* in = reinterpret_cast<const __m128i*>(text + i);
            const __m128i c0 = _mm_loadu_si128(in), c1 = _mm_loadu_si128(in + 1), c2 = _mm_loadu_si128(in + 2),
                          c3 = _mm_loadu_si128(in + 3);
            const auto ascii = [](__m128i c) {
                return _mm_and_si128(_mm_cmpgt_epi32(c, _mm_setzero_si128()), _mm_cmplt_epi32(c, _mm_set1_epi32(0x80)));
            };
            const __m128i all = _mm_and_si128(_mm_and_si128(ascii(c0), ascii(c1)), _mm_and_si128(ascii(c2), ascii(c3)));
            if (_mm_movemask_epi8(all) != 0xFFFF) break;
            const __m128i narrow = _mm_packus_epi16(_mm_packs_epi32(c0, c1), _mm_packs_epi32(c2, c3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(m_strUtf8.data() + i), narrow);
        }
#endif
        for (; i < length; ++i) {
            const wchar_t c = text[i];
            if (c <= 0 || c >= 0x80) break;
            m_strUtf8[i] = static_cast<char>(c);
        }
        if (i == length || text[i] == L'\0') {
            m_strUtf8.resize(i);
            m_pData = reinterpret_cast<const BYTE*>(m_strUtf8.data());
            m_nSize = m_strUtf8.size();
            return S_OK;
        }
        const size_t needed = utf32_utf8(nullptr, 0, text);  // the NUL included
        if (needed == 0) return E_FAIL;
        m_strUtf8.resize(needed);
        utf32_utf8(m_strUtf8.data(), needed, text);
        m_strUtf8.resize(needed - 1);
        m_pData = reinterpret_cast<const BYTE*>(m_strUtf8.data());
        m_nSize = m_strUtf8.size();
        return S_OK;
    }
    if (input->vt == (VT_ARRAY | VT_UI1)) {
        const SAFEARRAY* psa = input->parray;
        // Every element counts: the product of all the dimensions, not the first one alone.
        size_t count = psa && psa->cDims != 0 ? 1 : 0;
        for (USHORT d = 0; psa && d < psa->cDims && count != 0; ++d) {
            const size_t elements = psa->rgsabound[d].cElements;
            if (elements != 0 && count > SIZE_MAX / elements) return E_INVALIDARG;  // no such array in memory
            count *= elements;
        }
        if (count == 0) {
            m_pData = kNoBytes;
            m_nSize = 0;
            return S_OK;
        }
        if (psa->cbElements != 1 || psa->pvData == nullptr) return E_INVALIDARG;
        m_pData = static_cast<const BYTE*>(psa->pvData);
        m_nSize = count;
        return S_OK;
    }
    return E_INVALIDARG;
}

HRESULT CUtilityOps::MakeDecodedResult(const std::string& bytes, long charset, VARIANT* decoded) {
    if (charset >= 0) {
        // The text ends at the first zero byte.
        const size_t chars = utf8_utf32(nullptr, 0, bytes.c_str());
        if (chars > kMaxBstrChars) return E_OUTOFMEMORY;
        BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(chars));
        if (text == nullptr) return E_OUTOFMEMORY;
        utf8_utf32(text, chars + 1, bytes.c_str());
        VariantInit(decoded);
        decoded->vt = VT_BSTR;
        decoded->bstrVal = text;
        return S_OK;
    }
    if (bytes.size() > 0xFFFFFFFFu) return E_OUTOFMEMORY;
    if (charset == -2) {
        SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        if (psa == nullptr) return E_FAIL;
        if (!bytes.empty()) std::memcpy(psa->pvData, bytes.data(), bytes.size());
        VariantInit(decoded);
        decoded->vt = VT_ARRAY | VT_UI1;
        decoded->parray = psa;
        return S_OK;
    }
    BSTR raw = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
    if (raw == nullptr) return E_OUTOFMEMORY;
    VariantInit(decoded);
    decoded->vt = VT_BSTR;
    decoded->bstrVal = raw;
    return S_OK;
}

// ---- Base64 ----------------------------------------------------------------------------

BOOL CUtilityOps::Base64Encode(const BYTE* bytes, size_t count, CComBSTR& text) {
    // Four characters per three bytes must fit a BSTR (and the codec's 32-bit counts).
    if (count / 3 > kMaxBstrChars / 4 - 1) return FALSE;
    const size_t length = (count + 2) / 3 * 4;
    // The string is allocated at its final size first, so a refusal comes before any work.
    CComBSTR out;
    out.Attach(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (!out) return FALSE;
    DWORD room = static_cast<DWORD>(length + 1);  // the NUL included
    if (!CryptBinaryToStringW(bytes, static_cast<DWORD>(count), kBase64OneLine, out.m_str, &room) ||
        room != length + 1) {
        return FALSE;
    }
    text = std::move(out);
    return TRUE;
}

BOOL CUtilityOps::Base64Decode(const wchar_t* text, size_t length, std::string& bytes) {
    if (length > 0xFFFFFFFFu) return FALSE;
    // Room for the most the text can give, so that one pass of the codec checks and decodes;
    // one byte more keeps the result terminated for the UTF-8 reading.
    bytes.assign(length / 4 * 3 + 1, '\0');
    DWORD written = static_cast<DWORD>(bytes.size() - 1);
    if (!CryptStringToBinaryW(text, static_cast<DWORD>(length), CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(bytes.data()), &written, nullptr, nullptr)) {
        return FALSE;
    }
    bytes.resize(written);
    return TRUE;
}

HRESULT CUtilityOps::Base64Encode(VARIANT* input, long charset, BSTR* encoded) {
    if (encoded == nullptr) return E_POINTER;
    CInputBytes in;
    const HRESULT hr = in.Read(input, charset);
    if (FAILED(hr)) return hr;
    CComBSTR text;
    if (!Base64Encode(in.data(), in.size(), text)) return E_FAIL;
    *encoded = text.Detach();
    return S_OK;
}

HRESULT CUtilityOps::Base64Decode(BSTR text, long charset, VARIANT* decoded) {
    if (decoded == nullptr) return E_POINTER;
    std::string bytes;
    if (!Base64Decode(text, SysStringLen(text), bytes)) return E_FAIL;
    return MakeDecodedResult(bytes, charset, decoded);
}

// ---- URL -------------------------------------------------------------------------------

bool CUtilityOps::URL_is_unreserved(BYTE byte) {
    // The ASCII letters and digits are letters and digits in every locale; a byte from 0x80 up
    // is whatever the C library's current locale says it is.
    if (byte < 0x80) return kUrl.length[byte] == 1;
    return std::isalnum(byte) != 0;
}

namespace {

// Whether every byte from 0x80 up is reserved in the current locale (so the table alone
// decides), as it is in the C locale. Asked once per call, and only when such a byte occurs.
bool high_bytes_reserved() {
    for (int b = 0x80; b < 0x100; ++b) {
        if (std::isalnum(b)) return false;
    }
    return true;
}

#if defined(__x86_64__)
// For sixteen bytes, 0xFF in each one the table leaves as it is (the ASCII letters and digits
// and "-_.~") and 0 in each one it reserves. Unsigned ranges are tested as
// min(x - low, span) == x - low.
inline __m128i url_unreserved(__m128i v) {
    const auto within = [](__m128i x, char low, char span) {
        const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8(low));
        return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(span)), d);
    };
    const __m128i digit = within(v, '0', 9);
    const __m128i letter = within(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 25);
    const __m128i marks = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('-')), _mm_cmpeq_epi8(v, _mm_set1_epi8('_'))),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('.')), _mm_cmpeq_epi8(v, _mm_set1_epi8('~'))));
    return _mm_or_si128(_mm_or_si128(digit, letter), marks);
}

// For each pattern of reserved bytes in a group of four (bit j for byte j), the shuffle that
// spreads the group into its encoding, reading from a register that holds the four bytes at
// 0..3, their high hex digits at 4..7, their low ones at 8..11 and "%" at 12; and the length.
struct UrlGroupTable {
    alignas(16) BYTE shuffle[16][16];
    BYTE length[16];
    constexpr UrlGroupTable() : shuffle{}, length{} {
        for (unsigned mask = 0; mask < 16; ++mask) {
            unsigned n = 0;
            for (unsigned j = 0; j < 4; ++j) {
                if ((mask >> j) & 1) {
                    shuffle[mask][n++] = 12;
                    shuffle[mask][n++] = static_cast<BYTE>(4 + j);
                    shuffle[mask][n++] = static_cast<BYTE>(8 + j);
                } else {
                    shuffle[mask][n++] = static_cast<BYTE>(j);
                }
            }
            length[mask] = static_cast<BYTE>(n);
            while (n < 16) shuffle[mask][n++] = 0x80;  // a zero byte
        }
    }
};
constexpr UrlGroupTable kUrlGroups;

// Encodes sixteen bytes at a time while room for sixteen escapes remains, without a branch on
// the bytes: each group of four is spread by one shuffle into at most twelve characters, all
// twelve are stored, and the output moves on by the group's length. Only for bytes the table
// alone decides; the rest is left to the table loop.
__attribute__((target("ssse3"))) CWritten url_encode_vector(const BYTE* bytes, size_t count, wchar_t* out,
                                                            const wchar_t* end) {
    const __m128i hex = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F');
    const __m128i nibble = _mm_set1_epi8(0x0F), percent = _mm_set1_epi32('%'), zero = _mm_setzero_si128();
    wchar_t* p = out;
    size_t i = 0;
    for (; count - i >= 16 && end - p >= 16 * 3; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        unsigned reserved = ~static_cast<unsigned>(_mm_movemask_epi8(url_unreserved(v)));
        __m128i high = _mm_shuffle_epi8(hex, _mm_and_si128(_mm_srli_epi16(v, 4), nibble));
        __m128i low = _mm_shuffle_epi8(hex, _mm_and_si128(v, nibble));
        for (int group = 0; group < 4; ++group) {
            const unsigned mask = reserved & 0xF;
            const __m128i source = _mm_unpacklo_epi64(_mm_unpacklo_epi32(v, high), _mm_unpacklo_epi32(low, percent));
            const __m128i spread =
                _mm_shuffle_epi8(source, _mm_load_si128(reinterpret_cast<const __m128i*>(kUrlGroups.shuffle[mask])));
            const __m128i first = _mm_unpacklo_epi8(spread, zero), second = _mm_unpackhi_epi8(spread, zero);
            auto* at = reinterpret_cast<__m128i*>(p);
            _mm_storeu_si128(at, _mm_unpacklo_epi16(first, zero));
            _mm_storeu_si128(at + 1, _mm_unpackhi_epi16(first, zero));
            _mm_storeu_si128(at + 2, _mm_unpacklo_epi16(second, zero));
            p += kUrlGroups.length[mask];
            v = _mm_srli_si128(v, 4);
            high = _mm_srli_si128(high, 4);
            low = _mm_srli_si128(low, 4);
            reserved >>= 4;
        }
    }
    return {i, p};
}
#endif

// The URL encoding's length, or false past the limit. tableOnly tells whether the table alone
// decides every byte: no byte from 0x80 up occurs, or the locale reserves them all.
bool url_measure(const BYTE* bytes, size_t count, size_t limit, size_t& length, bool& tableOnly) {
    if (count > limit) return false;  // every byte gives at least one character
    // Counted in blocks: no byte adds more than 3, so a block cannot carry the total far past
    // the limit, and no block reads past the count.
    constexpr size_t kBlock = 256;
    size_t total = 0;
    BYTE any = 0;
    for (size_t i = 0; i < count;) {
        const size_t end = count - i < kBlock ? count : i + kBlock;
#if defined(__x86_64__)
        // Sixteen at a time (SSE2): each reserved byte adds two to its one. The reserved ones
        // are counted as ones in each byte, summed by _mm_sad_epu8 into two 64-bit lanes.
        int high = 0;
        __m128i reserved = _mm_setzero_si128();
        const size_t first = i;
        for (; end - i >= 16; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
            const __m128i ones = _mm_andnot_si128(url_unreserved(v), _mm_set1_epi8(1));
            reserved = _mm_add_epi64(reserved, _mm_sad_epu8(ones, _mm_setzero_si128()));
            high |= _mm_movemask_epi8(v);
        }
        total += (i - first) + 2 * static_cast<size_t>(_mm_cvtsi128_si64(reserved) +
                                                       _mm_cvtsi128_si64(_mm_unpackhi_epi64(reserved, reserved)));
        if (high != 0) any |= 0x80;
#endif
        for (; i < end; ++i) {
            total += kUrl.length[bytes[i]];
            any |= bytes[i];
        }
        if (total > limit) return false;
    }
    tableOnly = (any & 0x80) == 0 || high_bytes_reserved();
    if (!tableOnly) {
        total = 0;
        for (size_t i = 0; i < count; ++i) {
            total += CUtilityOps::URL_is_unreserved(bytes[i]) ? 1 : 3;
            if (total > limit) return false;
        }
    }
    length = total;
    return true;
}

}  // namespace

bool CUtilityOps::URLEncodedLength(const BYTE* bytes, size_t count, size_t limit, size_t& length) {
    bool tableOnly = true;
    return url_measure(bytes, count, limit, length, tableOnly);
}

BOOL CUtilityOps::URLEncode(const BYTE* bytes, size_t count, CComBSTR& text) {
    size_t length = 0;
    bool tableOnly = true;
    if (!url_measure(bytes, count, kMaxBstrChars, length, tableOnly)) return FALSE;
    CComBSTR out;
    out.Attach(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (!out) return FALSE;
    wchar_t* p = out.m_str;
    wchar_t* const end = p + length;
    size_t i = 0;
    if (tableOnly) {
#if defined(__x86_64__)
        if (kHasSsse3) {
            const CWritten done = url_encode_vector(bytes, count, p, end);
            i = done.read;
            p = done.out;
        }
#endif
        // Every entry is copied whole and the pointer moves by its length: no branch per byte.
        // The last bytes, where a whole entry would not fit, go one by one below.
        for (; i < count && end - p >= 4; ++i) {
            const BYTE byte = bytes[i];
            std::memcpy(p, kUrl.text[byte], sizeof kUrl.text[byte]);
            p += kUrl.length[byte];
        }
    }
    for (; i < count; ++i) {
        const BYTE byte = bytes[i];
        if (URL_is_unreserved(byte)) {
            *p++ = byte;
        } else {
            *p++ = L'%';
            *p++ = kUrl.text[byte][1];
            *p++ = kUrl.text[byte][2];
        }
    }
    text = std::move(out);
    return TRUE;
}

int CUtilityOps::URLDecode(const wchar_t* text, size_t length, std::string& bytes) {
    bytes.clear();
    bytes.reserve(length);
    size_t i = 0;
    while (i < length) {
        // Characters are read by their low 8 bits only.
        const BYTE ch = static_cast<BYTE>(text[i] & 0xFF);
        if (ch != '%') {
            if (!URL_is_unreserved(ch)) return -1;
            bytes.push_back(static_cast<char>(ch));
            ++i;
            continue;
        }
        if (length - i < 3) return -2;
        // The pair is handed to the C library as its own terminated text, so the scan can
        // never run on into whatever follows it.
        const char pair[3] = {static_cast<char>(text[i + 1] & 0xFF), static_cast<char>(text[i + 2] & 0xFF), '\0'};
        unsigned int value = 0;
        if (sscanf_s(pair, "%x", &value) != 1) return -3;
        bytes.push_back(static_cast<char>(value & 0xFF));
        i += 3;
    }
    return 0;
}

HRESULT CUtilityOps::URLEncode(VARIANT* input, long charset, BSTR* encoded) {
    if (encoded == nullptr) return E_POINTER;
    CInputBytes in;
    const HRESULT hr = in.Read(input, charset);
    if (FAILED(hr)) return hr;
    CComBSTR text;
    if (!URLEncode(in.data(), in.size(), text)) return E_OUTOFMEMORY;
    *encoded = text.Detach();
    return S_OK;
}

HRESULT CUtilityOps::URLDecode(BSTR text, long charset, VARIANT* decoded) {
    if (decoded == nullptr) return E_POINTER;
    std::string bytes;
    if (URLDecode(text, SysStringLen(text), bytes) != 0) return E_FAIL;
    return MakeDecodedResult(bytes, charset, decoded);
}

// ---- HTML, references, trimming --------------------------------------------------------

#if defined(__x86_64__)
namespace {

inline size_t lanes_sum(__m128i v) {
    alignas(16) uint32_t lane[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lane), v);
    return size_t(lane[0]) + lane[1] + lane[2] + lane[3];
}

// HTML text is encoded eight characters at a time where the processor has AVX2 (elsewhere the
// table loops do it all).
#define VESK_HTML_WIDE __attribute__((target("avx2")))

VESK_HTML_WIDE inline __m256i html_specials_wide(__m256i v) {
    const __m256i lt = _mm256_cmpeq_epi32(v, _mm256_set1_epi32('<'));
    const __m256i gt = _mm256_cmpeq_epi32(v, _mm256_set1_epi32('>'));
    const __m256i amp = _mm256_cmpeq_epi32(v, _mm256_set1_epi32('&'));
    const __m256i quot = _mm256_cmpeq_epi32(v, _mm256_set1_epi32('"'));
    return _mm256_or_si256(_mm256_or_si256(lt, gt), _mm256_or_si256(amp, quot));
}

// What the first count / 8 * 8 characters add to their own count. No lane can overflow: a
// string holds fewer than 2^30 characters, and none adds more than 5.
VESK_HTML_WIDE size_t html_extra_wide(const wchar_t* text, size_t count) {
    __m256i extra = _mm256_setzero_si256();
    for (size_t i = 0; count - i >= 8; i += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
        const __m256i angle =
            _mm256_or_si256(_mm256_cmpeq_epi32(v, _mm256_set1_epi32('<')), _mm256_cmpeq_epi32(v, _mm256_set1_epi32('>')));
        const __m256i amp = _mm256_cmpeq_epi32(v, _mm256_set1_epi32('&'));
        const __m256i quot = _mm256_cmpeq_epi32(v, _mm256_set1_epi32('"'));
        extra = _mm256_add_epi32(extra, _mm256_or_si256(_mm256_and_si256(angle, _mm256_set1_epi32(3)),
                                                        _mm256_or_si256(_mm256_and_si256(amp, _mm256_set1_epi32(4)),
                                                                        _mm256_and_si256(quot, _mm256_set1_epi32(5)))));
    }
    return lanes_sum(_mm_add_epi32(_mm256_castsi256_si128(extra), _mm256_extracti128_si256(extra, 1)));
}

// Eight characters are stored whole, and then each escaped one in turn, from the first: its
// entity is copied whole over where it stands, and the characters after it are stored again,
// moved along by what the entity adds (a masked store, so the ones before stay). Room is
// kept for eight entities of six and a whole copy past the last.
VESK_HTML_WIDE CWritten html_write_wide(const wchar_t* text, size_t count, wchar_t* out, const wchar_t* end) {
    constexpr size_t kEntry = sizeof kHtml.text[0] / sizeof(wchar_t);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    size_t i = 0;
    for (; count - i >= 8 && static_cast<size_t>(end - out) >= 8 * 6 + kEntry; i += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
        auto special = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(html_specials_wide(v))));
        wchar_t* moved = out;  // where lane 0 would stand after the entities so far
        while (special != 0) {
            const int lane = __builtin_ctz(special);
            special &= special - 1;
            const auto u = static_cast<uint32_t>(text[i + static_cast<size_t>(lane)]);
            std::memcpy(moved + lane, kHtml.text[u], sizeof kHtml.text[u]);
            moved += kHtml.length[u] - 1;
            const __m256i after = _mm256_cmpgt_epi32(lanes, _mm256_set1_epi32(lane));
            _mm256_maskstore_epi32(reinterpret_cast<int*>(moved), after, v);
        }
        out = moved + 8;
    }
    return {i, out};
}

// Below this many characters the table loops alone are as fast: a short text has too few
// eights to pay for the vector loop's start.
constexpr size_t kWideFrom = 64;

}  // namespace
#endif

bool CUtilityOps::HTMLEncodedLength(const wchar_t* text, size_t count, size_t limit, size_t& length) {
    if (count > limit) return false;  // every character gives at least one
    // Counted in blocks, as the URL length is: no character adds more than 6.
    constexpr size_t kBlock = 256;
    size_t total = 0;
    size_t i = 0;
#if defined(__x86_64__)
    // The whole eights are counted before the limit is looked at: they cannot pass it by more
    // than six times their count, which no size overflows.
    if (kHasAvx2 && count >= kWideFrom) {
        const size_t whole = count & ~size_t(7);
        total = whole + html_extra_wide(text, whole);
        i = whole;
        if (total > limit) return false;
    }
#endif
    while (i < count) {
        const size_t end = count - i < kBlock ? count : i + kBlock;
        for (; i < end; ++i) total += html_length_of(text[i]);
        if (total > limit) return false;
    }
    length = total;
    return true;
}

HRESULT CUtilityOps::HTMLEncode(BSTR text, BSTR* encoded) {
    if (encoded == nullptr) return E_POINTER;
    const size_t count = SysStringLen(text);
    // Counted first and allocated once at the exact size: a text whose encoding no string
    // can hold is refused before anything is built.
    size_t length = 0;
    if (!HTMLEncodedLength(text, count, kMaxBstrChars, length)) return E_OUTOFMEMORY;
    // Nothing to escape: the text itself, copied in one go.
    BSTR result = SysAllocStringLen(length == count ? text : nullptr, static_cast<UINT>(length));
    if (result == nullptr) return E_OUTOFMEMORY;
    if (length != count) {
        wchar_t* out = result;
        wchar_t* const end = result + length;
        size_t i = 0;
        constexpr size_t kEntry = sizeof kHtml.text[0] / sizeof(wchar_t);
#if defined(__x86_64__)
        if (kHasAvx2 && count >= kWideFrom) {
            const CWritten done = html_write_wide(text, count, out, end);
            i = done.read;
            out = done.out;
        }
#endif
        // Every entry below 256 is copied whole and the pointer moves by its length; the last
        // characters, where a whole entry would not fit, go one by one below.
        for (; i < count && static_cast<size_t>(end - out) >= kEntry; ++i) {
            const auto u = static_cast<uint32_t>(text[i]);
            if (u < 256) {
                std::memcpy(out, kHtml.text[u], sizeof kHtml.text[u]);
                out += kHtml.length[u];
            } else {
                *out++ = text[i];
            }
        }
        for (; i < count; ++i) {
            const auto u = static_cast<uint32_t>(text[i]);
            const size_t n = u < 256 ? kHtml.length[u] : 1;
            if (u < 256) {
                std::wmemcpy(out, kHtml.text[u], n);
            } else {
                *out = text[i];
            }
            out += n;
        }
    }
    *encoded = result;
    return S_OK;
}

HRESULT CUtilityOps::SubmitDecode(BSTR text, BSTR* decoded) {
    if (decoded == nullptr) return E_POINTER;
    const wchar_t* source = text ? text : L"";
    const size_t length = std::wcslen(source);  // up to the first NUL
    std::wstring built;
    built.reserve(length);
    size_t p = 0;
    for (;;) {
        const wchar_t* start = std::wcsstr(source + p, L"&#");
        if (start == nullptr) break;
        const wchar_t* body = start + 2;
        const wchar_t* end = std::wcschr(body, L';');
        if (end == nullptr) break;
        built.append(source + p, static_cast<size_t>(start - (source + p)));
        // wcstol stops at the ";" at the latest: it is neither digit, sign nor white space.
        const long value = (body < end && *body == L'x') ? std::wcstol(body + 1, nullptr, 16)
                                                          : std::wcstol(body, nullptr, 10);
        built.push_back(scalar_or_replacement(value));
        p = static_cast<size_t>(end - source) + 1;
    }
    built.append(source + p, length - p);
    // The result ends at the first NUL, so a reference that reads as 0 ends it there.
    BSTR result = SysAllocString(built.c_str());
    if (result == nullptr) return E_OUTOFMEMORY;
    *decoded = result;
    return S_OK;
}

HRESULT CUtilityOps::Trim(BSTR text, BSTR* trimmed) {
    if (trimmed == nullptr) return E_POINTER;
    size_t begin = 0;
    size_t end = SysStringLen(text);
    while (begin < end && is_trim_space(text[begin])) ++begin;
    while (end > begin && is_trim_space(text[end - 1])) --end;
    if (begin == end) {
        *trimmed = nullptr;  // nothing left: the empty string
        return S_OK;
    }
    BSTR result = SysAllocStringLen(text + begin, static_cast<UINT>(end - begin));
    if (result == nullptr) return E_OUTOFMEMORY;
    *trimmed = result;
    return S_OK;
}
