// Expansion, output selection and value conversion.
#include <gtest/gtest.h>

#include "template_test_support.h"

namespace vesk_test {
namespace {

using Writes = std::vector<std::wstring>;

// ---- Direct and parsed expansion ----------------------------------------------------------

struct ExpandCase {
    std::wstring text;
    Writes direct;
    Writes parsed;
};

const ExpandCase kExpandCases[] = {
    {L"ab^(#c", {L"a", L"b", L"(#", L"c"}, {L"ab(#c"}},
    {L"x(#n#)yz", {L"x", L"<n>", L"y", L"z"}, {L"x", L"<n>", L"yz"}},
    {L"(#a#)(#b#)", {L"<a>", L"<b>"}, {L"", L"<a>", L"", L"<b>", L""}},
    {L"^^^#)^x", {L"^", L"#)", L"^", L"x"}, {L"^#)^x"}},
    {L"", {}, {L""}},
};

TEST(Expansion, DirectWritesEachCharacterParsedEachRun) {
    for (const ExpandCase& c : kExpandCases) {
        SCOPED_TRACE(Utf8(c.text));
        CTestEngine engine;
        CComBSTR text = Bstr(c.text);
        auto direct = engine.Record();
        ASSERT_HR(S_OK, engine.Process(text));
        EXPECT_EQ(c.direct, direct->writes);

        auto parsed = engine.Record();
        CTemplate* tmpl = new CTemplate;
        ASSERT_HR(S_OK, engine.Parse(text, *tmpl));
        ASSERT_HR(S_OK, engine.Process(*tmpl));
        tmpl->Release();
        EXPECT_EQ(c.parsed, parsed->writes);
    }
    CTestEngine engine;
    auto sink = engine.Record();
    EXPECT_HR(S_OK, engine.Process(static_cast<wchar_t*>(nullptr)));
    EXPECT_TRUE(sink->writes.empty());
}

// Runs the text both ways on a fresh output each, returning both results and outputs.
struct BothWays {
    HRESULT direct, parsed;
    std::wstring directText, parsedText;
};
BothWays ExpandBothWays(CTestEngine& engine, const wchar_t* text, HRESULT failWrites = S_OK) {
    BothWays r;
    CComBSTR bstr(text);
    auto d = engine.Record();
    d->failWith = failWrites;
    r.direct = engine.Process(bstr);
    CTemplate* tmpl = new CTemplate;
    EXPECT_HR(S_OK, engine.Parse(bstr, *tmpl));
    auto p = engine.Record();
    p->failWith = failWrites;
    r.parsed = engine.Process(*tmpl);
    tmpl->Release();
    r.directText = d->Text();
    r.parsedText = p->Text();
    return r;
}

TEST(Expansion, FailuresStopBothKinds) {
    CTestEngine engine;
    engine.handler = [](CTestEngine& e, CMarkData& mark) -> HRESULT {
        return mark.m_ssName.str() == L"bad" ? E_ACCESSDENIED : e.Write(L"<" + mark.m_ssName.str() + L">");
    };
    BothWays r = ExpandBothWays(engine, L"a(#ok#)b(#bad#)c(#never#)");
    EXPECT_HR(E_ACCESSDENIED, r.direct);
    EXPECT_HR(E_ACCESSDENIED, r.parsed);
    EXPECT_EQ(L"a<ok>b", r.directText);
    EXPECT_EQ(L"a<ok>b", r.parsedText);

    CTestEngine writeFails;
    r = ExpandBothWays(writeFails, L"a(#n#)", STG_E_WRITEFAULT);
    EXPECT_HR(STG_E_WRITEFAULT, r.direct);
    EXPECT_HR(STG_E_WRITEFAULT, r.parsed);
    EXPECT_TRUE(writeFails.marked.empty());
}

TEST(Expansion, NoOutputIsRefusedBeforeAnything) {
    CTestEngine engine;
    CComBSTR text(L"a(#n#)b");
    EXPECT_HR(E_FAIL, engine.Process(text));
    CTemplate* tmpl = new CTemplate;
    ASSERT_HR(S_OK, engine.Parse(text, *tmpl));
    EXPECT_HR(E_FAIL, engine.Process(*tmpl));
    tmpl->Release();
    EXPECT_TRUE(engine.marked.empty());

    // Nor is anything written after a mark handler drops the output midway.
    engine.handler = [](CTestEngine& e, CMarkData&) { return e.putref_Output(nullptr); };
    auto sink = engine.Record();
    EXPECT_HR(E_FAIL, engine.Process(text));
    EXPECT_EQ(Writes{L"a"}, sink->writes);
}

TEST(Expansion, UnparsedTemplateIsRefused) {
    CTestEngine engine;
    auto sink = engine.Record();
    CTemplate* tmpl = new CTemplate;  // not even the first literal run
    EXPECT_HR(E_INVALIDARG, engine.Process(*tmpl));
    tmpl->Release();
    EXPECT_TRUE(sink->writes.empty());
}

TEST(Expansion, MarkHandlerMayExpandNestedTemplates) {
    CTestEngine engine;
    engine.handler = [](CTestEngine& e, CMarkData& mark) -> HRESULT {
        if (mark.m_vParams.empty()) return e.Write(L"[" + mark.m_ssName.str() + L"]");
        return e.Process(Bstr(mark.m_vParams[0]->str()));
    };
    auto sink = engine.Record();
    ASSERT_HR(S_OK, engine.Process(CComBSTR(L"<(#wrap|x(#inner#)y#)>")));
    EXPECT_EQ(L"<x[inner]y>", sink->Text());
}

// ---- Output selection and the four sinks --------------------------------------------------

TEST(Output, EachKindOfObjectGetsItsSink) {
    CTestEngine engine;
    CComBSTR text(L"hi");
    auto response = MakeRecorder<RecordingResponse>();
    auto textStream = MakeRecorder<RecordingTextStream>();
    auto stream = MakeRecorder<RecordingStream>();
    for (IUnknown* output : std::initializer_list<IUnknown*>{response.Get(), textStream.Get(), stream.Get()}) {
        ASSERT_HR(S_OK, engine.putref_Output(output));
        ASSERT_HR(S_OK, engine.Process(text));
    }
    EXPECT_EQ((Writes{L"h", L"i"}), response->writes);
    EXPECT_EQ((std::vector<VARTYPE>{VT_BSTR, VT_BSTR}), response->types);
    EXPECT_EQ((Writes{L"h", L"i"}), textStream->writes);
    EXPECT_EQ((Writes{L"h", L"i"}), stream->writes);

    // The host stream component appends characters and no line separator.
    CComPtr<IZULibStream> hostStream;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_Stream, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibStream,
                                     hostStream.ReceiveVoid()));
    CComVariant none;
    none.SetError(0);
    ASSERT_HR(S_OK, hostStream->Open(none, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr));
    ASSERT_HR(S_OK, engine.putref_Output(hostStream.Get()));
    ASSERT_HR(S_OK, engine.Process(text));
    ASSERT_HR(S_OK, engine.Process(text));
    ASSERT_HR(S_OK, hostStream->put_Position(0));
    CComBSTR all;
    ASSERT_HR(S_OK, hostStream->ReadText(ADODB::adReadAll, all.Receive()));
    EXPECT_BSTR_EQ(L"hihi", all);

