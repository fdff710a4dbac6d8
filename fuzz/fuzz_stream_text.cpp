// Text through the stream component in charsets it names itself and in the shifting and
// composing ones iconv adds: either the input's bytes as the content, or the input as code
// points (any 32-bit value) written as text. The content is read whole, line by line and in
// pieces of sizes the input chooses. Every character read must be a Unicode scalar value
// (U+FFFD for what does not decode), every read must move on and end inside the content,
// and the pieces must join up to exactly the text read whole.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/ccom.h"

namespace {

// The first eight hold every scalar value.
const wchar_t* const kCharsets[] = {
    L"unicode",     L"unicodeFFFE",  L"utf-16le",      L"utf-16be",       L"utf-8",       L"utf-32",
    L"utf-32le",    L"utf-32be",     L"shift_jis",     L"euc-jp",         L"iso-8859-1",  L"windows-1252",
    L"us-ascii",    L"ISO-2022-JP",  L"ISO-2022-JP-2", L"ISO-2022-JP-3",  L"ISO-2022-CN", L"ISO-2022-CN-EXT",
    L"UTF-7",       L"CP1258",       L"TCVN5712-1",    L"CP1255",         L"EUC-JISX0213", L"SHIFT_JISX0213",
    L"BIG5-HKSCS",  L"TSCII",        L"GB18030",       L"EUC-KR",         L"iso-ir-193",  L"KOI8-R",
};
constexpr size_t kCharsetCount = sizeof kCharsets / sizeof kCharsets[0];
const ADODB::LineSeparatorEnum kSeparators[] = {ADODB::adCRLF, ADODB::adLF, ADODB::adCR};

[[noreturn]] void Fail() { __builtin_trap(); }

bool IsScalar(wchar_t c) {
    const uint32_t u = uint32_t(c);
    return u < 0xD800 || (u > 0xDFFF && u <= 0x10FFFF);
}

// One read of `count` characters, checked: it succeeds, moves on (unless count is 0), ends
// inside the content and gives only scalar values.
std::wstring ReadChecked(IZULibStream* stream, LONG count, LONG size) {
    LONG before = 0, after = 0;
    stream->get_Position(&before);
    CComBSTR text;
    if (FAILED(stream->ReadText(count, text.Receive()))) Fail();
    stream->get_Position(&after);
    if (after > size || (count != 0 && after <= before)) Fail();
    const std::wstring read(text.c_str() ? text.c_str() : L"", text.Length());
    for (wchar_t c : read) {
        if (!IsScalar(c)) Fail();
    }
    return read;
}

bool AtEnd(IZULibStream* stream) {
    VARIANT_BOOL eos = VARIANT_TRUE;
    return stream->get_EOS(&eos) != S_OK || eos == VARIANT_TRUE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const size_t charsetIndex = data[0] % kCharsetCount;
    const wchar_t* charset = kCharsets[charsetIndex];
    const ADODB::LineSeparatorEnum separator = kSeparators[data[1] % 3];
    const bool asText = (data[1] & 0x80) != 0;
    const size_t sizeCount = data[2] % 8 + 1;
    data += 3;
    size -= 3;
    std::vector<LONG> pieces;
    for (size_t i = 0; i < sizeCount; ++i) pieces.push_back(i < size ? LONG(data[i] % 13) + 1 : LONG(i) + 1);
    const size_t skip = std::min(size, sizeCount);
    data += skip;
    size -= skip;

    std::wstring written;  // what a Unicode charset must read back, in text mode
    CComPtr<IZULibStream> stream;
    if (FAILED(CoCreateInstance(CLSID_Stream, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibStream, stream.ReceiveVoid())))
        Fail();
    CComVariant none;
    none.SetError(DISP_E_PARAMNOTFOUND);
    if (asText) {
        // Four bytes a code point, any 32-bit value: what the charset cannot hold is written as '?'.
        std::wstring text;
        for (size_t i = 0; i + 4 <= size; i += 4) {
            uint32_t c;
            memcpy(&c, data + i, 4);
            if (c == 0) c = L' ';
            text.push_back(wchar_t(c));
        }
        if (FAILED(stream->put_Charset(CComBSTR(charset)))) return 0;
        stream->Open(none, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr);
        stream->put_LineSeparator(separator);
        if (FAILED(stream->WriteText(CComBSTR(text.c_str(), UINT(text.size())), ADODB::adWriteLine))) Fail();
        // A mark at the start of the text reads as the byte order mark, so it is left out.
        if (charsetIndex < 8 && (text.empty() || text[0] != 0xFEFF)) {
            for (wchar_t c : text) written.push_back(IsScalar(c) ? c : L'?');
            written += separator == ADODB::adLF ? L"\n" : separator == ADODB::adCR ? L"\r" : L"\r\n";
        }
    } else {
        stream->put_Type(ADODB::adTypeBinary);
        stream->Open(none, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr);
        CComVariant bytes;
        bytes.vt = VT_ARRAY | VT_UI1;
        bytes.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(size));
        if (size) memcpy(bytes.parray->pvData, data, size);
        stream->Write(bytes);
        stream->put_Position(0);
        stream->put_Type(ADODB::adTypeText);
        if (FAILED(stream->put_Charset(CComBSTR(charset)))) return 0;  // a charset this host's iconv lacks
        stream->put_LineSeparator(separator);
    }
    LONG total = 0;
    stream->get_Size(&total);

    stream->put_Position(0);
    const std::wstring whole = AtEnd(stream.Get()) ? std::wstring() : ReadChecked(stream.Get(), ADODB::adReadAll, total);
    if (!AtEnd(stream.Get())) Fail();
    if (!written.empty() && whole != written) Fail();

    stream->put_Position(0);
    std::wstring joined;
    for (size_t i = 0; !AtEnd(stream.Get()); ++i) joined += ReadChecked(stream.Get(), pieces[i % pieces.size()], total);
    if (joined != whole) Fail();

    stream->put_Position(0);
    while (!AtEnd(stream.Get())) ReadChecked(stream.Get(), ADODB::adReadLine, total);
    stream->put_Position(0);
    ReadChecked(stream.Get(), 0, total);
    return 0;
}
