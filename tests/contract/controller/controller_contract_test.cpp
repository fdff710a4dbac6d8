// The page controller as a page uses it: the module loaded from its file, "Vesk" created by
// ProgID inside a page that the host runs (its Server, Application, Request, Response and
// Session in the page's object context), every call late-bound. Each test is a small page
// script plus template files in a folder of its own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "contract/common/late_bound.h"
#include "contract/common/page_contract.h"
#include "hostkit/pages/page_host.h"
#include "support/test_support.h"

namespace vesk_test {
namespace {

namespace fs = std::filesystem;
using veskhost::PageRequest;
using veskhost::PageResponse;

constexpr HRESULT kScriptError = hresult_of(0x800A000Du);

// The session state the controller stores in the host Session has no identifier and no
// published declaration; a host finds it behind the stored value with the query for the null
// identifier and calls it as a C host calls any interface: through its table of operations
// (IUnknown's three, then the Bag, the command name and its renewal), the object first.
struct SessionStateOperations {
    HRESULT (*QueryInterface)(void* self, REFIID riid, void** ppv);
    ULONG (*AddRef)(void* self);
    ULONG (*Release)(void* self);
    HRESULT (*get_Bag)(void* self, IDispatch** ppBag);
    HRESULT (*GetCommandName)(void* self, BSTR* pbstrName);
    HRESULT (*IncrementCommand)(void* self);
};
struct SessionState {
    const SessionStateOperations* operations;
};

using pages::PageRun;
using pages::PageScript;
using pages::Put;
using pages::Text;
using pages::Wide;

// The Bag's item under the key, as text ("" when absent).
std::wstring BagItem(IDispatch* vesk, const wchar_t* key) {
    CallResult bag = LateBound(vesk).InvokeNamed(L"Bag", DISPATCH_PROPERTYGET, {});
    if (FAILED(bag.hr) || bag.value.vt != VT_DISPATCH) return L"<no bag>";
    CallResult item = LateBound(bag.value.pdispVal).InvokeNamed(L"Item", DISPATCH_PROPERTYGET, ArgList(VarStr(key)));
    return SUCCEEDED(item.hr) ? Text(item.value) : L"<failed>";
}

HRESULT PutBagItem(IDispatch* vesk, const wchar_t* key, CComVariant value) {
    CallResult bag = LateBound(vesk).InvokeNamed(L"Bag", DISPATCH_PROPERTYGET, {});
    if (FAILED(bag.hr)) return bag.hr;
    if (bag.value.vt != VT_DISPATCH) return E_UNEXPECTED;
    return LateBound(bag.value.pdispVal).InvokeNamed(L"Item", DISPATCH_PROPERTYPUT, ArgList(VarStr(key), std::move(value)), false).hr;
}

// Every page gets the folder t/ with three templates, the default one "list".
class PageContract : public pages::PageContract {
protected:
    void SetUp() override {
        pages::PageContract::SetUp();
        if (HasFatalFailure()) return;
        Write("t/list.html", "<h1>List</h1>\n(#*item#)<p>end</p>\n");
        Write("t/other.html", "<p>other</p>");
        Write("t/sub/item.html", "<p>item</p>");
    }
    void Prepare(IDispatch* vesk) override {
        EXPECT_HR(S_OK, Put(vesk, L"TemplateFolder", VarStr(Folder().c_str())));
        EXPECT_HR(S_OK, Put(vesk, L"TemplateExt", VarStr(L".html")));
        EXPECT_HR(S_OK, Put(vesk, L"DefaultTemplate", VarStr(L"list")));
    }

    fs::path Write(const std::string& relative, const std::string& text) const { return WriteFile(relative, text); }
    std::wstring Folder() const { return root.wstring() + L"/t"; }
    std::wstring Canonical(const std::string& relative) const { return fs::weakly_canonical(root / relative).wstring(); }

    // The description of a failure the controller raised, its source checked.
    static std::wstring Raised(const PageRun& run) {
        EXPECT_EQ(L"Vesk", run.source);
        return run.description;
    }
};

const std::wstring kListHtml = L"<h1>List</h1>\n<p>end</p>\n";  // its View mark finds nothing

// ---- The page context --------------------------------------------------------------------

// The page's context with some of its properties replaced: a name maps to the value handed
// out instead, or to the failure GetProperty gives for it.
class CEditedContext final : public automation::GCountedObject<IGetContextProperties> {
public:
    struct Edit {
        const wchar_t* name;
        HRESULT hr;
        std::function<CComVariant()> value;
    };
    CEditedContext(IGetContextProperties* page, std::vector<Edit> edits) : m_page(page), m_edits(std::move(edits)) {}

