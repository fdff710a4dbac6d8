// The lexical rules of the mark grammar in one routine: where the escape, the delimiters and
// the parameter separators stand in a text, and what an escape protects. Parsing, reading one
// mark and direct expansion all step through a text with it, so they cannot disagree on a
// character. It only reads: no allocation, and no call it cannot inline, per step.
#pragma once

#include <cwchar>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

class CMarkScanner {
public:
    // The grammar strings, in the order they are tried at a position.
    enum Piece : unsigned char { kEscape, kOpen, kClose, kParamOpen, kParamSep, kPieces };

    // Outside a mark only the escape and the two delimiters mean anything (and only they can
    // be escaped); inside one the parameter bar and separator do too. The value is the number
    // of pieces recognized.
    enum Where : unsigned char { kOutside = kClose + 1, kInMark = kPieces };

    // A delimiter or separator found has the value of its piece.
    enum class Kind : unsigned char {
        Escaped = kEscape,  // the escape with what it protects, or alone: literal text
        Open = kOpen,
        Close = kClose,
        ParamOpen = kParamOpen,
        ParamSep = kParamSep,
        Text,  // characters that start nothing recognized here
    };

    struct CToken {
        Kind kind;
        Piece literal;     // Escaped: the piece it stands for as text
        unsigned int end;  // the first character after the token
    };

    CMarkScanner(std::wstring_view escape, std::wstring_view open, std::wstring_view close, std::wstring_view paramOpen,
                 std::wstring_view paramSep, std::wstring_view types)
        : m_pieces{escape, open, close, paramOpen, paramSep}, m_types(types) {
        for (unsigned int p = kEscape; p < kPieces; ++p) {
            const std::wstring_view s = m_pieces[p];
            if (!s.empty() && !MayStart(s.front(), m_nStarts)) m_starts[m_nStarts++] = s.front();
            if (p + 1 == kOutside) m_nOutsideStarts = m_nStarts;
        }
#if defined(__SSE2__)
        for (unsigned int i = 0; i < m_nStarts; ++i) m_vStarts[i] = _mm_set1_epi32(static_cast<int>(m_starts[i]));
#endif
    }

    std::wstring_view PieceText(Piece p) const { return m_pieces[p]; }
    bool IsType(wchar_t c) const { return m_types.find(c) != std::wstring_view::npos; }

    // The token at pos; pos must be before end.
    CToken Next(const wchar_t* text, unsigned int pos, unsigned int end, Where where) const {
        const unsigned int nStarts = where == kOutside ? m_nOutsideStarts : m_nStarts;
        if (MayStart(text[pos], nStarts)) {
            if (IsAt(text, pos, end, kEscape)) {
                pos += static_cast<unsigned int>(m_pieces[kEscape].size());
                for (unsigned int p = kEscape; p < where; ++p) {
                    if (IsAt(text, pos, end, Piece(p)))
                        return {Kind::Escaped, Piece(p), pos + static_cast<unsigned int>(m_pieces[p].size())};
                }
                return {Kind::Escaped, kEscape, pos};
            }
            for (unsigned int p = kOpen; p < where; ++p) {
                if (IsAt(text, pos, end, Piece(p)))
                    return {Kind(p), Piece(p), pos + static_cast<unsigned int>(m_pieces[p].size())};
            }
        }
        // Nothing recognized can begin inside the run, so it goes up to the next character
        // that might begin something.
        return {Kind::Text, kEscape, NextStart(text, pos + 1, end, nStarts)};
    }

    // What a token found at pos stands for as literal text: an escape its protected piece,
    // anything else its own characters.
    std::wstring_view Literal(const wchar_t* text, unsigned int pos, CToken token) const {
        if (token.kind == Kind::Escaped) return m_pieces[token.literal];
        return std::wstring_view(text + pos, token.end - pos);
    }

private:
    // The first position from pos on whose character may begin a piece, or end.
    unsigned int NextStart(const wchar_t* text, unsigned int pos, unsigned int end, unsigned int nStarts) const {
        if (nStarts == 0) return end;
#if defined(__SSE2__)
        static_assert(sizeof(wchar_t) == 4, "four characters to a vector");
        // Four characters at a time against every first character; literal text is most of
        // a template, and its runs are long.
        while (end - pos >= 4 && pos < end) {
            const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + pos));
            __m128i hits = _mm_cmpeq_epi32(chars, m_vStarts[0]);
            for (unsigned int i = 1; i < nStarts; ++i) hits = _mm_or_si128(hits, _mm_cmpeq_epi32(chars, m_vStarts[i]));
            const int mask = _mm_movemask_ps(_mm_castsi128_ps(hits));
            if (mask != 0) return pos + static_cast<unsigned int>(__builtin_ctz(static_cast<unsigned>(mask)));
            pos += 4;
        }
#endif
        while (pos < end && !MayStart(text[pos], nStarts)) ++pos;
        return pos;
    }
    bool MayStart(wchar_t c, unsigned int nStarts) const {
        for (unsigned int i = 0; i < nStarts; ++i) {
            if (m_starts[i] == c) return true;
        }
        return false;
    }
    bool IsAt(const wchar_t* text, unsigned int pos, unsigned int end, Piece p) const {
        const std::wstring_view s = m_pieces[p];
        if (s.empty() || end - pos < s.size() || text[pos] != s.front()) return false;
        for (size_t i = 1; i < s.size(); ++i) {  // the pieces are a few characters long
            if (text[pos + i] != s[i]) return false;
        }
        return true;
    }

    std::wstring_view m_pieces[kPieces];
    std::wstring_view m_types;
    wchar_t m_starts[kPieces] = {};  // first characters of the pieces, each once, the outside ones first
    unsigned int m_nStarts = 0;
    unsigned int m_nOutsideStarts = 0;
#if defined(__SSE2__)
    __m128i m_vStarts[kPieces];  // each first character in every lane
#endif
};
