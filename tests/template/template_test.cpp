// The template engine: how texts split into literal runs and marks and where they break, direct
// and parsed expansion, the output sinks, the conversion of mark values to text, and the cache of
// parsed templates (freshness by file time, replacement, concurrent use).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/memory_stream.h"
#include "support/test_support.h"
#include "template/template_cache.h"
#include "template/templator_concept.h"

namespace vesk_test {
namespace {

namespace fs = std::filesystem;

// The type sets of the page controller, the page-bound templator and the text templator.
constexpr wchar_t kPageTypes[] = L"%;:*/=~+-$\\&|!?`@";
constexpr wchar_t kBoundTypes[] = L"%;:*/=~+-$\\&|";
constexpr wchar_t kTextTypes[] = L" \t\r\n";

using Writes = std::vector<std::wstring>;

// A BSTR holding exactly the characters of text, embedded NULs included.
CComBSTR Bstr(const std::wstring& text) { return CComBSTR(text.data(), UINT(text.size())); }

// Marks named "fail" fail, "drop" lets the output go, and "never" must not be reached; a mark
// with parameters expands its first parameter as a template on the same engine, and any other
// mark writes "<name>".
class CTestEngine : public CTemplatorConcept {
public:
    explicit CTestEngine(const wchar_t* types = kPageTypes) : CTemplatorConcept(types) {}