    HRESULT Count(LONG* count) override { return m_page->Count(count); }
    HRESULT EnumNames(IEnumNames** names) override { return m_page->EnumNames(names); }
    HRESULT GetProperty(BSTR name, VARIANT* value) override {
        for (const Edit& edit : m_edits) {
            if (std::wstring_view(edit.name) != std::wstring_view(name ? name : L"")) continue;
            VariantInit(value);
            if (FAILED(edit.hr)) return edit.hr;
            edit.value().Detach(value);
            return S_OK;
        }
        return m_page->GetProperty(name, value);
    }

private:
    IGetContextProperties* m_page;
    std::vector<Edit> m_edits;
};

TEST_F(PageContract, CreationTakesThePageObjectsFromTheContext) {
    CountingDispatch stranger;
    using Edit = CEditedContext::Edit;
    struct Row { const char* title; std::vector<Edit> edits; HRESULT hr; };
    const auto text = [] { return VarStr(L"not an object"); };
    const auto other = [&] { return VarDisp(&stranger); };
    const Row rows[] = {
        {"the page's own objects", {}, S_OK},
        {"no Server", {{L"Server", E_INVALIDARG, {}}}, E_INVALIDARG},
        {"no Response", {{L"Response", E_INVALIDARG, {}}}, E_INVALIDARG},
        {"a Request that is no Request", {{L"Request", S_OK, other}}, E_NOINTERFACE},
        {"an Application that is no object", {{L"Application", S_OK, text}}, E_NOINTERFACE},
        {"no Session: a page without one", {{L"Session", E_INVALIDARG, {}}}, S_OK},
        {"a Session that is no object: a page without one", {{L"Session", S_OK, text}}, S_OK},
        {"a Session that is Nothing: a page without one", {{L"Session", S_OK, [] { return VarDisp(nullptr); }}}, S_OK},
        {"a Session object that is no Session", {{L"Session", S_OK, other}}, E_NOINTERFACE},
    };
    const auto page = [&](const veskhost::PageObjects& objects) {
        CComPtr<IClassFactory> factory = Module().Factory(L"Vesk");
        if (!factory) return E_FAIL;
        for (const Row& row : rows) {
            SCOPED_TRACE(row.title);
            CEditedContext context(objects.context, row.edits);
            {
                const veskhost::ObjectContextScope scope(&context);
                void* object = reinterpret_cast<void*>(1);
                EXPECT_HR(row.hr, factory->CreateInstance(nullptr, IID_IDispatch, &object));
                EXPECT_EQ(SUCCEEDED(row.hr), object != nullptr) << "a failed creation hands out nothing";
                if (SUCCEEDED(row.hr)) static_cast<IDispatch*>(object)->Release();
            }
            EXPECT_EQ(1u, context.RefCount()) << "the context is borrowed for the creation";
            EXPECT_EQ(1u, stranger.RefCount());
        }
        return S_OK;
    };
    const PageResponse response = veskhost::RunPage(site->config, site->application, PageRequest::Get("/p.asp"), page,
                                                    {&site->sessions, {}});
    EXPECT_HR(S_OK, response.pageResult);
    EXPECT_EQ(0u, response.heldReferences);
    // Outside a page there is no context to take.
    void* object = nullptr;
    EXPECT_HR(CONTEXT_E_NOCONTEXT, Module().Factory(L"Vesk")->CreateInstance(nullptr, IID_IDispatch, &object));
    EXPECT_EQ(nullptr, object);
}

// ---- A whole page ------------------------------------------------------------------------

TEST_F(PageContract, CommandSessionAndCachedTemplateEndToEnd) {
    PageScript page;
    page.On(L"OnCommand_add", {}, [](IDispatch* vesk) {
        const std::wstring count = BagItem(vesk, L"count");
        return PutBagItem(vesk, L"count", VarI4(count.empty() ? 1 : std::stoi(count) + 1));
    });
    page.OnEveryStep(L"add", L"list");
    const auto named = [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"shop"))); };

    PageRun first = Run(PageRequest::Get("/shop.asp?c=add&item=pen"), page, named);
    ASSERT_HR(S_OK, first.hr) << Utf8(first.description);
    EXPECT_EQ(kListHtml, first.Body());
    EXPECT_TRUE(first.response.sessionCreated);
    EXPECT_EQ((std::vector<std::wstring>{L"On_FirstAccess", L"On_StartProcess", L"On_StartCommand", L"OnCommand_add",
                                         L"On_EndCommand", L"On_StartDraw", L"OnDrawTemplate_list", L"OnTemplate_list",
                                         L"On_EndDraw", L"On_EndProcess"}),
              page.log);

    // The visitor's next request finds the session state and its Bag again.
    page.log.clear();
    std::wstring seen;
    page.On(L"On_EndProcess", {}, [&](IDispatch* vesk) { return seen = BagItem(vesk, L"count"), S_OK; });
    PageRun second = Run(PageRequest::Get("/shop.asp?c=add"), page, named, first.response.sessionId);
    ASSERT_HR(S_OK, second.hr) << Utf8(second.description);
    EXPECT_FALSE(second.response.sessionCreated);
    EXPECT_EQ(kListHtml, second.Body());
    EXPECT_EQ(L"2", seen);
    EXPECT_EQ(L"On_StartProcess", page.log.front()) << "no first access the second time";
    EXPECT_EQ(L"On_EndProcess", page.log.back()) << "nor a last one";
}

