#include "hostkit/components/text_codec.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

namespace veskhost {

namespace {

// What each charset name means on this host. The names are the ones scripts pass as a
// stream's Charset; the iconv names are glibc's. "unicode" is the stream's default and its
// bytes are little-endian UTF-16 that start with a byte order mark. The Japanese names map
// to the Windows variants of the encodings (backslash and tilde stay ASCII), which is what
// pages written for this platform expect.
struct CharsetFamily {
    const char* iconvName;
    std::string_view signature;  // U+FEFF in the charset; "" for non-Unicode charsets
    bool writesBom;              // text written at the start of a stream begins with it
    size_t unit;
};

constexpr CharsetFamily kFamilies[] = {
    {"UTF-16LE", std::string_view("\xFF\xFE", 2), true, 2},              // 0 unicode
    {"UTF-16BE", std::string_view("\xFE\xFF", 2), true, 2},              // 1 unicodeFFFE
    {"UTF-16LE", std::string_view("\xFF\xFE", 2), false, 2},             // 2 utf-16le
    {"UTF-16BE", std::string_view("\xFE\xFF", 2), false, 2},             // 3 utf-16be
    {"UTF-8", std::string_view("\xEF\xBB\xBF", 3), true, 1},             // 4 utf-8
    {"UTF-32LE", std::string_view("\xFF\xFE\x00\x00", 4), true, 4},      // 5 utf-32
    {"UTF-32LE", std::string_view("\xFF\xFE\x00\x00", 4), false, 4},     // 6 utf-32le
    {"UTF-32BE", std::string_view("\x00\x00\xFE\xFF", 4), false, 4},     // 7 utf-32be
    {"CP932", {}, false, 1},                                             // 8 shift_jis
    {"EUC-JP-MS", {}, false, 1},                                         // 9 euc-jp
    {"ISO-8859-1", {}, false, 1},                                        // 10
    {"WINDOWS-1252", {}, false, 1},                                      // 11
    {"ASCII", {}, false, 1},                                             // 12
};

struct CharsetAlias {
    const char* name;  // lower case
    int family;
};

constexpr CharsetAlias kAliases[] = {
    {"unicode", 0}, {"utf-16", 0}, {"ucs-2", 0}, {"iso-10646-ucs-2", 0}, {"csunicode", 0},
    {"unicodefffe", 1},
    {"utf-16le", 2},
    {"utf-16be", 3},
    {"utf-8", 4}, {"utf8", 4}, {"unicode-1-1-utf-8", 4}, {"unicode-2-0-utf-8", 4}, {"x-unicode20utf8", 4},
    {"utf-32", 5},
    {"utf-32le", 6},
    {"utf-32be", 7},
    {"shift_jis", 8}, {"shift-jis", 8}, {"sjis", 8}, {"x-sjis", 8}, {"ms_kanji", 8}, {"csshiftjis", 8},
    {"cp932", 8}, {"windows-31j", 8}, {"x-ms-cp932", 8},
    {"euc-jp", 9}, {"x-euc-jp", 9}, {"x-euc", 9}, {"cseucpkdfmtjapanese", 9},
    {"iso-8859-1", 10}, {"iso8859-1", 10}, {"iso_8859-1", 10}, {"latin1", 10}, {"l1", 10},
    {"cp819", 10}, {"ibm819", 10}, {"iso-ir-100", 10}, {"csisolatin1", 10},
    {"windows-1252", 11}, {"cp1252", 11}, {"x-ansi", 11},
    {"us-ascii", 12}, {"ascii", 12}, {"us", 12}, {"ansi_x3.4-1968", 12}, {"iso646-us", 12},
    {"cp367", 12}, {"ibm367", 12}, {"csascii", 12},
};

constexpr const char* kTextSide = "WCHAR_T";
constexpr wchar_t kReplacement = 0xFFFD;
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// The name in lower-case ASCII, or "" when it holds anything a charset name cannot.
std::string NormaliseName(std::wstring_view name) {
    std::string out;
    if (name.size() > 64) return out;
    for (wchar_t c : name) {
        const bool ok = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                        c == L'-' || c == L'_' || c == L'.' || c == L':';
        if (!ok) return std::string();
        out.push_back(char(c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c));
    }
    return out;
}

bool IsScalar(uint32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

// Runs the whole text through cd, growing out as needed. Returns false at the first
// character the charset cannot hold, leaving in/inLeft on it.
bool ConvertUntilStuck(iconv_t cd, char*& in, size_t& inLeft, std::string& out) {
    while (inLeft > 0) {
        const size_t used = out.size();
        const size_t room = inLeft + 16;
        out.resize(used + room);
        char* dst = out.data() + used;
        size_t dstLeft = room;
        const size_t rc = iconv(cd, &in, &inLeft, &dst, &dstLeft);
        out.resize(used + (room - dstLeft));
        if (rc != size_t(-1)) return true;
        if (errno == E2BIG) continue;
        return false;  // EILSEQ or EINVAL: the character at `in` cannot be written
    }
    return true;
}

}  // namespace

struct CTextCodec::Converters {
    iconv_t toBytes = kNoConverter;
    iconv_t toText = kNoConverter;

