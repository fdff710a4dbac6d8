// Text <-> bytes in a named character set, through glibc iconv (UTF-8 is decoded here, to
// the same rules as the runtime's own conversions). The stream keeps its content as bytes
// and converts only when text goes in or comes out, so the codec works on spans.
#pragma once

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

    // Appends the encoded characters to out, leaving a shifting charset in its initial state
    // at the end. A character the charset cannot hold (or an invalid code point) is written
    // as '?'.
    void Encode(const wchar_t* text, size_t count, std::string& out);

    // Decoding keeps its state from one call to the next, so that a text read in pieces is
    // the text read whole: a shift sequence stays in force and a character the decoder holds
    // back (to combine it with what follows) comes out with the next piece. ResetDecoder
    // makes the next call read its bytes as the start of a text.
    void ResetDecoder();
    // Decodes at most maxChars characters (more only when one sequence gives several code
    // points, which are never split) and returns how many bytes they took. The bytes end
    // where the text ends: when the call gets that far, a sequence cut off there and what the
    // decoder holds back come out, and the decoder is back in its initial state. Ill-formed
    // bytes give U+FFFD; every character out is a Unicode scalar value.
    size_t Decode(const uint8_t* bytes, size_t size, size_t maxChars, std::wstring& out);

    // Written before text that starts the stream ("" when the charset takes none).
    const std::string& ByteOrderMark() const { return m_strBom; }
    // U+FEFF in this charset: skipped when text is read from the start of the stream.
    const std::string& Signature() const { return m_strSignature; }
    // Size of one code unit: a line separator is searched for only on unit boundaries.
    size_t UnitSize() const { return m_nUnit; }

private:
    // The pair of converters the codec keeps open, defined with the source so that no system
    // type shows in this header.
    struct Converters;

    CTextCodec(std::unique_ptr<Converters> converters, std::string bom, size_t unit);

    // Encodes from the converter's state, a character it cannot write as '?'.
    void EncodeRun(const wchar_t* text, size_t count, std::string& out);
    void WriteQuestionMark(std::string& out);
    size_t DecodeUtf8(const uint8_t* bytes, size_t size, size_t maxChars, std::wstring& out);
    size_t DecodeConverted(const uint8_t* bytes, size_t size, size_t maxChars, std::wstring& out);

    std::unique_ptr<Converters> m_pConverters;
    std::string m_strBom;
    std::string m_strSignature;
    size_t m_nUnit;
    bool m_bUtf8 = false;  // decoded by DecodeUtf8 rather than iconv
};

}  // namespace veskhost
