// The mark grammar: how texts split into literal runs and marks, and where they fail.
#include <gtest/gtest.h>

#include "template_test_support.h"

namespace vesk_test {
namespace {

struct Mark {
    wchar_t type;
    std::wstring name;
    std::vector<std::wstring> params;
};

struct ParseCase {
    const char* title;
    const wchar_t* types;
    std::wstring text;
    std::vector<std::wstring> runs;
    std::vector<Mark> marks;
};

using namespace std::string_literals;  // "..."s keeps embedded NULs

const ParseCase kParseCases[] = {
    {"worked example", kPageTypes,
     L"<p>(#;Title#)</p>(#%_Input|user#|#(#:Default#)#) ^(#x (#&List|a|b#)(#Name#)",
     {L"<p>", L"</p>", L" (#x ", L"", L""},
     {{L';', L"Title", {}},
      {L'%', L"_Input", {L"user", L"(#:Default#)"}},
      {L'&', L"List", {L"a|b"}},
      {0, L"Name", {}}}},
    {"separator after separator", kPageTypes, L"(#;a#|#b#|#z#)", {L"", L""}, {{L';', L"a", {L"b", L"z"}}}},
    {"bar then separator gives an empty parameter", kPageTypes, L"(#;a|#|#b#)", {L"", L""},
     {{L';', L"a", {L"", L"b"}}}},
    {"bar inside a parameter is text", kPageTypes, L"(#;a#|#b|z#)", {L"", L""}, {{L';', L"a", {L"b|z"}}}},
    {"bars in both parameters", kPageTypes, L"(#a|b|c#|#d|e#)", {L"", L""}, {{0, L"a", {L"b|c", L"d|e"}}}},
    {"escaped bar", kPageTypes, L"(#;a^|b#)", {L"", L""}, {{L';', L"a|b", {}}}},
    {"stray escape in a mark", kPageTypes, L"(#;a^x#)", {L"", L""}, {{L';', L"a^x", {}}}},
    {"escape before a lone hash", kPageTypes, L"(#a^#b#)", {L"", L""}, {{0, L"a^#b", {}}}},
    {"every escape inside a mark", kPageTypes, L"(#^^^(#^#)^|^#|##)", {L"", L""}, {{0, L"^(##)|#|#", {}}}},
    {"escaped open does not nest", kPageTypes, L"(#a^(#b#)c", {L"", L"c"}, {{0, L"a(#b", {}}}},
    {"escaped close", kPageTypes, L"(#;a^#)#)", {L"", L""}, {{L';', L"a#)", {}}}},
    {"empty mark", kPageTypes, L"(##)", {L"", L""}, {{0, L"", {}}}},
    {"no marks", kPageTypes, L"plain text, no marks", {L"plain text, no marks"}, {}},
    {"empty text", kPageTypes, L"", {L""}, {}},
    {"escape at the very end", kPageTypes, L"abc^", {L"abc^"}, {}},
    {"escapes outside marks", kPageTypes, L"^^x^(#y^#)", {L"^x(#y#)"}, {}},
    {"bar escapes stay outside marks", kPageTypes, L"a^|b^#|#c", {L"a^|b^#|#c"}, {}},
    {"bars and separators are text outside marks", kPageTypes, L"a|b#|#c", {L"a|b#|#c"}, {}},
    {"nested mark carried verbatim", kPageTypes, L"(#%E|(#;a#)#)", {L"", L""}, {{L'%', L"E", {L"(#;a#)"}}}},
    {"bars and separators at depth are text", kPageTypes, L"(#x(#y|z#|#w#)|p#)", {L"", L""},
     {{0, L"x(#y|z#|#w#)", {L"p"}}}},
    {"two levels of nesting", kPageTypes, L"(#a(#b(#c#)#)#)", {L"", L""}, {{0, L"a(#b(#c#)#)", {}}}},
    {"line breaks are part of names and parameters", kPageTypes, L"(#;a\nb|c\r\nd#)", {L"", L""},
     {{L';', L"a\nb", {L"c\r\nd"}}}},
    {"white space passes through", kPageTypes, L" \t(# a |  b #) ", {L" \t", L" "}, {{0, L" a ", {L"  b "}}}},
    {"only the first character can be a type", kPageTypes, L"(#;;x#)", {L"", L""}, {{L';', L";x", {}}}},
    {"embedded NULs are ordinary characters", kTextTypes, L"a\0b(#\0n\0#)c"s, {L"a\0b"s, L"c"},
     {{0, L"\0n\0"s, {}}}},

    // The three type sets.
    {"page set: bar is a type", kPageTypes, L"(#|Name#)", {L"", L""}, {{L'|', L"Name", {}}}},
    {"page set: at sign is a type", kPageTypes, L"(#@x#)(#`y#)(#?z#)(#!w#)", {L"", L"", L"", L"", L""},
     {{L'@', L"x", {}}, {L'`', L"y", {}}, {L'?', L"z", {}}, {L'!', L"w", {}}}},
    {"page set: backslash is a type", kPageTypes, L"(#\\x#)", {L"", L""}, {{L'\\', L"x", {}}}},
    {"bound set: bar is a type", kBoundTypes, L"(#|Name#)", {L"", L""}, {{L'|', L"Name", {}}}},
    {"bound set: the last four are not types", kBoundTypes, L"(#!x#)(#?y#)(#`z#)(#@w#)",
     {L"", L"", L"", L"", L""}, {{0, L"!x", {}}, {0, L"?y", {}}, {0, L"`z", {}}, {0, L"@w", {}}}},
    {"text set: space", kTextTypes, L"(# note #)", {L"", L""}, {{L' ', L"note ", {}}}},
    {"text set: tab, CR, LF", kTextTypes, L"(#\tx#)(#\ry#)(#\nz#)", {L"", L"", L"", L""},
     {{L'\t', L"x", {}}, {L'\r', L"y", {}}, {L'\n', L"z", {}}}},
    {"text set: semicolon is a name character", kTextTypes, L"(#;x#)", {L"", L""}, {{0, L";x", {}}}},
    {"text set: bar opens a parameter", kTextTypes, L"(#|x#)", {L"", L""}, {{0, L"", {L"x"}}}},
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.title; }

class ParseTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, SplitsIntoRunsAndMarks) {
    const ParseCase& c = GetParam();
    CTestEngine engine(c.types);
    CTemplate* tmpl = new CTemplate;
    CComBSTR text = Bstr(c.text);
    ASSERT_HR(S_OK, engine.Parse(text, *tmpl));