    HRESULT OnMarked(CMarkData& mark) override {
        const std::wstring name = mark.m_ssName.str();
        if (name == L"fail") return E_ACCESSDENIED;
        if (name == L"drop") return putref_Output(nullptr);
        if (name == L"never") ADD_FAILURE() << "expanded past a failure";
        if (name == L"forget" && forget) std::exchange(forget, nullptr)->Release();
        if (!mark.m_vParams.empty()) return (partner ? partner : this)->Process(Bstr(mark.m_vParams[0]->str()));
        return WriteOutput(Bstr(L"<" + name + L">"));
    }
    CTestEngine* partner = nullptr;  // expands the parameters instead, when set
    CTemplate* forget = nullptr;     // a reference that a "forget" mark drops
    // Selects a new memory stream as the output and returns it.
    CComPtr<CMemoryStream> Record() {
        auto sink = CMemoryStream::Create();
        EXPECT_HR(S_OK, putref_Output(sink.Get()));
        return sink;
    }
};

// Expands the text straight from it, or from its parsed form.
HRESULT Expand(CTestEngine& engine, const wchar_t* text, bool parsed) {
    CComBSTR bstr(text);
    if (!parsed) return engine.Process(bstr);
    CTemplate* tmpl = new CTemplate;
    HRESULT hr = engine.Parse(bstr, *tmpl);
    if (SUCCEEDED(hr)) hr = engine.Process(*tmpl);
    tmpl->Release();
    return hr;
}

// ---- The mark grammar ----------------------------------------------------------------------

using namespace std::string_literals;  // "..."s keeps embedded NULs

// A parsed template as one string: the literal runs as they are, each mark as {type name¦param...}
// with · standing for no type.
std::wstring Render(const CTemplate& t) {
    std::wstring out(View(t.m_vTexts[0]));
    for (size_t i = 0; i < t.m_vMarks.size(); ++i) {
        const CMarkData& mark = *t.m_vMarks[i];
        out += L"{" + std::wstring(1, mark.m_cType ? mark.m_cType : L'·') + mark.m_ssName.str();
        for (const auto* param : mark.m_vParams) out += L"¦" + param->str();
        out += L"}" + std::wstring(View(t.m_vTexts[i + 1]));
    }
    return out;
}

struct ParseCase { const wchar_t* types; std::wstring text, parsed; };

const ParseCase kParseCases[] = {
    {kPageTypes, L"<p>(#;Title#)</p>(#%_Input|user#|#(#:Default#)#) ^(#x (#&List|a|b#)(#Name#)",
     L"<p>{;Title}</p>{%_Input¦user¦(#:Default#)} (#x {&List¦a|b}{·Name}"},
    {kPageTypes, L"(#;a#|#b#|#z#)(#;a|#|#b#)(#;a#|#b|z#)(#a|b|c#|#d|e#)", L"{;a¦b¦z}{;a¦¦b}{;a¦b|z}{·a¦b|c¦d|e}"},
    {kPageTypes, L"(#;a^|b#)(#;a^x#)(##)(#;;x#)", L"{;a|b}{;a^x}{·}{;;x}"},
    // Escapes inside marks, and outside them, where only ^, (# and #) can be escaped.
    {kPageTypes, L"(#^^^(#^#)^|^#|##)(#a^#b#)(#a^(#b#)c(#;a^#)#)", L"{·^(##)|#|#}{·a^#b}{·a(#b}c{;a#)}"},
    {kPageTypes, L"^^x^(#y^#)a^|b^#|#c|d#|#e^", L"^x(#y#)a^|b^#|#c|d#|#e^"},
    // Nested marks, with their bars and separators, are carried verbatim.
    {kPageTypes, L"(#%E|(#;a#)#)(#x(#y|z#|#w#)|p#)(#a(#b(#c#)#)#)", L"{%E¦(#;a#)}{·x(#y|z#|#w#)¦p}{·a(#b(#c#)#)}"},
    // White space, line breaks and NULs are ordinary characters.
    {kPageTypes, L" \t(# a\r\nb |  c\n#) a\0b(#\0n\0#)c"s, L" \t{· a\r\nb ¦  c\n} a\0b{·\0n\0}c"s},
    // The three type sets.
    {kPageTypes, L"(#|a#)(#@b#)(#`c#)(#?d#)(#!e#)(#\\f#)", L"{|a}{@b}{`c}{?d}{!e}{\\f}"},
    {kBoundTypes, L"(#|a#)(#!b#)(#?c#)(#`d#)(#@e#)", L"{|a}{·!b}{·?c}{·`d}{·@e}"},
    {kTextTypes, L"(# note #)(#\tx#)(#\ry#)(#\nz#)(#;w#)(#|v#)", L"{ note }{\tx}{\ry}{\nz}{·;w}{·¦v}"},
};

TEST(Parse, SplitsIntoRunsAndMarks) {
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(Utf8(c.text));
        CTestEngine engine(c.types);
        CTemplate* tmpl = new CTemplate;
        ASSERT_HR(S_OK, engine.Parse(Bstr(c.text), *tmpl));
        ASSERT_EQ(tmpl->m_vMarks.size() + 1, tmpl->m_vTexts.size());
        EXPECT_EQ(c.parsed, Render(*tmpl));
        EXPECT_EQ(0u, tmpl->Release());
    }
}

// A template keeps its marks in blocks of several: a page of a thousand marks, each with its
// own name and parameters, renders back whole, and a parse that fails at its last mark
// leaves nothing behind (the leak checker sees to the marks already read).
TEST(Parse, ManyMarksKeepTheirOwnTexts) {
    std::wstring text, parsed;
    for (int i = 0; i < 1000; ++i) {
        const std::wstring n = std::to_wstring(i);
        text += L"<" + n + L">(#;m" + n + (i % 3 ? L"" : L"|p" + n + L"#|#q") + L"#)";
        parsed += L"<" + n + L">{;m" + n + (i % 3 ? L"" : L"¦p" + n + L"¦q") + L"}";
    }
    CTestEngine engine(kPageTypes);
    CTemplate* tmpl = new CTemplate;
    ASSERT_HR(S_OK, engine.Parse(Bstr(text), *tmpl));
    EXPECT_EQ(parsed, Render(*tmpl));
    EXPECT_EQ(0u, tmpl->Release());

    CTemplate* broken = new CTemplate;
    EXPECT_HR(E_FAIL, engine.Parse(Bstr(text + L"(#;unclosed|p"), *broken));
    EXPECT_EQ(0u, broken->Release());
    SetErrorInfo(0, nullptr);
}

// The calling thread's error information as "source: description", taken (empty when none).
std::wstring TakeErrorInfo() {
    CComPtr<IErrorInfo> info;
    CComBSTR source, description;
    if (GetErrorInfo(0, info.Receive()) == S_OK && info && SUCCEEDED(info->GetSource(source.Receive())))
        info->GetDescription(description.Receive());
    return std::wstring(View(source)) + L": " + std::wstring(View(description));
}

TEST(Parse, InvalidMarkOrderWhereverTheGrammarBreaks) {
    // A closing delimiter outside any mark, then an opening one never closed at depth 0.
    const wchar_t* const kBad[] = {
        L"#)", L"abc#)", L"x(#a#)y#)z", L"^#)#)", L"(#a#)#)",
        L"(#", L"(#;", L"(#;abc", L"(#a(#b#)", L"(#a^#)", L"(#a^", L"(#a|b", L"(#a#|#", L"ok (#a#) (#b",
    };
    for (const wchar_t* bad : kBad) {
        for (bool parsed : {false, true}) {
            SCOPED_TRACE(Utf8(bad) + (parsed ? " parsed" : " direct"));
            CTestEngine engine;
            engine.Record();
            EXPECT_HR(E_FAIL, Expand(engine, bad, parsed));
            EXPECT_EQ(L"Templator: Invalid mark order.", TakeErrorInfo());
        }
    }
}

// ---- Expansion and output ------------------------------------------------------------------

struct ExpandCase { const wchar_t* text; HRESULT hr; Writes direct, parsed; bool output = true; };

const ExpandCase kExpandCases[] = {
    {L"ab^(#c", S_OK, {L"a", L"b", L"(#", L"c"}, {L"ab(#c"}},
    {L"x(#n#)yz", S_OK, {L"x", L"<n>", L"y", L"z"}, {L"x", L"<n>", L"yz"}},
    {L"(#a#)(#b#)", S_OK, {L"<a>", L"<b>"}, {L"", L"<a>", L"", L"<b>", L""}},
    {L"^^^#)^x", S_OK, {L"^", L"#)", L"^", L"x"}, {L"^#)^x"}},
    {L"<(#w|x(#i#)y#)>", S_OK, {L"<", L"x", L"<i>", L"y", L">"}, {L"<", L"x", L"<i>", L"y", L">"}},
    {L"", S_OK, {}, {L""}},
    {nullptr, S_OK, {}, {L""}},
    {L"a(#ok#)b(#fail#)c(#never#)", E_ACCESSDENIED, {L"a", L"<ok>", L"b"}, {L"a", L"<ok>", L"b"}},
    {L"a(#drop#)b(#never#)", E_FAIL, {L"a"}, {L"a"}},
    {L"a(#never#)b", E_FAIL, {}, {}, false},
};

TEST(Expansion, DirectWritesEachCharacterParsedEachRunUpToAFailure) {
    for (const ExpandCase& c : kExpandCases) {
        for (bool parsed : {false, true}) {
            SCOPED_TRACE(Utf8(c.text ? c.text : L"(null)") + (parsed ? " parsed" : " direct"));
            CTestEngine engine;
            auto out = engine.Record();
            if (!c.output) engine.putref_Output(nullptr);
            EXPECT_HR(c.hr, Expand(engine, c.text, parsed));
            EXPECT_EQ(parsed ? c.parsed : c.direct, out->Writes());
        }
    }
}

// d nested marks are d + 1 expansions in progress at once, on one engine or alternating between
// two: the bound is per thread, and a refused level unwinds so that the next expansion is whole.
TEST(Expansion, NestingStopsAtTheBoundOverEveryEngineOfTheThread) {
    constexpr unsigned int kBound = CTemplatorConcept::kMaxNestedExpansions;
    for (bool twoEngines : {false, true}) {
        for (unsigned int expansions : {kBound, kBound + 1, kBound}) {
            for (bool parsed : {false, true}) {
                SCOPED_TRACE(std::to_string(expansions) + (twoEngines ? " two engines" : "") + (parsed ? " parsed" : ""));
                CTestEngine engine, other;
                auto out = engine.Record(), otherOut = other.Record();
                if (twoEngines) engine.partner = &other, other.partner = &engine;
                std::wstring text = L"x";
                for (unsigned int i = 1; i < expansions; ++i) text = L"(#w|" + text + L"#)";
                const bool fits = expansions <= kBound;
                EXPECT_HR(fits ? S_OK : E_FAIL, Expand(engine, text.c_str(), parsed));
                EXPECT_EQ(fits ? L"x" : L"", out->text + otherOut->text);
                EXPECT_EQ(fits ? L": " : L"Templator: Templates nest too deeply (more than 32 expansions at once).",
                          TakeErrorInfo());
            }
        }
    }
}

// A mark handler may let go of the last reference to the parsed template being expanded.
TEST(Expansion, HandlerMayDropTheParsedTemplate) {
    CTestEngine engine;
    auto out = engine.Record();
    engine.forget = new CTemplate;
    ASSERT_HR(S_OK, engine.Parse(CComBSTR(L"a(#forget#)b(#c#)d"), *engine.forget));
    EXPECT_HR(S_OK, engine.Process(*engine.forget));
    EXPECT_EQ(L"a<forget>b<c>d", out->text);
}

// Records the texts that reach a Response or a text stream; lives on the test's stack.
template <class I>
struct GRecorder : automation::GCountedObject<I> {
    Writes writes;
};

struct RecordingTextStream final : GRecorder<Scripting::ITextStream> {
    HRESULT Write(BSTR text) override { return writes.emplace_back(View(text)), S_OK; }
};

#define NOT_CALLED(name, ...) \
    HRESULT name(__VA_ARGS__) override { return E_NOTIMPL; }

// The engine calls only Write.
struct RecordingResponse final : GRecorder<PravoltTypeLibrary::IResponse> {
    HRESULT Write(VARIANT text) override {
        return writes.emplace_back(text.vt == VT_BSTR ? View(text.bstrVal) : L"(not a string)"), S_OK;
    }
    NOT_CALLED(GetTypeInfoCount, UINT*) NOT_CALLED(GetTypeInfo, UINT, LCID, ITypeInfo**)
    NOT_CALLED(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
    NOT_CALLED(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
    NOT_CALLED(get_Buffer, VARIANT_BOOL*) NOT_CALLED(put_Buffer, VARIANT_BOOL) NOT_CALLED(get_ContentType, BSTR*)
    NOT_CALLED(put_ContentType, BSTR) NOT_CALLED(get_Expires, VARIANT*) NOT_CALLED(put_Expires, LONG)
    NOT_CALLED(get_ExpiresAbsolute, VARIANT*) NOT_CALLED(put_ExpiresAbsolute, DATE) NOT_CALLED(get_Status, BSTR*)
    NOT_CALLED(get_Cookies, PravoltTypeLibrary::IRequestDictionary**) NOT_CALLED(put_Status, BSTR)
    NOT_CALLED(Add, BSTR, BSTR) NOT_CALLED(AddHeader, BSTR, BSTR) NOT_CALLED(AppendToLog, BSTR) NOT_CALLED(Clear)
    NOT_CALLED(BinaryWrite, VARIANT) NOT_CALLED(End) NOT_CALLED(Flush) NOT_CALLED(Redirect, BSTR)
    NOT_CALLED(WriteBlock, short) NOT_CALLED(IsClientConnected, VARIANT_BOOL*) NOT_CALLED(get_CharSet, BSTR*)
    NOT_CALLED(put_CharSet, BSTR) NOT_CALLED(Pics, BSTR) NOT_CALLED(get_CacheControl, BSTR*)
    NOT_CALLED(put_CacheControl, BSTR) NOT_CALLED(get_CodePage, LONG*) NOT_CALLED(put_CodePage, LONG)
    NOT_CALLED(get_LCID, LONG*) NOT_CALLED(put_LCID, LONG)
};

TEST(Output, EachKindOfObjectGetsItsSink) {
    RecordingResponse response;
    RecordingTextStream textStream;
    auto stream = CMemoryStream::Create();
    CTestEngine engine;
    for (IUnknown* output : std::initializer_list<IUnknown*>{&response, &textStream, stream.Get()}) {
        ASSERT_HR(S_OK, engine.putref_Output(output));
        ASSERT_HR(S_OK, engine.Process(CComBSTR(L"hi")));
    }
    CTemplate* unparsed = new CTemplate;  // not even the first literal run: refused, nothing written
    EXPECT_HR(E_INVALIDARG, engine.Process(*unparsed));
    unparsed->Release();
    ASSERT_HR(S_OK, engine.putref_Output(nullptr));
    for (const Writes& w : {response.writes, textStream.writes, stream->Writes()}) EXPECT_EQ((Writes{L"h", L"i"}), w);
}

// The strings "a", "b", ... in an array from the lower bound; two-dimensional ones stay empty.
CComVariant Array(LONG lower, ULONG count, UINT dims = 1) {
    SAFEARRAYBOUND bounds[2] = {{count, lower}, {count, lower}};
    CComVariant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreate(VT_VARIANT, dims, bounds);
    for (LONG i = 0; dims == 1 && i < LONG(count); ++i) {
        CComVariant element = VarStr(std::wstring(1, wchar_t(L'a' + i)).c_str());
        LONG at = lower + i;
        SafeArrayPutElement(v.parray, &at, &element);
    }
    return v;
}

// An object without a default member whose properties hold each kind of value a walk meets.
CComVariant Page() {
    CComPtr<IZULibDictionary> dict;
    CoCreateInstance(CLSID_Dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibDictionary, dict.ReceiveVoid());
    CComVariant key = VarStr(L"Name"), item = VarStr(L"World");
    if (dict) dict->put_Item(&key, &item);
    auto page = ScriptObject::Create();
    page->SetProperty(L"Dict", VarDisp(dict.Get())).SetProperty(L"Title", VarStr(L"Home"));
    page->SetProperty(L"Abc", Array(0, 3)).SetProperty(L"Ab", Array(1, 2)).SetProperty(L"Matrix", Array(0, 2, 2));
    page->SetProperty(L"Gap", VarNull()).SetProperty(L"Nothing", VarDisp(nullptr));
    return VarDisp(page.Get());
}

struct WalkCase { std::vector<const wchar_t*> params; bool nullIsEmpty; HRESULT hr; const wchar_t* text; };

const WalkCase kWalkCases[] = {
    {{L"Dict", L"Name"}, false, S_OK, L"World"},
    {{L"Dict", L"Missing"}, false, S_OK, L""},  // Empty
    {{L"Dict", L"Missing"}, true, S_OK, L""},
    {{L"Title"}, false, S_OK, L"Home"},
    {{}, true, S_OK, L""},  // an object without a value
    {{L"Nothing", L"x"}, false, DISP_E_TYPEMISMATCH, nullptr},
    {{L"Abc", L"0"}, false, S_OK, L"a"},
    {{L"Abc", L"3"}, false, DISP_E_BADINDEX, nullptr},
    {{L"Abc", L"-1"}, false, DISP_E_BADINDEX, nullptr},
    {{L"Abc", L"x"}, false, DISP_E_TYPEMISMATCH, nullptr},
    {{L"Ab", L"0"}, false, DISP_E_BADINDEX, nullptr},
    {{L"Ab", L"2"}, false, S_OK, L"b"},
    {{L"Matrix", L"0"}, false, DISP_E_BADINDEX, nullptr},
    {{L"Title", L"0"}, false, DISP_E_TYPEMISMATCH, nullptr},  // a string
    {{L"Gap"}, false, DISP_E_TYPEMISMATCH, nullptr},         // Null
    {{L"Gap"}, true, S_OK, L""},
};

TEST(ChangeToBSTR, WalksThenConverts) {
    for (const WalkCase& c : kWalkCases) {
        SCOPED_TRACE("row " + std::to_string(&c - kWalkCases));
        CComVariant value = Page();
        CMarkData mark;
        for (const wchar_t* p : c.params) *mark.AddParam() << p;
        EXPECT_HR(c.hr, CTemplatorConcept::ChangeToBSTR(&value, &mark.m_vParams, c.nullIsEmpty));
        if (SUCCEEDED(c.hr)) {
            ASSERT_EQ(VT_BSTR, value.vt);
            EXPECT_BSTR_EQ(c.text, value.bstrVal);
        }
    }
}

// Arrays typed as holding VARIANTs whose storage holds something else: another element type, or
// the VARIANT flag with another one beside it. Each element would read as an Empty (or, for the
// decimal, as the number 42) if it were taken for a VARIANT.
TEST(ChangeToBSTR, WalksOnlyIntoArraysThatHoldVariants) {
    const struct { VARTYPE elements; USHORT addedFeature; } kArrays[] = {
        {VT_DECIMAL, 0}, {VT_UNKNOWN, 0}, {VT_I8, 0}, {VT_VARIANT, FADF_BSTR}};
    for (const auto& a : kArrays) {
        SCOPED_TRACE(a.elements);
        CComVariant value;
        value.vt = VT_ARRAY | VT_VARIANT;
        value.parray = SafeArrayCreateVector(a.elements, 0, 1);
        ASSERT_NE(nullptr, value.parray);
        value.parray->fFeatures |= a.addedFeature;
        if (a.elements == VT_DECIMAL) {
            VARIANT* looksLike = static_cast<VARIANT*>(value.parray->pvData);
            looksLike->vt = VT_I4;
            looksLike->lVal = 42;
        }
        CMarkData mark;
        *mark.AddParam() << L"0";
        EXPECT_HR(DISP_E_TYPEMISMATCH, CTemplatorConcept::ChangeToBSTR(&value, &mark.m_vParams, true));
        if (value.vt == (VT_ARRAY | VT_VARIANT)) value.parray->fFeatures &= USHORT(~a.addedFeature);
    }
}

// ---- The template cache ---------------------------------------------------------------------

class TemplateCacheTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(m_dir); }
    void TearDown() override { fs::remove_all(m_dir); }

