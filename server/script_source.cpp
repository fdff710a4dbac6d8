// The rewriting reads the source as tokens only (no grammar): strings, comments, regular
// expressions and brackets are recognised so that what they contain is never touched.
#include "server/script_source.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace veskserve {

namespace {

enum class Tok : uint8_t { Name, Keyword, Number, String, Regex, Punct };

struct Token {
    Tok kind;
    size_t begin, end;
    size_t match = SIZE_MAX;  // for a bracket, the index of its partner
};

constexpr std::array<std::string_view, 31> kKeywords = {
    "break",  "case",   "catch", "const",    "continue", "debugger",   "default", "delete",
    "do",     "else",   "finally", "for",    "function", "if",         "in",      "instanceof",
    "let",    "new",    "return", "switch",  "throw",    "try",        "typeof",  "var",
    "void",   "while",  "with",  "yield",    "of",       "get",        "set"};
// Words that end an expression (they may stand before a division or a member access).
constexpr std::array<std::string_view, 4> kPrimaryWords = {"this", "null", "true", "false"};
// Keywords after which a slash starts a regular expression.
constexpr std::array<std::string_view, 12> kBeforeRegex = {"return", "typeof", "instanceof", "in",   "of",   "new",
                                                           "delete", "void",   "throw",      "case", "do",   "else"};

template <size_t N>
bool OneOf(const std::array<std::string_view, N>& words, std::string_view word) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

bool IsIdentStart(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || c >= 0x80; }
bool IsIdentPart(unsigned char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }

class Lexer {
public:
    explicit Lexer(std::string_view text) : m_text(text) {}

    bool Run(std::vector<Token>* tokens, std::string* error) {
        std::vector<size_t> open;
        while (true) {
            SkipSpaceAndComments();
            if (m_bBroken) return Fail(error, "a comment");
            if (m_pos >= m_text.size()) break;
            const size_t begin = m_pos;
            const unsigned char c = m_text[m_pos];
            Tok kind = Tok::Punct;
            if (IsIdentStart(c)) {
                while (m_pos < m_text.size() && IsIdentPart(m_text[m_pos])) ++m_pos;
                const std::string_view word = m_text.substr(begin, m_pos - begin);
                kind = OneOf(kKeywords, word) && !OneOf(kPrimaryWords, word) ? Tok::Keyword : Tok::Name;
                // "get", "set" and "of" are names wherever they are not part of a larger form.
                if (word == "get" || word == "set" || word == "of") kind = Tok::Name;
            } else if ((c >= '0' && c <= '9') || (c == '.' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] >= '0' &&
                                                  m_text[m_pos + 1] <= '9')) {
                ReadNumber();
                kind = Tok::Number;
            } else if (c == '"' || c == '\'') {
                if (!ReadString(c)) return Fail(error, "a string");
                kind = Tok::String;
            } else if (c == '/' && RegexAllowed(*tokens)) {
                if (!ReadRegex()) return Fail(error, "a regular expression");
                kind = Tok::Regex;
            } else {
                ++m_pos;
            }
            tokens->push_back(Token{kind, begin, m_pos});
            if (kind != Tok::Punct) continue;
            if (c == '(' || c == '[' || c == '{') open.push_back(tokens->size() - 1);
            if (c == ')' || c == ']' || c == '}') {
                if (open.empty()) continue;  // the compiler reports it
                const size_t partner = open.back();
                open.pop_back();
                (*tokens)[partner].match = tokens->size() - 1;
                tokens->back().match = partner;
            }
        }
        return true;
    }

private:
    bool Fail(std::string* error, const char* what) {
        size_t line = 1 + std::count(m_text.begin(), m_text.begin() + std::min(m_failAt, m_text.size()), '\n');
        *error = std::string(what) + " that does not end, from line " + std::to_string(line);
        return false;
    }

