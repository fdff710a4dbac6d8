// The stream component: an in-memory byte stream that reads and writes text in a charset,
// loads and saves real files, and answers scripts through IDispatch with the published
// member names and DISPIDs.
//
// The content is kept as bytes; Position and Size count bytes in text mode too. Text written
// at the very start of a stream begins with the charset's byte order mark (for the charsets
// that take one), and text read from the start skips a mark that matches the charset.
//
// A text read that starts where the last one ended carries on with the decoder's state, so
// that text read in pieces is the text read whole, in every charset; any other start (a new
// Position, a write) decodes afresh. A character that the charset holds back to see whether
// a combining mark follows counts as read in Position and comes out with the next piece, or
// with the last one at the end of the content.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "hostkit/components/component_support.h"
#include "hostkit/components/components.h"
#include "hostkit/components/text_codec.h"
#include "hostkit/runtime/class_registry.h"

namespace veskhost {

namespace {

using namespace ADODB;

constexpr const wchar_t* kSource = L"ADODB.Stream";
// Size and Position are published as 32-bit values, so the content stays below 2 GB.
constexpr size_t kMaxSize = 0x7FFFFFFF;
// A BSTR's byte count is 32-bit: at four bytes a character this is the longest text.
constexpr size_t kMaxChars = 0x3FFFFFFE;
constexpr ConnectModeEnum kKnownModeBits = 0x1F | 0x400000;
constexpr size_t kNoDecoderState = SIZE_MAX;

// The stream's failures, with the published codes and texts.
enum class Fault { Closed, Open, Context, Argument, Unsupported, Opening, Reading, Writing, Size };

struct FaultEntry {
    Fault fault;
    uint32_t code;
    const wchar_t* text;
};

constexpr FaultEntry kFaults[] = {
    {Fault::Closed, 3704, L"Operation is not allowed when the object is closed."},
    {Fault::Open, 3705, L"Operation is not allowed when the object is open."},
    {Fault::Context, 3219, L"Operation is not allowed in this context."},
    {Fault::Argument, 3001,
     L"Arguments are of the wrong type, are out of acceptable range, or are in conflict with one another."},
    {Fault::Unsupported, 3251, L"Operation is not supported for this type of object."},
    {Fault::Opening, 3002, L"File could not be opened."},
    {Fault::Reading, 3003, L"File could not be read."},
    {Fault::Writing, 3004, L"Write to file failed."},
    {Fault::Size, 3734, L"The stream cannot hold more than 2147483647 bytes."},
};

// A file name as the UTF-8 path the system takes; "" when it cannot name a file.
std::string Utf8Path(BSTR name) {
    const UINT length = SysStringLen(name);
    if (length == 0 || wcslen(name) != length) return std::string();
    const size_t need = utf32_utf8(nullptr, 0, name);
    std::string path(need, '\0');
    utf32_utf8(path.data(), path.size(), name);
    path.resize(need ? need - 1 : 0);
    return path;
}

// The VARIANT a by-reference VARIANT points at, followed once.
const VARIANT* Target(VARIANT* v) { return automation::CInvokeArgs::Follow(v); }

HRESULT MakeByteArray(const char* data, size_t size, VARIANT* out) {
    CComSafeArray array;
    array.Attach(SafeArrayCreateVector(VT_UI1, 0, ULONG(size)));
    if (!array) return E_OUTOFMEMORY;
    void* p = nullptr;
    if (FAILED(SafeArrayAccessData(array.Get(), &p))) return E_UNEXPECTED;
    if (size) memcpy(p, data, size);
    SafeArrayUnaccessData(array.Get());
    out->vt = VT_ARRAY | VT_UI1;
    out->parray = array.Detach();
    return S_OK;
}

// ---- Late-bound members ----------------------------------------------------------------

// CopyTo takes its destination in any object form, by reference too, asks it for the stream
// interface, and converts the character count before it looks at the destination: no argument
// kind reads that, so the member reads its own arguments.
HRESULT InvokeCopyTo(automation::MemberCall& call) {
    automation::MemberArg count;
    if (HRESULT hr = automation::read_input(call, 1, count); FAILED(hr)) return hr;
    const VARIANT* target = call.args.At(0);
    IUnknown* object = nullptr;
    if (target->vt == VT_DISPATCH || target->vt == VT_UNKNOWN) object = target->punkVal;
    else if (target->vt == (VT_BYREF | VT_DISPATCH) || target->vt == (VT_BYREF | VT_UNKNOWN))
        object = target->ppunkVal ? *target->ppunkVal : nullptr;
    CComPtr<IZULibStream> spDest;
    if (object == nullptr || FAILED(object->QueryInterface(IID_IZULibStream, spDest.ReceiveVoid())) || !spDest)
        return DISP_E_TYPEMISMATCH;
    return static_cast<IZULibStream*>(call.instance)->CopyTo(spDest.Get(), count.coerced.lVal);
}

using S = IZULibStream;
using automation::ArgKind;
using automation::member_row;
using automation::ResultKind;

// The published names and DISPIDs of the stream's members, with the defaults of the arguments
// a script may leave out.
constexpr automation::MemberRow kStreamMembers[] = {
    member_row<S, &S::get_Size>(L"Size", 1, kGetCall),
    member_row<S, &S::get_EOS>(L"EOS", 2, kGetCall),
    member_row<S, &S::put_Position>(L"Position", 3, DISPATCH_PROPERTYPUT),
    member_row<S, &S::get_Position>(L"Position", 3, kGetCall),
    member_row<S, &S::put_Type>(L"Type", 4, DISPATCH_PROPERTYPUT),
    member_row<S, &S::get_Type>(L"Type", 4, kGetCall),
    member_row<S, &S::put_LineSeparator>(L"LineSeparator", 5, DISPATCH_PROPERTYPUT),
    member_row<S, &S::get_LineSeparator>(L"LineSeparator", 5, kGetCall),
    member_row<S, &S::get_State>(L"State", 6, kGetCall),
    member_row<S, &S::put_Mode>(L"Mode", 7, DISPATCH_PROPERTYPUT),
    member_row<S, &S::get_Mode>(L"Mode", 7, kGetCall),
    member_row<S, &S::put_Charset>(L"Charset", 8, DISPATCH_PROPERTYPUT),
    member_row<S, &S::get_Charset>(L"Charset", 8, kGetCall),
    member_row<S, &S::Read, ResultKind::Variant>(L"Read", 9, kGetCall).Optional(adReadAll),
    member_row<S, &S::Open>(L"Open", 10, kGetCall)
        .Optional(automation::MemberDefault(), adModeUnknown, adOpenStreamUnspecified, L"", L""),
    member_row<S, &S::Close>(L"Close", 11, kGetCall),
    member_row<S, &S::SkipLine>(L"SkipLine", 12, kGetCall),
    member_row<S, &S::Write>(L"Write", 13, kGetCall),
    member_row<S, &S::SetEOS>(L"SetEOS", 14, kGetCall),
    automation::raw_row(L"CopyTo", 15, kGetCall, &InvokeCopyTo, {ArgKind::Unknown, ArgKind::I4}).Optional(-1),
    member_row<S, &S::Flush>(L"Flush", 16, kGetCall),
    member_row<S, &S::SaveToFile>(L"SaveToFile", 17, kGetCall).Optional(adSaveCreateNotExist),
    member_row<S, &S::LoadFromFile>(L"LoadFromFile", 18, kGetCall),
    member_row<S, &S::ReadText>(L"ReadText", 19, kGetCall).Optional(adReadAll),
    member_row<S, &S::WriteText>(L"WriteText", 20, kGetCall).Optional(adWriteChar),
    member_row<S, &S::Cancel>(L"Cancel", 21, kGetCall),
};

class CHostStream final : public GComponent<CHostStream, IZULibStream, IDispatch, ISupportErrorInfo> {
public:
    static constexpr automation::MemberRows kMembers = kStreamMembers;