TEST_F(PageContract, OutputIsTheHostResponseAndAddLogWritesItsLog) {
    PageScript page;
    page.On(L"On_EndProcess", {}, [](IDispatch* vesk) {
        CallResult output = LateBound(vesk).InvokeNamed(L"Output", DISPATCH_PROPERTYGET, {});
        CComPtr<IUnknown> response;
        if (output.value.vt == VT_UNKNOWN && output.value.punkVal)
            output.value.punkVal->QueryInterface(IID_IResponse, response.ReceiveVoid());
        EXPECT_TRUE(response) << "the Response is the output until the script sets another";
        return LateBound(vesk).Call(L"AddLog", VarStr(L"cart"), VarStr(L"added")).hr;
    });
    PageRun run = Run(PageRequest::Get("/p.asp"), page);
    ASSERT_HR(S_OK, run.hr);
    EXPECT_EQ(kListHtml, run.Body());
    ASSERT_EQ(1u, run.response.log.size());
    EXPECT_EQ(L"[cart:added]", run.response.log[0]);
}

// ---- The lifecycle -----------------------------------------------------------------------

const std::vector<std::wstring> kEveryStep = {
    L"On_StartProcess", L"On_StartCommand", L"OnCommand_show", L"On_EndCommand", L"On_StartDraw",
    L"OnDrawTemplate_list", L"OnTemplate_list", L"On_EndDraw", L"On_EndProcess"};

TEST_F(PageContract, EventsRunInOrderAndFalseCancelsItsStep) {
    using Log = std::vector<std::wstring>;
    const auto tmpl = [](const wchar_t* name) {
        return [name](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"DefaultTemplate", VarStr(name))); };
    };
    struct Row {
        const char* title;
        std::function<void(PageScript&)> script;  // on top of every step returning nothing
        std::function<void(IDispatch*)> setup;
        HRESULT hr;
        Log log;
        std::wstring body;
    };
    const Row rows[] = {
        {"every step runs when nothing cancels", {}, {}, S_OK, kEveryStep, kListHtml},
        {"On_StartProcess False skips everything up to the end of process",
         [](PageScript& p) { p.On(L"On_StartProcess", VarBool(false)); }, {}, S_OK,
         {L"On_StartProcess", L"On_EndProcess"}, L""},
        {"On_StartCommand False skips only the command", [](PageScript& p) { p.On(L"On_StartCommand", VarBool(false)); },
         {}, S_OK,
         {L"On_StartProcess", L"On_StartCommand", L"On_EndCommand", L"On_StartDraw", L"OnDrawTemplate_list",
          L"OnTemplate_list", L"On_EndDraw", L"On_EndProcess"},
         kListHtml},
        {"a command function returning 0 goes on", [](PageScript& p) { p.On(L"OnCommand_show", VarI4(0)); }, {}, S_OK,
         kEveryStep, kListHtml},
        {"On_StartDraw False skips only the draw", [](PageScript& p) { p.On(L"On_StartDraw", VarBool(false)); }, {}, S_OK,
         {L"On_StartProcess", L"On_StartCommand", L"OnCommand_show", L"On_EndCommand", L"On_StartDraw", L"On_EndDraw",
          L"On_EndProcess"},
         L""},
        {"the end events' False changes nothing",
         [](PageScript& p) {
             for (const wchar_t* name : {L"On_EndCommand", L"On_EndDraw", L"On_EndProcess"}) p.On(name, VarBool(false));
         },
         {}, S_OK, kEveryStep, kListHtml},
        {"a template function returning True drew the page: no file is read",
         [](PageScript& p) { p.On(L"OnTemplate_nofile", VarBool(true)); }, tmpl(L"nofile"), S_OK,
         {L"On_StartProcess", L"On_StartCommand", L"OnCommand_show", L"On_EndCommand", L"On_StartDraw",
          L"OnTemplate_nofile", L"On_EndDraw", L"On_EndProcess"},
         L""},
        {"a template hook switches the template by returning False",
         [](PageScript& p) {
             p.On(L"OnDrawTemplate_list", VarBool(false), [](IDispatch* vesk) { return Put(vesk, L"Template", VarStr(L"other")); });
             p.On(L"OnDrawTemplate_other").On(L"OnTemplate_other", VarBool(false));
         },
         {}, S_OK,
         {L"On_StartProcess", L"On_StartCommand", L"OnCommand_show", L"On_EndCommand", L"On_StartDraw",
          L"OnDrawTemplate_list", L"OnDrawTemplate_other", L"OnTemplate_other", L"On_EndDraw", L"On_EndProcess"},
         L"<p>other</p>"},
        {"Template and DefaultTemplate both empty draw nothing", {}, tmpl(L""), S_OK,
         {L"On_StartProcess", L"On_StartCommand", L"OnCommand_show", L"On_EndCommand", L"On_StartDraw", L"On_EndDraw",
          L"On_EndProcess"},
         L""},
        {"a script error ends the page at once", [](PageScript& p) { p.On(L"On_StartDraw", {}, [](IDispatch*) { return kScriptError; }); },
         {}, kScriptError, {L"On_StartProcess", L"On_StartCommand", L"OnCommand_show", L"On_EndCommand", L"On_StartDraw"},
         L""},
        {"a script error in On_FirstAccess is the result of the page",
         [](PageScript& p) { p.On(L"On_FirstAccess", {}, [](IDispatch*) { return kScriptError; }); },
         [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"shop"))); }, kScriptError,
         {L"On_FirstAccess"}, L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        PageScript page;
        if (row.script) row.script(page);
        page.OnEveryStep(L"show", L"list");
        PageRun run = Run(PageRequest::Get("/p.asp?c=show"), page, row.setup);
        EXPECT_HR(row.hr, run.hr);
        EXPECT_EQ(row.log, page.log);
        EXPECT_EQ(row.body, run.Body());
    }
}

