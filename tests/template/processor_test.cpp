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

        auto direct = RecordingStream::Create();
        ASSERT_HR(S_OK, engine.putref_Output(direct.Get()));
        ASSERT_HR(S_OK, engine.Process(text));
        EXPECT_EQ(c.direct, direct->writes);

        auto parsed = RecordingStream::Create();
        ASSERT_HR(S_OK, engine.putref_Output(parsed.Get()));
        CTemplate* tmpl = new CTemplate;
        ASSERT_HR(S_OK, engine.Parse(text, *tmpl));
        ASSERT_HR(S_OK, engine.Process(*tmpl));
        tmpl->Release();
        EXPECT_EQ(c.parsed, parsed->writes);
        EXPECT_EQ(direct->Text(), parsed->Text());
    }
}

TEST(Expansion, NullTextWritesNothing) {
    CTestEngine engine;
    auto sink = RecordingStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(sink.Get()));
    EXPECT_HR(S_OK, engine.Process(static_cast<wchar_t*>(nullptr)));
    EXPECT_TRUE(sink->writes.empty());
}

TEST(Expansion, FailingMarkStopsBothKinds) {
    CTestEngine engine;
    engine.handler = [](CTestEngine& e, CMarkData& mark) -> HRESULT {
        if (mark.m_ssName.str() == L"bad") return E_ACCESSDENIED;
        return e.Write(L"<" + mark.m_ssName.str() + L">");
    };
    CComBSTR text(L"a(#ok#)b(#bad#)c(#never#)");

    auto direct = RecordingStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(direct.Get()));
    EXPECT_HR(E_ACCESSDENIED, engine.Process(text));
    EXPECT_EQ(L"a<ok>b", direct->Text());

    auto parsed = RecordingStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(parsed.Get()));
    CTemplate* tmpl = new CTemplate;
    ASSERT_HR(S_OK, engine.Parse(text, *tmpl));
    EXPECT_HR(E_ACCESSDENIED, engine.Process(*tmpl));
    tmpl->Release();
    EXPECT_EQ(L"a<ok>b", parsed->Text());
    EXPECT_EQ((std::vector<std::wstring>{L"ok", L"bad", L"ok", L"bad"}), engine.marked);
}

TEST(Expansion, FailingWriteStopsBeforeTheNextMark) {
    CTestEngine engine;
    auto sink = RecordingStream::Create();
    sink->failWith = STG_E_WRITEFAULT;
    ASSERT_HR(S_OK, engine.putref_Output(sink.Get()));
    CComBSTR text(L"a(#n#)");
    EXPECT_HR(STG_E_WRITEFAULT, engine.Process(text));
    CTemplate* tmpl = new CTemplate;
    ASSERT_HR(S_OK, engine.Parse(text, *tmpl));
    EXPECT_HR(STG_E_WRITEFAULT, engine.Process(*tmpl));
    tmpl->Release();
    EXPECT_TRUE(engine.marked.empty());
}

TEST(Expansion, NoOutputFailsBeforeAnything) {
    CTestEngine engine;
    CComBSTR text(L"a(#n#)b");
    EXPECT_HR(E_FAIL, engine.Process(text));
    CTemplate* tmpl = new CTemplate;
    ASSERT_HR(S_OK, engine.Parse(text, *tmpl));
    EXPECT_HR(E_FAIL, engine.Process(*tmpl));
    tmpl->Release();
    EXPECT_TRUE(engine.marked.empty());
}

TEST(Expansion, OutputDroppedByAMarkFailsTheNextWrite) {
    CTestEngine engine;
    engine.handler = [](CTestEngine& e, CMarkData&) { return e.putref_Output(nullptr); };
    auto sink = RecordingStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(sink.Get()));
    EXPECT_HR(E_FAIL, engine.Process(CComBSTR(L"a(#drop#)b")));
    EXPECT_EQ(Writes{L"a"}, sink->writes);
}

TEST(Expansion, UnparsedTemplateIsRefused) {
    CTestEngine engine;
    auto sink = RecordingStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(sink.Get()));
    CTemplate* tmpl = new CTemplate;  // no runs at all
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
    auto sink = RecordingStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(sink.Get()));
    ASSERT_HR(S_OK, engine.Process(CComBSTR(L"<(#wrap|x(#inner#)y#)>")));
    EXPECT_EQ(L"<x[inner]y>", sink->Text());
}

// ---- Output selection and the four sinks --------------------------------------------------

