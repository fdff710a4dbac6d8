// Text <-> bytes in a named character set, through glibc iconv. The stream keeps its content
// as bytes and converts only when text goes in or comes out, so the codec works on spans.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace veskhost {

class CTextCodec {
public:
    // The codec for a charset name (case-insensitive), or null when the name is not known.
    static std::unique_ptr<CTextCodec> Create(std::wstring_view name);

    ~CTextCodec();
    CTextCodec(const CTextCodec&) = delete;
    CTextCodec& operator=(const CTextCodec&) = delete;

    // Appends the encoded characters to out. A character the charset cannot hold (or an
    // invalid code point) is written as '?'.
    void Encode(const wchar_t* text, size_t count, std::string& out);
    // Decodes characters from bytes, at most maxChars of them, appending to out, and returns
    // how many bytes they took. Bytes that are not valid in the charset each give U+FFFD.
    size_t Decode(const uint8_t* bytes, size_t size, size_t maxChars, std::wstring& out);

    // Written before text that starts the stream ("" when the charset takes none).
    const std::string& ByteOrderMark() const { return m_strBom; }
    // U+FEFF in this charset: skipped when text is read from the start of the stream.
    const std::string& Signature() const { return m_strSignature; }
    // Size of one code unit: a line separator is searched for only on unit boundaries.
    size_t UnitSize() const { return m_nUnit; }

private:
    CTextCodec(iconv_t toBytes, iconv_t toText, std::string bom, size_t unit);

    iconv_t m_cdToBytes;
    iconv_t m_cdToText;
    std::string m_strBom;
    std::string m_strSignature;
    std::string m_strReplacement;  // '?' in this charset
    size_t m_nUnit;
};

}  // namespace veskhost