// A page without a command needs no command function, and what "OnCommand_" returns for the
// empty command does not stop it.
TEST_F(PageContract, APageWithoutACommandDrawsWhateverItsScriptDefines) {
    using Log = std::vector<std::wstring>;
    struct Row { const char* title; std::function<void(PageScript&)> script; Log log; };
    Log everyStep = kEveryStep;
    everyStep[2] = L"OnCommand_";
    const Row rows[] = {
        {"a script that defines no functions at all", [](PageScript&) {}, {}},
        {"OnCommand_ returning False is ignored",
         [](PageScript& p) { p.On(L"OnCommand_", VarBool(false)).OnEveryStep(L"", L"list"); }, everyStep},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        PageScript page;
        row.script(page);
        PageRun run = Run(PageRequest::Get("/p.asp"), page);
        EXPECT_HR(S_OK, run.hr) << Utf8(run.description);
        EXPECT_EQ(L"", run.description);
        EXPECT_EQ(row.log, page.log);
        EXPECT_EQ(kListHtml, run.Body());
    }
}

// ---- The command from the request --------------------------------------------------------

TEST_F(PageContract, CommandIsReadFromTheCollectionTheRequestChooses) {
    struct Row { const char* title; PageRequest request; const wchar_t* commandName; const wchar_t* command; };
    PageRequest lowerPost = PageRequest::Post("/p.asp?c=query", "application/x-www-form-urlencoded", "c=form");
    lowerPost.method = "post";
    const Row rows[] = {
        {"a GET reads the query string", PageRequest::Get("/p.asp?c=query"), nullptr, L"query"},
        {"a form post reads the form", PageRequest::Post("/p.asp?c=query", "application/x-www-form-urlencoded", "c=form"),
         nullptr, L"form"},
        {"a form type with a charset still is one",
         PageRequest::Post("/p.asp?c=query", "application/x-www-form-urlencoded; charset=UTF-8", "c=form"), nullptr,
         L"form"},
        {"a plain-text post reads the query string", PageRequest::Post("/p.asp?c=query", "text/plain", "c=form"),
         nullptr, L"query"},
        {"the form type's name is compared exactly",
         PageRequest::Post("/p.asp?c=query", "Application/x-www-form-urlencoded", "c=form"), nullptr, L"query"},
        {"a multipart post reads the upload form",
         PageRequest::Post("/p.asp?c=query", "multipart/form-data; boundary=b",
                           "--b\r\nContent-Disposition: form-data; name=\"c\"\r\n\r\nform\r\n--b--\r\n"),
         nullptr, L"form"},
        {"a multipart post whose upload form has no command has none",
         PageRequest::Post("/p.asp?c=query", "multipart/form-data; boundary=b", "--b--\r\n"), nullptr, L""},
        {"only POST in capitals is a post", lowerPost, nullptr, L"query"},
        {"CommandName names the key", PageRequest::Get("/p.asp?c=query&do=other"), L"do", L"other"},
        {"a key not sent is no command", PageRequest::Get("/p.asp?x=1"), nullptr, L""},
        {"decoded as the server decodes it", PageRequest::Get("/p.asp?c=sa%76e+it"), nullptr, L"save it"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        PageScript page;
        for (const wchar_t* name : {L"OnCommand_query", L"OnCommand_form", L"OnCommand_other", L"OnCommand_save it"})
            page.On(name);
        std::wstring command = L"<unread>";
        page.On(L"On_EndProcess", {}, [&](IDispatch* vesk) {
            CallResult r = LateBound(vesk).InvokeNamed(L"Command", DISPATCH_PROPERTYGET, {});
            return command = Text(r.value), r.hr;
        });
        PageRun run = Run(row.request, page, [&](IDispatch* vesk) {
            if (row.commandName) {
                EXPECT_HR(S_OK, Put(vesk, L"CommandName", VarStr(row.commandName)));
            }
        });
        EXPECT_HR(S_OK, run.hr) << Utf8(run.description);
        EXPECT_EQ(row.command, command);
        const std::vector<std::wstring> expected =
            *row.command ? std::vector<std::wstring>{L"OnCommand_" + std::wstring(row.command), L"On_EndProcess"}
                         : std::vector<std::wstring>{L"On_EndProcess"};
        EXPECT_EQ(expected, page.log);
    }
}

TEST_F(PageContract, UnknownCommandStopsThePageWithItsDescription) {
    struct Row { const char* title; std::function<void(PageScript&)> script; std::vector<std::wstring> log; };
    const Row rows[] = {
        {"no function for the command", [](PageScript&) {}, {L"On_StartCommand"}},
        {"its function returns False", [](PageScript& p) { p.On(L"OnCommand_save", VarBool(false)); },
         {L"On_StartCommand", L"OnCommand_save"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        PageScript page;
        row.script(page);
        page.OnEveryStep(L"unused", L"list");
        PageRun run = Run(PageRequest::Get("/p.asp?c=save"), page);
        EXPECT_HR(E_FAIL, run.hr);
        EXPECT_EQ(L"Unknown Command 'save'.", Raised(run));
        // Without a Name there is no session state, so no first access.
        std::vector<std::wstring> log{L"On_StartProcess"};
        log.insert(log.end(), row.log.begin(), row.log.end());
        EXPECT_EQ(log, page.log);
        EXPECT_EQ(L"", run.Body());
    }
    // A command the script set is not read from the request.
    PageScript page;
    page.On(L"OnCommand_mine");
    PageRun run = Run(PageRequest::Get("/p.asp?c=save"), page,
                      [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Command", VarStr(L"mine"))); });
    EXPECT_HR(S_OK, run.hr);
    EXPECT_EQ((std::vector<std::wstring>{L"OnCommand_mine"}), page.log);
}

// ---- Sessions ----------------------------------------------------------------------------

// The current command name of the page's session state, read from the host Session.
std::wstring StoredCommandName(PravoltTypeLibrary::ISessionObject* session, const wchar_t* name) {
    CComVariant stored;
    if (FAILED(session->get_Value(CComBSTR(name), &stored)) || stored.vt != VT_UNKNOWN) return L"<none>";
    void* slot = nullptr;
    if (FAILED(stored.punkVal->QueryInterface(IID_NULL, &slot)) || slot == nullptr) return L"<not a state>";
    auto* state = static_cast<SessionState*>(slot);
    CComBSTR command;
    const HRESULT hr = state->operations->GetCommandName(state, command.Receive());
    state->operations->Release(state);
    if (FAILED(hr)) return L"<failed>";
    return std::wstring(command.c_str(), command.Length());
}

TEST_F(PageContract, BackableCommandsTravelUnderCommandNameOthersUnderAOneTimeKey) {
    std::wstring sessionId;
    std::wstring commandName;
    PageScript page;
    page.On(L"OnCommand_save");
    const auto run = [&](const std::string& query, bool backable) {
        page.log.clear();
        PageRun r = Run(PageRequest::Get("/p.asp?" + query), page, [&](IDispatch* vesk) {
            EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"form")));
            EXPECT_HR(S_OK, Put(vesk, L"Backable", VarBool(backable)));
        }, sessionId);
        sessionId = r.response.sessionId;
        EXPECT_HR(S_OK, r.hr) << Utf8(r.description);
        return page.log;
    };
    page.On(L"On_StartProcess");
    page.On(L"On_EndProcess", {}, [&](IDispatch*) {
        commandName = StoredCommandName(current->session, L"form");
        return S_OK;
    });

    using Log = std::vector<std::wstring>;
    // Backable: the command comes under "c", request after request.
    EXPECT_EQ((Log{L"On_StartProcess", L"OnCommand_save", L"On_EndProcess"}), run("c=save", true));
    EXPECT_EQ((Log{L"On_StartProcess", L"OnCommand_save", L"On_EndProcess"}), run("c=save", true));
    const std::wstring unchanged = commandName;
    // Not backable: "c" carries nothing, and every process renews the key.
    EXPECT_EQ((Log{L"On_StartProcess", L"On_EndProcess"}), run("c=save", false));
    const std::wstring first = commandName;
    ASSERT_EQ(7u, first.size()) << Utf8(first);
    EXPECT_EQ(L'1', first.back());
    EXPECT_NE(unchanged.substr(0, 6), first.substr(0, 6)) << "renewed";
    EXPECT_EQ((Log{L"On_StartProcess", L"OnCommand_save", L"On_EndProcess"}),
              run(Utf8(first) + "=save", false));
    const std::wstring second = commandName;
    EXPECT_EQ(L'2', second.back());
    EXPECT_NE(first, second);
    // A request made from the older page carries a key the session no longer expects.
    EXPECT_EQ((Log{L"On_StartProcess", L"On_EndProcess"}), run(Utf8(first) + "=save", false));
}

TEST_F(PageContract, AbandonEndsTheSessionStateAtTheEndOfThePage) {
    PageScript page;
    std::wstring afterAbandon;
    page.On(L"OnCommand_fill", {}, [](IDispatch* vesk) { return PutBagItem(vesk, L"k", VarStr(L"v")); });
    page.On(L"OnCommand_leave", {}, [&](IDispatch* vesk) {
        const HRESULT hr = LateBound(vesk).Call(L"Abandon").hr;
        afterAbandon = BagItem(vesk, L"k");
        return hr;
    });
    std::wstring atFirstAccess = L"<not fired>";
    page.On(L"On_FirstAccess", {}, [&](IDispatch* vesk) { return atFirstAccess = BagItem(vesk, L"k"), S_OK; });
    page.On(L"On_LastAccess");
    const auto named = [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"cart"))); };

    PageRun fill = Run(PageRequest::Get("/p.asp?c=fill"), page, named);
    ASSERT_HR(S_OK, fill.hr);
    EXPECT_EQ(L"", atFirstAccess);
    page.log.clear();
    atFirstAccess = L"<not fired>";
    PageRun leave = Run(PageRequest::Get("/p.asp?c=leave"), page, named, fill.response.sessionId);
    ASSERT_HR(S_OK, leave.hr) << Utf8(leave.description);
    EXPECT_EQ(L"v", afterAbandon) << "the page keeps its Bag until it ends";
    EXPECT_EQ((std::vector<std::wstring>{L"OnCommand_leave", L"On_LastAccess"}), page.log);
    EXPECT_EQ(L"<not fired>", atFirstAccess);

    // The next request starts a new session state with an empty Bag.
    page.log.clear();
    PageRun next = Run(PageRequest::Get("/p.asp"), page, named, leave.response.sessionId);
    ASSERT_HR(S_OK, next.hr);
    EXPECT_EQ((std::vector<std::wstring>{L"On_FirstAccess"}), page.log);
    EXPECT_EQ(L"", atFirstAccess);

    // Without a host Session there is nothing to abandon.
    HRESULT abandoned = S_OK;
    PageScript alone;
    alone.On(L"On_StartProcess", {}, [&](IDispatch* vesk) { return abandoned = LateBound(vesk).Call(L"Abandon").hr, S_OK; });
    PageRun without = Run(PageRequest::Get("/p.asp"), alone, {}, {}, false);
    EXPECT_HR(S_OK, without.hr);
    EXPECT_HR(E_FAIL, abandoned);
}