TEST(Output, EachKindOfObjectGetsItsSink) {
    CTestEngine engine;
    CComBSTR text(L"hi");

    auto response = RecordingResponse::Create();
    ASSERT_HR(S_OK, engine.putref_Output(response.Get()));
    ASSERT_HR(S_OK, engine.Process(text));
    EXPECT_EQ((Writes{L"h", L"i"}), response->writes);
    EXPECT_EQ((std::vector<VARTYPE>{VT_BSTR, VT_BSTR}), response->types);

    auto textStream = RecordingTextStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(textStream.Get()));
    ASSERT_HR(S_OK, engine.Process(text));
    EXPECT_EQ((Writes{L"h", L"i"}), textStream->writes);

    auto stream = RecordingStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(stream.Get()));
    ASSERT_HR(S_OK, engine.Process(text));
    EXPECT_EQ((Writes{L"h", L"i"}), stream->writes);

    // The host stream component appends characters and no line separator.
    CComPtr<IZULibStream> hostStream;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_Stream, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                     IID_IZULibStream, hostStream.ReceiveVoid()));
    VARIANT none;
    VariantInit(&none);
    none.vt = VT_ERROR;
    ASSERT_HR(S_OK, hostStream->Open(none, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr));
    ASSERT_HR(S_OK, engine.putref_Output(hostStream.Get()));
    ASSERT_HR(S_OK, engine.Process(text));
    ASSERT_HR(S_OK, engine.Process(text));
    ASSERT_HR(S_OK, hostStream->put_Position(0));
    CComBSTR all;
    ASSERT_HR(S_OK, hostStream->ReadText(ADODB::adReadAll, all.Receive()));
    EXPECT_BSTR_EQ(L"hihi", all);
}

TEST(Output, ResponseWinsOverStream) {
    CTestEngine engine;
    auto both = RecordingResponse::Create(/*alsoStream=*/true);
    ASSERT_HR(S_OK, engine.putref_Output(both.Get()));
    ASSERT_HR(S_OK, engine.Process(CComBSTR(L"x")));
    EXPECT_EQ(Writes{L"x"}, both->writes);
    EXPECT_TRUE(both->stream->writes.empty());
}

TEST(Output, SelectionHoldsOneReferenceAndHandsOutAnother) {
    CTestEngine engine;
    auto stream = RecordingStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(stream.Get()));
    EXPECT_EQ(2u, stream->RefCount());

    CComPtr<IUnknown> got;
    ASSERT_HR(S_OK, engine.get_Output(got.Receive()));
    EXPECT_EQ(static_cast<IUnknown*>(stream.Get()), got.Get());
    got.Reset();

    auto other = RecordingStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(other.Get()));
    EXPECT_EQ(1u, stream->RefCount());  // the first one was let go
}

TEST(Output, NullAndUnsuitableObjectsLeaveNoOutput) {
    CTestEngine engine;
    auto stream = RecordingStream::Create();
    ASSERT_HR(S_OK, engine.putref_Output(stream.Get()));
    EXPECT_HR(S_OK, engine.putref_Output(nullptr));
    CComPtr<IUnknown> got;
    ASSERT_HR(S_OK, engine.get_Output(got.Receive()));
    EXPECT_EQ(nullptr, got.Get());

    ASSERT_HR(S_OK, engine.putref_Output(stream.Get()));
    CountingDispatch plain;
    EXPECT_HR(E_INVALIDARG, engine.putref_Output(&plain));
    EXPECT_EQ(1u, plain.RefCount());
    EXPECT_EQ(1u, stream->RefCount());  // the previous output was released first
    ASSERT_HR(S_OK, engine.get_Output(got.Receive()));
    EXPECT_EQ(nullptr, got.Get());
    EXPECT_HR(E_FAIL, engine.Process(CComBSTR(L"x")));
}

// ---- Value conversion ---------------------------------------------------------------------

// A mark's parameters, as ChangeToBSTR receives them.
class Params {
public:
    Params(std::initializer_list<const wchar_t*> texts) {
        for (const wchar_t* t : texts) *m_mark.AddParam() << t;
    }
    const CTemplatorConcept::ParamList* Get() const { return &m_mark.m_vParams; }

private:
    CMarkData m_mark;
};

CComVariant VarArray(std::initializer_list<const wchar_t*> items, LONG lower = 0) {
    CComVariant v;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, lower, ULONG(items.size()));
    LONG i = lower;
    for (const wchar_t* item : items) {
        CComVariant element = VarStr(item);
        SafeArrayPutElement(psa, &i, &element);
        ++i;
    }
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = psa;
    return v;
}

struct WalkCase {
    const char* title;
    std::function<CComVariant()> value;
    std::vector<const wchar_t*> params;
    HRESULT hr;
    const wchar_t* text;  // expected string on success
};