    // A Response is written as a Response even when it is also a stream.
    auto both = MakeRecorder<RecordingResponse>();
    both->stream = MakeRecorder<RecordingStream>();
    ASSERT_HR(S_OK, engine.putref_Output(both.Get()));
    ASSERT_HR(S_OK, engine.Process(text));
    EXPECT_EQ(2u, both->writes.size());
    EXPECT_TRUE(both->stream->writes.empty());
}

TEST(Output, SelectionReferences) {
    CTestEngine engine;
    auto stream = engine.Record();
    EXPECT_EQ(2u, stream->RefCount());
    CComPtr<IUnknown> got;
    ASSERT_HR(S_OK, engine.get_Output(got.Receive()));
    EXPECT_EQ(static_cast<IUnknown*>(stream.Get()), got.Get());
    got.Reset();

    // An object no sink accepts: refused, and the previous output is already let go.
    CountingDispatch plain;
    EXPECT_HR(E_INVALIDARG, engine.putref_Output(&plain));
    EXPECT_EQ(1u, plain.RefCount());
    EXPECT_EQ(1u, stream->RefCount());
    ASSERT_HR(S_OK, engine.get_Output(got.Receive()));
    EXPECT_EQ(nullptr, got.Get());

    engine.Record();
    EXPECT_HR(S_OK, engine.putref_Output(nullptr));
    ASSERT_HR(S_OK, engine.get_Output(got.Receive()));
    EXPECT_EQ(nullptr, got.Get());
}

// ---- Value conversion ---------------------------------------------------------------------

CComVariant VarArray(std::initializer_list<const wchar_t*> items, LONG lower = 0) {
    CComVariant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreateVector(VT_VARIANT, lower, ULONG(items.size()));
    LONG i = lower;
    for (const wchar_t* item : items) {
        CComVariant element = VarStr(item);
        SafeArrayPutElement(v.parray, &i, &element);
        ++i;
    }
    return v;
}

CComVariant Dictionary() {
    CComPtr<IZULibDictionary> dict;
    EXPECT_HR(S_OK, CoCreateInstance(CLSID_Dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibDictionary,
                                     dict.ReceiveVoid()));
    if (!dict) return CComVariant();
    CComVariant key = VarStr(L"Name"), item = VarStr(L"World"), listKey = VarStr(L"List"), list = VarArray({L"0", L"1"});
    dict->put_Item(&key, &item);
    dict->put_Item(&listKey, &list);
    return VarDisp(dict.Get());
}