    static HRESULT Create(REFIID riid, void** ppv);

    // IZULibStream
    HRESULT get_Size(LONG* pSize) override;
    HRESULT get_EOS(VARIANT_BOOL* pEOS) override;
    HRESULT get_Position(LONG* pPos) override;
    HRESULT put_Position(LONG Position) override;
    HRESULT get_Type(StreamTypeEnum* ptype) override;
    HRESULT put_Type(StreamTypeEnum Type) override;
    HRESULT get_LineSeparator(LineSeparatorEnum* pLS) override;
    HRESULT put_LineSeparator(LineSeparatorEnum LineSeparator) override;
    HRESULT get_State(ObjectStateEnum* pState) override;
    HRESULT get_Mode(ConnectModeEnum* pMode) override;
    HRESULT put_Mode(ConnectModeEnum Mode) override;
    HRESULT get_Charset(BSTR* pbstrCharset) override;
    HRESULT put_Charset(BSTR Charset) override;
    HRESULT Read(LONG NumBytes, VARIANT* pval) override;
    HRESULT Open(VARIANT Source, ConnectModeEnum Mode, StreamOpenOptionsEnum Options, BSTR UserName,
                 BSTR Password) override;
    HRESULT Close() override;
    HRESULT SkipLine() override;
    HRESULT Write(VARIANT Buffer) override;
    HRESULT SetEOS() override;
    HRESULT CopyTo(IZULibStream* DestStream, LONG CharNumber) override;
    HRESULT Flush() override;
    HRESULT SaveToFile(BSTR FileName, SaveOptionsEnum Options) override;
    HRESULT LoadFromFile(BSTR FileName) override;
    HRESULT ReadText(LONG NumChars, BSTR* pbstr) override;
    HRESULT WriteText(BSTR Data, StreamWriteEnum Options) override;
    HRESULT Cancel() override { return S_OK; }

private:
    CHostStream() = default;