    Converters() = default;
    Converters(const Converters&) = delete;
    Converters& operator=(const Converters&) = delete;
    ~Converters() {
        if (toBytes != kNoConverter) iconv_close(toBytes);
        if (toText != kNoConverter) iconv_close(toText);
    }
};

CTextCodec::CTextCodec(std::unique_ptr<Converters> converters, std::string bom, size_t unit)
    : m_pConverters(std::move(converters)), m_strBom(std::move(bom)), m_nUnit(unit) {}

CTextCodec::~CTextCodec() = default;

std::unique_ptr<CTextCodec> CTextCodec::Create(std::wstring_view name) {
    const std::string key = NormaliseName(name);
    if (key.empty()) return nullptr;

    const CharsetFamily* family = nullptr;
    for (const CharsetAlias& alias : kAliases) {
        if (key == alias.name) family = &kFamilies[alias.family];
    }
    const char* iconvName = family ? family->iconvName : key.c_str();
    auto converters = std::make_unique<Converters>();
    converters->toBytes = iconv_open(iconvName, kTextSide);
    if (converters->toBytes == kNoConverter) return nullptr;
    converters->toText = iconv_open(kTextSide, iconvName);
    if (converters->toText == kNoConverter) return nullptr;
    std::unique_ptr<CTextCodec> codec(new CTextCodec(
        std::move(converters), family && family->writesBom ? std::string(family->signature) : std::string(),
        family ? family->unit : 1));
    if (family) codec->m_strSignature = std::string(family->signature);

    std::string probe;
    codec->Encode(L"?", 1, probe);
    if (probe.empty()) return nullptr;
    if (!family) {
        // Any other charset glibc knows is accepted when it writes ASCII as ASCII: line
        // separators are then single bytes, and a charset that adds its own byte order
        // mark to every piece (or is not byte-oriented) is refused as unknown.
        std::string ascii;
        codec->Encode(L"A\r\n?", 4, ascii);
        if (ascii != "A\r\n?") return nullptr;
    }
    // Whatever name it goes by, a charset that writes these as UTF-8 does is UTF-8, and is
    // decoded here: iconv's decoder reads five- and six-byte forms and values past U+10FFFF.
    std::string utf8;
    codec->Encode(L"\u00E9\U0010FFFF", 2, utf8);
    codec->m_bUtf8 = utf8 == "\xC3\xA9\xF4\x8F\xBF\xBF";
    return codec;
}

void CTextCodec::EncodeRun(const wchar_t* text, size_t count, std::string& out) {
    char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text));
    size_t inLeft = count * sizeof(wchar_t);
    while (!ConvertUntilStuck(m_pConverters->toBytes, in, inLeft, out)) {
        if (inLeft < sizeof(wchar_t)) break;
        WriteQuestionMark(out);
        in += sizeof(wchar_t);
        inLeft -= sizeof(wchar_t);
    }
}

void CTextCodec::WriteQuestionMark(std::string& out) {
    wchar_t question = L'?';
    char* in = reinterpret_cast<char*>(&question);
    size_t inLeft = sizeof question;
    ConvertUntilStuck(m_pConverters->toBytes, in, inLeft, out);  // a charset without '?' is refused when created
}

void CTextCodec::Encode(const wchar_t* text, size_t count, std::string& out) {
    iconv(m_pConverters->toBytes, nullptr, nullptr, nullptr, nullptr);
    out.reserve(out.size() + count * m_nUnit + 8);
    // iconv writes values past U+10FFFF as five- and six-byte UTF-8, so what is not a scalar
    // value never reaches it. The '?' for it goes through the converter as well: in a
    // shifting charset its bytes are only a '?' once the converter has shifted back.
    for (size_t at = 0; at < count;) {
        size_t end = at;
        while (end < count && IsScalar(uint32_t(text[end]))) ++end;
        EncodeRun(text + at, end - at, out);
        if (end < count) {
            WriteQuestionMark(out);
            ++end;
        }
        at = end;
    }
    // Return a shifting charset to its initial state at the end of the piece.
    char flush[16];
    char* dst = flush;
    size_t dstLeft = sizeof flush;
    if (iconv(m_pConverters->toBytes, nullptr, nullptr, &dst, &dstLeft) != size_t(-1))
        out.append(flush, sizeof flush - dstLeft);
}

void CTextCodec::ResetDecoder() { iconv(m_pConverters->toText, nullptr, nullptr, nullptr, nullptr); }