TEST_F(PageContract, SessionStateLivesAsLongAsTheHostSessionKeepsIt) {
    const auto named = [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"s"))); };
    PageScript page;
    PageRun first = Run(PageRequest::Get("/p.asp"), page, named);
    ASSERT_HR(S_OK, first.hr);
    EXPECT_HR(S_FALSE, Module().CanUnloadNow()) << "the state in the host Session holds the module";
    EXPECT_TRUE(site->sessions.End(first.response.sessionId));
    EXPECT_HR(S_OK, Module().CanUnloadNow()) << "ending the session released the state";

    // An idle session expires, and with it the state it holds.
    auto now = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    veskhost::PageHostConfig config;
    config.clock = [now] { return *now; };
    site.reset();
    site.emplace(std::move(config));
    PageRun idle = Run(PageRequest::Get("/p.asp"), page, named);
    ASSERT_HR(S_OK, idle.hr);
    EXPECT_HR(S_FALSE, Module().CanUnloadNow());
    *now += std::chrono::minutes(site->config.sessionTimeoutMinutes + 1);
    EXPECT_EQ(1u, site->sessions.SweepExpired());
    EXPECT_HR(S_OK, Module().CanUnloadNow());
}

TEST_F(PageContract, WhatElseTheHostSessionHoldsUnderTheName) {
    CountingDispatch stranger;
    struct Row { const char* title; std::function<CComVariant()> stored; bool byReference; HRESULT hr; bool first; };
    const Row rows[] = {
        {"an unknown object that is no session state",
         [&] {
             CComVariant v;
             v.SetUnknown(&stranger);
             return v;
         },
         true, E_NOINTERFACE, false},
        // Only an unknown object is taken for a stored state; anything else is replaced.
        {"a dispatch object", [&] { return VarDisp(&stranger); }, true, S_OK, true},
        {"a value that is no object", [] { return VarStr(L"text"); }, false, S_OK, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        PageScript page;
        page.On(L"On_FirstAccess");
        PageRun run = Run(PageRequest::Get("/p.asp"), page, [&](IDispatch* vesk) {
            EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"taken")));
            CComVariant value = row.stored();
            EXPECT_HR(S_OK, row.byReference ? current->session->putref_Value(CComBSTR(L"taken"), value)
                                             : current->session->put_Value(CComBSTR(L"taken"), value));
        });
        EXPECT_HR(row.hr, run.hr);
        EXPECT_EQ(row.first, page.log == std::vector<std::wstring>{L"On_FirstAccess"});
    }
    site.reset();
    EXPECT_EQ(1u, stranger.RefCount());
}

