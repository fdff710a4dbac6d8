// The stream component through CoCreateInstance: charsets against known encodings, byte
// order marks, files, byte access and the published failures.
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
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

LONG PositionOf(IZULibStream* stream) {
    LONG position = -1;
    stream->get_Position(&position);
    return position;
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
        // Reading only: text without a mark, a mark that is text in its charset, invalid bytes.
        {L"utf-8", nullptr, {'h', 'i'}, L"hi"},
        {L"unicode", nullptr, {'h', 0}, L"h"},
        {L"utf-16be", nullptr, {0xFE, 0xFF, 0, 'h'}, L"h"},
        {L"iso-8859-1", nullptr, {0xEF, 0xBB, 0xBF, 'h'}, L"\u00EF\u00BB\u00BFh"},
        {L"utf-8", nullptr, {'a', 0xFF, 'b', 0xE6, 0x97}, L"a\uFFFDb\uFFFD"},
        {L"shift_jis", nullptr, {'a', 0x93}, L"a\uFFFD"},
        {L"unicode", nullptr, {'a', 0, 'b'}, L"a\uFFFD"},
        {L"us-ascii", nullptr, {0x80, 'z'}, L"\uFFFDz"},
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

TEST(StreamObject, FailuresCarryThePublishedCodes) {
    auto text = OpenStream(L"utf-8");
    text->WriteText(CComBSTR(L"x"), adWriteChar);
    auto binary = OpenStream(nullptr, adTypeBinary);
    auto fresh = OpenStream();
    auto readOnly = OpenStream(nullptr, adTypeText, adModeRead);
    auto closed = CreateComponent<IZULibStream>(CLSID_Stream, IID_IZULibStream);
    TempDir dir;
    const std::string absent = dir.File("absent.txt");
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
    LONG size = 0;
    stream->get_Size(&size);
    EXPECT_EQ(10, size);
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

}  // namespace
}  // namespace vesk_test