CComVariant Page() {
    auto page = ScriptObject::Create();  // no default member
    page->SetProperty(L"Title", VarStr(L"Home"));
    page->SetProperty(L"Nothing", VarDisp(nullptr));
    page->SetProperty(L"Items", VarArray({L"a", L"b", L"c"}));
    return VarDisp(page.Get());
}

CComVariant Matrix() {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    CComVariant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreate(VT_VARIANT, 2, bounds);
    return v;
}

struct WalkCase {
    const char* title;
    CComVariant (*value)();
    std::vector<const wchar_t*> params;
    HRESULT hr;
    const wchar_t* text = nullptr;  // the string on success
};

const WalkCase kWalkCases[] = {
    {"dictionary item", Dictionary, {L"Name"}, S_OK, L"World"},
    {"missing dictionary item is empty", Dictionary, {L"None"}, S_OK, L""},
    {"dictionary item, then array element", Dictionary, {L"List", L"1"}, S_OK, L"1"},
    {"property of an object without a default member", Page, {L"Title"}, S_OK, L"Home"},
    {"unknown member", Page, {L"Missing"}, DISP_E_UNKNOWNNAME},
    {"object property, then array element", Page, {L"Items", L"2"}, S_OK, L"c"},
    {"walking into Nothing", Page, {L"Nothing", L"x"}, DISP_E_TYPEMISMATCH},
    {"array, first", [] { return VarArray({L"a", L"b", L"c"}); }, {L"0"}, S_OK, L"a"},
    {"array, past the end", [] { return VarArray({L"a", L"b", L"c"}); }, {L"3"}, DISP_E_BADINDEX},
    {"array, below the start", [] { return VarArray({L"a", L"b", L"c"}); }, {L"-1"}, DISP_E_BADINDEX},
    {"array from 1, index 0", [] { return VarArray({L"a", L"b"}, 1); }, {L"0"}, DISP_E_BADINDEX},
    {"array from 1, index 2", [] { return VarArray({L"a", L"b"}, 1); }, {L"2"}, S_OK, L"b"},
    {"array, not a number", [] { return VarArray({L"a"}); }, {L"x"}, DISP_E_TYPEMISMATCH},
    {"two-dimensional array", Matrix, {L"0"}, DISP_E_BADINDEX},
    {"string", [] { return VarStr(L"text"); }, {L"0"}, DISP_E_TYPEMISMATCH},
    {"Nothing itself", [] { return VarDisp(nullptr); }, {L"x"}, DISP_E_TYPEMISMATCH},
    {"no parameters", [] { return VarI4(42); }, {}, S_OK, L"42"},
};

TEST(ChangeToBSTR, Walks) {
    for (const WalkCase& c : kWalkCases) {
        SCOPED_TRACE(c.title);
        CComVariant value = c.value();
        CMarkData mark;
        for (const wchar_t* p : c.params) *mark.AddParam() << p;
        EXPECT_HR(c.hr, CTemplatorConcept::ChangeToBSTR(&value, &mark.m_vParams, false));
        if (SUCCEEDED(c.hr)) {
            ASSERT_EQ(VT_BSTR, value.vt);
            EXPECT_BSTR_EQ(c.text, value.bstrVal);
        }
    }
}

TEST(ChangeToBSTR, WalkReleasesTheObjects) {
    auto page = ScriptObject::Create();
    page->SetProperty(L"Title", VarStr(L"Home"));
    CComVariant value = VarDisp(page.Get());
    CMarkData mark;
    *mark.AddParam() << L"Title";
    ASSERT_HR(S_OK, CTemplatorConcept::ChangeToBSTR(&value, &mark.m_vParams, false));
    EXPECT_EQ(1u, page->RefCount());
}

TEST(ChangeToBSTR, NullIsEmpty) {
    const struct {
        const char* title;
        CComVariant (*value)();
        bool nullIsEmpty;
        HRESULT hr;
    } cases[] = {
        {"Null, flag off", VarNull, false, DISP_E_TYPEMISMATCH},
        {"Null, flag on", VarNull, true, S_OK},
        {"Empty, flag off", [] { return CComVariant(); }, false, S_OK},
        {"Empty, flag on", [] { return CComVariant(); }, true, S_OK},
        {"object without a value, flag on", Page, true, S_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        CComVariant value = c.value();
        EXPECT_HR(c.hr, CTemplatorConcept::ChangeToBSTR(&value, nullptr, c.nullIsEmpty));
        if (SUCCEEDED(c.hr)) {
            ASSERT_EQ(VT_BSTR, value.vt);
            EXPECT_EQ(0u, SysStringLen(value.bstrVal));
        }
    }
}

}  // namespace
}  // namespace vesk_test