    void SkipSpaceAndComments() {
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++m_pos;
            } else if (c == '/' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '/') {
                while (m_pos < m_text.size() && m_text[m_pos] != '\n') ++m_pos;
            } else if (c == '/' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '*') {
                m_failAt = m_pos;
                const size_t end = m_text.find("*/", m_pos + 2);
                if (end == std::string_view::npos) {
                    m_bBroken = true;
                    m_pos = m_text.size();
                    return;
                }
                m_pos = end + 2;
            } else {
                return;
            }
        }
    }

    void ReadNumber() {
        while (m_pos < m_text.size()) {
            const unsigned char c = m_text[m_pos];
            if (IsIdentPart(c) || c == '.') {
                ++m_pos;
            } else if ((c == '+' || c == '-') && (m_text[m_pos - 1] == 'e' || m_text[m_pos - 1] == 'E') &&
                       !(m_pos >= 2 && (m_text[m_pos - 2] == 'x' || m_text[m_pos - 2] == 'X'))) {
                ++m_pos;
            } else {
                break;
            }
        }
    }

    bool ReadString(char quote) {
        m_failAt = m_pos++;
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '\\') {
                if (m_pos < m_text.size()) ++m_pos;
            } else if (c == quote) {
                return true;
            } else if (c == '\n') {
                return false;
            }
        }
        return false;
    }

    bool ReadRegex() {
        m_failAt = m_pos++;
        bool inClass = false;
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '\\') {
                if (m_pos < m_text.size()) ++m_pos;
            } else if (c == '\n') {
                return false;
            } else if (c == '[') {
                inClass = true;
            } else if (c == ']') {
                inClass = false;
            } else if (c == '/' && !inClass) {
                while (m_pos < m_text.size() && IsIdentPart(m_text[m_pos])) ++m_pos;  // flags
                return true;
            }
        }
        return false;
    }

    bool RegexAllowed(const std::vector<Token>& tokens) const {
        if (tokens.empty()) return true;
        const Token& last = tokens.back();
        switch (last.kind) {
        case Tok::Name:
        case Tok::Number:
        case Tok::String:
        case Tok::Regex: return false;
        case Tok::Keyword: return OneOf(kBeforeRegex, m_text.substr(last.begin, last.end - last.begin));
        case Tok::Punct: {
            const char p = m_text[last.begin];
            return p != ')' && p != ']';
        }
        }
        return true;
    }

    std::string_view m_text;
    size_t m_pos = 0;
    size_t m_failAt = 0;
    bool m_bBroken = false;
};

struct Edit {
    size_t pos;
    size_t length;  // of the text replaced; 0 for an insertion
    std::string text;
    // Among insertions at one place, the one whose construct reaches further goes first: it
    // encloses the others.
    size_t extent;
};

class Rewriter {
public:
    Rewriter(std::string_view text, std::vector<Token> tokens, const ScriptHooks& hooks)
        : m_text(text), m_tokens(std::move(tokens)), m_hooks(hooks) {}

    std::string Run() {
        for (size_t i = 0; i < m_tokens.size(); ++i) {
            if (IsWord(i, "while")) Loop(i);
            if (IsWord(i, "for")) For(i);
            if (IsWord(i, "function")) Function(i);
            if (IsPunct(i, '.')) MemberCall(i);
        }
        std::stable_sort(m_edits.begin(), m_edits.end(), [](const Edit& a, const Edit& b) {
            if (a.pos != b.pos) return a.pos < b.pos;
            if ((a.length == 0) != (b.length == 0)) return a.length == 0;  // insertions before a replacement
            return a.extent > b.extent;
        });
        std::string out;
        out.reserve(m_text.size() + m_edits.size() * 16);
        size_t at = 0;
        for (const Edit& edit : m_edits) {
            if (edit.pos < at) continue;  // never overlaps; kept safe anyway
            out.append(m_text.substr(at, edit.pos - at));
            out += edit.text;
            at = edit.pos + edit.length;
        }
        out.append(m_text.substr(at));
        return out;
    }

private:
    std::string_view Word(size_t i) const { return m_text.substr(m_tokens[i].begin, m_tokens[i].end - m_tokens[i].begin); }
    bool IsWord(size_t i, std::string_view word) const {
        return i < m_tokens.size() && m_tokens[i].kind == Tok::Keyword && Word(i) == word;
    }
    bool IsPunct(size_t i, char c) const {
        return i < m_tokens.size() && m_tokens[i].kind == Tok::Punct && m_text[m_tokens[i].begin] == c;
    }
    void Insert(size_t pos, std::string text, size_t extent) { m_edits.push_back(Edit{pos, 0, std::move(text), extent}); }
    std::string Tick() const { return m_hooks.tick + "()"; }

    // while (c)  ->  while (tick() && (c))
    void Loop(size_t i) {
        if (!IsPunct(i + 1, '(') || m_tokens[i + 1].match == SIZE_MAX) return;
        const size_t close = m_tokens[i + 1].match;
        Insert(m_tokens[i + 1].end, Tick() + "&&(", m_tokens[close].begin);
        Insert(m_tokens[close].begin, ")", 0);
    }