    HRESULT Fail(Fault fault, const std::wstring& item = std::wstring());
    HRESULT RequireOpen() { return m_bOpen ? S_OK : Fail(Fault::Closed); }
    HRESULT RequireText();
    HRESULT RequireWritable();
    // Writes bytes at the position, over what is there and past the end, and moves on.
    HRESULT WriteBytes(const char* data, size_t size);
    // Write of any byte array: kept apart so that the one-byte case needs no frame of its own.
    [[gnu::noinline]] HRESULT WriteArray(VARIANT Buffer);
    // Where text reading starts: past a matching byte order mark when at the start.
    size_t TextStart() const;
    // The separator's bytes and where the line that starts at `from` ends (npos: no end).
    size_t FindLineEnd(size_t from, size_t* separatorSize);
    std::string SeparatorBytes();
    const wchar_t* SeparatorText() const;
    // Decodes at most `limit` characters from where text reading starts up to `end`, and
    // returns the offset the read ends at; CommitRead then moves the position there.
    size_t DecodeText(size_t end, size_t limit, std::wstring& text);
    void CommitRead(size_t next) {
        m_nPos = next;
        m_nDecodedTo = next;
    }
    void DropDecoderState() { m_nDecodedTo = kNoDecoderState; }
    HRESULT ReturnText(const std::wstring& text, BSTR* pbstr);

