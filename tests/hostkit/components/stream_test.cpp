// The stream component through CoCreateInstance: charsets against known encodings, byte
// order marks, files, byte access, positions and failures, and the late-bound members.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "component_helpers.h"
#include "hostkit/runtime/registry.h"

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

CComVariant Missing() {
    CComVariant v;
    v.SetError(DISP_E_PARAMNOTFOUND);
    return v;
}

CComPtr<IZULibStream> OpenStream(const wchar_t* charset = nullptr, StreamTypeEnum type = adTypeText,
                                 ConnectModeEnum mode = adModeUnknown) {
    auto stream = CreateComponent<IZULibStream>(CLSID_Stream, IID_IZULibStream);
    EXPECT_HR(S_OK, stream->put_Type(type));
    if (charset) {
        EXPECT_HR(S_OK, stream->put_Charset(CComBSTR(charset)));
    }
    EXPECT_HR(S_OK, stream->Open(Missing(), mode, adOpenStreamUnspecified, nullptr, nullptr));
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

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vesk-stream-XXXXXX";
        m_path = mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string File(const char* name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

CComBSTR PathOf(const std::string& path) { return CComBSTR(std::wstring(path.begin(), path.end()).c_str()); }

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- Charsets --------------------------------------------------------------------------

TEST(StreamCharsets, TextEncodesToKnownBytesAndReadsBack) {
    const struct {
        const wchar_t* charset;
        const wchar_t* text;
        Bytes bytes;              // the content after WriteText, byte order mark included
        const wchar_t* readBack;  // what ReadText returns
    } cases[] = {
        {L"unicode", L"Aé日", {0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00, 0xE5, 0x65}, L"Aé日"},
        {L"UTF-8", L"Aé日", {0xEF, 0xBB, 0xBF, 0x41, 0xC3, 0xA9, 0xE6, 0x97, 0xA5}, L"Aé日"},
        {L"utf-16le", L"A日", {0x41, 0x00, 0xE5, 0x65}, L"A日"},
        {L"UTF-16BE", L"A日", {0x00, 0x41, 0x65, 0xE5}, L"A日"},
        {L"Shift_JIS", L"日本語\\~", {0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA, 0x5C, 0x7E}, L"日本語\\~"},
        {L"euc-jp", L"日本語", {0xC6, 0xFC, 0xCB, 0xDC, 0xB8, 0xEC}, L"日本語"},
        {L"ISO-8859-1", L"café", {0x63, 0x61, 0x66, 0xE9}, L"café"},
        {L"windows-1252", L"€5", {0x80, 0x35}, L"€5"},
        {L"US-ASCII", L"aé", {0x61, 0x3F}, L"a?"},  // what ASCII cannot hold is written as '?'
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.charset));
        auto stream = OpenStream(c.charset);
        ASSERT_HR(S_OK, stream->WriteText(CComBSTR(c.text), adWriteChar));
        EXPECT_EQ(LONG(c.bytes.size()), PositionOf(stream.Get()));
        EXPECT_EQ(c.bytes, ContentOf(stream.Get()));
        EXPECT_EQ(std::wstring(c.readBack), ReadText(stream.Get()));
    }
}