size_t CTextCodec::Decode(const uint8_t* bytes, size_t size, size_t maxChars, std::wstring& out) {
    // Characters hardly ever outnumber code units, so this is nearly always all the room.
    out.reserve(out.size() + std::min(maxChars, size / m_nUnit + 1));
    return m_bUtf8 ? DecodeUtf8(bytes, size, maxChars, out) : DecodeConverted(bytes, size, maxChars, out);
}

// One U+FFFD per maximal ill-formed subpart: a lead byte that cannot start a sequence, or
// the longest start of a well-formed sequence that an unexpected byte (or the end) cuts
// short, which then does not swallow that byte. The accepted second-byte ranges leave out
// overlong forms, surrogates and values past U+10FFFF.
size_t CTextCodec::DecodeUtf8(const uint8_t* bytes, size_t size, size_t maxChars, std::wstring& out) {
    size_t at = 0;
    for (size_t produced = 0; at < size && produced < maxChars; ++produced) {
        const uint8_t lead = bytes[at++];
        if (lead < 0x80) {
            out.push_back(wchar_t(lead));
            continue;
        }
        size_t need = 0;
        uint32_t c = kReplacement;
        uint8_t lo = 0x80, hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            c = lead & 0x0F;
            if (lead == 0xE0) lo = 0xA0;
            if (lead == 0xED) hi = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            c = lead & 0x07;
            if (lead == 0xF0) lo = 0x90;
            if (lead == 0xF4) hi = 0x8F;
        }
        for (; need > 0; --need) {
            if (at == size || bytes[at] < lo || bytes[at] > hi) {
                c = kReplacement;
                break;
            }
            c = (c << 6) | (bytes[at++] & 0x3F);
            lo = 0x80;
            hi = 0xBF;
        }
        out.push_back(wchar_t(c));
    }
    return at;
}

// iconv is never let fill its output: with the room gone in the middle of a sequence that
// gives two code points, some of glibc's decoders queue the second one in their state and
// then give it again and again. So each call takes only as many bytes as its room holds at
// the most code points a byte can give, and a piece ends where the bytes fed so far give
// enough characters. Feeding the bytes in smaller calls does not change the text: a
// sequence cut by the end of a call is left for the next one, which takes more.
size_t CTextCodec::DecodeConverted(const uint8_t* bytes, size_t size, size_t maxChars, std::wstring& out) {
    constexpr size_t kFeed = 1024;       // bytes one call takes at most
    constexpr size_t kPerByte = 4;       // code points one byte can give (a ligature in TSCII gives four)
    constexpr size_t kHeldBack = 16;     // room for what a decoder releases besides
    wchar_t buffer[kFeed * kPerByte + kHeldBack];
    const size_t first = out.size();
    // Emits what the decoder holds back and returns it to its initial state.
    const auto flush = [&] {
        char* dst = reinterpret_cast<char*>(buffer);
        size_t dstLeft = sizeof buffer;
        if (iconv(m_pConverters->toText, nullptr, nullptr, &dst, &dstLeft) != size_t(-1))
            out.append(buffer, (sizeof buffer - dstLeft) / sizeof(wchar_t));
    };

    size_t consumed = 0;
    size_t produced = 0;
    size_t cut = 0;  // bytes of a sequence the last call's feed ended inside
    while (consumed < size && produced < maxChars) {
        const size_t wanted = std::clamp((maxChars - produced) / kPerByte, size_t(1), kFeed);
        const size_t feed = std::min(size - consumed, std::max(wanted, cut + 1));
        char* in = reinterpret_cast<char*>(const_cast<uint8_t*>(bytes + consumed));
        size_t inLeft = feed;
        char* dst = reinterpret_cast<char*>(buffer);
        size_t dstLeft = sizeof buffer;
        const size_t rc = iconv(m_pConverters->toText, &in, &inLeft, &dst, &dstLeft);
        const int error = errno;
        const size_t got = (sizeof buffer - dstLeft) / sizeof(wchar_t);
        out.append(buffer, got);
        produced += got;
        consumed += feed - inLeft;
        cut = 0;
        if (rc != size_t(-1)) continue;
        if (error == E2BIG && (got > 0 || inLeft < feed)) continue;
        if (error == EINVAL && consumed + inLeft < size) {
            cut = inLeft;
            continue;
        }
        // Invalid bytes give one replacement character per code unit; a sequence cut off
        // by the end of the text gives one for the rest.
        flush();
        out.push_back(kReplacement);
        ++produced;
        if (error == EINVAL) consumed = size;
        else consumed += std::min(m_nUnit, size - consumed);
    }
    if (consumed == size) flush();
    for (size_t i = first; i < out.size(); ++i) {
        if (!IsScalar(uint32_t(out[i]))) out[i] = kReplacement;
    }
    return consumed;
}

}  // namespace veskhost
