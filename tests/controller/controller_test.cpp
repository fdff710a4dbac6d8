// The page controller on its own: properties, the process lifecycle and its events, script
// events fired by the script, messages, and template location and drawing from real files
// through the host stream. Controllers here have no page context; those that drive whole
// pages through host page objects are the contract tests.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
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

const std::vector<std::wstring> kEveryStep = {
    L"On_StartProcess", L"On_StartCommand", L"OnCommand_show", L"On_EndCommand", L"On_StartDraw",
    L"OnDrawTemplate_page", L"OnTemplate_page", L"On_EndDraw", L"On_EndProcess"};

// Defines the functions not defined yet: each returns nothing, except that a template
// function returns False, leaving the drawing of the file to the controller.
void DefineAll(PageScript& page, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : names) {
        if (page.script->Has(name)) continue;
        if (name.starts_with(L"OnTemplate_")) {
            page.On(name.c_str(), VarBool(false));
        } else {
            page.On(name.c_str());
        }
    }
}

// ---- Lifecycle ---------------------------------------------------------------------------

struct LifecycleRow {
    const char* title;
    std::function<void(PageTest&)> arrange;  // defines the functions that differ from "return nothing"
    HRESULT hr;
    std::vector<std::wstring> log;
    std::wstring output;
    std::wstring description;  // of the error raised, when hr is E_FAIL
};

class Lifecycle : public PageTest, public ::testing::WithParamInterface<LifecycleRow> {};

TEST_P(Lifecycle, EventsRunInOrderAndFalseCancelsItsStep) {
    const LifecycleRow& row = GetParam();
    row.arrange(*this);
    EXPECT_HR(row.hr, Run());
    EXPECT_EQ(row.log, page.log);
    EXPECT_EQ(row.output, out->text);
    if (row.hr == E_FAIL) {
        EXPECT_EQ(row.description, Raised());
    }
}

