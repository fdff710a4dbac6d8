// The byte-level codec methods stop at the length they are given and refuse lengths no
// string can have before reading a byte.
#include <cctype>
#include <cstddef>
#include <iterator>
#include <random>
#include <vector>

#include "support/test_support.h"
#include "utility/utility_ops.h"

namespace {

TEST(ByteMethods, ReadOnlyTheGivenLengthAndRefuseImpossibleOnes) {
    std::string bytes;
    EXPECT_EQ(-2, CUtilityOps::URLDecode(L"ab%41", 3, bytes)) << "the escape's digits lie past the length";
    ASSERT_TRUE(CUtilityOps::Base64Decode(L"YWJjZGVm", 4, bytes));
    EXPECT_EQ("abc", bytes);
    EXPECT_FALSE(CUtilityOps::Base64Decode(nullptr, size_t(0x100000000), bytes));
    CComBSTR text;
    EXPECT_FALSE(CUtilityOps::Base64Encode(nullptr, size_t(kMaxBstrChars), text));
    EXPECT_FALSE(CUtilityOps::URLEncode(nullptr, size_t(kMaxBstrChars) + 1, text));
}

// An encoding is counted before it is allocated, and the count gives up as soon as it passes
// the limit: the text past that point is never read, so lengths far beyond the buffers here
// (and beyond any string) are refused at once.
TEST(ByteMethods, EncodedLengthsStopAtTheLimit) {
    const std::wstring quotes(10, L'"');
    const std::string spaces(10, ' ');
    constexpr size_t kHuge = size_t(1) << 40;
    struct Row { const wchar_t* html; const char* url; size_t count, limit; bool fits; size_t length; };
    const Row rows[] = {
        {L"a<b", nullptr, 3, 100, true, 6},
        {L"a\0>", nullptr, 3, 100, true, 6},
        {L"<>&\"", nullptr, 4, 19, true, 19},
        {L"<>&\"", nullptr, 4, 18, false, 0},
        {quotes.c_str(), nullptr, 10, 60, true, 60},
        {quotes.c_str(), nullptr, 10, 59, false, 0},
        {quotes.c_str(), nullptr, kHuge, 59, false, 0},
        {quotes.c_str(), nullptr, kHuge, kMaxBstrChars, false, 0},
        {nullptr, "a b", 3, 5, true, 5},
        {nullptr, "a b", 3, 4, false, 0},
        {nullptr, spaces.c_str(), 10, 30, true, 30},
        {nullptr, spaces.c_str(), kHuge, 29, false, 0},
        {nullptr, spaces.c_str(), kHuge, kMaxBstrChars, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        size_t length = 0;
        const auto* bytes = reinterpret_cast<const BYTE*>(row.url);
        const bool fits = row.html ? CUtilityOps::HTMLEncodedLength(row.html, row.count, row.limit, length)
                                   : CUtilityOps::URLEncodedLength(bytes, row.count, row.limit, length);
        EXPECT_EQ(row.fits, fits);
        EXPECT_EQ(row.length, row.fits ? length : 0);
    }
}

// A descriptor with room for three bounds, laid out as the runtime lays out its own.
struct ThreeDimensions {
    SAFEARRAY head;
    SAFEARRAYBOUND more[2];
};
static_assert(offsetof(ThreeDimensions, more) == offsetof(SAFEARRAY, rgsabound) + sizeof(SAFEARRAYBOUND));

// A byte array counts the elements of all its dimensions, and a count no memory can hold is
// refused, never wrapped. The descriptors below claim far more than the one byte behind them,
// so a member that read what they claim would fault.
TEST(ByteMethods, ByteArraysCountEveryDimensionAndNoMemberReadsAnImpossibleOne) {
    struct Row { ULONG counts[3]; HRESULT read; size_t size; HRESULT md5, base64, url; };
    const Row rows[] = {
        {{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, E_INVALIDARG, 0, E_INVALIDARG, E_INVALIDARG, E_INVALIDARG},
        {{0x10000, 0x10000, 0x10000}, S_OK, size_t(1) << 48, E_INVALIDARG, E_FAIL, E_OUTOFMEMORY},
        {{0xFFFFFFFF, 2, 1}, S_OK, size_t(0x1FFFFFFFE), E_INVALIDARG, E_FAIL, E_OUTOFMEMORY},
        {{0xFFFFFFFF, 0, 0xFFFFFFFF}, S_OK, 0, S_OK, S_OK, S_OK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        BYTE cell = 0;
        ThreeDimensions desc{};
        desc.head.cDims = 3;
        desc.head.fFeatures = FADF_STATIC;
        desc.head.cbElements = 1;
        desc.head.pvData = &cell;
        desc.head.rgsabound[0].cElements = row.counts[0];
        desc.more[0].cElements = row.counts[1];
        desc.more[1].cElements = row.counts[2];
        VARIANT input;
        input.vt = VT_ARRAY | VT_UI1;
        input.parray = &desc.head;
        CInputBytes in;
        EXPECT_HR(row.read, in.Read(&input, 0));
        EXPECT_EQ(row.size, in.size());
        CComBSTR digest, base64, url;
        EXPECT_HR(row.md5, CUtilityOps::MD5(&input, 0, digest.Receive()));
        EXPECT_HR(row.base64, CUtilityOps::Base64Encode(&input, 0, base64.Receive()));
        EXPECT_HR(row.url, CUtilityOps::URLEncode(&input, 0, url.Receive()));
    }
}


// A text read as UTF-8 is narrowed sixteen characters at a time while they are ASCII: at every
// length up to 70, a NUL, a negative character, one from 0x80 up or one of 0x7F at each place
// gives what the runtime's own conversion gives (the text ending at a NUL).
TEST(ByteMethods, AsciiBlocksReadAsTheConversionReadsThem) {
    const wchar_t odd[] = {L'\0', wchar_t(-5), L'\u00e9', wchar_t(0x10041), L'\x7f'};
    for (size_t length = 0; length <= 70; ++length) {
        for (size_t at = 0; at <= length; ++at) {
            for (wchar_t c : odd) {
                std::wstring text;
                for (size_t i = 0; i < length; ++i) text += wchar_t(L'!' + (i * 7) % 90);
                if (at < length) text[at] = c;
                CComBSTR bstr(text.data(), UINT(text.size()));
                VARIANT v;
                v.vt = VT_BSTR;
                v.bstrVal = bstr.m_str;
                CInputBytes in;
                ASSERT_EQ(S_OK, in.Read(&v, 0));
                std::string expected(utf32_utf8(nullptr, 0, text.c_str()), '\0');
                utf32_utf8(expected.data(), expected.size(), text.c_str());
                expected.pop_back();
                EXPECT_EQ(expected, std::string(reinterpret_cast<const char*>(in.data()), in.size())) << length << " " << at;
            }
        }
    }
}

}  // namespace

namespace {

std::wstring HtmlOneByOne(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
            case L'<': out += L"&lt;"; break;
            case L'>': out += L"&gt;"; break;
            case L'&': out += L"&amp;"; break;
            case L'"': out += L"&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::wstring UrlOneByOne(const std::string& bytes) {
    std::wstring out;
    for (unsigned char b : bytes) {
        if (std::isalnum(b) || b == '-' || b == '_' || b == '.' || b == '~') {
            out += wchar_t(b);
        } else {
            const wchar_t hex[] = L"0123456789ABCDEF";
            out += L'%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

// The encoders work on blocks of characters where they can: at every length up to 90 and at
// longer ones, with
// escaped characters sparse, dense, in runs and at the ends, they give what encoding one
// character at a time gives, and the HTML length agrees with it.
TEST(ByteMethods, EncodersGiveWhatOneCharacterAtATimeGives) {
    const wchar_t htmlPool[] = {L'a', L'Z', L'0', L' ', L'<', L'>', L'&', L'"', L'\'', L'\0', wchar_t(-60),
                                wchar_t(0x13C), wchar_t(0x10026), L'\u00e9'};
    const char urlPool[] = {'a', 'Z', '0', '-', '_', '.', '~', ' ', '%', '/', '\0', '\x7f', '\x80', '\xff', '@', '[', '`', '{'};
    std::mt19937 random(7);
    std::vector<size_t> lengths;
    for (size_t length = 0; length <= 90; ++length) lengths.push_back(length);
    for (size_t length = 91; length <= 600; length += 13) lengths.push_back(length);  // many blocks
    for (size_t length : lengths) {
        for (int density : {0, 5, 30, 100}) {
            std::wstring text;
            std::string bytes;
            for (size_t i = 0; i < length; ++i) {
                const bool odd = int(random() % 100) < density;
                text += odd ? htmlPool[4 + random() % (std::size(htmlPool) - 4)] : htmlPool[random() % 4];
                bytes += odd ? urlPool[7 + random() % (std::size(urlPool) - 7)] : urlPool[random() % 7];
            }
            CComBSTR in(text.data(), UINT(text.size()));
            CComBSTR html;
            ASSERT_EQ(S_OK, CUtilityOps::HTMLEncode(in, &html.m_str));
            const std::wstring expected = HtmlOneByOne(text);
            EXPECT_EQ(expected, std::wstring(html.m_str, html.Length())) << length << " " << density;
            size_t measured = 0;
            ASSERT_TRUE(CUtilityOps::HTMLEncodedLength(text.data(), text.size(), kMaxBstrChars, measured));
            EXPECT_EQ(expected.size(), measured);
            EXPECT_EQ(measured > 0, CUtilityOps::HTMLEncodedLength(text.data(), text.size(), measured - 1, measured) == false);

            CComBSTR url;
            ASSERT_TRUE(CUtilityOps::URLEncode(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), url));
            EXPECT_EQ(UrlOneByOne(bytes), std::wstring(url.m_str, url.Length())) << length << " " << density;
        }
    }
}

}  // namespace