TEST(StreamCharsets, DecodingSkipsAMatchingMarkAndReplacesInvalidBytes) {
    const struct {
        const wchar_t* charset;
        Bytes bytes;
        const wchar_t* text;
    } cases[] = {
        {L"utf-8", {0xEF, 0xBB, 0xBF, 'h', 'i'}, L"hi"},
        {L"utf-8", {'h', 'i'}, L"hi"},
        {L"unicode", {0xFF, 0xFE, 'h', 0}, L"h"},
        {L"unicode", {'h', 0}, L"h"},
        {L"utf-16be", {0xFE, 0xFF, 0, 'h'}, L"h"},
        {L"iso-8859-1", {0xEF, 0xBB, 0xBF, 'h'}, L"\u00EF\u00BB\u00BFh"},  // not a mark in this charset
        {L"utf-8", {'a', 0xFF, 'b', 0xE6, 0x97}, L"a\uFFFDb\uFFFD"},
        {L"shift_jis", {'a', 0x93}, L"a\uFFFD"},
        {L"unicode", {'a', 0, 'b'}, L"a\uFFFD"},
        {L"us-ascii", {0x80, 'z'}, L"\uFFFDz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.text));
        EXPECT_EQ(std::wstring(c.text), ReadText(TextOver(c.charset, c.bytes).Get()));
    }
}

TEST(StreamCharsets, MarkIsWrittenOnlyAtTheStartAndTextAppends) {
    auto stream = OpenStream(L"utf-8");
    stream->WriteText(CComBSTR(L"ab"), adWriteChar);
    stream->WriteText(CComBSTR(L"c"), adWriteLine);
    stream->WriteText(CComBSTR(L"d"), adWriteChar);
    EXPECT_EQ((Bytes{0xEF, 0xBB, 0xBF, 'a', 'b', 'c', '\r', '\n', 'd'}), ContentOf(stream.Get()));
    EXPECT_EQ(L"abc\r\nd", ReadText(stream.Get()));
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

// ---- Reading text in pieces ------------------------------------------------------------

TEST(StreamText, ReadsCharactersLinesAndSkipsLinesWithTheSeparatorInForce) {
    auto stream = OpenStream(L"unicode");
    stream->WriteText(CComBSTR(L"one\r\ntwo\nthree"), adWriteChar);
    stream->put_Position(0);
    EXPECT_EQ(L"on", ReadText(stream.Get(), 2));
    EXPECT_EQ(2 + 2 * 2, PositionOf(stream.Get()));  // byte positions, past the mark
    EXPECT_EQ(L"e", ReadText(stream.Get(), adReadLine));
    EXPECT_EQ(L"two\nthree", ReadText(stream.Get(), adReadLine));  // a lone LF is text under CRLF

    stream->put_Position(0);
    stream->put_LineSeparator(adLF);
    ASSERT_HR(S_OK, stream->SkipLine());
    EXPECT_EQ(L"two", ReadText(stream.Get(), adReadLine));
    EXPECT_EQ(L"three", ReadText(stream.Get(), adReadLine));
    VARIANT_BOOL eos = VARIANT_FALSE;
    stream->get_EOS(&eos);
    EXPECT_EQ(VARIANT_TRUE, eos);
    CComBSTR rest;
    EXPECT_HR(S_OK, stream->ReadText(adReadAll, rest.Receive()));
    EXPECT_EQ(nullptr, rest.m_str);  // nothing left reads as a null string
}

TEST(StreamText, LineSeparatorIsFoundOnlyOnCodeUnitBoundaries) {
    // In UTF-16LE these characters are 41 0D 00 0A 00 41: the bytes of CR LF start at an odd
    // offset, inside characters, and are not a line end.
    auto stream = OpenStream(L"utf-16le");
    stream->WriteText(CComBSTR(L"\u0D41\u0A00\u4100\r\ny"), adWriteChar);
    stream->put_Position(0);
    EXPECT_EQ(L"\u0D41\u0A00\u4100", ReadText(stream.Get(), adReadLine));
}

TEST(StreamText, ASequenceThatDecodesToTwoCodePointsIsReadWhole) {
    // Any other ASCII-compatible charset glibc knows is taken too; in this one A4 F7 is
    // KA followed by a combining semi-voiced mark.
    auto stream = TextOver(L"EUC-JISX0213", {0xA4, 0xF7, 'A'});
    EXPECT_EQ(L"\u304B\u309A", ReadText(stream.Get(), 1));
    EXPECT_EQ(2, PositionOf(stream.Get()));
    EXPECT_EQ(L"A", ReadText(stream.Get(), 1));
    // A4 AB could start such a pair; at the end of the data it still comes out.
    EXPECT_EQ(L"A\u304B", ReadText(TextOver(L"EUC-JISX0213", {'A', 0xA4, 0xAB}).Get()));
}

// ---- Bytes and positions ---------------------------------------------------------------

TEST(StreamBytes, WriteOverwritesAtThePositionReadTakesCountsAndSetEOSTruncates) {
    auto stream = OpenStream(nullptr, adTypeBinary);
    ASSERT_HR(S_OK, stream->Write(ByteArray({1, 2, 3, 4})));
    stream->put_Position(1);
    ASSERT_HR(S_OK, stream->Write(ByteArray({9})));
    stream->put_Position(0);
    CComVariant first, rest, none;
    ASSERT_HR(S_OK, stream->Read(2, first.Receive()));
    EXPECT_EQ((Bytes{1, 9}), BytesOf(first));
    ASSERT_HR(S_OK, stream->Read(adReadAll, rest.Receive()));
    EXPECT_EQ((Bytes{3, 4}), BytesOf(rest));
    ASSERT_HR(S_OK, stream->Read(adReadAll, none.Receive()));
    EXPECT_EQ(VT_NULL, none.vt);

    stream->put_Position(3);
    ASSERT_HR(S_OK, stream->SetEOS());
    stream->put_Position(5);  // past the end: the stream grows with zero bytes
    stream->put_Position(0);
    CComVariant all;
    stream->Read(adReadAll, all.Receive());
    EXPECT_EQ((Bytes{1, 9, 3, 0, 0}), BytesOf(all));
}

TEST(StreamBytes, FailuresCarryThePublishedCodes) {
    auto text = OpenStream(L"utf-8");
    text->WriteText(CComBSTR(L"x"), adWriteChar);
    CComVariant out;
    EXPECT_HR(kContext, text->Read(adReadAll, out.Receive()));
    EXPECT_HR(kContext, text->Write(ByteArray({1})));
    EXPECT_HR(kContext, text->put_Type(adTypeBinary));  // not at position 0
    EXPECT_HR(kContext, text->put_Charset(CComBSTR(L"unicode")));
    EXPECT_HR(kArgument, text->put_Position(-1));
    EXPECT_HR(kOpen, text->Open(Missing(), adModeUnknown, adOpenStreamUnspecified, nullptr, nullptr));

    auto binary = OpenStream(nullptr, adTypeBinary);
    CComBSTR none;
    EXPECT_HR(kContext, binary->ReadText(adReadAll, none.Receive()));
    EXPECT_HR(kContext, binary->WriteText(CComBSTR(L"x"), adWriteChar));
    EXPECT_HR(kArgument, binary->Write(CComVariant()));

    auto fresh = OpenStream();  // bytes written to a new, empty text stream make it binary
    EXPECT_HR(S_OK, fresh->Write(ByteArray({7})));
    StreamTypeEnum type = 0;
    fresh->get_Type(&type);
    EXPECT_EQ(adTypeBinary, type);

    auto closed = CreateComponent<IZULibStream>(CLSID_Stream, IID_IZULibStream);
    LONG size = 0;
    EXPECT_HR(kClosed, closed->get_Size(&size));
    EXPECT_HR(kClosed, closed->Close());
    CComVariant source;
    source.SetString(L"http://example.com/");
    EXPECT_HR(kUnsupported, closed->Open(source, adModeUnknown, adOpenStreamUnspecified, nullptr, nullptr));
    EXPECT_HR(S_OK, closed->Open(CComVariant(), adModeUnknown, adOpenStreamUnspecified, nullptr, nullptr));

    auto readOnly = OpenStream(nullptr, adTypeText, adModeRead);
    EXPECT_HR(kContext, readOnly->WriteText(CComBSTR(L"x"), adWriteChar));
    EXPECT_HR(kOpen, readOnly->put_Mode(adModeReadWrite));
    EXPECT_HR(S_OK, readOnly->put_Position(10));  // moves without growing
    readOnly->get_Size(&size);
    EXPECT_EQ(0, size);
}

TEST(StreamBytes, CopyToConvertsTextAndCopiesBytes) {
    auto source = OpenStream(L"unicode");
    source->WriteText(CComBSTR(L"日本語"), adWriteChar);
    source->put_Position(0);
    auto target = OpenStream(L"shift_jis");
    ASSERT_HR(S_OK, source->CopyTo(target.Get(), 2));
    EXPECT_EQ((Bytes{0x93, 0xFA, 0x96, 0x7B}), ContentOf(target.Get()));

    auto bytes = TextOver(nullptr, {1, 2, 3});
    bytes->put_Type(adTypeBinary);
    bytes->put_Position(1);
    auto sink = OpenStream(nullptr, adTypeBinary);
    ASSERT_HR(S_OK, bytes->CopyTo(sink.Get(), -1));
    EXPECT_EQ((Bytes{2, 3}), ContentOf(sink.Get()));
}

// ---- Files -----------------------------------------------------------------------------

TEST(StreamFiles, LoadFromFileDecodesAShiftJisFile) {
    TempDir dir;
    const std::string path = dir.File("sjis.txt");
    WriteFile(path, {0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA, '\r', '\n', 0x82, 0xA0});  // 日本語 CRLF あ
    auto stream = OpenStream(L"Shift_JIS");
    stream->WriteText(CComBSTR(L"old content that the file replaces"), adWriteChar);
    ASSERT_HR(S_OK, stream->LoadFromFile(PathOf(path)));
    LONG size = 0;
    stream->get_Size(&size);
    EXPECT_EQ(0, PositionOf(stream.Get()));
    EXPECT_EQ(10, size);
    EXPECT_EQ(L"日本語\r\nあ", ReadText(stream.Get()));
}

TEST(StreamFiles, MissingFileFailsNamingThePath) {
    TempDir dir;
    const std::string path = dir.File("absent.txt");
    auto stream = OpenStream();
    EXPECT_HR(kOpening, stream->LoadFromFile(PathOf(path)));
    EXPECT_NE(std::wstring::npos, LastErrorDescription().find(std::wstring(path.begin(), path.end())));
    EXPECT_HR(kOpening, stream->LoadFromFile(PathOf(dir.File(""))));  // a directory
}

TEST(StreamFiles, SaveToFileOptions) {
    const struct {
        bool exists;
        SaveOptionsEnum option;
        HRESULT expected;
        Bytes fileAfter;
    } cases[] = {
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

// ---- Component identity and late binding ----------------------------------------------

TEST(StreamObject, InterfacesShareOneIdentityAndAggregationIsRefused) {
    auto stream = CreateComponent<IZULibStream>(CLSID_Stream, IID_IZULibStream);
    CComPtr<IUnknown> fromStream, fromDispatch, none;
    CComPtr<IDispatch> dispatch;
    ASSERT_HR(S_OK, stream->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()));
    stream->QueryInterface(IID_IUnknown, fromStream.ReceiveVoid());
    dispatch->QueryInterface(IID_IUnknown, fromDispatch.ReceiveVoid());
    EXPECT_EQ(fromStream.Get(), fromDispatch.Get());
    EXPECT_HR(E_NOINTERFACE, stream->QueryInterface(IID_IStream, none.ReceiveVoid()));

    CLSID byName{};
    ASSERT_HR(S_OK, veskhost::CLSIDFromProgID(L"adodb.stream", &byName));
    EXPECT_TRUE(guid_equal(CLSID_Stream, byName));
    CountingDispatch outer;
    EXPECT_HR(CLASS_E_NOAGGREGATION,
              CoCreateInstance(CLSID_Stream, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, none.ReceiveVoid()));
    EXPECT_EQ(1u, outer.RefCount());
}

TEST(StreamObject, ScriptsDriveItByName) {
    auto script = CreateComponent<IDispatch>(CLSID_Stream, IID_IDispatch);
    const std::pair<const wchar_t*, DISPID> names[] = {{L"size", 1}, {L"Charset", 8}, {L"READTEXT", 19}, {L"Cancel", 21}};
    for (const auto& [name, published] : names) {
        DISPID id = 0;
        LPOLESTR one[] = {const_cast<LPOLESTR>(name)};
        EXPECT_HR(S_OK, script->GetIDsOfNames(IID_NULL, one, 1, 0, &id));
        EXPECT_EQ(published, id);
    }
    ASSERT_HR(S_OK, CallByName(script.Get(), L"Charset", DISPATCH_PROPERTYPUT, {VarStr(L"shift_jis")}));
    ASSERT_HR(S_OK, CallByName(script.Get(), L"Open", DISPATCH_METHOD, {}));
    ASSERT_HR(S_OK, CallByName(script.Get(), L"WriteText", DISPATCH_METHOD, {VarStr(L"日本"), VarI4(adWriteLine)}));
    CComVariant size, text;
    ASSERT_HR(S_OK, CallByName(script.Get(), L"Size", DISPATCH_PROPERTYGET, {}, size.Receive()));
    EXPECT_EQ(6, size.lVal);
    ASSERT_HR(S_OK, CallByName(script.Get(), L"Position", DISPATCH_PROPERTYPUT, {VarI4(0)}));
    ASSERT_HR(S_OK, CallByName(script.Get(), L"ReadText", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, text.Receive()));
    ASSERT_EQ(VT_BSTR, text.vt);
    EXPECT_BSTR_EQ(L"日本\r\n", text.bstrVal);

    EXCEPINFO excep{};
    ASSERT_HR(S_OK, CallByName(script.Get(), L"Position", DISPATCH_PROPERTYPUT, {VarI4(0)}));
    EXPECT_HR(DISP_E_EXCEPTION,
              CallByName(script.Get(), L"Charset", DISPATCH_PROPERTYPUT, {VarStr(L"klingon")}, nullptr, &excep));
    EXPECT_HR(kArgument, excep.scode);
    EXPECT_NE(std::wstring::npos, View(excep.bstrDescription).find(L"klingon"));
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    EXPECT_HR(DISP_E_BADPARAMCOUNT, CallByName(script.Get(), L"LoadFromFile", DISPATCH_METHOD, {}));
    EXPECT_HR(DISP_E_MEMBERNOTFOUND, CallByName(script.Get(), L"Size", DISPATCH_PROPERTYPUT, {VarI4(1)}));
}

}  // namespace
}  // namespace vesk_test
