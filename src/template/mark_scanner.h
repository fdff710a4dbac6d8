// The lexical rules of the mark grammar in one routine: where the escape, the delimiters and
// the parameter separators stand in a text, and what an escape protects. Parsing, reading one
// mark and direct expansion all step through a text with it, so they cannot disagree on a
// character. It only reads: no allocation, and no call it cannot inline, per step.
#pragma once

#include <cwchar>
#include <string_view>

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
        while (++pos < end && !MayStart(text[pos], nStarts)) {
        }
        return {Kind::Text, kEscape, pos};
    }

    // What a token found at pos stands for as literal text: an escape its protected piece,
    // anything else its own characters.
    std::wstring_view Literal(const wchar_t* text, unsigned int pos, CToken token) const {
        if (token.kind == Kind::Escaped) return m_pieces[token.literal];
        return std::wstring_view(text + pos, token.end - pos);
    }

private:
    bool MayStart(wchar_t c, unsigned int nStarts) const {
        for (unsigned int i = 0; i < nStarts; ++i) {
            if (m_starts[i] == c) return true;
        }
        return false;
    }
    bool IsAt(const wchar_t* text, unsigned int pos, unsigned int end, Piece p) const {
        const std::wstring_view s = m_pieces[p];
        return !s.empty() && end - pos >= s.size() && text[pos] == s.front() &&
               wmemcmp(text + pos + 1, s.data() + 1, s.size() - 1) == 0;
    }

    std::wstring_view m_pieces[kPieces];
    std::wstring_view m_types;
    wchar_t m_starts[kPieces] = {};  // first characters of the pieces, each once, the outside ones first
    unsigned int m_nStarts = 0;
    unsigned int m_nOutsideStarts = 0;
};