    // for (a; c; b)  ->  for (a; tick() && (c); b); a for-in loop ends by itself.
    void For(size_t i) {
        if (!IsPunct(i + 1, '(') || m_tokens[i + 1].match == SIZE_MAX) return;
        const size_t close = m_tokens[i + 1].match;
        std::vector<size_t> semicolons;
        for (size_t j = i + 2; j < close; ++j) {
            if (m_tokens[j].match != SIZE_MAX && m_tokens[j].match > j) {
                j = m_tokens[j].match;
                continue;
            }
            if (IsPunct(j, ';')) semicolons.push_back(j);
        }
        if (semicolons.size() != 2) return;
        if (semicolons[1] == semicolons[0] + 1) {
            Insert(m_tokens[semicolons[0]].end, Tick(), 0);
        } else {
            Insert(m_tokens[semicolons[0]].end, Tick() + "&&(", m_tokens[semicolons[1]].begin);
            Insert(m_tokens[semicolons[1]].begin, ")", 0);
        }
    }

    // function f(...) {  ->  function f(...) {tick();
    void Function(size_t i) {
        size_t j = i + 1;
        if (j < m_tokens.size() && m_tokens[j].kind == Tok::Name) ++j;
        if (!IsPunct(j, '(') || m_tokens[j].match == SIZE_MAX) return;
        const size_t body = m_tokens[j].match + 1;
        if (!IsPunct(body, '{')) return;
        Insert(m_tokens[body].end, Tick() + ";", SIZE_MAX);
    }

    // Where the receiver of the member access at the dot i starts, or SIZE_MAX when the
    // tokens before it are not a receiver this rewriting understands.
    size_t ReceiverStart(size_t dot, bool* sawCall) const {
        size_t j = dot;
        while (j > 0) {
            --j;
            const Token& t = m_tokens[j];
            if (t.kind == Tok::Punct && (IsPunct(j, ')') || IsPunct(j, ']'))) {
                if (t.match == SIZE_MAX || t.match > j) return SIZE_MAX;
                const size_t open = t.match;
                const bool chained = open > 0 && (m_tokens[open - 1].kind == Tok::Name || IsPunct(open - 1, ')') ||
                                                  IsPunct(open - 1, ']') ||
                                                  (IsPunct(j, ']') && m_tokens[open - 1].kind == Tok::String));
                if (!chained) return open;
                if (IsPunct(j, ')')) *sawCall = true;
                j = open;
                continue;
            }
            if (t.kind == Tok::Name || t.kind == Tok::String || t.kind == Tok::Number || t.kind == Tok::Regex) {
                if (j > 0 && IsPunct(j - 1, '.')) {
                    --j;
                    continue;
                }
                return j;
            }
            return SIZE_MAX;
        }
        return SIZE_MAX;
    }

    // recv.name(  ->  call(recv,"name")(
    void MemberCall(size_t dot) {
        if (dot + 2 >= m_tokens.size()) return;
        const Token& name = m_tokens[dot + 1];
        if (name.kind != Tok::Name && name.kind != Tok::Keyword) return;
        if (!IsPunct(dot + 2, '(')) return;
        bool sawCall = false;
        size_t start = ReceiverStart(dot, &sawCall);
        if (start == SIZE_MAX) return;
        if (start > 0 && IsWord(start - 1, "new")) {
            if (!sawCall) return;  // new a.b(...) constructs
            --start;
        }
        // The call's own parenthesis becomes the hook's: recv.name(a) -> call(recv,"name",a).
        const Token& open = m_tokens[dot + 2];
        const bool noArguments = IsPunct(dot + 3, ')');
        Insert(m_tokens[start].begin, m_hooks.call + "(", m_tokens[dot].begin);
        m_edits.push_back(Edit{m_tokens[dot].begin, open.end - m_tokens[dot].begin,
                               ",\"" + std::string(Word(dot + 1)) + "\"" + (noArguments ? "" : ","), 0});
    }

    std::string_view m_text;
    std::vector<Token> m_tokens;
    const ScriptHooks& m_hooks;
    std::vector<Edit> m_edits;
};

}  // namespace

bool InstrumentScript(std::string_view source, const ScriptHooks& hooks, std::string* out, std::string* error) {
    std::vector<Token> tokens;
    Lexer lexer(source);
    if (!lexer.Run(&tokens, error)) return false;
    *out = Rewriter(source, std::move(tokens), hooks).Run();
    return true;
}

}  // namespace veskserve
