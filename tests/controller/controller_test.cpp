// The page controller on its own: properties, what the lifecycle does around its events
// (stores, references, bounds), script events fired by the script, messages, and template
// drawing from real files through the host stream. Controllers here have no page context;
// the event order of whole pages, their sessions and template paths are the contract tests'.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "controller_fixture.h"
#include "template/template_cache.h"

namespace vesk_test {
namespace {

namespace fs = std::filesystem;

constexpr HRESULT kScriptError = hresult_of(0x800A000Du);

// ---- Properties --------------------------------------------------------------------------

TEST(ControllerProperties, FreshControllerHasItsDefaults) {
    CComPtr<IVesk> vesk = NewController(nullptr);
    struct StringRow { HRESULT (IVesk::*get)(BSTR*); const wchar_t* value; };
    const StringRow strings[] = {
        {&IVesk::get_Command, L""}, {&IVesk::get_Template, L""}, {&IVesk::get_TemplateFolder, L""},
        {&IVesk::get_TemplateExt, L""}, {&IVesk::get_TemplateCharset, L"UTF-8"},
        {&IVesk::get_DefaultTemplate, L""}, {&IVesk::get_TemplatePermissionPath, L""},
        {&IVesk::get_CommandName, L"c"}, {&IVesk::get_Name, L""},
    };
    for (const StringRow& row : strings) {
        CComBSTR value;
        EXPECT_HR(S_OK, (vesk.Get()->*row.get)(value.Receive()));
        EXPECT_BSTR_EQ(row.value, value.m_str);
        if (!*row.value) {
            EXPECT_EQ(nullptr, value.m_str) << "an empty property reads as a null string";
        }
        EXPECT_HR(E_INVALIDARG, (vesk.Get()->*row.get)(nullptr));
    }
    struct BoolRow { HRESULT (IVesk::*get)(VARIANT_BOOL*); HRESULT (IVesk::*put)(VARIANT_BOOL); VARIANT_BOOL value; };
    const BoolRow booleans[] = {
        {&IVesk::get_Backable, &IVesk::put_Backable, VARIANT_TRUE},
        {&IVesk::get_NullIsEmpty, &IVesk::put_NullIsEmpty, VARIANT_FALSE},
        {&IVesk::get_SubmitDecodeOnPutInto, &IVesk::put_SubmitDecodeOnPutInto, VARIANT_FALSE},
        {&IVesk::get_CacheTemplate, &IVesk::put_CacheTemplate, VARIANT_TRUE},
        {&IVesk::get_SelfEncode, &IVesk::put_SelfEncode, VARIANT_FALSE},
    };
    for (const BoolRow& row : booleans) {
        VARIANT_BOOL value = 7;
        EXPECT_HR(S_OK, (vesk.Get()->*row.get)(&value));
        EXPECT_EQ(row.value, value);
        // Only the automation True stores true; a raw 1 is false.
        const std::pair<VARIANT_BOOL, VARIANT_BOOL> puts[] = {
            {VARIANT_TRUE, VARIANT_TRUE}, {1, VARIANT_FALSE}, {VARIANT_TRUE, VARIANT_TRUE}, {VARIANT_FALSE, VARIANT_FALSE}};
        for (auto [put, read] : puts) {
            EXPECT_HR(S_OK, (vesk.Get()->*row.put)(put));
            EXPECT_HR(S_OK, (vesk.Get()->*row.get)(&value));
            EXPECT_EQ(read, value);
        }
    }
    CComBSTR whole(L"a\0b", 3);
    EXPECT_HR(S_OK, vesk->put_Template(whole));
    EXPECT_EQ(std::wstring(L"a\0b", 3), ReadString(vesk.Get(), &IVesk::get_Template)) << "the whole string is kept";
}

TEST(ControllerProperties, ScriptIsTheLatestAddedAndStoresNeedAProcess) {
    CComPtr<IVesk> vesk = NewController(nullptr);
    CComPtr<IDispatch> script;
    EXPECT_HR(S_OK, vesk->get_Script(script.Receive()));
    EXPECT_FALSE(script);
    CountingDispatch a, b;
    EXPECT_HR(S_OK, vesk->AddScript(&a));
    EXPECT_HR(S_OK, vesk->putref_Script(&b));
    EXPECT_HR(S_OK, vesk->get_Script(script.Receive()));
    EXPECT_EQ(&b, script.Get());
    script.Reset();
    EXPECT_EQ(2u, a.RefCount());

    IDispatch* view = reinterpret_cast<IDispatch*>(0x1);
    SetErrorInfo(0, nullptr);
    EXPECT_HR(E_FAIL, vesk->get_View(&view));
    EXPECT_EQ(nullptr, view);
    EXPECT_EQ(L"", TakeThreadError().description) << "no message of its own";
    IDispatch* include = reinterpret_cast<IDispatch*>(0x1);
    EXPECT_HR(S_OK, vesk->get_Include(&include));
    EXPECT_EQ(nullptr, include);
    // Before any process the page has no session state: the null session answers.
    IDispatch* bag = nullptr;
    EXPECT_HR(E_FAIL, vesk->get_Bag(&bag));
    EXPECT_EQ(L"Could not get Bag. Please specify property 'Name'.", TakeThreadError().description);
    EXPECT_HR(E_FAIL, vesk->Abandon()) << "no host Session";
    vesk.Reset();
    EXPECT_EQ(1u, a.RefCount()) << "the controller released its scripts";
    EXPECT_EQ(1u, b.RefCount());
}

// ---- A page's folder, script and controller ----------------------------------------------

class PageTest : public ::testing::Test {
public:
    void SetUp() override {
        out = CMemoryStream::Create();
        vesk = NewController(out.Get());
        ASSERT_TRUE(vesk);
        folder.Write("t/page.html", "<p>page</p>");
        folder.Write("t/other.html", "<p>other</p>");
        ASSERT_HR(S_OK, vesk->AddScript(page.script.Get()));
        Put(&IVesk::put_TemplateFolder, Folder());
        Put(&IVesk::put_TemplateExt, L".html");
        Put(&IVesk::put_DefaultTemplate, L"page");
        // There is no host Request here to read a command from: every page gets one, and a
        // function for it that says nothing.
        Put(&IVesk::put_Command, L"show");
        page.On(L"OnCommand_show");
    }

