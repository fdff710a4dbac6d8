// The utility operations, compiled once and shared by every interface that carries them
// (GIUtilityImpl forwards to these). None of them sets error information.
//
// The charset argument of the encoders, digests and decoders: 0 or more maps text through
// UTF-8; a negative value takes a string's own memory (4 bytes per character, or exactly
// the bytes of a byte string a decoder made); -2 makes a decoder return a byte array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/ccom.h"

// The most characters a BSTR can hold: its 32-bit prefix counts bytes.
constexpr size_t kMaxBstrChars = 0x3FFFFFF0;

// The bytes an encoder or digest works on, read from its input VARIANT.
class CInputBytes {
public:
    // E_INVALIDARG for any type but VT_BSTR and VT_ARRAY | VT_UI1 (by-reference forms
    // included). A byte array gives all its elements, whatever its number of dimensions.
    // A null BSTR with a negative charset has no bytes to point at: data() is null.
    HRESULT Read(const VARIANT* input, long charset);
    const BYTE* data() const { return m_pData; }
    size_t size() const { return m_nSize; }

private:
    const BYTE* m_pData = nullptr;
    size_t m_nSize = 0;
    std::string m_strUtf8;
};

struct CUtilityOps {
    // ---- Automation operations (the IUtility members) ----
    static HRESULT MakeKey(long length, BSTR alphabet, BSTR* key);
    static HRESULT MakeGUID(VARIANT_BOOL compact, BSTR* guid);
    static HRESULT Sleep(long milliseconds);
    static HRESULT MD5(VARIANT* input, long charset, BSTR* digest);
    static HRESULT SHA1(VARIANT* input, long charset, BSTR* digest);
    static HRESULT FindString(VARIANT* first, VARIANT* second, VARIANT_BOOL* found);
    static HRESULT HanToZen(BSTR text, BSTR* converted);
    static HRESULT ZenToHan(BSTR text, BSTR* converted);
    static HRESULT SubmitDecode(BSTR text, BSTR* decoded);
    static HRESULT Trim(BSTR text, BSTR* trimmed);
    static HRESULT HTMLEncode(BSTR text, BSTR* encoded);
    static HRESULT Base64Encode(VARIANT* input, long charset, BSTR* encoded);
    static HRESULT URLEncode(VARIANT* input, long charset, BSTR* encoded);
    static HRESULT Base64Decode(BSTR text, long charset, VARIANT* decoded);
    static HRESULT URLDecode(BSTR text, long charset, VARIANT* decoded);

    // ---- Byte-level methods ----
    // Base64 of the bytes, one line, "=" padded. Nonzero on success.
    static BOOL Base64Encode(const BYTE* bytes, size_t count, CComBSTR& text);
    // The bytes of a Base64 text (white space ignored). Nonzero on success.
    static BOOL Base64Decode(const wchar_t* text, size_t length, std::string& bytes);
    // Percent-encoding: unreserved bytes as themselves, all others as "%" and two upper-case
    // hexadecimal digits. Nonzero on success (zero only when the text cannot be allocated).
    static BOOL URLEncode(const BYTE* bytes, size_t count, CComBSTR& text);
    // The length of an encoding, counted before anything is allocated: false as soon as it
    // would pass `limit` characters, and nothing past that point is read.
    static bool URLEncodedLength(const BYTE* bytes, size_t count, size_t limit, size_t& length);
    static bool HTMLEncodedLength(const wchar_t* text, size_t count, size_t limit, size_t& length);
    // 0 on success; -1 a character neither unreserved nor "%", -2 a "%" without two
    // characters after it, -3 two characters after "%" that do not read as hexadecimal.
    static int URLDecode(const wchar_t* text, size_t length, std::string& bytes);
    static bool URL_is_unreserved(BYTE byte);
    // Lower-case hexadecimal digests of a byte range.
    static HRESULT MD5(const BYTE* bytes, const uint32_t& count, BSTR* digest);
    static HRESULT SHA1(const BYTE* bytes, const uint32_t& count, BSTR* digest);

    // A decoder's result from its bytes, as the charset asks (text, byte array, byte string).
    static HRESULT MakeDecodedResult(const std::string& bytes, long charset, VARIANT* decoded);
};