CComPtr<IDispatch> MakeDictionary() {
    CComPtr<IZULibDictionary> dict;
    EXPECT_HR(S_OK, CoCreateInstance(CLSID_Dictionary, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                     IID_IZULibDictionary, dict.ReceiveVoid()));
    if (!dict) return nullptr;
    CComVariant key = VarStr(L"Name"), item = VarStr(L"World");
    dict->put_Item(&key, &item);
    CComVariant listKey = VarStr(L"List"), list = VarArray({L"zero", L"one"});
    dict->put_Item(&listKey, &list);
    return CComPtr<IDispatch>::Share(dict.Get());
}

CComPtr<IDispatch> MakePage() {
    auto page = ScriptObject::Create();
    page->SetProperty(L"Title", VarStr(L"Home"));
    page->SetProperty(L"Nothing", VarDisp(nullptr));
    page->SetProperty(L"Items", VarArray({L"a", L"b", L"c"}));
    return CComPtr<IDispatch>::Share(page.Get());
}

CComVariant Matrix() {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    CComVariant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreate(VT_VARIANT, 2, bounds);
    return v;
}

const WalkCase kWalkCases[] = {
    {"dictionary item", [] { return VarDisp(MakeDictionary().Get()); }, {L"Name"}, S_OK, L"World"},
    {"missing dictionary item is empty", [] { return VarDisp(MakeDictionary().Get()); }, {L"None"}, S_OK, L""},
    {"dictionary item, then array element", [] { return VarDisp(MakeDictionary().Get()); }, {L"List", L"1"}, S_OK,
     L"one"},
    {"property of an object without a default member", [] { return VarDisp(MakePage().Get()); }, {L"Title"}, S_OK,
     L"Home"},
    {"unknown member", [] { return VarDisp(MakePage().Get()); }, {L"Missing"}, DISP_E_UNKNOWNNAME, nullptr},
    {"object property, then array element", [] { return VarDisp(MakePage().Get()); }, {L"Items", L"2"}, S_OK, L"c"},
    {"walking into Nothing", [] { return VarDisp(MakePage().Get()); }, {L"Nothing", L"x"}, DISP_E_TYPEMISMATCH,
     nullptr},
    {"array, first", [] { return VarArray({L"a", L"b", L"c"}); }, {L"0"}, S_OK, L"a"},
    {"array, last", [] { return VarArray({L"a", L"b", L"c"}); }, {L"2"}, S_OK, L"c"},
    {"array, past the end", [] { return VarArray({L"a", L"b", L"c"}); }, {L"3"}, DISP_E_BADINDEX, nullptr},
    {"array, below the start", [] { return VarArray({L"a", L"b", L"c"}); }, {L"-1"}, DISP_E_BADINDEX, nullptr},
    {"array from 1, index 0", [] { return VarArray({L"a", L"b"}, 1); }, {L"0"}, DISP_E_BADINDEX, nullptr},
    {"array from 1, index 1", [] { return VarArray({L"a", L"b"}, 1); }, {L"1"}, S_OK, L"a"},
    {"array, not a number", [] { return VarArray({L"a"}); }, {L"x"}, DISP_E_TYPEMISMATCH, nullptr},
    {"two-dimensional array", [] { return Matrix(); }, {L"0"}, DISP_E_BADINDEX, nullptr},
    {"string", [] { return VarStr(L"text"); }, {L"0"}, DISP_E_TYPEMISMATCH, nullptr},
    {"number", [] { return VarI4(7); }, {L"x"}, DISP_E_TYPEMISMATCH, nullptr},
    {"Nothing itself", [] { return VarDisp(nullptr); }, {L"x"}, DISP_E_TYPEMISMATCH, nullptr},
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
    {
        CComVariant value = VarDisp(page.Get());
        Params params{L"Title"};
        ASSERT_HR(S_OK, CTemplatorConcept::ChangeToBSTR(&value, params.Get(), false));
    }
    EXPECT_EQ(1u, page->RefCount());
}

struct NullCase {
    const char* title;
    std::function<CComVariant()> value;
    bool nullIsEmpty;
    HRESULT hr;
};

const NullCase kNullCases[] = {
    {"Null, flag off", [] { return VarNull(); }, false, DISP_E_TYPEMISMATCH},
    {"Null, flag on", [] { return VarNull(); }, true, S_OK},
    {"Empty, flag off", [] { return CComVariant(); }, false, S_OK},
    {"Empty, flag on", [] { return CComVariant(); }, true, S_OK},
    {"object without a value, flag on", [] { return VarDisp(MakePage().Get()); }, true, S_OK},
};

TEST(ChangeToBSTR, NullIsEmpty) {
    for (const NullCase& c : kNullCases) {
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