const LifecycleRow kLifecycleRows[] = {
    {"every step runs when nothing cancels", [](PageTest& t) { DefineAll(t.page, kEveryStep); }, S_OK, kEveryStep,
     L"<p>page</p>"},
    {"a script with only its command function draws the default template", [](PageTest&) {}, S_OK,
     {L"OnCommand_show"}, L"<p>page</p>"},
    {"On_StartProcess False skips everything up to the end of process",
     [](PageTest& t) {
         t.page.On(L"On_StartProcess", VarBool(false));
         DefineAll(t.page, kEveryStep);
     },
     S_OK, {L"On_StartProcess", L"On_EndProcess"}, L""},
    {"On_StartCommand False skips only the command",
     [](PageTest& t) {
         t.page.On(L"On_StartCommand", VarBool(false));
         DefineAll(t.page, kEveryStep);
     },
     S_OK,
     {L"On_StartProcess", L"On_StartCommand", L"On_EndCommand", L"On_StartDraw", L"OnDrawTemplate_page",
      L"OnTemplate_page", L"On_EndDraw", L"On_EndProcess"},
     L"<p>page</p>"},
    {"an undefined command function is an unknown command",
     [](PageTest& t) {
         t.Put(&IVesk::put_Command, L"save");
         DefineAll(t.page, {L"On_StartProcess", L"On_StartCommand", L"On_EndCommand", L"On_EndProcess"});
     },
     E_FAIL, {L"On_StartProcess", L"On_StartCommand"}, L"", L"Unknown Command 'save'."},
    {"a command function returning False is an unknown command",
     [](PageTest& t) {
         t.Put(&IVesk::put_Command, L"save");
         t.page.On(L"OnCommand_save", VarBool(false));
         DefineAll(t.page, {L"On_EndCommand", L"On_EndProcess"});
     },
     E_FAIL, {L"OnCommand_save"}, L"", L"Unknown Command 'save'."},
    {"a command function returning 0 goes on",
     [](PageTest& t) {
         t.page.On(L"OnCommand_show", VarI4(0));
         DefineAll(t.page, {L"On_EndCommand"});
     },
     S_OK, {L"OnCommand_show", L"On_EndCommand"}, L"<p>page</p>"},
    {"the command is quoted as it is",
     [](PageTest& t) { t.Put(&IVesk::put_Command, L"it's <x>"); }, E_FAIL, {}, L"", L"Unknown Command 'it's <x>'."},
    {"On_StartDraw False skips only the draw",
     [](PageTest& t) {
         t.page.On(L"On_StartDraw", VarBool(false));
         DefineAll(t.page, kEveryStep);
     },
     S_OK,
     {L"On_StartProcess", L"On_StartCommand", L"OnCommand_show", L"On_EndCommand", L"On_StartDraw", L"On_EndDraw",
      L"On_EndProcess"},
     L""},
    {"the end events' False changes nothing",
     [](PageTest& t) {
         for (const wchar_t* name : {L"On_EndCommand", L"On_EndDraw", L"On_EndProcess"}) t.page.On(name, VarBool(false));
         DefineAll(t.page, kEveryStep);
     },
     S_OK, kEveryStep, L"<p>page</p>"},
    {"a template function returning True drew the page: no file is read",
     [](PageTest& t) {
         t.Put(&IVesk::put_DefaultTemplate, L"nofile");
         t.page.On(L"OnTemplate_nofile", VarBool(true));
     },
     S_OK, {L"OnCommand_show", L"OnTemplate_nofile"}, L""},
    {"a template hook switches the template by returning False",
     [](PageTest& t) {
         t.page.On(L"OnDrawTemplate_page", VarBool(false), t.Sets(&IVesk::put_Template, L"other"));
         DefineAll(t.page, {L"OnDrawTemplate_other", L"OnTemplate_other", L"OnTemplate_page"});
     },
     S_OK, {L"OnCommand_show", L"OnDrawTemplate_page", L"OnDrawTemplate_other", L"OnTemplate_other"}, L"<p>other</p>"},
    {"a set Template wins over DefaultTemplate",
     [](PageTest& t) { t.Put(&IVesk::put_Template, L"other"); }, S_OK, {L"OnCommand_show"}, L"<p>other</p>"},
    {"no template at all draws nothing",
     [](PageTest& t) {
         t.Put(&IVesk::put_DefaultTemplate, L"");
         DefineAll(t.page, {L"OnDrawTemplate_", L"OnTemplate_", L"On_EndDraw"});
     },
     S_OK, {L"OnCommand_show", L"OnDrawTemplate_", L"OnTemplate_", L"On_EndDraw"}, L""},
    {"a script error ends the process at once",
     [](PageTest& t) {
         t.page.On(L"On_StartDraw", {}, [] { return kScriptError; });
         DefineAll(t.page, kEveryStep);
     },
     kScriptError,
     {L"On_StartProcess", L"On_StartCommand", L"OnCommand_show", L"On_EndCommand", L"On_StartDraw"}, L""},
    {"a non-backable page without Name cannot renew its command key",
     [](PageTest& t) {
         EXPECT_HR(S_OK, t.vesk->put_Backable(VARIANT_FALSE));
         DefineAll(t.page, {L"On_EndCommand", L"On_StartDraw"});
     },
     E_FAIL, {L"OnCommand_show", L"On_EndCommand"}, L"", L"Could not increment Command. Please specify property 'Name'."},
    {"a non-backable page without Name has no command key to read",
     [](PageTest& t) {
         t.Put(&IVesk::put_Command, L"");
         EXPECT_HR(S_OK, t.vesk->put_Backable(VARIANT_FALSE));
         DefineAll(t.page, {L"On_StartProcess", L"On_StartCommand"});
     },
     E_FAIL, {L"On_StartProcess"}, L"", L"Could not get Command Name. Please specify property 'Name'."},
};

INSTANTIATE_TEST_SUITE_P(Controller, Lifecycle, ::testing::ValuesIn(kLifecycleRows));

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

