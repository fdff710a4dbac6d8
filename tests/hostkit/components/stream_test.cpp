// The stream component through CoCreateInstance: charsets against known encodings, byte
// order marks, files, byte access and the published failures.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "component_helpers.h"

namespace vesk_test {
namespace {

using namespace ADODB;
using Bytes = std::vector<uint8_t>;

constexpr HRESULT kArgument = hresult_of(0x800A0BB9);
constexpr HRESULT kOpening = hresult_of(0x800A0BBA);
constexpr HRESULT kWriting = hresult_of(0x800A0BBC);
constexpr HRESULT kContext = hresult_of(0x800A0C93);
constexpr HRESULT kClosed = hresult_of(0x800A0E78);
constexpr HRESULT kOpen = hresult_of(0x800A0E79);
constexpr HRESULT kUnsupported = hresult_of(0x800A0CB3);
constexpr HRESULT kTooLarge = hresult_of(0x800A0E96);

CComPtr<IZULibStream> OpenStream(const wchar_t* charset = nullptr, StreamTypeEnum type = adTypeText,
                                 ConnectModeEnum mode = adModeUnknown) {
    auto stream = CreateComponent<IZULibStream>(CLSID_Stream, IID_IZULibStream);
    EXPECT_HR(S_OK, stream->put_Type(type));
    if (charset) { EXPECT_HR(S_OK, stream->put_Charset(CComBSTR(charset))); }
    EXPECT_HR(S_OK, stream->Open(CComVariant(), mode, adOpenStreamUnspecified, nullptr, nullptr));
    return stream;
}

CComVariant ByteArray(const Bytes& bytes) {
    CComVariant v;
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(bytes.size()));
    if (!bytes.empty()) memcpy(v.parray->pvData, bytes.data(), bytes.size());
    return v;
}

Bytes BytesOf(const VARIANT& v) {
    if (v.vt != (VT_ARRAY | VT_UI1)) return {};
    const auto* data = static_cast<const uint8_t*>(v.parray->pvData);
    return Bytes(data, data + v.parray->rgsabound[0].cElements);
}

// A text stream holding the bytes, at position 0.
CComPtr<IZULibStream> TextOver(const wchar_t* charset, const Bytes& bytes) {
    auto stream = OpenStream(charset, adTypeBinary);
    EXPECT_HR(S_OK, stream->Write(ByteArray(bytes)));
    EXPECT_HR(S_OK, stream->put_Position(0));
    EXPECT_HR(S_OK, stream->put_Type(adTypeText));
    return stream;
}

// The whole content as bytes; the stream is left in text mode at position 0.
Bytes ContentOf(IZULibStream* stream) {
    CComVariant all;
    stream->put_Position(0);
    stream->put_Type(adTypeBinary);
    EXPECT_HR(S_OK, stream->Read(adReadAll, all.Receive()));
    stream->put_Position(0);
    stream->put_Type(adTypeText);
    return BytesOf(all);
}

std::wstring ReadText(IZULibStream* stream, LONG count = adReadAll) {
    CComBSTR text;
    EXPECT_HR(S_OK, stream->ReadText(count, text.Receive()));
    return std::wstring(View(text));
}

// Reads to the end in pieces of `count` characters, each of which must move on.
std::wstring ReadInPieces(IZULibStream* stream, LONG count) {
    std::wstring text;
    for (VARIANT_BOOL eos = VARIANT_FALSE; stream->get_EOS(&eos) == S_OK && eos == VARIANT_FALSE;) {
        LONG before = 0, after = 0;
        stream->get_Position(&before);
        text += ReadText(stream, count);
        stream->get_Position(&after);
        if (after <= before) {
            ADD_FAILURE() << "a read of " << count << " did not move on from " << before;
            break;
        }
    }
    return text;
}

LONG PositionOf(IZULibStream* stream) {
    LONG position = -1;
    stream->get_Position(&position);
    return position;
}

LONG SizeOf(IZULibStream* stream) {
    LONG size = -1;
    EXPECT_HR(S_OK, stream->get_Size(&size));
    return size;
}

struct TempDir {
    std::string path = mkdtemp(std::string("/tmp/vesk-stream-XXXXXX").data());
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string File(const char* name) const { return path + "/" + name; }
};

CComBSTR PathOf(const std::string& path) { return CComBSTR(std::wstring(path.begin(), path.end()).c_str()); }

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(StreamCharsets, KnownEncodingsBothWays) {
    // A row with text is written and must give exactly its bytes, byte order mark included;
    // every row's bytes then read back as its last column.
    const struct { const wchar_t *charset, *text; Bytes bytes; const wchar_t* readBack; } cases[] = {
        {L"unicode", L"Aé日", {0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00, 0xE5, 0x65}, L"Aé日"},
        {L"UTF-8", L"Aé日", {0xEF, 0xBB, 0xBF, 0x41, 0xC3, 0xA9, 0xE6, 0x97, 0xA5}, L"Aé日"},
        {L"utf-16le", L"A日", {0x41, 0x00, 0xE5, 0x65}, L"A日"},
        {L"UTF-16BE", L"A日", {0x00, 0x41, 0x65, 0xE5}, L"A日"},
        {L"Shift_JIS", L"日本語\\~", {0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA, 0x5C, 0x7E}, L"日本語\\~"},
        {L"euc-jp", L"日本語", {0xC6, 0xFC, 0xCB, 0xDC, 0xB8, 0xEC}, L"日本語"},
        {L"ISO-8859-1", L"café", {0x63, 0x61, 0x66, 0xE9}, L"café"},
        {L"windows-1252", L"€5", {0x80, 0x35}, L"€5"},
        {L"US-ASCII", L"aé", {0x61, 0x3F}, L"a?"},  // what ASCII cannot hold is written as '?'
        {L"UTF-8", L"a\x110000\xD800\x7FFFFFFF", {0xEF, 0xBB, 0xBF, 'a', '?', '?', '?'}, L"a???"},  // and no code point
        {L"utf-16le", L"\x110000", {'?', 0}, L"?"},
        // ... and in a shifting charset the '?' is written once the charset is back in ASCII.
        {L"ISO-2022-JP", L"日é本",
         {0x1B, '$', 'B', 0x46, 0x7C, 0x1B, '(', 'B', '?', 0x1B, '$', 'B', 0x4B, 0x5C, 0x1B, '(', 'B'}, L"日?本"},
        // Reading only: text without a mark, a mark that is text in its charset, invalid bytes.
        {L"utf-8", nullptr, {'h', 'i'}, L"hi"},
        {L"unicode", nullptr, {'h', 0}, L"h"},
        {L"utf-16be", nullptr, {0xFE, 0xFF, 0, 'h'}, L"h"},
        {L"iso-8859-1", nullptr, {0xEF, 0xBB, 0xBF, 'h'}, L"\u00EF\u00BB\u00BFh"},
        {L"utf-8", nullptr, {'a', 0xFF, 'b', 0xE6, 0x97}, L"a\uFFFDb\uFFFD"},
        {L"shift_jis", nullptr, {'a', 0x93}, L"a\uFFFD"},
        {L"unicode", nullptr, {'a', 0, 'b'}, L"a\uFFFD"},
        {L"us-ascii", nullptr, {0x80, 'z'}, L"\uFFFDz"},
        // Ill-formed UTF-8 gives one U+FFFD per maximal ill-formed subpart: past U+10FFFF,
        // five- and six-byte forms, encoded surrogates, overlong forms, cut sequences.
        {L"utf-8", nullptr, {0xF4, 0x90, 0x80, 0x80}, L"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {L"utf-8", nullptr, {0xF8, 0x88, 0x80, 0x80, 0x80}, L"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {L"utf-8", nullptr, {0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}, L"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {L"utf-8", nullptr, {0xED, 0xA0, 0x80, 0xED, 0xBF, 0xBF}, L"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {L"utf-8", nullptr, {0xC0, 0xAF, 0xE0, 0x80, 0xAF, 0xF0, 0x8F, 0xBF, 0xBF},
         L"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {L"utf-8", nullptr, {0xE6, 0x97, 'A', 0xF0, 0x9F, 0x98, 'B', 0xF0, 0x9F, 0x98}, L"\uFFFDA\uFFFDB\uFFFD"},
        {L"utf-8", nullptr, {0xF4, 0x8F, 0xBF, 0xBF, 0xF0, 0x9F, 0x98, 0x80, 0xEF, 0xBF, 0xBF}, L"\U0010FFFF\U0001F600\uFFFF"},
        {L"iso-ir-193", nullptr, {0xF4, 0x90, 0x80, 0x80, 'a'}, L"\uFFFD\uFFFD\uFFFD\uFFFDa"},  // UTF-8 by another name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.charset) + (c.text ? " written" : " read"));
        if (c.text) {
            auto stream = OpenStream(c.charset);
            ASSERT_HR(S_OK, stream->WriteText(CComBSTR(c.text), adWriteChar));
            EXPECT_EQ(LONG(c.bytes.size()), PositionOf(stream.Get()));
            EXPECT_EQ(c.bytes, ContentOf(stream.Get()));
        }
        EXPECT_EQ(std::wstring(c.readBack), ReadText(TextOver(c.charset, c.bytes).Get()));
        EXPECT_EQ(std::wstring(c.readBack), ReadInPieces(TextOver(c.charset, c.bytes).Get(), 1));
    }
}

TEST(StreamCharsets, MarkIsWrittenOnceAndTextReadsBackWholeOrInPieces) {
    auto stream = OpenStream(L"utf-8");
    stream->WriteText(CComBSTR(L"ab"), adWriteChar);
    stream->WriteText(CComBSTR(L"c"), adWriteLine);
    stream->WriteText(CComBSTR(L"d"), adWriteChar);
    ASSERT_HR(S_OK, stream->put_Position(0));
    EXPECT_EQ(L"abc\r\nd", ReadText(stream.Get()));
    EXPECT_EQ((Bytes{0xEF, 0xBB, 0xBF, 'a', 'b', 'c', '\r', '\n', 'd'}), ContentOf(stream.Get()));
    EXPECT_EQ(L"ab", ReadText(stream.Get(), 2));
    EXPECT_EQ(5, PositionOf(stream.Get()));  // byte positions, past the mark
    EXPECT_EQ(L"c", ReadText(stream.Get(), adReadLine));
    EXPECT_EQ(L"d", ReadText(stream.Get(), adReadLine));
}

TEST(StreamCharsets, UnknownCharsetFailsWithItsNameAndKeepsTheOldOne) {
    auto stream = OpenStream(L"utf-8");
    EXPECT_HR(kArgument, stream->put_Charset(CComBSTR(L"no-such-charset")));
    EXPECT_NE(std::wstring::npos, LastErrorDescription().find(L"no-such-charset"));
    EXPECT_HR(kArgument, stream->put_Charset(CComBSTR(L"")));
    CComBSTR name, fresh;
    stream->get_Charset(name.Receive());
    EXPECT_BSTR_EQ(L"utf-8", name);
    CreateComponent<IZULibStream>(CLSID_Stream, IID_IZULibStream)->get_Charset(fresh.Receive());
    EXPECT_BSTR_EQ(L"unicode", fresh);
}

TEST(StreamCharsets, ASequenceThatDecodesToTwoCodePointsIsReadWhole) {
    // In this charset A4 F7 is KA followed by a combining semi-voiced mark, which the decoder
    // holds back until it sees what follows.
    auto stream = TextOver(L"EUC-JISX0213", {0xA4, 0xF7, 'A'});
    EXPECT_EQ(L"\u304B\u309A", ReadText(stream.Get(), 1));
    EXPECT_EQ(2, PositionOf(stream.Get()));
    EXPECT_EQ(L"A", ReadText(stream.Get(), 1));
    // A4 AB could start such a pair; at the end of the data it still comes out.
    EXPECT_EQ(L"A\u304B", ReadText(TextOver(L"EUC-JISX0213", {'A', 0xA4, 0xAB}).Get()));
}

// Writes the text in three pieces (the last a line), then reads it whole and in pieces of
// each size from the start: every way must give the same text, and only scalar values.
// Returns the text read whole.
std::wstring ExpectPiecesReadAsWhole(const wchar_t* charset, const std::wstring& text, std::initializer_list<LONG> sizes) {
    auto stream = OpenStream(charset);
    const size_t third = text.size() / 3;
    stream->WriteText(CComBSTR(text.substr(0, third).c_str()), adWriteChar);
    stream->WriteText(CComBSTR(text.substr(third, third).c_str()), adWriteChar);
    stream->WriteText(CComBSTR(text.substr(2 * third).c_str()), adWriteLine);
    stream->put_Position(0);
    const std::wstring whole = ReadText(stream.Get());
    for (wchar_t c : whole) EXPECT_TRUE(uint32_t(c) < 0xD800 || (uint32_t(c) > 0xDFFF && uint32_t(c) <= 0x10FFFF)) << uint32_t(c);
    for (LONG size : sizes) {
        stream->put_Position(0);
        EXPECT_EQ(whole, ReadInPieces(stream.Get(), size)) << "pieces of " << size;
    }
    return whole;
}

TEST(StreamCharsets, TextReadInPiecesIsTheTextReadWhole) {
    // Shift sequences must stay in force from one piece to the next, and a character the
    // decoder holds back to combine it with what follows must combine the same way. The
    // charsets that can hold their row's text must also give it back.
    const std::wstring mixed = L"A日本語b+-~\\ Việt ấ か\u309A ஸ்ரீ e\u0301 \U0001F600 한국 中文 Ελλ ки \u00CA\u0304 z";
    const struct { const wchar_t* charset; std::wstring text; bool holdsIt; } cases[] = {
        {L"ISO-2022-JP", L"AB日本語の文章xyz漢字かな\r\nカナ", true},
        {L"ISO-2022-JP-2", L"日本語 한국어 中文 Ελληνικά", true},
        {L"ISO-2022-JP-3", L"日本か\u309Aき\u309A語", true},
        {L"ISO-2022-CN", L"中文字符 abc 漢字", true},
        {L"UTF-7", L"a+b日本~語-c 1+1=2 \U0001F600~~", true},
        {L"CP1258", L"Tiếng Việt có dấu: ấ ầ ẩ ẫ ậ ệ ổ", true},
        {L"TCVN5712-1", L"Tiếng Việt ấ ệ", true},
        {L"EUC-JISX0213", L"か\u309Aき\u309Aく\u309A日本", true},
        {L"SHIFT_JISX0213", L"か\u309Aき\u309A日本", true},
        {L"BIG5-HKSCS", L"\u00CA\u0304\u00CA\u030C\u00EA\u0304中文", true},
        {L"TSCII", L"ஸ்ரீ தமிழ் கொ", true},
        {L"unicode", mixed, true}, {L"unicodeFFFE", mixed, true}, {L"utf-16le", mixed, true},
        {L"utf-16be", mixed, true}, {L"utf-8", mixed, true}, {L"utf-32", mixed, true},
        {L"utf-32le", mixed, true}, {L"utf-32be", mixed, true}, {L"shift_jis", mixed, false},
        {L"euc-jp", mixed, false}, {L"iso-8859-1", mixed, false}, {L"windows-1252", mixed, false},
        {L"us-ascii", mixed, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.charset));
        const std::wstring whole = ExpectPiecesReadAsWhole(c.charset, c.text, {1, 2, 3, 7});
        if (c.holdsIt) { EXPECT_EQ(c.text + L"\r\n", whole); }
    }
}

TEST(StreamCharsets, EveryCharsetTheStreamAcceptsReadsTheSameInPieces) {
    // Every name the system's iconv lists that the stream takes as a charset.
    std::vector<std::wstring> names;
    if (FILE* list = popen("iconv --list 2>/dev/null", "r")) {
        std::wstring name;
        for (int c; (c = fgetc(list)) != EOF;) {
            if (c == ',' || c == ' ' || c == '\n' || c == '/') {
                if (!name.empty()) names.push_back(name);
                name.clear();
            } else {
                name.push_back(wchar_t(c));
            }
        }
        pclose(list);
    }
    if (names.empty()) GTEST_SKIP() << "iconv --list names no charsets";
    const std::wstring text = L"A日本語b+-~\\ Việt ấ か\u309A ஸ்ரீ e\u0301 \U0001F600 한국 中文 Ελλ ки \u00CA\u0304 \u0E01\u0E34 z";
    size_t accepted = 0;
    for (const std::wstring& name : names) {
        if (FAILED(CreateComponent<IZULibStream>(CLSID_Stream, IID_IZULibStream)->put_Charset(CComBSTR(name.c_str()))))
            continue;
        ++accepted;
        SCOPED_TRACE(Utf8(name.c_str()));
        ExpectPiecesReadAsWhole(name.c_str(), text, {1, 3});
    }
    EXPECT_GT(accepted, 100u);
}

TEST(StreamBytes, WriteOverwritesAtThePositionAndReadTakesCounts) {
    auto stream = OpenStream(nullptr, adTypeBinary);
    ASSERT_HR(S_OK, stream->Write(ByteArray({1, 2, 3, 4})));
    stream->put_Position(1);
    ASSERT_HR(S_OK, stream->Write(ByteArray({9})));
    stream->put_Position(0);
    CComVariant first, rest, none;
    ASSERT_HR(S_OK, stream->Read(2, first.Receive()));
    ASSERT_HR(S_OK, stream->Read(adReadAll, rest.Receive()));
    ASSERT_HR(S_OK, stream->Read(adReadAll, none.Receive()));
    EXPECT_EQ((Bytes{1, 9}), BytesOf(first));
    EXPECT_EQ((Bytes{3, 4}), BytesOf(rest));
    EXPECT_EQ(VT_NULL, none.vt);
}

// The upload writes a file one byte per call, each a one-element array passed by reference:
// the bytes append in order, a write inside the stream overwrites, and the stream's own
// rules hold for that form as for any other.
TEST(StreamBytes, OneByteWritesByReference) {
    SAFEARRAY* one = SafeArrayCreateVector(VT_UI1, 0, 1);
    CComSafeArray owner;
    owner.Attach(one);
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    byRef.pparray = &one;
    auto write = [&](IZULibStream* stream, uint8_t byte) {
        *static_cast<uint8_t*>(one->pvData) = byte;
        return stream->Write(byRef);
    };
    auto stream = OpenStream(nullptr, adTypeBinary);
    for (uint8_t b : {0, 13, 10, 255, 45}) ASSERT_HR(S_OK, write(stream.Get(), b));
    stream->put_Position(1);
    ASSERT_HR(S_OK, write(stream.Get(), 7));
    LONG position = 0, size = 0;
    stream->get_Position(&position);
    stream->get_Size(&size);
    EXPECT_EQ(2, position);
    EXPECT_EQ(5, size);
    stream->put_Position(0);
    CComVariant all;
    ASSERT_HR(S_OK, stream->Read(adReadAll, all.Receive()));
    EXPECT_EQ((Bytes{0, 7, 10, 255, 45}), BytesOf(all));

    auto text = OpenStream(L"utf-8");
    text->WriteText(CComBSTR(L"x"), adWriteChar);
    auto readOnly = OpenStream(nullptr, adTypeBinary, adModeRead);
    auto closed = CreateComponent<IZULibStream>(CLSID_Stream, IID_IZULibStream);
    closed->put_Type(adTypeBinary);
    EXPECT_HR(kContext, write(text.Get(), 1));
    EXPECT_HR(kContext, write(readOnly.Get(), 1));
    EXPECT_HR(kClosed, write(closed.Get(), 1));
    SAFEARRAYBOUND bounds[2] = {{1, 0}, {1, 0}};
    CComSafeArray square;
    square.Attach(SafeArrayCreate(VT_UI1, 2, bounds));
    SAFEARRAY* squareArray = square.Get();
    byRef.pparray = &squareArray;
    EXPECT_TRUE(FAILED(stream->Write(byRef))) << "a two-dimensional array is no byte array";
}

TEST(StreamObject, FailuresCarryThePublishedCodes) {
    auto text = OpenStream(L"utf-8");
    text->WriteText(CComBSTR(L"x"), adWriteChar);
    auto binary = OpenStream(nullptr, adTypeBinary);
    auto fresh = OpenStream();
    auto readOnly = OpenStream(nullptr, adTypeText, adModeRead);
    auto closed = CreateComponent<IZULibStream>(CLSID_Stream, IID_IZULibStream);
    TempDir dir;
    const std::string absent = dir.File("absent.txt");
    const std::string huge = dir.File("huge.bin");  // sparse: a size, no data
    const int hugeFd = ::open(huge.c_str(), O_WRONLY | O_CREAT, 0600);
    const bool sparse = hugeFd >= 0 && ::ftruncate(hugeFd, off_t(1) << 31) == 0;
    if (hugeFd >= 0) ::close(hugeFd);
    CComVariant out;
    CComBSTR none;
    LONG size = 0;
    const struct { const char* call; HRESULT hr, expected; } cases[] = {
        {"Read from text", text->Read(adReadAll, out.Receive()), kContext},
        {"Write to text", text->Write(ByteArray({1})), kContext},
        {"Type away from position 0", text->put_Type(adTypeBinary), kContext},
        {"Charset away from position 0", text->put_Charset(CComBSTR(L"unicode")), kContext},
        {"negative Position", text->put_Position(-1), kArgument},
        {"Open when open", text->Open(CComVariant(), adModeUnknown, adOpenStreamUnspecified, nullptr, nullptr), kOpen},
        {"ReadText from binary", binary->ReadText(adReadAll, none.Receive()), kContext},
        {"WriteText to binary", binary->WriteText(CComBSTR(L"x"), adWriteChar), kContext},
        {"Write of no bytes", binary->Write(CComVariant()), kArgument},
        {"Write to an empty text stream", fresh->Write(ByteArray({7})), S_OK},  // which makes it binary
        {"WriteText to read-only", readOnly->WriteText(CComBSTR(L"x"), adWriteChar), kContext},
        {"Mode when open", readOnly->put_Mode(adModeReadWrite), kOpen},
        {"Size when closed", closed->get_Size(&size), kClosed},
        {"Close when closed", closed->Close(), kClosed},
        {"URL source", closed->Open(VarStr(L"http://x/"), adModeUnknown, adOpenStreamUnspecified, nullptr, nullptr), kUnsupported},
        {"LoadFromFile of a directory", text->LoadFromFile(PathOf(dir.path)), kOpening},
        {"LoadFromFile of a file past 2 GB, refused before reading", sparse ? binary->LoadFromFile(PathOf(huge)) : kTooLarge,
         kTooLarge},
        {"LoadFromFile of a missing file", text->LoadFromFile(PathOf(absent)), kOpening},
    };
    for (const auto& c : cases) EXPECT_HR(c.expected, c.hr) << c.call;
    EXPECT_NE(std::wstring::npos, LastErrorDescription().find(std::wstring(absent.begin(), absent.end())));
}

TEST(StreamFiles, LoadFromFileDecodesAShiftJisFile) {
    TempDir dir;
    const std::string path = dir.File("sjis.txt");
    WriteFile(path, {0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA, '\r', '\n', 0x82, 0xA0});  // 日本語 CRLF あ
    auto stream = OpenStream(L"Shift_JIS");
    stream->WriteText(CComBSTR(L"old content that the file replaces"), adWriteChar);
    ASSERT_HR(S_OK, stream->LoadFromFile(PathOf(path)));
    EXPECT_EQ(10, SizeOf(stream.Get()));
    EXPECT_EQ(0, PositionOf(stream.Get()));
    EXPECT_EQ(L"日本語\r\nあ", ReadText(stream.Get()));
}

TEST(StreamFiles, SaveToFileOptions) {
    const struct { bool exists; SaveOptionsEnum option; HRESULT expected; Bytes fileAfter; } cases[] = {
        {false, adSaveCreateNotExist, S_OK, {'n', 'e', 'w'}},
        {true, adSaveCreateNotExist, kWriting, {'o', 'l', 'd', '!'}},
        {true, adSaveCreateOverWrite, S_OK, {'n', 'e', 'w'}},  // the longer old file is truncated
        {false, adSaveCreateOverWrite, S_OK, {'n', 'e', 'w'}},
        {false, 3, kArgument, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        TempDir dir;
        const std::string path = dir.File("out.bin");
        if (c.exists) WriteFile(path, {'o', 'l', 'd', '!'});
        auto stream = OpenStream(nullptr, adTypeBinary);
        stream->Write(ByteArray({'n', 'e', 'w'}));
        EXPECT_HR(c.expected, stream->SaveToFile(PathOf(path), c.option));
        EXPECT_EQ(c.fileAfter, ReadFile(path));
        EXPECT_EQ(SUCCEEDED(c.expected) ? 0 : 3, PositionOf(stream.Get()));
    }
}

TEST(StreamFiles, LargeTextRoundTripsThroughAFile) {
    std::wstring text;
    for (int i = 0; text.size() < (1u << 20); ++i) text += L"line " + std::to_wstring(i) + L" 日本語テキスト\r\n";
    TempDir dir;
    const std::string path = dir.File("large.txt");
    auto writer = OpenStream(L"utf-8");
    ASSERT_HR(S_OK, writer->WriteText(CComBSTR(text.c_str(), UINT(text.size())), adWriteChar));
    ASSERT_HR(S_OK, writer->SaveToFile(PathOf(path), adSaveCreateOverWrite));

    auto reader = OpenStream(L"utf-8");
    ASSERT_HR(S_OK, reader->LoadFromFile(PathOf(path)));
    EXPECT_EQ(text, ReadText(reader.Get()));
    reader->put_Position(0);
    size_t lines = 0;
    for (VARIANT_BOOL eos = VARIANT_FALSE; reader->get_EOS(&eos) == S_OK && eos == VARIANT_FALSE; ++lines) {
        CComBSTR line;
        ASSERT_HR(S_OK, reader->ReadText(adReadLine, line.Receive()));
    }
    EXPECT_EQ(size_t(std::count(text.begin(), text.end(), L'\n')), lines);
}

// Runs the call on a thread of its own. When it has not returned in five seconds it is
// blocked: `release` frees it (so that the test ends, and returns a descriptor to close
// once it has) and the test fails.
template <class Call>
HRESULT WithinBound(Call call, const std::function<int()>& release) {
    std::packaged_task<HRESULT()> task(call);
    std::future<HRESULT> done = task.get_future();
    std::thread worker(std::move(task));
    int held = -1;
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "the call blocked";
        held = release();
    }
    worker.join();
    if (held >= 0) ::close(held);
    return done.get();
}

TEST(StreamFiles, APipeIsRefusedWithoutWaitingForItsOtherEnd) {
    TempDir dir;
    const std::string pipe = dir.File("pipe");
    ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
    // A call blocked opening one end is freed by opening the other: a reader it waits for
    // stays open until it is done writing, a writer closes at once so that it reads the end.
    const auto openWriter = [&] {
        const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        return -1;
    };
    const auto openReader = [&] { return ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK); };
    auto stream = OpenStream(nullptr, adTypeBinary);
    stream->Write(ByteArray({'x', 'y'}));
    IZULibStream* s = stream.Get();
    EXPECT_HR(kOpening, WithinBound([&] { return s->LoadFromFile(PathOf(pipe)); }, openWriter));
    EXPECT_HR(kWriting, WithinBound([&] { return s->SaveToFile(PathOf(pipe), adSaveCreateOverWrite); }, openReader));
    EXPECT_EQ(2, PositionOf(s));  // neither call touched the stream
    EXPECT_EQ(2, SizeOf(s));
}

TEST(StreamFiles, LoadFromFileReadsNoFurtherThanTheSizeAtOpening) {
    // A file that keeps giving bytes past the size it has when opened: this one has size 0.
    struct stat info {};
    if (::stat("/proc/self/status", &info) != 0 || info.st_size != 0) GTEST_SKIP() << "no such file here";
    auto stream = OpenStream(nullptr, adTypeBinary);
    ASSERT_HR(S_OK, stream->LoadFromFile(CComBSTR(L"/proc/self/status")));
    EXPECT_EQ(0, SizeOf(stream.Get()));
}

TEST(StreamObject, CopyToCopiesFromThePositionAndARefusedCopyMovesNothing) {
    const auto textSource = [] {
        auto stream = OpenStream(L"utf-8");
        stream->WriteText(CComBSTR(L"héllo"), adWriteChar);
        stream->put_Position(3);  // past the byte order mark
        return stream;
    };
    const auto binarySource = [] {
        auto stream = OpenStream(nullptr, adTypeBinary);
        stream->Write(ByteArray({1, 2, 3}));
        stream->put_Position(0);
        return stream;
    };
    const auto closed = [] { return CreateComponent<IZULibStream>(CLSID_Stream, IID_IZULibStream); };
    const auto readOnly = [] { return OpenStream(L"utf-8", adTypeText, adModeRead); };
    const auto textHolding = [] {
        auto stream = OpenStream(L"utf-8");
        stream->WriteText(CComBSTR(L"x"), adWriteChar);
        return stream;
    };
    const auto emptyText = [] { return OpenStream(L"utf-16le"); };
    const auto binary = [] { return OpenStream(nullptr, adTypeBinary); };
    using Maker = CComPtr<IZULibStream> (*)();
    const struct { const char* name; Maker source, dest; LONG count; HRESULT expected; LONG sourceAfter; Bytes destAfter; } cases[] = {
        {"text to text, two characters", +textSource, +emptyText, 2, S_OK, 6, {'h', 0, 0xE9, 0}},
        {"text to binary, the source's bytes", +textSource, +binary, -1, S_OK, 9, {'h', 0xC3, 0xA9, 'l', 'l', 'o'}},
        {"binary to an empty text stream", +binarySource, +emptyText, 2, S_OK, 2, {1, 2}},
        {"into a closed stream", +textSource, +closed, -1, kClosed, 3, {}},
        {"binary into a closed stream", +binarySource, +closed, -1, kClosed, 0, {}},
        {"into a read-only stream", +textSource, +readOnly, -1, kContext, 3, {}},
        {"binary into a text stream that holds text", +binarySource, +textHolding, -1, kContext, 0,
         {0xEF, 0xBB, 0xBF, 'x'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto source = c.source();
        auto dest = c.dest();
        EXPECT_HR(c.expected, source->CopyTo(dest.Get(), c.count));
        EXPECT_EQ(c.sourceAfter, PositionOf(source.Get()));
        ObjectStateEnum state = adStateClosed;
        dest->get_State(&state);
        if (state == adStateOpen) { EXPECT_EQ(c.destAfter, ContentOf(dest.Get())); }
    }
}

}  // namespace
}  // namespace vesk_test