TEST_F(PageContract, EachNameKeepsItsOwnBag) {
    std::wstring sessionId;
    const auto visit = [&](const wchar_t* name, const wchar_t* put) {
        PageScript page;
        std::wstring seen;
        page.On(L"On_StartDraw", {}, [&](IDispatch* vesk) {
            seen = BagItem(vesk, L"k");
            return put ? PutBagItem(vesk, L"k", VarStr(put)) : S_OK;
        });
        PageRun run = Run(PageRequest::Get("/p.asp"), page,
                          [&](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(name))); }, sessionId);
        sessionId = run.response.sessionId;
        EXPECT_HR(S_OK, run.hr);
        return seen;
    };
    EXPECT_EQ(L"", visit(L"a", L"from a"));
    EXPECT_EQ(L"", visit(L"b", L"from b"));
    EXPECT_EQ(L"from a", visit(L"a", nullptr));
    EXPECT_EQ(L"from b", visit(L"b", nullptr));
}

// The controller's default value is its Bag, read as a property or called as a script calls
// a default member (a method call or a property get), with any arguments. The Bag is only a
// property: a call that is nothing but a method call does not reach it.
TEST_F(PageContract, TheDefaultValueIsTheBagWhateverTheArguments) {
    struct Row { const char* title; WORD flags; std::function<std::vector<CComVariant>()> args; HRESULT hr; };
    constexpr WORD kEither = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    const Row rows[] = {
        {"a property get without arguments", DISPATCH_PROPERTYGET, [] { return ArgList(); }, S_OK},
        {"a call without arguments", kEither, [] { return ArgList(); }, S_OK},
        {"a call with a key", kEither, [] { return ArgList(VarStr(L"k")); }, S_OK},
        {"a property get with two", DISPATCH_PROPERTYGET, [] { return ArgList(VarI4(1), VarStr(L"two")); }, S_OK},
        {"a call with three", kEither, [] { return ArgList(VarStr(L"a"), VarI4(2), VarBool(true)); }, S_OK},
        {"only a method call", DISPATCH_METHOD, [] { return ArgList(VarStr(L"k")); }, DISP_E_MEMBERNOTFOUND},
    };
    PageScript page;
    int checked = 0;
    page.On(L"On_StartProcess", {}, [&](IDispatch* vesk) {
        CallResult bag = LateBound(vesk).InvokeNamed(L"Bag", DISPATCH_PROPERTYGET, {});
        EXPECT_HR(S_OK, bag.hr);
        EXPECT_EQ(VT_DISPATCH, bag.value.vt);
        if (bag.value.vt != VT_DISPATCH || !bag.value.pdispVal) return E_UNEXPECTED;
        for (const Row& row : rows) {
            SCOPED_TRACE(row.title);
            CallResult value = LateBound(vesk).InvokeId(DISPID_VALUE, row.flags, row.args());
            EXPECT_HR(row.hr, value.hr);
            EXPECT_EQ(SUCCEEDED(row.hr) ? VT_DISPATCH : VT_EMPTY, value.value.vt);
            if (value.value.vt == VT_DISPATCH) {
                EXPECT_EQ(bag.value.pdispVal, value.value.pdispVal);
            }
            ++checked;
        }
        return S_OK;
    });
    PageRun run = Run(PageRequest::Get("/p.asp"), page,
                      [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"shop"))); });
    EXPECT_HR(S_OK, run.hr) << Utf8(run.description);
    EXPECT_EQ(int(std::size(rows)), checked);
}

