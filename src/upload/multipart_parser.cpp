#include "upload/multipart_parser.h"

#include <cstring>
#include <string_view>

namespace {

constexpr uint8_t kCR = '\r';
constexpr uint8_t kLF = '\n';

// The offset of the first `c` in [from, end) of the line, or `end`.
size_t FindIn(std::string_view line, char c, size_t from) {
    const size_t at = line.find(c, from);
    return at == std::string_view::npos ? line.size() : at;
}

size_t SkipSpaces(std::string_view line, size_t from) {
    while (from < line.size() && line[from] == ' ') ++from;
    return from;
}

// A value written in double quotes loses them; nothing else is unquoted.
std::string_view Unquoted(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

CMultipartParser::CMultipartParser(const uint8_t* pBody, uint64_t nSize, const char* pszMarker)
    : m_pBody(pBody), m_nSize(nSize), m_pszMarker(pszMarker), m_nMarkerLength(std::strlen(pszMarker)) {}

HRESULT CMultipartParser::MoveNextBoundary(uint64_t& nStart, bool& bFinal) {
    // A byte-by-byte comparison at every offset, where the marker lies wholly inside the
    // body. The first-byte scan skips exactly the offsets whose first byte cannot match, so
    // it finds the same matches. The marker has no zero byte, so a zero byte in the body never
    // matches, as the string comparison of the rule requires.
    const uint64_t length = m_nMarkerLength;
    if (length == 0) {
        if (m_nPosition >= m_nSize) {
            m_nPosition = m_nSize;
            return E_FAIL;
        }
    } else {
        const uint8_t first = static_cast<uint8_t>(m_pszMarker[0]);
        for (;;) {
            if (m_nSize < length || m_nPosition > m_nSize - length) {
                m_nPosition = m_nSize;
                return E_FAIL;
            }
            const uint64_t last = m_nSize - length;  // the last offset a whole marker fits at
            const void* hit = std::memchr(m_pBody + m_nPosition, first, size_t(last - m_nPosition + 1));
            if (hit == nullptr) {
                m_nPosition = m_nSize;
                return E_FAIL;
            }
            m_nPosition = uint64_t(static_cast<const uint8_t*>(hit) - m_pBody);
            if (std::memcmp(m_pBody + m_nPosition + 1, m_pszMarker + 1, size_t(length - 1)) == 0) break;
            ++m_nPosition;
        }
    }
    const uint64_t start = m_nPosition;
    m_nPosition += length;
    if (m_nSize - m_nPosition < 2) return E_FAIL;
    const uint8_t a = m_pBody[m_nPosition], b = m_pBody[m_nPosition + 1];
    if (a == kCR && b == kLF) {
        bFinal = false;
    } else if (a == '-' && b == '-') {
        bFinal = true;
    } else {
        return E_FAIL;
    }
    m_nPosition += 2;
    nStart = start;
    return S_OK;
}

uint64_t CMultipartParser::FindLineEnd(uint64_t from) const {
    while (from < m_nSize) {
        const void* hit = std::memchr(m_pBody + from, kCR, size_t(m_nSize - from));
        if (hit == nullptr) break;
        const uint64_t at = uint64_t(static_cast<const uint8_t*>(hit) - m_pBody);
        if (at + 1 < m_nSize && m_pBody[at + 1] == kLF) return at;
        from = at + 1;
    }
    return m_nSize;
}

HRESULT CMultipartParser::GetHeader(CMultipartHeader& header) {
    if (m_nPosition >= m_nSize) return E_FAIL;
    const uint64_t end = FindLineEnd(m_nPosition);
    if (end >= m_nSize) return E_FAIL;
    const std::string_view line(reinterpret_cast<const char*>(m_pBody + m_nPosition), size_t(end - m_nPosition));
    m_nPosition = end + 2;
    if (line.empty()) return S_FALSE;

    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return S_OK;
    header.m_strName.assign(line.substr(0, colon));
    size_t at = SkipSpaces(line, colon + 1);
    const size_t semicolon = FindIn(line, ';', at);
    header.m_strValue.assign(line.substr(at, semicolon - at));
    if (semicolon == line.size()) return S_OK;

    at = SkipSpaces(line, semicolon + 1);
    while (at < line.size()) {
        const size_t equals = line.find('=', at);
        if (equals == std::string_view::npos) break;  // trailing text without "=" is ignored
        const std::string_view name = line.substr(at, equals - at);
        const size_t valueEnd = FindIn(line, ';', equals + 1);
        const std::string_view value = Unquoted(line.substr(equals + 1, valueEnd - equals - 1));
        header.m_mapParameters.insert_or_assign(std::string(name), std::string(value));
        if (valueEnd == line.size()) break;
        at = SkipSpaces(line, valueEnd + 1);
    }
    return S_OK;
}
