// The scanner every reader of the mark grammar steps through a text with: which piece stands
// where, what an escape protects outside and inside a mark, and the order pieces are tried in.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "template/mark_scanner.h"

namespace vesk_test {
namespace {

using namespace std::string_literals;  // "..."s keeps embedded NULs
using Kind = CMarkScanner::Kind;

// The text as its tokens: [text], ^[what an escape stands for], and O C P S for the opening and
// closing delimiters, the parameter bar and the separator. Every token must move on, and the
// last must end where the text does.
std::wstring Tokens(const CMarkScanner& scanner, const std::wstring& text, CMarkScanner::Where where) {
    std::wstring out;
    const auto end = static_cast<unsigned int>(text.size());
    for (unsigned int pos = 0; pos < end;) {
        const CMarkScanner::CToken token = scanner.Next(text.data(), pos, end, where);
        if (token.end <= pos || token.end > end) return L"(stuck at " + std::to_wstring(pos) + L")";
        if (!out.empty()) out += L' ';
        switch (token.kind) {
        case Kind::Text: out += L"[" + std::wstring(scanner.Literal(text.data(), pos, token)) + L"]"; break;
        case Kind::Escaped: out += L"^[" + std::wstring(scanner.Literal(text.data(), pos, token)) + L"]"; break;
        case Kind::Open: out += L'O'; break;
        case Kind::Close: out += L'C'; break;
        case Kind::ParamOpen: out += L'P'; break;
        case Kind::ParamSep: out += L'S'; break;
        }
        pos = token.end;
    }
    return out;
}

struct Grammar { const wchar_t *escape, *open, *close, *paramOpen, *paramSep; };
constexpr Grammar kMarks = {L"^", L"(#", L"#)", L"|", L"#|#"};
// The bar is a prefix of the separator; one piece is left out.
constexpr Grammar kPrefixes = {L"~", L"{{", L"}}", L":", L"::"};
constexpr Grammar kNoBar = {L"~", L"{{", L"}}", L"", L","};

struct ScanCase { const Grammar* grammar; CMarkScanner::Where where; std::wstring text, tokens; };

constexpr auto kOut = CMarkScanner::kOutside;
constexpr auto kIn = CMarkScanner::kInMark;

const ScanCase kScanCases[] = {
    {&kMarks, kOut, L"ab(#c#)d", L"[ab] O [c] C [d]"},
    // Outside a mark the bar and the separator are text, and an escape before them stands alone.
    {&kMarks, kOut, L"a|b#|#c", L"[a|b] [#|] [#c]"},
    {&kMarks, kOut, L"^^^(#^#)^|^#|#^x^", L"^[^] ^[(#] ^[#)] ^[^] [|] ^[^] [#|] [#] ^[^] [x] ^[^]"},
    // Inside one every piece can be escaped, and each has its token.
    {&kMarks, kIn, L"^|^#|#a|b#|#(#c#)#)", L"^[|] ^[#|#] [a] P [b] S O [c] C C"},
    {&kMarks, kIn, L"^^^(#^#)^x^", L"^[^] ^[(#] ^[#)] ^[^] [x] ^[^]"},
    // A piece cut short by the end of the text, or by another character, is text.
    {&kMarks, kIn, L"a#", L"[a] [#]"},
    {&kMarks, kIn, L"(#|", L"O P"},
    {&kMarks, kIn, L"#|x(x", L"[#] P [x] [(x]"},
    {&kMarks, kOut, L"a\0b\xFFFF\xD800"s, L"[a\0b\xFFFF\xD800]"s},
    // Pieces are tried in order: the bar before the separator it begins.
    {&kPrefixes, kIn, L"a::b~::", L"[a] P P [b] ^[:] P"},
    {&kPrefixes, kOut, L"a::b~{{x}}", L"[a::b] ^[{{] [x] C"},
    // An empty piece is never found.
    {&kNoBar, kIn, L"a,b~,", L"[a] S [b] ^[,]"},
    {&kNoBar, kOut, L"a,b~,", L"[a,b] ^[~] [,]"},
};

TEST(MarkScanner, TokensOutsideAndInsideMarks) {
    for (const ScanCase& c : kScanCases) {
        SCOPED_TRACE(Utf8(c.text) + (c.where == kIn ? " in a mark" : " outside"));
        const Grammar& g = *c.grammar;
        const CMarkScanner scanner(g.escape, g.open, g.close, g.paramOpen, g.paramSep, L"");
        EXPECT_EQ(c.tokens, Tokens(scanner, c.text, c.where));
    }
}

}  // namespace
}  // namespace vesk_test