    std::string m_strData;
    size_t m_nPos = 0;
    bool m_bOpen = false;
    StreamTypeEnum m_nType = adTypeText;
    LineSeparatorEnum m_nLineSeparator = adCRLF;
    ConnectModeEnum m_nMode = adModeUnknown;
    std::wstring m_strCharset = L"unicode";
    std::unique_ptr<CTextCodec> m_pCodec;
    // Where the last text read ended, while the codec's decoder still holds the state it had
    // there; a read that starts anywhere else starts the decoder afresh.
    size_t m_nDecodedTo = kNoDecoderState;
};

// ---- Creation ------------------------------------------------------------------------

HRESULT CHostStream::Create(REFIID riid, void** ppv) {
    CHostStream* stream = new (std::nothrow) CHostStream();
    if (stream == nullptr) return E_OUTOFMEMORY;
    stream->m_pCodec = CTextCodec::Create(stream->m_strCharset);
    HRESULT hr = stream->m_pCodec ? stream->QueryInterface(riid, ppv) : E_UNEXPECTED;
    stream->Release();
    return hr;
}

// ---- Checks ----------------------------------------------------------------------------

HRESULT CHostStream::Fail(Fault fault, const std::wstring& item) {
    for (const FaultEntry& entry : kFaults) {
        if (entry.fault != fault) continue;
        std::wstring text = entry.text;
        if (!item.empty()) text += L"[" + item + L"]";
        return RaiseComponentError(ControlError(entry.code), kSource, text);
    }
    return E_UNEXPECTED;
}

HRESULT CHostStream::RequireText() {
    if (!m_bOpen) return Fail(Fault::Closed);
    return m_nType == adTypeText ? S_OK : Fail(Fault::Context);
}

HRESULT CHostStream::RequireWritable() {
    if (!m_bOpen) return Fail(Fault::Closed);
    return m_nMode == adModeRead ? Fail(Fault::Context) : S_OK;
}

// ---- Properties ------------------------------------------------------------------------

HRESULT CHostStream::get_Size(LONG* pSize) {
    if (pSize == nullptr) return E_POINTER;
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    *pSize = LONG(m_strData.size());
    return S_OK;
}

HRESULT CHostStream::get_EOS(VARIANT_BOOL* pEOS) {
    if (pEOS == nullptr) return E_POINTER;
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    *pEOS = m_nPos >= m_strData.size() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CHostStream::get_Position(LONG* pPos) {
    if (pPos == nullptr) return E_POINTER;
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    *pPos = LONG(m_nPos);
    return S_OK;
}

HRESULT CHostStream::put_Position(LONG Position) {
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    if (Position < 0) return Fail(Fault::Argument);
    const size_t target = size_t(Position);
    // Moving past the end grows a writable stream with zero bytes; a read-only stream only
    // moves its position.
    if (target > m_strData.size() && m_nMode != adModeRead) {
        try {
            m_strData.resize(target, '\0');
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    m_nPos = target;
    DropDecoderState();
    return S_OK;
}

HRESULT CHostStream::get_Type(StreamTypeEnum* ptype) {
    if (ptype == nullptr) return E_POINTER;
    *ptype = m_nType;
    return S_OK;
}

HRESULT CHostStream::put_Type(StreamTypeEnum Type) {
    if (Type != adTypeBinary && Type != adTypeText) return Fail(Fault::Argument);
    if (m_bOpen && m_nPos != 0) return Fail(Fault::Context);
    m_nType = Type;
    DropDecoderState();
    return S_OK;
}

HRESULT CHostStream::get_LineSeparator(LineSeparatorEnum* pLS) {
    if (pLS == nullptr) return E_POINTER;
    *pLS = m_nLineSeparator;
    return S_OK;
}

HRESULT CHostStream::put_LineSeparator(LineSeparatorEnum LineSeparator) {
    if (LineSeparator != adCRLF && LineSeparator != adLF && LineSeparator != adCR) return Fail(Fault::Argument);
    m_nLineSeparator = LineSeparator;
    return S_OK;
}

HRESULT CHostStream::get_State(ObjectStateEnum* pState) {
    if (pState == nullptr) return E_POINTER;
    *pState = m_bOpen ? adStateOpen : adStateClosed;
    return S_OK;
}

HRESULT CHostStream::get_Mode(ConnectModeEnum* pMode) {
    if (pMode == nullptr) return E_POINTER;
    *pMode = m_nMode;
    return S_OK;
}

HRESULT CHostStream::put_Mode(ConnectModeEnum Mode) {
    if (m_bOpen) return Fail(Fault::Open);
    if ((Mode & ~kKnownModeBits) != 0) return Fail(Fault::Argument);
    m_nMode = Mode;
    return S_OK;
}

HRESULT CHostStream::get_Charset(BSTR* pbstrCharset) {
    if (pbstrCharset == nullptr) return E_POINTER;
    *pbstrCharset = SysAllocStringLen(m_strCharset.data(), UINT(m_strCharset.size()));
    return *pbstrCharset ? S_OK : E_OUTOFMEMORY;
}

HRESULT CHostStream::put_Charset(BSTR Charset) {
    if (m_bOpen && m_nPos != 0) return Fail(Fault::Context);
    const std::wstring name = ToWString(Charset);
    std::unique_ptr<CTextCodec> codec = CTextCodec::Create(name);
    if (!codec) return RaiseComponentError(ControlError(3001), kSource, L"Character set is not known.[" + name + L"]");
    m_pCodec = std::move(codec);
    m_strCharset = name;
    DropDecoderState();
    return S_OK;
}

// ---- Opening and closing ---------------------------------------------------------------

HRESULT CHostStream::Open(VARIANT Source, ConnectModeEnum Mode, StreamOpenOptionsEnum, BSTR, BSTR) {
    if (m_bOpen) return Fail(Fault::Open);
    const VARIANT* source = Target(&Source);
    if (source == nullptr || (source->vt != VT_ERROR && source->vt != VT_EMPTY)) {
        return RaiseComponentError(ControlError(3251), kSource,
                                   L"Operation is not supported for this type of object. A stream opens "
                                   L"empty in memory here; use LoadFromFile to read a file.");
    }
    if ((Mode & ~kKnownModeBits) != 0) return Fail(Fault::Argument);
    if (Mode != adModeUnknown) m_nMode = Mode;
    m_strData.clear();
    m_nPos = 0;
    DropDecoderState();
    m_bOpen = true;
    return S_OK;
}

HRESULT CHostStream::Close() {
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    std::string().swap(m_strData);
    m_nPos = 0;
    DropDecoderState();
    m_bOpen = false;
    return S_OK;
}

HRESULT CHostStream::Flush() { return RequireOpen(); }

// ---- Bytes -----------------------------------------------------------------------------

HRESULT CHostStream::WriteBytes(const char* data, size_t size) {
    if (size > kMaxSize - std::min(m_nPos, kMaxSize)) return Fail(Fault::Size);
    try {
        if (m_nPos > m_strData.size()) m_strData.resize(m_nPos, '\0');
        if (m_nPos == m_strData.size()) m_strData.append(data, size);
        else m_strData.replace(m_nPos, std::min(size, m_strData.size() - m_nPos), data, size);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_nPos += size;
    DropDecoderState();
    return S_OK;
}

HRESULT CHostStream::Read(LONG NumBytes, VARIANT* pval) {
    if (pval == nullptr) return E_POINTER;
    VariantInit(pval);
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    if (m_nType != adTypeBinary) return Fail(Fault::Context);
    if (NumBytes < -1) return Fail(Fault::Argument);
    if (m_nPos >= m_strData.size()) {
        pval->vt = VT_NULL;
        return S_OK;
    }
    const size_t left = m_strData.size() - m_nPos;
    const size_t count = NumBytes == -1 ? left : std::min(size_t(NumBytes), left);
    if (HRESULT hr = MakeByteArray(m_strData.data() + m_nPos, count, pval); FAILED(hr)) return hr;
    m_nPos += count;
    return S_OK;
}

HRESULT CHostStream::Write(VARIANT Buffer) {
    // An uploaded file arrives one byte per call, each a one-element array passed by
    // reference, appended at the end of a binary stream: that case is checked first and
    // takes the byte straight from the array, with no allocation beyond the buffer's growth.
    if (Buffer.vt == (VT_BYREF | VT_ARRAY | VT_UI1) && m_bOpen && m_nType == adTypeBinary && m_nMode != adModeRead &&
        Buffer.pparray != nullptr && m_nPos == m_strData.size() && m_nPos < kMaxSize) {
        const SAFEARRAY* one = *Buffer.pparray;
        if (one != nullptr && one->cDims == 1 && one->cbElements == 1 && one->rgsabound[0].cElements == 1 &&
            one->pvData != nullptr) {
            try {
                m_strData.push_back(*static_cast<const char*>(one->pvData));
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            ++m_nPos;
            DropDecoderState();
            return S_OK;
        }
    }
    return WriteArray(Buffer);
}

HRESULT CHostStream::WriteArray(VARIANT Buffer) {
    if (HRESULT hr = RequireWritable(); FAILED(hr)) return hr;
    const VARIANT* buffer = Target(&Buffer);
    SAFEARRAY* array = nullptr;
    if (buffer && (buffer->vt == (VT_ARRAY | VT_UI1) || buffer->vt == (VT_ARRAY | VT_I1))) array = buffer->parray;
    else if (buffer && (buffer->vt == (VT_BYREF | VT_ARRAY | VT_UI1) || buffer->vt == (VT_BYREF | VT_ARRAY | VT_I1)))
        array = buffer->pparray ? *buffer->pparray : nullptr;
    if (array == nullptr || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) {
        return RaiseComponentError(ControlError(3001), kSource,
                                   L"Arguments are of the wrong type, are out of acceptable range, or are in "
                                   L"conflict with one another. Write takes an array of bytes.");
    }
    // Bytes written to a new, empty text stream make it a binary stream; a text stream that
    // holds anything refuses them.
    if (m_nType != adTypeBinary) {
        if (!m_strData.empty()) return Fail(Fault::Context);
        m_nType = adTypeBinary;
    }
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const size_t count = upper >= lower ? size_t(int64_t(upper) - lower + 1) : 0;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return Fail(Fault::Argument);
    const HRESULT hr = WriteBytes(static_cast<const char*>(data), count);
    SafeArrayUnaccessData(array);
    return hr;
}

HRESULT CHostStream::SetEOS() {
    if (HRESULT hr = RequireWritable(); FAILED(hr)) return hr;
    if (m_nPos < m_strData.size()) m_strData.resize(m_nPos);
    DropDecoderState();
    return S_OK;
}

// ---- Text ------------------------------------------------------------------------------

size_t CHostStream::TextStart() const {
    const std::string& signature = m_pCodec->Signature();
    if (m_nPos == 0 && !signature.empty() && m_strData.compare(0, signature.size(), signature) == 0)
        return signature.size();
    return m_nPos;
}

std::string CHostStream::SeparatorBytes() {
    std::string bytes;
    switch (m_nLineSeparator) {
    case adLF: m_pCodec->Encode(L"\n", 1, bytes); break;
    case adCR: m_pCodec->Encode(L"\r", 1, bytes); break;
    default: m_pCodec->Encode(L"\r\n", 2, bytes); break;
    }
    return bytes;
}

const wchar_t* CHostStream::SeparatorText() const {
    switch (m_nLineSeparator) {
    case adLF: return L"\n";
    case adCR: return L"\r";
    default: return L"\r\n";
    }
}

size_t CHostStream::FindLineEnd(size_t from, size_t* separatorSize) {
    const std::string separator = SeparatorBytes();
    *separatorSize = separator.size();
    const size_t unit = m_pCodec->UnitSize();
    const std::string_view data(m_strData);
    for (size_t at = data.find(separator, from); at != std::string_view::npos; at = data.find(separator, at + 1)) {
        if ((at - from) % unit == 0) return at;
    }
    return std::string_view::npos;
}

HRESULT CHostStream::ReturnText(const std::wstring& text, BSTR* pbstr) {
    if (text.size() > kMaxChars) return Fail(Fault::Size);
    *pbstr = SysAllocStringLen(text.data(), UINT(text.size()));
    return *pbstr ? S_OK : E_OUTOFMEMORY;
}

size_t CHostStream::DecodeText(size_t end, size_t limit, std::wstring& text) {
    const size_t start = TextStart();
    if (m_nDecodedTo != m_nPos) m_pCodec->ResetDecoder();
    DropDecoderState();  // until the read is committed
    return start + m_pCodec->Decode(reinterpret_cast<const uint8_t*>(m_strData.data()) + start, end - start, limit, text);
}

HRESULT CHostStream::ReadText(LONG NumChars, BSTR* pbstr) {
    if (pbstr == nullptr) return E_POINTER;
    *pbstr = nullptr;
    if (HRESULT hr = RequireText(); FAILED(hr)) return hr;
    if (NumChars < adReadLine) return Fail(Fault::Argument);
    // Nothing left reads as a null string.
    if (m_nPos >= m_strData.size()) return S_OK;

    // A line is decoded with its separator, which ends anything the decoder holds back in
    // the line, and is returned without it.
    size_t end = m_strData.size();
    bool line = false;
    if (NumChars == adReadLine) {
        size_t separatorSize = 0;
        const size_t lineEnd = FindLineEnd(TextStart(), &separatorSize);
        if (lineEnd != std::string_view::npos) {
            end = lineEnd + separatorSize;
            line = true;
        }
    }
    std::wstring text;
    size_t next = 0;
    try {
        next = DecodeText(end, NumChars >= 0 ? size_t(NumChars) : SIZE_MAX, text);
        const std::wstring_view separator = SeparatorText();
        if (line && std::wstring_view(text).ends_with(separator)) text.resize(text.size() - separator.size());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (HRESULT hr = ReturnText(text, pbstr); FAILED(hr)) return hr;
    CommitRead(next);
    return S_OK;
}

HRESULT CHostStream::WriteText(BSTR Data, StreamWriteEnum Options) {
    if (HRESULT hr = RequireText(); FAILED(hr)) return hr;
    if (m_nMode == adModeRead) return Fail(Fault::Context);
    if (Options != adWriteChar && Options != adWriteLine) return Fail(Fault::Argument);
    const UINT length = SysStringLen(Data);
    if (length == 0 && Options == adWriteChar) return S_OK;
    std::string bytes;
    try {
        if (m_nPos == 0) bytes = m_pCodec->ByteOrderMark();
        m_pCodec->Encode(Data, length, bytes);
        if (Options == adWriteLine) bytes += SeparatorBytes();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return WriteBytes(bytes.data(), bytes.size());
}

HRESULT CHostStream::SkipLine() {
    if (HRESULT hr = RequireText(); FAILED(hr)) return hr;
    if (m_nPos >= m_strData.size()) return S_OK;
    size_t separatorSize = 0;
    const size_t lineEnd = FindLineEnd(TextStart(), &separatorSize);
    m_nPos = lineEnd == std::string_view::npos ? m_strData.size() : lineEnd + separatorSize;
    DropDecoderState();
    return S_OK;
}

HRESULT CHostStream::CopyTo(IZULibStream* DestStream, LONG CharNumber) {
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    if (DestStream == nullptr || CharNumber < -1) return Fail(Fault::Argument);
    // The destination is asked first whether it takes the copy, so that a copy it refuses
    // leaves this stream where it was.
    ObjectStateEnum destState = adStateClosed;
    StreamTypeEnum destType = adTypeBinary;
    ConnectModeEnum destMode = adModeUnknown;
    if (HRESULT hr = DestStream->get_State(&destState); FAILED(hr)) return hr;
    if (destState != adStateOpen) return Fail(Fault::Closed);
    if (HRESULT hr = DestStream->get_Mode(&destMode); FAILED(hr)) return hr;
    if (destMode == adModeRead) return Fail(Fault::Context);
    if (HRESULT hr = DestStream->get_Type(&destType); FAILED(hr)) return hr;
    if (destType == adTypeText && m_nType == adTypeBinary) {
        LONG destSize = 0;
        if (HRESULT hr = DestStream->get_Size(&destSize); FAILED(hr)) return hr;
        if (destSize != 0) return Fail(Fault::Context);
    }
    // Answering, the destination may have called back into this stream.
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;

    // A binary stream copies bytes; a text stream copies characters, which a text
    // destination receives as text in its own charset and a binary one as the source's bytes.
    const bool asText = m_nType == adTypeText;
    std::string bytes;
    std::wstring text;
    size_t next = m_nPos;
    try {
        if (m_nPos < m_strData.size()) {
            const size_t limit = CharNumber >= 0 ? size_t(CharNumber) : SIZE_MAX;
            const size_t start = asText ? TextStart() : m_nPos;
            next = asText ? DecodeText(m_strData.size(), limit, text) : start + std::min(limit, m_strData.size() - start);
            bytes.assign(m_strData, start, next - start);
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (asText) {
        CommitRead(next);
    } else {
        m_nPos = next;
        DropDecoderState();
    }

    if (asText && destType == adTypeText) {
        if (text.size() > kMaxChars) return Fail(Fault::Size);
        CComBSTR chars(text.data(), UINT(text.size()));
        if (!chars && !text.empty()) return E_OUTOFMEMORY;
        return DestStream->WriteText(chars, adWriteChar);
    }
    CComVariant buffer;
    if (HRESULT hr = MakeByteArray(bytes.data(), bytes.size(), &buffer); FAILED(hr)) return hr;
    return DestStream->Write(buffer);
}

// ---- Files -----------------------------------------------------------------------------

HRESULT CHostStream::SaveToFile(BSTR FileName, SaveOptionsEnum Options) {
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    if (Options != adSaveCreateNotExist && Options != adSaveCreateOverWrite) return Fail(Fault::Argument);
    const std::wstring name = ToWString(FileName);
    const std::string path = Utf8Path(FileName);
    if (path.empty()) return Fail(Fault::Writing, name);
    // Without O_NONBLOCK, opening a pipe that nobody reads waits for a reader for ever. Only
    // a regular file is written (O_NONBLOCK does nothing to one).
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (Options == adSaveCreateNotExist ? O_EXCL : O_TRUNC);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return Fail(Fault::Writing, name);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return Fail(Fault::Writing, name);
    }
    size_t done = 0;
    while (done < m_strData.size()) {
        const ssize_t n = ::write(fd, m_strData.data() + done, m_strData.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            return Fail(Fault::Writing, name);
        }
        done += size_t(n);
    }
    if (::close(fd) != 0) return Fail(Fault::Writing, name);
    m_nPos = 0;
    DropDecoderState();
    return S_OK;
}

HRESULT CHostStream::LoadFromFile(BSTR FileName) {
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    const std::wstring name = ToWString(FileName);
    const std::string path = Utf8Path(FileName);
    if (path.empty()) return Fail(Fault::Opening, name);
    // Without O_NONBLOCK, opening a pipe that nobody writes waits for a writer for ever; it
    // is refused once open, as is anything else but a regular file (on which O_NONBLOCK does
    // nothing). A file is read as far as the size it had when it was opened, however fast
    // it grows.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Fail(Fault::Opening, name);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return Fail(Fault::Opening, name);
    }
    if (info.st_size > off_t(kMaxSize)) {
        ::close(fd);
        return Fail(Fault::Size, name);
    }
    std::string content;
    HRESULT hr = S_OK;
    try {
        content.resize(size_t(info.st_size));
        size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = ::read(fd, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                hr = Fail(Fault::Reading, name);
                break;
            }
            if (n == 0) break;  // the file shrank
            done += size_t(n);
        }
        content.resize(done);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    ::close(fd);
    if (FAILED(hr)) return hr;
    m_strData.swap(content);
    m_nPos = 0;
    DropDecoderState();
    return S_OK;
}

[[maybe_unused]] const bool g_bStreamRegistered = RegisterClassCreator(CLSID_Stream, L"ADODB.Stream", &CreateHostStream);

}  // namespace

HRESULT CreateHostStream(IUnknown* outer, REFIID riid, void** ppv) {
    return CreateWithoutOuter(outer, riid, ppv, &CHostStream::Create);
}

}  // namespace veskhost