    std::wstring Folder() const { return folder.Text() + L"/t"; }
    void Put(HRESULT (IVesk::*put)(BSTR), const std::wstring& value) {
        EXPECT_HR(S_OK, (vesk.Get()->*put)(Bstr(value)));
    }
    // Runs the page; the thread's error information is taken afterwards.
    HRESULT Run() {
        SetErrorInfo(0, nullptr);
        const HRESULT hr = vesk->Process();
        error = TakeThreadError();
        return hr;
    }
    HRESULT Draw(const std::wstring& name) {
        SetErrorInfo(0, nullptr);
        const HRESULT hr = vesk->DrawTemplate(Bstr(name));
        error = TakeThreadError();
        return hr;
    }
    // The description a failure of ours raises, with the source checked.
    std::wstring Raised() const {
        EXPECT_EQ(L"Vesk", error.source);
        return error.description;
    }
    std::wstring Canonical(const std::string& relative) const {
        return fs::weakly_canonical(folder.Path() / relative).wstring();
    }
    // A function that sets a property and returns what it is told.
    std::function<HRESULT()> Sets(HRESULT (IVesk::*put)(BSTR), std::wstring value) {
        return [this, put, value] { return (vesk.Get()->*put)(Bstr(value)); };
    }

    TempFolder folder;
    PageScript page;
    CComPtr<CMemoryStream> out;
    CComPtr<IVesk> vesk;
    ThreadError error;
};

// The lifecycle alone, without the controller's own steps: a command or template function
// that is missing or returns False is reported with the property quoted as it stands.
class CBareConcept final : public CVeskConcept {
public:
    explicit CBareConcept(IDispatch* owner) { m_pOwner = owner; }
    using CVeskConcept::m_bstrCommand;
    using CVeskConcept::m_bstrTemplate;
    using CVeskConcept::m_oEventHandler;
};

TEST(BareLifecycle, UnknownCommandAndUnknownTemplateQuoteTheProperty) {
    struct Row { const wchar_t* command; const wchar_t* tmpl; const wchar_t* description; std::vector<std::wstring> log; };
    const Row rows[] = {
        {L"", L"", L"Unknown Command ''.", {}},
        {L"save", L"", L"Unknown Command 'save'.", {}},
        {L"go", L"", L"Unknown Template ''.", {L"OnCommand_go"}},
        {L"go", L"list", L"Unknown Template 'list'.", {L"OnCommand_go", L"OnTemplate_list"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.description));
        CountingDispatch owner;
        PageScript page;
        page.On(L"OnCommand_go").On(L"OnTemplate_list", VarBool(false)).On(L"On_EndDraw").On(L"On_EndProcess");
        CBareConcept bare(&owner);
        bare.m_oEventHandler.Add(page.script.Get());
        bare.m_bstrCommand.Assign(row.command);
        bare.m_bstrTemplate.Assign(row.tmpl);
        SetErrorInfo(0, nullptr);
        EXPECT_HR(E_FAIL, bare.Process());
        const ThreadError error = TakeThreadError();
        EXPECT_EQ(L"Vesk", error.source);
        EXPECT_EQ(row.description, error.description);
        EXPECT_EQ(row.log, page.log) << "nothing runs after the unknown step";
    }
}

TEST_F(PageTest, StoresLiveFromTheStartToTheEndOfAProcess) {
    bool seen = false;
    page.On(L"On_StartDraw", {}, [&] {
        CComPtr<IDispatch> view, include;
        EXPECT_HR(S_OK, vesk->get_View(view.Receive()));
        EXPECT_HR(S_OK, vesk->get_Include(include.Receive()));
        seen = view && include && view.Get() != include.Get();
        IDispatch* bag = nullptr;
        EXPECT_HR(E_FAIL, vesk->get_Bag(&bag)) << "no Name: the null session";
        return S_OK;
    });
    ASSERT_HR(S_OK, Run());
    EXPECT_TRUE(seen);
    CComPtr<IDispatch> view, include;
    EXPECT_HR(E_FAIL, vesk->get_View(view.Receive()));
    EXPECT_HR(S_OK, vesk->get_Include(include.Receive()));
    EXPECT_FALSE(include);
    EXPECT_EQ(L"page", ReadString(vesk.Get(), &IVesk::get_Template)) << "Template keeps the value the draw chose";
}

TEST_F(PageTest, ScriptMayDropThePagesLastReferenceInAnyEvent) {
    IVesk* raw = vesk.Detach();
    page.On(L"On_StartCommand", {}, [raw] { return raw->Release(), S_OK; });
    page.On(L"On_EndProcess");
    SetErrorInfo(0, nullptr);
    EXPECT_HR(S_OK, raw->Process());
    EXPECT_EQ(L"<p>page</p>", out->text);
    EXPECT_EQ((std::vector<std::wstring>{L"On_StartCommand", L"OnCommand_show", L"On_EndProcess"}), page.log);
}

// ---- Re-runs of the draw step and nested events ------------------------------------------

TEST_F(PageTest, DrawStepRunsAgainAtMostSixteenTimes) {
    page.On(L"OnDrawTemplate_page", VarBool(false));
    EXPECT_HR(E_FAIL, Run());
    EXPECT_EQ(L"Template draw step given up after 16 re-runs.[page]", Raised());
    EXPECT_EQ(17, page.script->CallCount(L"OnDrawTemplate_page"));
    EXPECT_EQ(L"", out->text);

    // Sixteen re-runs are allowed: a hook that gives in on the seventeenth call draws the page.
    int calls = 0;
    page.script->AddMethod(L"OnDrawTemplate_page", [&](ScriptObject::Args, VARIANT* result) {
        result->vt = VT_BOOL;
        result->boolVal = ++calls == 17 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
    EXPECT_HR(S_OK, Run());
    EXPECT_EQ(17, calls);
    EXPECT_EQ(L"<p>page</p>", out->text);
}

TEST_F(PageTest, ScriptEventsNestAtMostThirtyTwoDeep) {
    int calls = 0;
    page.script->AddMethod(L"Again", [&](ScriptObject::Args, VARIANT*) {
        ++calls;
        CComVariant value, result;
        VARIANT_BOOL found = VARIANT_FALSE;
        return vesk->FireEvent(CComBSTR(L"Again"), &value, &result, &found);
    });
    SetErrorInfo(0, nullptr);
    CComVariant value, result;
    VARIANT_BOOL found = VARIANT_FALSE;
    EXPECT_HR(E_FAIL, vesk->FireEvent(CComBSTR(L"Again"), &value, &result, &found));
    error = TakeThreadError();
    EXPECT_EQ(L"Script events nest too deeply (more than 32 at once).", Raised());
    EXPECT_EQ(32, calls);
    // The levels are given back: the next event runs.
    page.On(L"Once", VarStr(L"done"));
    EXPECT_HR(S_OK, vesk->FireEvent(CComBSTR(L"Once"), &value, &result, &found));
    EXPECT_BSTR_EQ(L"done", result.bstrVal);
}

// ---- FireEvent and messages --------------------------------------------------------------

TEST_F(PageTest, FireEventCallsTheScriptsFunctionAsTheControllerWould) {
    page.script->AddMethod(L"Double", [&](ScriptObject::Args args, VARIANT* result) {
        if (args.size() != 2 || args[0]->vt != VT_DISPATCH) return DISP_E_BADPARAMCOUNT;
        CComPtr<IVesk> owner;
        if (FAILED(args[0]->pdispVal->QueryInterface(IID_IVesk, owner.ReceiveVoid())) || owner.Get() != vesk.Get())
            return E_UNEXPECTED;
        VARIANT* value = args[1]->pvarVal;
        const LONG n = value->lVal;
        value->lVal = n * 2;  // the caller's variable
        result->vt = VT_I4;
        result->lVal = n + 1;
        return S_OK;
    });
    page.On(L"Fails", {}, [] { return kScriptError; });

    CComVariant value = VarI4(5), result = VarStr(L"untouched");
    VARIANT_BOOL found = VARIANT_FALSE;
    ASSERT_HR(S_OK, vesk->FireEvent(CComBSTR(L"Double"), &value, &result, &found));
    EXPECT_EQ(VARIANT_TRUE, found);
    EXPECT_EQ(10, value.lVal);
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(6, result.lVal);

    result = VarStr(L"untouched");
    ASSERT_HR(S_OK, vesk->FireEvent(CComBSTR(L"Nobody"), &value, &result, &found));
    EXPECT_EQ(VARIANT_FALSE, found);
    EXPECT_BSTR_EQ(L"untouched", result.bstrVal);

    found = VARIANT_FALSE;
    EXPECT_HR(kScriptError, vesk->FireEvent(CComBSTR(L"Fails"), &value, &result, &found));
    EXPECT_EQ(VARIANT_TRUE, found) << "found is set before the call";
    EXPECT_BSTR_EQ(L"untouched", result.bstrVal);
}

// The oldest script's lookup fails for another reason than an unknown name: a name a newer
// script defines is found, one nobody defines is that failure, which FireEvent returns with
// found and result untouched and which ends a Process.
TEST_F(PageTest, ALookupFailureOfTheOldestScriptIsTheResultForAnUndefinedName) {
    FailingLookupScript failing(E_ACCESSDENIED);  // outlives the controller that holds it
    CComPtr<IVesk> own = NewController(out.Get());
    ASSERT_HR(S_OK, own->AddScript(&failing));
    ASSERT_HR(S_OK, own->AddScript(page.script.Get()));
    page.On(L"Known", VarStr(L"known"));

    CComVariant value, result = VarStr(L"untouched");
    VARIANT_BOOL found = VARIANT_FALSE;
    ASSERT_HR(S_OK, own->FireEvent(CComBSTR(L"Known"), &value, &result, &found));
    EXPECT_EQ(VARIANT_TRUE, found);
    EXPECT_BSTR_EQ(L"known", result.bstrVal);
    EXPECT_EQ(0, failing.lookups) << "the newer script answered first";

    for (VARIANT_BOOL before : {VARIANT_FALSE, VARIANT_TRUE}) {
        found = before;
        result = VarStr(L"untouched");
        EXPECT_HR(E_ACCESSDENIED, own->FireEvent(CComBSTR(L"Nobody"), &value, &result, &found));
        EXPECT_EQ(before, found);
        EXPECT_BSTR_EQ(L"untouched", result.bstrVal);
    }

    page.log.clear();
    SetErrorInfo(0, nullptr);
    EXPECT_HR(E_ACCESSDENIED, own->Process()) << "On_StartProcess is undefined, and its lookup failed";
    EXPECT_EQ(std::vector<std::wstring>{}, page.log);
    EXPECT_EQ(L"", out->text);
    own.Reset();
    EXPECT_EQ(1u, failing.RefCount());
}

TEST_F(PageTest, MessagesAreKeptByKeyInTheOrderAdded) {
    CComVariant missing;
    missing.SetError(DISP_E_PARAMNOTFOUND);
    VARIANT_BOOL exists = VARIANT_TRUE;
    struct Row { const char* title; std::function<CComVariant()> key; HRESULT hr; VARIANT_BOOL exists; };
    const auto ask = [&](const Row& row) {
        SCOPED_TRACE(row.title);
        CComVariant key = row.key();
        exists = 7;
        EXPECT_HR(row.hr, vesk->MessageExists(&key, &exists));
        EXPECT_EQ(row.exists, exists);
    };
    const Row before[] = {
        {"any key, none added", [&] { CComVariant v; v.Copy(&missing); return v; }, S_OK, VARIANT_FALSE},
        {"a key", [] { return VarStr(L"name"); }, S_OK, VARIANT_FALSE},
        {"a number", [] { return VarI4(1); }, E_INVALIDARG, 7},
    };
    for (const Row& row : before) ask(row);

    CComVariant message = VarStr(L"Please give a name.");
    ASSERT_HR(S_OK, vesk->AddMessage(&message, CComBSTR(L"name")));
    CComVariant number = VarI4(3);
    ASSERT_HR(S_OK, vesk->AddMessage(&number, nullptr));  // a null key is the empty key
    const Row after[] = {
        {"any key", [&] { CComVariant v; v.Copy(&missing); return v; }, S_OK, VARIANT_TRUE},
        {"the key", [] { return VarStr(L"name"); }, S_OK, VARIANT_TRUE},
        {"the key in other case", [] { return VarStr(L"NAME"); }, S_OK, VARIANT_FALSE},
        {"the empty key", [] { return VarStr(L""); }, S_OK, VARIANT_TRUE},
        {"another key", [] { return VarStr(L"mail"); }, S_OK, VARIANT_FALSE},
    };
    for (const Row& row : after) ask(row);
    // A string held by reference is not a key.
    CComBSTR text(L"name");
    VARIANT byRef;
    byRef.vt = VT_BYREF | VT_BSTR;
    byRef.pbstrVal = &text.m_str;
    exists = 7;
    EXPECT_HR(E_INVALIDARG, vesk->MessageExists(&byRef, &exists));
    EXPECT_EQ(7, exists);
}

// ---- Template location -------------------------------------------------------------------

// Which paths lie inside is the permission check's own table; here, which properties decide it.
TEST_F(PageTest, PermittedFolderIsThePermissionPathElseTheTemplateFolder) {
    folder.Write("outside.html", "secret");
    EXPECT_HR(E_FAIL, Draw(L"../outside"));
    EXPECT_EQ(L"Template file can't obtain.[" + Canonical("outside.html") + L"]", Raised());
    Put(&IVesk::put_TemplatePermissionPath, folder.Text());
    EXPECT_HR(S_OK, Draw(L"../outside"));
    EXPECT_EQ(L"secret", out->text);
    // Without either folder nothing can be drawn.
    Put(&IVesk::put_TemplatePermissionPath, L"");
    Put(&IVesk::put_TemplateFolder, L"");
    // Names are relative, so here to the working folder.
    const fs::path relative = fs::relative(folder.Path() / "t/page", fs::current_path());
    EXPECT_HR(E_FAIL, Draw(relative.wstring()));
    EXPECT_EQ(L"Template file can't obtain.[" + Canonical("t/page.html") + L"]", Raised());
}

// A named pipe exists, so its path is canonical and permitted, but the stream reads only
// regular files: the template is there and cannot be read.
class UnreadableTemplate : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        ASSERT_EQ(0, mkfifo((folder.Path() / "t/pipe.html").c_str(), 0600));
        folder.Write("t/fallback.html", "<p>fallback</p>");
        Put(&IVesk::put_DefaultTemplate, L"pipe");
    }
};

TEST_F(UnreadableTemplate, FailsWithTheCanonicalPathUnlessTheHandlerReturnsFalse) {
    EXPECT_HR(E_FAIL, Run());
    EXPECT_EQ(L"Template file can't read.[" + Canonical("t/pipe.html") + L"]", Raised());
    page.On(L"On_TemplateNotFound", VarI4(0));  // anything but False: the read failure stands
    EXPECT_HR(E_FAIL, Run());
    EXPECT_EQ(L"Template file can't read.[" + Canonical("t/pipe.html") + L"]", Raised());
    page.On(L"On_TemplateNotFound", {}, [] { return kScriptError; });
    EXPECT_HR(kScriptError, Run());
}

TEST_F(UnreadableTemplate, HandlerThatSetsAFallbackTemplateAndReturnsFalseDrawsIt) {
    page.On(L"On_TemplateNotFound", VarBool(false), Sets(&IVesk::put_Template, L"fallback"));
    page.On(L"OnDrawTemplate_pipe").On(L"OnDrawTemplate_fallback").On(L"On_EndProcess");
    EXPECT_HR(S_OK, Run());
    EXPECT_EQ(L"<p>fallback</p>", out->text);
    EXPECT_EQ((std::vector<std::wstring>{L"OnCommand_show", L"OnDrawTemplate_pipe", L"On_TemplateNotFound",
                                         L"OnDrawTemplate_fallback", L"On_EndProcess"}),
              page.log);
    // Called by the script, the draw re-runs the whole draw step for the current Template.
    out->Clear();
    page.log.clear();
    EXPECT_HR(S_OK, Draw(L"pipe"));
    EXPECT_EQ(L"<p>fallback</p>", out->text);
    EXPECT_EQ((std::vector<std::wstring>{L"On_TemplateNotFound", L"OnDrawTemplate_fallback"}), page.log);
}

TEST_F(UnreadableTemplate, HandlerThatKeepsReturningFalseIsStoppedAfterSixteenReRuns) {
    page.On(L"On_TemplateNotFound", VarBool(false));
    EXPECT_HR(E_FAIL, Run());
    EXPECT_EQ(L"Template draw step given up after 16 re-runs.[pipe]", Raised());
    EXPECT_EQ(17, page.script->CallCount(L"On_TemplateNotFound"));
}

// ---- Reading and caching -----------------------------------------------------------------

TEST_F(PageTest, TemplateIsReadInTheTemplateCharset) {
    // The cache is keyed by path alone: a parse made in one charset would be drawn in the next.
    EXPECT_HR(S_OK, vesk->put_CacheTemplate(VARIANT_FALSE));
    folder.Write("t/latin.html", "caf\xE9");
    EXPECT_HR(S_OK, Draw(L"latin"));
    EXPECT_EQ(L"caf\uFFFD", out->text) << "read as UTF-8 by default";
    Put(&IVesk::put_TemplateCharset, L"iso-8859-1");
    out->Clear();
    EXPECT_HR(S_OK, Draw(L"latin"));
    EXPECT_EQ(L"caf\u00E9", out->text);
    // A charset the stream does not know makes the file unreadable.
    Put(&IVesk::put_TemplateCharset, L"no-such-charset");
    EXPECT_HR(E_FAIL, Draw(L"latin"));
    EXPECT_EQ(L"Template file can't read.[" + Canonical("t/latin.html") + L"]", Raised());
}

TEST_F(PageTest, UncachedTemplatesNeverEnterTheCacheAndBadOnesAreNotKept) {
    EXPECT_HR(S_OK, vesk->put_CacheTemplate(VARIANT_FALSE));
    EXPECT_HR(S_OK, Draw(L"page"));
    CTemplate* cached = nullptr;
    EXPECT_HR(S_OK, g_oTemplateCache.Take(Bstr(Folder() + L"\\page.html"), &cached));
    EXPECT_EQ(nullptr, cached);
    // A template that does not parse fails as parsing reports it, and is not cached.
    folder.Write("t/bad.html", "a#)b");
    EXPECT_HR(S_OK, vesk->put_CacheTemplate(VARIANT_TRUE));
    EXPECT_HR(E_FAIL, Draw(L"bad"));
    EXPECT_EQ(L"Templator", error.source);
    EXPECT_HR(S_OK, g_oTemplateCache.Take(Bstr(Folder() + L"\\bad.html"), &cached));
    EXPECT_EQ(nullptr, cached);
}

// ---- Nested templates --------------------------------------------------------------------

// A controller whose backquote marks draw the named template, as child-template marks do.
template <class T>
class GIncludingVesk : public GIVeskImpl<T> {
public:
    HRESULT OnMarked(CMarkData& mark) override {
        if (mark.m_cType != L'`') return S_OK;
        const std::wstring name = mark.m_ssName.str();
        return this->DrawTemplate(Bstr(name));
    }
};

TEST(NestedTemplates, ChildrenResolveInTheFolderOfTheTemplateThatIncludesThem) {
    TempFolder folder;
    folder.Write("t/page.html", "P[(#`sub/a#)(#`b#)(#`\\sub\\b#)]");
    folder.Write("t/sub/a.html", "A[(#`b#)]");
    folder.Write("t/sub/b.html", "subB");
    folder.Write("t/b.html", "topB");
    for (bool cache : {true, false}) {
        SCOPED_TRACE(cache ? "cached" : "uncached");
        auto* object = new GDualImpl<IVesk, GIncludingVesk, &g_pTI_IVesk, &g_nRefCount>;
        CComPtr<IVesk> vesk;
        vesk.Attach(object);
        auto out = CMemoryStream::Create();
        ASSERT_HR(S_OK, vesk->putref_Output(out.Get()));
        ASSERT_HR(S_OK, vesk->put_TemplateFolder(Bstr(folder.Text() + L"/t")));
        ASSERT_HR(S_OK, vesk->put_TemplateExt(CComBSTR(L".html")));
        ASSERT_HR(S_OK, vesk->put_CacheTemplate(cache ? VARIANT_TRUE : VARIANT_FALSE));
        // "sub/a" includes "b" from its own folder "sub"; after it, the page's next child is
        // again found beside the page.
        ASSERT_HR(S_OK, vesk->DrawTemplate(CComBSTR(L"page")));
        EXPECT_EQ(L"P[A[subB]topBsubB]", out->text);
    }
}

}  // namespace
}  // namespace vesk_test
