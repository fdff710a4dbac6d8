// Arbitrary bytes read back as text through the stream component in every charset it names
// itself: whole, line by line and a few characters at a time. Invalid bytes must come back
// as replacement characters, and every read must end inside the content.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "host/ccom.h"

namespace {

const wchar_t* const kCharsets[] = {L"unicode", L"utf-8",     L"utf-16be", L"utf-32",       L"shift_jis",
                                    L"euc-jp",  L"iso-8859-1", L"windows-1252", L"us-ascii", L"unicodeFFFE", L"EUC-JISX0213", L"BIG5-HKSCS"};
const ADODB::LineSeparatorEnum kSeparators[] = {ADODB::adCRLF, ADODB::adLF, ADODB::adCR};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const wchar_t* charset = kCharsets[data[0] % (sizeof kCharsets / sizeof kCharsets[0])];
    const ADODB::LineSeparatorEnum separator = kSeparators[data[1] % 3];
    const LONG step = data[1] / 3 % 7;
    data += 2;
    size -= 2;

    CComPtr<IZULibStream> stream;
    if (FAILED(CoCreateInstance(CLSID_Stream, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibStream, stream.ReceiveVoid())))
        __builtin_trap();
    CComVariant none;
    none.SetError(DISP_E_PARAMNOTFOUND);
    stream->put_Type(ADODB::adTypeBinary);
    stream->Open(none, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr);
    CComVariant bytes;
    bytes.vt = VT_ARRAY | VT_UI1;
    bytes.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(size));
    if (size) memcpy(bytes.parray->pvData, data, size);
    stream->Write(bytes);
    stream->put_Position(0);
    stream->put_Type(ADODB::adTypeText);
    if (FAILED(stream->put_Charset(CComBSTR(charset)))) __builtin_trap();
    stream->put_LineSeparator(separator);

    for (LONG count : {LONG(ADODB::adReadAll), LONG(ADODB::adReadLine), step}) {
        stream->put_Position(0);
        VARIANT_BOOL eos = VARIANT_FALSE;
        while (stream->get_EOS(&eos) == S_OK && eos == VARIANT_FALSE) {
            LONG before = 0, after = 0;
            stream->get_Position(&before);
            CComBSTR text;
            if (FAILED(stream->ReadText(count, text.Receive()))) __builtin_trap();
            stream->get_Position(&after);
            if (size_t(after) > size) __builtin_trap();
            if (count == 0) break;
            if (after <= before) __builtin_trap();  // a read that does not move on would loop forever
        }
    }
    return 0;
}
