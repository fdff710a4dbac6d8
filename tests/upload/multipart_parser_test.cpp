// The multipart parser on bodies that each catch one rule: where a boundary is found, what
// may follow it, how header lines, values and parameters are read, and where a body that
// breaks off stops the walk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "upload/multipart_parser.h"

namespace vesk_test {
namespace {

using namespace std::string_literals;

std::string Shown(const std::string& bytes) {
    std::string out;
    for (const unsigned char c : bytes) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 0x20) out += "\\x" + std::to_string(c);
        else out += char(c);
    }
    return out;
}

// Walks the body the way the upload does and writes down every step:
//   B<start>><position>   a boundary line (F... for the closing one), B! when none is found
//   H{name}{value}{k=v;...}  a header line read (the parameters gathered so far)
//   .                     the blank line that ends the headers, H! when no line follows
//   C{content}            the bytes between the headers and the next boundary line
std::string Walk(const std::string& body, const char* marker = "--b") {
    CMultipartParser parser(reinterpret_cast<const uint8_t*>(body.data()), body.size(), marker);
    std::string trace;
    uint64_t start = 0;
    bool final = false;
    auto boundary = [&] {
        if (FAILED(parser.MoveNextBoundary(start, final))) {
            trace += "B!";
            return false;
        }
        trace += (final ? "F" : "B") + std::to_string(start) + ">" + std::to_string(parser.Position()) + " ";
        return true;
    };
    if (!boundary()) return trace;
    while (!final) {
        CMultipartHeader header;
        HRESULT hr;
        while ((hr = parser.GetHeader(header)) == S_OK) {
            if (header.m_strName.empty() && header.m_strValue.empty()) continue;  // a line without a colon
            std::string parameters;
            for (const auto& [k, v] : header.m_mapParameters) parameters += (parameters.empty() ? "" : ";") + k + "=" + v;
            trace += "H{" + Shown(header.m_strName) + "}{" + Shown(header.m_strValue) + "}{" + Shown(parameters) + "} ";
        }
        if (hr != S_FALSE) {
            trace += "H!";
            return trace;
        }
        trace += ". ";
        const uint64_t content = parser.Position();
        if (!boundary()) return trace;
        const uint64_t end = start >= 2 ? start - 2 : 0;
        trace += "C{" + Shown(end > content ? body.substr(content, end - content) : "") + "} ";
    }
    return trace;
}

struct ParserCase {
    const char* name;
    std::string body;
    std::string trace;
};