    // A new file, last written 100 seconds ago.
    CComBSTR WriteFile(const std::string& name) {
        std::ofstream(m_dir / name) << "x";
        CComBSTR path((m_dir / name).wstring().c_str());
        Age(path, 100);
        return path;
    }
    static void Age(const CComBSTR& path, int seconds) {
        fs::last_write_time(path.c_str(), fs::file_time_type::clock::now() - std::chrono::seconds(seconds));
    }
    CTemplate* Take(const CComBSTR& path) {
        auto* got = reinterpret_cast<CTemplate*>(1);  // must be overwritten, with null on a miss
        EXPECT_HR(S_OK, cache.Take(path, &got));
        return got;
    }
    // What a page shows: the cached template, or else the file's text parsed now and cached.
    std::wstring Serve(const CComBSTR& path) {
        CTestEngine engine;
        CTemplate* tmpl = Take(path);
        if (tmpl == nullptr) {
            std::wifstream file{fs::path(path.c_str())};
            tmpl = new CTemplate;
            EXPECT_HR(S_OK, engine.Parse(Bstr({std::istreambuf_iterator<wchar_t>(file), {}}), *tmpl));
            cache.Store(path, tmpl);
        }
        auto out = engine.Record();
        EXPECT_HR(S_OK, engine.Process(*tmpl));
        tmpl->Release();
        return out->text;
    }

