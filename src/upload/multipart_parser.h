// CMultipartParser walks a multipart/form-data body in place: it finds boundary lines and
// reads a part's header lines into a CMultipartHeader. It works on bytes only and never
// copies content; only header lines are copied into strings.
//
//   CMultipartParser parser(body, size, "--" boundary);
//   parser.MoveNextBoundary(start, final);               // the first part
//   while (!final) {
//       CMultipartHeader header;
//       while ((hr = parser.GetHeader(header)) == S_OK) { ... header.m_strName ... }
//       if (hr != S_FALSE) break;                         // no blank line: malformed
//       const uint64_t content = parser.Position();
//       if (FAILED(parser.MoveNextBoundary(start, final))) break;
//       // the content is [content, start - 2): the CR LF before a boundary belongs to it
//   }
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "host/host.h"

// One header line as read, and the parameters of every header line read into it.
class CMultipartHeader {
public:
    CMultipartHeader() = default;

    std::string m_strName;   // as written before the colon
    std::string m_strValue;  // after the colon and its spaces, up to the first ";"
    // Parameter name to value, byte-wise ordered and case-sensitive; a later line's
    // parameter replaces an earlier one of the same name.
    std::map<std::string, std::string> m_mapParameters;
};

class CMultipartParser {
public:
    // The body and the marker are borrowed: the caller keeps both alive while parsing.
    CMultipartParser(const uint8_t* pBody, uint64_t nSize, const char* pszMarker);

    // Finds the next boundary line at or after the position. On S_OK nStart is the offset
    // of the marker, bFinal tells a closing boundary ("--" after the marker), and the
    // position stands after the boundary line. E_FAIL when there is no further marker, or
    // the marker is followed by neither CR LF nor "--".
    HRESULT MoveNextBoundary(uint64_t& nStart, bool& bFinal);
    // Reads one header line: S_OK when a line was consumed (a line without a colon is
    // skipped), S_FALSE for the blank line that ends the headers (the position is then the
    // first content byte), E_FAIL when no complete line follows.
    HRESULT GetHeader(CMultipartHeader& header);

    uint64_t Position() const { return m_nPosition; }

private:
    // The offset of the next CR LF at or after `from`, or the body size when there is none.
    uint64_t FindLineEnd(uint64_t from) const;

    const uint8_t* m_pBody;
    uint64_t m_nSize;
    const char* m_pszMarker;
    uint64_t m_nMarkerLength;
    uint64_t m_nPosition = 0;
};