TEST_F(PageContract, WithoutNameOrSessionTheSessionMembersAskForName) {
    struct Row { const char* title; bool withSession; std::function<void(IDispatch*)> setup; const wchar_t* description; };
    const Row rows[] = {
        {"the Bag without a Name", true, {}, L"Could not get Bag. Please specify property 'Name'."},
        {"the Bag without a host Session", false,
         [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"n"))); },
         L"Could not get Bag. Please specify property 'Name'."},
        {"a non-backable command key", true, [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Backable", VarBool(false))); },
         L"Could not get Command Name. Please specify property 'Name'."},
        {"renewing a non-backable command key", true,
         [](IDispatch* vesk) {
             EXPECT_HR(S_OK, Put(vesk, L"Backable", VarBool(false)));
             EXPECT_HR(S_OK, Put(vesk, L"Command", VarStr(L"go")));
         },
         L"Could not increment Command. Please specify property 'Name'."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        PageScript page;
        page.On(L"OnCommand_go");
        page.On(L"On_StartDraw", {}, [](IDispatch* vesk) {
            return LateBound(vesk).InvokeNamed(L"Bag", DISPATCH_PROPERTYGET, {}).hr;
        });
        PageRun run = Run(PageRequest::Get("/p.asp"), page, row.setup, {}, row.withSession);
        EXPECT_HR(E_FAIL, run.hr);
        EXPECT_EQ(row.description, Raised(run));
    }
}