TEST_F(PageTest, NamesWithEitherSeparatorDrawTheSameFile) {
    for (const wchar_t* name : {L"page", L"/page", L"\\page"}) {
        out->Clear();
        EXPECT_HR(S_OK, Draw(name)) << Utf8(name);
        EXPECT_EQ(L"<p>page</p>", out->text);
    }
    // A folder written with backslashes and a trailing one.
    std::wstring backslashed = Folder() + L"/";
    for (wchar_t& c : backslashed) {
        if (c == L'/') c = L'\\';
    }
    Put(&IVesk::put_TemplateFolder, backslashed);
    out->Clear();
    EXPECT_HR(S_OK, Draw(L"page"));
    EXPECT_EQ(L"<p>page</p>", out->text);
}

TEST_F(PageTest, TemplateFilesOutsideThePermittedFolderAreRefused) {
    folder.Write("outside.html", "secret");
    folder.Write("t2/page.html", "sibling");
    fs::create_symlink(folder.Path() / "outside.html", folder.Path() / "t/link.html");
    fs::create_symlink(folder.Path(), folder.Path() / "t/up");
    struct Row { const char* title; const wchar_t* name; std::string refused; };
    const Row rows[] = {
        {"a dot-dot climb", L"../outside", "outside.html"},
        {"a climb into a sibling folder", L"../t2/page", "t2/page.html"},
        {"a symbolic link to a file outside", L"link", "outside.html"},
        {"a path through a symbolic link to a folder outside", L"up/outside", "outside.html"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        EXPECT_HR(E_FAIL, Draw(row.name));
        EXPECT_EQ(L"Template file can't obtain.[" + Canonical(row.refused) + L"]", Raised());
    }
    // TemplatePermissionPath widens what TemplateFolder alone permits.
    Put(&IVesk::put_TemplatePermissionPath, folder.Text());
    out->Clear();
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

TEST_F(PageTest, MissingFileFailsWithTheBuiltPathAndFiresNoEvent) {
    page.On(L"On_TemplateNotFound", VarBool(false));
    EXPECT_HR(E_FAIL, Draw(L"missing"));
    EXPECT_EQ(L"Template file path is invalid.[" + Folder() + L"\\missing.html]", Raised());
    EXPECT_EQ(0, page.script->CallCount(L"On_TemplateNotFound"));
    // The same through a whole process.
    Put(&IVesk::put_DefaultTemplate, L"missing");
    EXPECT_HR(E_FAIL, Run());
    EXPECT_EQ(L"Template file path is invalid.[" + Folder() + L"\\missing.html]", Raised());
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
    DefineAll(page, {L"OnDrawTemplate_pipe", L"OnDrawTemplate_fallback", L"On_EndProcess"});
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

TEST_F(PageTest, CachedDrawingParsesOnceUntilTheFileTimeChanges) {
    const fs::path file = folder.Write("t/cached.html", "one(#:mark#)!");
    const auto written = fs::last_write_time(file);
    // Each rewrite gives the file a time of its own, seconds after the first, or the first again.
    struct Step { bool cache; const char* text; int seconds; const wchar_t* drawn; };
    const Step steps[] = {
        {true, nullptr, 0, L"one!"},  // marks write nothing yet
        // The same file time: the cached parse is drawn, not what the file now says.
        {true, "two", 0, L"one!"},
        // Uncached drawing reads and expands the text every time.
        {false, nullptr, 0, L"two"},
        {true, "three", 5, L"three"},  // a new file time: parsed afresh
        {false, "four", 10, L"four"},
        {true, nullptr, 10, L"four"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(Utf8(step.drawn));
        if (step.text) {
            folder.Write("t/cached.html", step.text);
            fs::last_write_time(file, written + std::chrono::seconds(step.seconds));
        }
        EXPECT_HR(S_OK, vesk->put_CacheTemplate(step.cache ? VARIANT_TRUE : VARIANT_FALSE));
        out->Clear();
        EXPECT_HR(S_OK, Draw(L"cached"));
        EXPECT_EQ(step.drawn, out->text);
    }
    // One write per literal run when parsed, one per character when not.
    out->Clear();
    EXPECT_HR(S_OK, Draw(L"cached"));
    EXPECT_EQ(1u, out->Writes().size());
    EXPECT_HR(S_OK, vesk->put_CacheTemplate(VARIANT_FALSE));
    out->Clear();
    EXPECT_HR(S_OK, Draw(L"cached"));
    EXPECT_EQ(4u, out->Writes().size());
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