const ParserCase kCases[] = {
    // Boundaries.
    {"a body that starts with the marker and CR LF", "--b\r\n\r\nX\r\n--b--", "B0>5 . F10>15 C{X} "},
    {"the marker found inside a line", "junk--b\r\n\r\nX\r\n--b--", "B4>9 . F14>19 C{X} "},
    {"the closing marker ignores what follows", "--b\r\n\r\n\r\n--b--anything\r\n--b\r\n", "B0>5 . F9>14 C{} "},
    {"content shorter than its CR LF is empty", "--b\r\n\r\n--b--", "B0>5 . F7>12 C{} "},
    {"a hyphen and another byte after the marker", "--b-x", "B!"},
    {"one byte after the marker", "--b-", "B!"},
    {"nothing after the marker", "x--b", "B!"},
    {"a marker followed by other text", "--bX\r\n", "B!"},
    {"a marker cut by the end of the body", "data--", "B!"},
    {"no marker at all", "just text\r\n", "B!"},
    {"a zero byte never matches", "-\0b--b\r\n\r\nX\r\n--b--"s, "B3>8 . F13>18 C{X} "},
    {"a near miss before the marker", "---b\r\n\r\n-\r\n--b--", "B1>6 . F11>16 C{-} "},
    {"a marker inside content breaks the walk when not followed by CR LF",
     "--b\r\n\r\nsome--bytes\r\n--b--", "B0>5 . B!"},
    {"content keeps its inner CR LF and the marker's prefix", "--b\r\n\r\nl1\r\nl2\r\n--\r\n-\r\n--b--",
     "B0>5 . F22>27 C{l1\\r\\nl2\\r\\n--\\r\\n-} "},
    {"two parts", "--b\r\nA: 1\r\n\r\nx\r\n--b\r\nA: 2\r\n\r\ny\r\n--b--",
     "B0>5 H{A}{1}{} . B16>21 C{x} H{A}{2}{} . F32>37 C{y} "},
    // Header lines.
    {"a form-data disposition with quoted parameters",
     "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.png\"\r\n\r\nX\r\n--b--",
     "B0>5 H{Content-Disposition}{form-data}{filename=a.png;name=f} . F70>75 C{X} "},
    {"a lower-case line without a space after the colon is kept as written",
     "--b\r\ncontent-disposition:form-data; name=a\r\n\r\n\r\n--b--",
     "B0>5 H{content-disposition}{form-data}{name=a} . F48>53 C{} "},
    {"only spaces are skipped after the colon", "--b\r\nA:\tv\r\n\r\n\r\n--b--", "B0>5 H{A}{\\x9v}{} . F15>20 C{} "},
    {"the name is kept untrimmed", "--b\r\n A :v\r\n\r\n\r\n--b--", "B0>5 H{ A }{v}{} . F16>21 C{} "},
    {"a quoted value followed by a space keeps its quotes",
     "--b\r\nA: v; name=\"a\" ; x=1\r\n\r\n\r\n--b--", "B0>5 H{A}{v}{name=\"a\" ;x=1} . F31>36 C{} "},
    {"a semicolon inside quotes cuts the value and drops the rest",
     "--b\r\nA: v; filename=\"a;b.png\"\r\n\r\n\r\n--b--", "B0>5 H{A}{v}{filename=\"a} . F35>40 C{} "},
    {"a backslash is kept", "--b\r\nA: v; f=\"C:\\t\\p\"\r\n\r\n\r\n--b--", "B0>5 H{A}{v}{f=C:\\t\\p} . F27>32 C{} "},
    {"a lone quote is not unquoted", "--b\r\nA: v; q=\"\r\n\r\n\r\n--b--", "B0>5 H{A}{v}{q=\"} . F20>25 C{} "},
    {"an empty quoted value", "--b\r\nA: v; q=\"\"\r\n\r\n\r\n--b--", "B0>5 H{A}{v}{q=} . F21>26 C{} "},
    {"trailing text without an equals sign is dropped", "--b\r\nA: v; k=1; flag\r\n\r\n\r\n--b--",
     "B0>5 H{A}{v}{k=1} . F26>31 C{} "},
    {"a parameter name runs to its equals sign", "--b\r\nA: v;  k =1;x\r\n\r\n\r\n--b--",
     "B0>5 H{A}{v}{k =1} . F24>29 C{} "},
    {"parameters gather across lines and a later one wins",
     "--b\r\nA: x; k=1\r\nB: y; k=2; j=3\r\n\r\n\r\n--b--", "B0>5 H{A}{x}{k=1} H{B}{y}{j=3;k=2} . F36>41 C{} "},
    {"a value without parameters", "--b\r\nContent-Type: image/png\r\n\r\n\r\n--b--",
     "B0>5 H{Content-Type}{image/png}{} . F34>39 C{} "},
    {"a line without a colon is consumed", "--b\r\nno colon here\r\nA: 1\r\n\r\n\r\n--b--",
     "B0>5 H{A}{1}{} . F30>35 C{} "},
    {"a lone CR stays in the line", "--b\r\nA: x\ry\r\n\r\n\r\n--b--", "B0>5 H{A}{x\\ry}{} . F17>22 C{} "},
    {"an empty line right after the boundary ends the headers at once", "--b\r\n\r\nv\r\n--b--",
     "B0>5 . F10>15 C{v} "},
    // Bodies that break off.
    {"a header line without its CR LF", "--b\r\nA: 1", "B0>5 H!"},
    {"headers without their blank line", "--b\r\nA: 1\r\n", "B0>5 H{A}{1}{} H!"},
    {"a part without its closing boundary", "--b\r\n\r\ncontent", "B0>5 . B!"},
    {"a boundary line with nothing after it", "--b\r\n", "B0>5 H!"},
};

TEST(MultipartParser, WalksEachBodyAsTheRulesSay) {
    for (const ParserCase& c : kCases) EXPECT_EQ(c.trace, Walk(c.body)) << c.name;
}

TEST(MultipartParser, ALongerMarkerNeedsEveryByte) {
    // Partial matches of a long marker at every offset, one byte short each time.
    std::string body;
    for (int i = 0; i < 50; ++i) body += "--boundar";
    body += "--boundary\r\n\r\nok\r\n--boundary--";
    EXPECT_EQ("B450>462 . F468>480 C{ok} ", Walk(body, "--boundary"));
}

TEST(MultipartParser, AFailedSearchLeavesTheResultsAlone) {
    const std::string body = "--b\r\n";
    CMultipartParser parser(reinterpret_cast<const uint8_t*>(body.data()), body.size(), "--b");
    uint64_t start = 99;
    bool final = true;
    ASSERT_HR(S_OK, parser.MoveNextBoundary(start, final));
    EXPECT_EQ(0u, start);
    EXPECT_FALSE(final);
    start = 99;
    EXPECT_HR(E_FAIL, parser.MoveNextBoundary(start, final));
    EXPECT_EQ(99u, start);
    CMultipartHeader header;
    EXPECT_HR(E_FAIL, parser.GetHeader(header));
}

TEST(MultipartParser, AnEmptyBodyHasNothing) {
    CMultipartParser parser(nullptr, 0, "--b");
    uint64_t start = 0;
    bool final = false;
    EXPECT_HR(E_FAIL, parser.MoveNextBoundary(start, final));
    CMultipartHeader header;
    EXPECT_HR(E_FAIL, parser.GetHeader(header));
}

}  // namespace
}  // namespace vesk_test