// ---- Templates ---------------------------------------------------------------------------

TEST_F(PageContract, TemplatePathsAndTheirFailures) {
    Write("outside.html", "secret");
    fs::create_symlink(root / "outside.html", root / "t/link.html");
    ASSERT_EQ(0, mkfifo((root / "t/pipe.html").c_str(), 0600));
    struct Row {
        const char* title;
        const wchar_t* name;
        std::function<void(PageScript&)> script;
        HRESULT hr;
        std::wstring result;  // the body on success, else the description
    };
    const std::wstring folder = Folder();
    const Row rows[] = {
        {"a name", L"list", {}, S_OK, kListHtml},
        {"a leading slash", L"/list", {}, S_OK, kListHtml},
        {"a leading backslash", L"\\list", {}, S_OK, kListHtml},
        {"a folder below, with a slash", L"sub/item", {}, S_OK, L"<p>item</p>"},
        {"a folder below, with a backslash", L"sub\\item", {}, S_OK, L"<p>item</p>"},
        {"a dot-dot climb out of the folder", L"../outside", {}, E_FAIL,
         L"Template file can't obtain.[" + Canonical("outside.html") + L"]"},
        {"a symbolic link pointing outside", L"link", {}, E_FAIL,
         L"Template file can't obtain.[" + Canonical("outside.html") + L"]"},
        {"a missing file, which fires no event", L"missing", [](PageScript& p) { p.On(L"On_TemplateNotFound", VarBool(false)); },
         E_FAIL, L"Template file path is invalid.[" + folder + L"\\missing.html]"},
        {"an unreadable file", L"pipe", {}, E_FAIL, L"Template file can't read.[" + Canonical("t/pipe.html") + L"]"},
        {"an unreadable file with a fallback template", L"pipe",
         [](PageScript& p) {
             p.On(L"On_TemplateNotFound", VarBool(false),
                  [](IDispatch* vesk) { return Put(vesk, L"Template", VarStr(L"other")); });
         },
         S_OK, L"<p>other</p>"},
        {"a hook that never lets the draw go on", L"list",
         [](PageScript& p) { p.On(L"OnDrawTemplate_list", VarBool(false)); }, E_FAIL,
         L"Template draw step given up after 16 re-runs.[list]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        PageScript page;
        if (row.script) row.script(page);
        PageRun run = Run(PageRequest::Get("/p.asp"), page,
                          [&](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"DefaultTemplate", VarStr(row.name))); });
        EXPECT_HR(row.hr, run.hr);
        EXPECT_EQ(row.result, SUCCEEDED(row.hr) ? run.Body() : Raised(run));
        if (std::wstring_view(row.name) == L"missing") {
            EXPECT_TRUE(page.log.empty());
        }
    }
    // A TemplateFolder written with backslashes and a trailing one finds the same files.
    std::wstring backslashed = folder + L"/";
    for (wchar_t& c : backslashed) {
        if (c == L'/') c = L'\\';
    }
    PageScript page;
    PageRun run = Run(PageRequest::Get("/p.asp"), page,
                      [&](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"TemplateFolder", VarStr(backslashed.c_str()))); });
    EXPECT_HR(S_OK, run.hr);
    EXPECT_EQ(kListHtml, run.Body());
}

TEST_F(PageContract, CachedAndUncachedDrawingAfterTheFileChanges) {
    const fs::path file = Write("t/news.html", "one");
    const auto written = fs::last_write_time(file);
    struct Step { const char* text; int seconds; bool cache; const wchar_t* body; };
    const Step steps[] = {
        {nullptr, 0, true, L"one"},
        {"two", 5, true, L"two"},        // a new file time: read and parsed again
        {"three", 5, true, L"two"},      // the same file time: the cached parse is drawn
        {nullptr, 5, false, L"three"},   // uncached: the file as it is now
        {"four", 5, false, L"four"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(Utf8(step.body));
        if (step.text) {
            Write("t/news.html", step.text);
            fs::last_write_time(file, written + std::chrono::seconds(step.seconds));
        }
        PageScript page;
        PageRun run = Run(PageRequest::Get("/news.asp"), page, [&](IDispatch* vesk) {
            EXPECT_HR(S_OK, Put(vesk, L"DefaultTemplate", VarStr(L"news")));
            EXPECT_HR(S_OK, Put(vesk, L"CacheTemplate", VarBool(step.cache)));
        });
        EXPECT_HR(S_OK, run.hr);
        EXPECT_EQ(step.body, run.Body());
    }
}

}  // namespace
}  // namespace vesk_test