    const fs::path m_dir = fs::temp_directory_path() / ("vesk_cache_" + std::to_string(getpid()));
    CTemplateCache cache;
};

TEST_F(TemplateCacheTest, HitSharesTheTemplateStoreReplacesIt) {
    CComBSTR path = WriteFile("page.html");
    EXPECT_HR(E_INVALIDARG, cache.Take(path, nullptr));
    EXPECT_HR(E_INVALIDARG, cache.Store(path, nullptr));
    EXPECT_EQ(nullptr, Take(path));
    CTemplate* old = new CTemplate;
    ASSERT_HR(S_OK, cache.Store(path, old));
    EXPECT_EQ(nullptr, Take(WriteFile("Page.html")));  // another case, another entry
    ASSERT_EQ(old, Take(path));
    ASSERT_EQ(old, Take(path));
    EXPECT_EQ(4, old->m_nRefCount);

    CTemplate* fresh = new CTemplate;
    ASSERT_HR(S_OK, cache.Store(path, fresh));
    EXPECT_EQ(3, old->m_nRefCount);  // the replaced entry let go of it once
    ASSERT_EQ(fresh, Take(path));
    EXPECT_EQ(2u, fresh->Release());
    EXPECT_EQ(1u, fresh->Release());
    // Store set the file time beside the count; counting never reaches it, and the last release frees.
    for (uint32_t held = 3; held-- > 0;) EXPECT_EQ(held, old->Release());
}

TEST_F(TemplateCacheTest, TouchedFileIsStaleDeletedFileKeepsServing) {
    for (int age : {50, 150, 0}) {  // 0: the file is deleted
        SCOPED_TRACE(age);
        CComBSTR path = WriteFile("page.html");
        CTemplate* stored = new CTemplate;
        cache.Store(path, stored);
        age ? Age(path, age) : void(fs::remove(path.c_str()));
        for (int i = 0; i < 2; ++i) {  // a hit keeps the entry, a stale one is gone
            CTemplate* got = Take(path);
            EXPECT_EQ(age ? nullptr : stored, got);
            if (got == stored) got->Release();
        }
        EXPECT_EQ(age ? 1 : 2, stored->m_nRefCount);
        stored->Release();
    }
}

// A file rewritten within the second it was cached in is seen as changed.
TEST_F(TemplateCacheTest, RewriteWithinTheSameSecondIsServed) {
    const CComBSTR path = WriteFile("page.html");
    for (const auto& [text, nanoseconds] : {std::pair{L"one", 100'000'000L}, {L"two", 600'000'000L}}) {
        std::wofstream{fs::path(path.c_str())} << text;
        const timespec times[2] = {{1'700'000'000, nanoseconds}, {1'700'000'000, nanoseconds}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, fs::path(path.c_str()).c_str(), times, 0));
        EXPECT_EQ(text, Serve(path));
        EXPECT_EQ(text, Serve(path));
    }
}