    ASSERT_EQ(c.runs.size(), tmpl->m_vTexts.size());
    for (size_t i = 0; i < c.runs.size(); ++i) {
        ASSERT_NE(nullptr, tmpl->m_vTexts[i]) << "run " << i;  // empty runs are empty strings
        EXPECT_BSTR_EQ(c.runs[i], tmpl->m_vTexts[i]) << "run " << i;
    }
    ASSERT_EQ(c.marks.size(), tmpl->m_vMarks.size());
    for (size_t i = 0; i < c.marks.size(); ++i) {
        const CMarkData& got = *tmpl->m_vMarks[i];
        EXPECT_EQ(int(c.marks[i].type), int(got.m_cType)) << "mark " << i;
        EXPECT_EQ(c.marks[i].name, got.m_ssName.str()) << "mark " << i;
        ASSERT_EQ(c.marks[i].params.size(), got.m_vParams.size()) << "mark " << i;
        for (size_t p = 0; p < got.m_vParams.size(); ++p) {
            EXPECT_EQ(c.marks[i].params[p], got.m_vParams[p]->str()) << "mark " << i << " param " << p;
        }
    }
    EXPECT_EQ(0u, tmpl->Release());
}

INSTANTIATE_TEST_SUITE_P(Grammar, ParseTable, ::testing::ValuesIn(kParseCases),
                         [](const ::testing::TestParamInfo<ParseCase>& info) {
                             return "case" + std::to_string(info.index);
                         });

// Every place in a text where the grammar can break.
const wchar_t* const kBadTexts[] = {
    L"abc#)",        // closing delimiter outside any mark
    L"#)",           // ... alone
    L"x(#a#)y#)z",   // ... after a complete mark
    L"^#)#)",        // ... after an escaped one
    L"(#a#)#)",      // ... right after a mark
    L"(#;abc",       // opening delimiter never closed
    L"(#",           // ... at the very end
    L"(#;",          // ... with only a type character
    L"(#a(#b#)",     // closed only at depth 1
    L"(#a^#)",       // closing delimiter escaped, then the end
    L"(#a^",         // escape at the end inside a mark
    L"(#a|b",        // end inside the first parameter
    L"(#a#|#",       // end right after a separator
    L"ok (#a#) (#b", // a later mark unclosed
};

TEST(ParseErrors, InvalidMarkOrderEverywhere) {
    for (const wchar_t* bad : kBadTexts) {
        SCOPED_TRACE(Utf8(bad));
        CTestEngine engine;
        CTemplate* tmpl = new CTemplate;
        CComBSTR text(bad);
        TakeErrorInfo();
        EXPECT_HR(E_FAIL, engine.Parse(text, *tmpl));
        EXPECT_EQ(L"Templator: Invalid mark order.", TakeErrorInfo());
        tmpl->Release();

        // Direct expansion meets the same error.
        engine.Record();
        EXPECT_HR(E_FAIL, engine.Process(text));
        EXPECT_EQ(L"Templator: Invalid mark order.", TakeErrorInfo());
    }
}

TEST(ParseErrors, NullTextIsAnEmptyTemplate) {
    CTestEngine engine;
    CTemplate* tmpl = new CTemplate;
    ASSERT_HR(S_OK, engine.Parse(nullptr, *tmpl));
    ASSERT_EQ(1u, tmpl->m_vTexts.size());
    EXPECT_BSTR_EQ(L"", tmpl->m_vTexts[0]);
    EXPECT_TRUE(tmpl->m_vMarks.empty());
    tmpl->Release();
}

TEST(GetMarkData, LeavesThePositionOnTheClosingDelimiter) {
    CTestEngine engine;
    CComBSTR text(L"(#;ab|c#)tail");
    unsigned int pos = 2;
    CMarkData mark;
    ASSERT_HR(S_OK, engine.GetMarkData(text, pos, mark));
    EXPECT_EQ(7u, pos);
    EXPECT_EQ(L';', mark.m_cType);
    EXPECT_EQ(L"ab", mark.m_ssName.str());
    ASSERT_EQ(1u, mark.m_vParams.size());
    EXPECT_EQ(L"c", mark.m_vParams[0]->str());
}

TEST(Template, ReferenceCountReachesZeroOnce) {
    CTemplate* tmpl = new CTemplate;
    EXPECT_EQ(1, tmpl->m_nRefCount);
    EXPECT_EQ(tmpl, tmpl->AddRef());
    EXPECT_EQ(2, tmpl->m_nRefCount);
    // The count's neighbour is a separate field that counting must never touch.
    tmpl->m_ftLastWrite = {0xFFFFFFFFu, 0xFFFFFFFFu};
    tmpl->AddRef();
    EXPECT_EQ(2u, tmpl->Release());
    EXPECT_EQ(0xFFFFFFFFu, tmpl->m_ftLastWrite.dwLowDateTime);
    EXPECT_EQ(1u, tmpl->Release());
    EXPECT_EQ(0u, tmpl->Release());
}

}  // namespace
}  // namespace vesk_test