// Pages on several threads take, parse, store and expand the same few paths while another
// thread keeps changing their file times; every expansion must come out whole.
TEST_F(TemplateCacheTest, ConcurrentTakeStoreExpand) {
    constexpr int kPaths = 3, kThreads = 4, kRounds = 400;
    std::vector<CComBSTR> paths;
    for (int i = 0; i < kPaths; ++i) paths.push_back(WriteFile("t" + std::to_string(i) + ".html"));
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread toucher([&] {
        for (int n = 0; !stop.load(); ++n, std::this_thread::yield()) Age(paths[size_t(n % kPaths)], 100 + n % 7);
    });
    auto page = [&](int seed) {
        CTestEngine engine;
        for (int round = 0; round < kRounds; ++round) {
            const size_t which = size_t((seed + round) % kPaths);
            const std::wstring name = L"m" + std::to_wstring(which);
            CTemplate* tmpl = nullptr;
            cache.Take(paths[which], &tmpl);
            if (tmpl == nullptr) {
                tmpl = new CTemplate;
                if (FAILED(engine.Parse(Bstr(L"head (#" + name + L"#) tail"), *tmpl))) ++failures;
                cache.Store(paths[which], tmpl);
            }
            auto out = engine.Record();
            if (FAILED(engine.Process(*tmpl)) || out->text != L"head <" + name + L"> tail") ++failures;
            tmpl->Release();
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(page, t);
    for (auto& t : threads) t.join();
    stop = true;
    toucher.join();
    EXPECT_EQ(0, failures.load());
}

}  // namespace
}  // namespace vesk_test
