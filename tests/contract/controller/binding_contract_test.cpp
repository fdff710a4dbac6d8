// Request binding, the conversions around it, Redirect and the helper objects, as a page
// script uses them: inside pages the host runs, every call late-bound.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "contract/common/page_contract.h"

namespace vesk_test::pages {
namespace {

using veskhost::PageRequest;

// The View's item under the key, as text; "<none>" when the View has no such key.
std::wstring ViewText(IDispatch* vesk, const wchar_t* key) {
    CallResult view = Get(vesk, L"View");
    if (FAILED(view.hr) || view.value.vt != VT_DISPATCH) return L"<no view>";
    CallResult exists = LateBound(view.value.pdispVal).Call(L"Exists", VarStr(key));
    if (exists.value.vt != VT_BOOL || exists.value.boolVal != VARIANT_TRUE) return L"<none>";
    return Text(Item(view.value.pdispVal, key).value);
}

int ViewCount(IDispatch* vesk) {
    CallResult view = Get(vesk, L"View");
    if (FAILED(view.hr) || view.value.vt != VT_DISPATCH) return -1;
    CallResult count = Get(view.value.pdispVal, L"Count");
    return count.value.vt == VT_I4 ? count.value.lVal : -1;
}

CallResult BagItem(IDispatch* vesk, const wchar_t* key) {
    CallResult bag = Get(vesk, L"Bag");
    if (FAILED(bag.hr) || bag.value.vt != VT_DISPATCH) return bag;
    return Item(bag.value.pdispVal, key);
}

// The elements of a bound array as text, after checking its shape: one dimension from 0.
std::vector<std::wstring> Elements(const VARIANT& value) {
    if (value.vt != (VT_ARRAY | VT_VARIANT) || value.parray == nullptr) return {L"<not an array>"};
    EXPECT_EQ(1u, SafeArrayGetDim(value.parray));
    LONG lower = -1, upper = -1;
    EXPECT_HR(S_OK, SafeArrayGetLBound(value.parray, 1, &lower));
    EXPECT_HR(S_OK, SafeArrayGetUBound(value.parray, 1, &upper));
    EXPECT_EQ(0, lower);
    std::vector<std::wstring> texts;
    for (LONG i = lower; i <= upper; ++i) {
        CComVariant element;
        EXPECT_HR(S_OK, SafeArrayGetElement(value.parray, &i, &element));
        texts.push_back(Text(element));
    }
    return texts;
}

// The command name the session state has now, as the controller puts it into a link.
std::wstring CommandKeyOf(IDispatch* vesk) {
    CallResult fragment = LateBound(vesk).Call(L"ToCommand", VarStr(L"x"));
    const std::wstring text = Text(fragment.value);
    // "?" + key + "=x&"
    return text.size() > 4 ? text.substr(1, text.size() - 4) : L"<failed>";
}

class BindingContract : public PageContract {
protected:
    // Runs a page whose start of process runs `body` with the controller.
    PageRun RunAtStart(const PageRequest& request, const PageScript::Body& body,
                       const std::function<void(IDispatch*)>& setup = {}, const std::wstring& sessionId = {},
                       bool withSession = true) {
        PageScript page;
        page.On(L"On_StartProcess", {}, body);
        page.On(L"OnCommand_show");
        return Run(request, page, setup, sessionId, withSession);
    }
};

const auto kNamed = [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"form"))); };

// ---- Binding ---------------------------------------------------------------------------

TEST_F(BindingContract, EveryKeyButTheCommandKeyGoesIntoTheView) {
    int count = 0;
    VARTYPE type = VT_EMPTY;
    std::map<std::wstring, std::wstring> seen;
    PageRun run = RunAtStart(PageRequest::Get("/p.asp?c=show&a=1&b=x+y"), [&](IDispatch* vesk) {
        const HRESULT hr = LateBound(vesk).Call(L"PutIntoView", VarStr(L""), VarBool(true)).hr;
        count = ViewCount(vesk);
        type = Get(vesk, L"View", ArgList(VarStr(L"a"))).value.vt;
        for (const wchar_t* key : {L"a", L"b", L"c"}) seen[key] = ViewText(vesk, key);
        return hr;
    });
    ASSERT_HR(S_OK, run.hr) << Utf8(run.description);
    EXPECT_EQ(2, count);
    EXPECT_EQ(L"1", seen[L"a"]);
    EXPECT_EQ(L"x y", seen[L"b"]) << "bound singly whatever the flag said";
    EXPECT_EQ(L"<none>", seen[L"c"]);
    EXPECT_EQ(VT_DISPATCH, type) << "the page's own store keeps the host's value list itself";
}

// On a page that is not backable the command travels under the session's key, and c is a
// key like any other.
TEST_F(BindingContract, WithoutBackableTheExcludedKeyIsTheSessionsCommandName) {
    const auto notBackable = [](IDispatch* vesk) {
        kNamed(vesk);
        EXPECT_HR(S_OK, Put(vesk, L"Backable", VarBool(false)));
    };
    // The key the next request must carry: the one renewed at the end of this page's command.
    std::wstring key;
    PageScript first;
    first.On(L"On_EndProcess", {}, [&](IDispatch* vesk) { return key = CommandKeyOf(vesk), S_OK; });
    PageRun firstRun = Run(PageRequest::Get("/p.asp"), first, notBackable);
    ASSERT_HR(S_OK, firstRun.hr) << Utf8(firstRun.description);
    ASSERT_EQ(7u, key.size()) << Utf8(key);

    std::map<std::wstring, std::wstring> seen;
    PageRun second = RunAtStart(
        PageRequest::Get("/p.asp?c=1&a=2&" + Utf8(key) + "=3"),
        [&](IDispatch* vesk) {
            const HRESULT hr = LateBound(vesk).Call(L"PutIntoView", VarStr(L""), VarBool(false)).hr;
            for (const std::wstring& k : {std::wstring(L"c"), std::wstring(L"a"), key}) seen[k] = ViewText(vesk, k.c_str());
            return hr;
        },
        notBackable, firstRun.response.sessionId);
    // The command itself did come under the key.
    EXPECT_HR(E_FAIL, second.hr);
    EXPECT_EQ(L"Unknown Command '3'.", second.description);
    EXPECT_EQ(L"1", seen[L"c"]);
    EXPECT_EQ(L"2", seen[L"a"]);
    EXPECT_EQ(L"<none>", seen[key]);
}

TEST_F(BindingContract, ArraysSingleValuesAndDecodingIntoTheBag) {
    struct Row {
        const char* title;
        const char* query;
        const wchar_t* name;
        bool asArray;
        bool decode;
        std::vector<std::wstring> elements;  // for an array
        std::wstring single;                 // otherwise
    };
    const Row rows[] = {
        {"a field sent three times, as an array", "f=a&f=b&f=c", L"f", true, false, {L"a", L"b", L"c"}, L""},
        {"the same field singly: the host's joined value", "f=a&f=b&f=c", L"f", false, false, {}, L"a, b, c"},
        {"a field not sent, as an array of none", "g=1", L"f", true, false, {}, L""},
        {"a field not sent, singly: empty", "g=1", L"f", false, false, {}, L""},
        {"decoded singly", "f=%26%2365%3Bb", L"f", false, true, {}, L"Ab"},
        {"decoded element by element", "f=%26%2366%3B&f=%26%23x43%3B", L"f", true, true, {L"B", L"C"}, L""},
        {"not decoded unless asked", "f=%26%2365%3B", L"f", false, false, {}, L"&#65;"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        CComVariant bound;
        PageRun run = RunAtStart(PageRequest::Get(std::string("/p.asp?") + row.query), [&](IDispatch* vesk) {
            HRESULT hr = Put(vesk, L"SubmitDecodeOnPutInto", VarBool(row.decode));
            if (SUCCEEDED(hr)) hr = LateBound(vesk).Call(L"PutIntoBag", VarStr(row.name), VarBool(row.asArray)).hr;
            if (SUCCEEDED(hr)) bound = std::move(BagItem(vesk, row.name).value);
            return hr;
        }, kNamed);
        ASSERT_HR(S_OK, run.hr) << Utf8(run.description);
        if (row.asArray) {
            EXPECT_EQ(row.elements, Elements(bound));
        } else {
            // The Bag outlives the request: it keeps the text, not the request's value list.
            EXPECT_EQ(VT_BSTR, bound.vt);
            EXPECT_EQ(row.single, Text(bound));
        }
    }
}

TEST_F(BindingContract, BagBindingsLastForTheVisitorsNextRequest) {
    PageRun first = RunAtStart(PageRequest::Get("/p.asp?who=ann"), [](IDispatch* vesk) {
        return LateBound(vesk).Call(L"PutIntoBag", VarStr(L"who"), VarBool(false)).hr;
    }, kNamed);
    ASSERT_HR(S_OK, first.hr);
    std::wstring who;
    PageRun second = RunAtStart(PageRequest::Get("/p.asp"), [&](IDispatch* vesk) {
        return who = Text(BagItem(vesk, L"who").value), S_OK;
    }, kNamed, first.response.sessionId);
    ASSERT_HR(S_OK, second.hr);
    EXPECT_EQ(L"ann", who);
}

// A key sent with an empty name is bound under the empty name: binding it again does not
// start another binding of every key.
TEST_F(BindingContract, AnEmptyKeyInTheRequestIsBoundOnce) {
    std::wstring empty, a;
    int count = 0;
    PageRun run = RunAtStart(PageRequest::Get("/p.asp?=x&a=1"), [&](IDispatch* vesk) {
        const HRESULT hr = LateBound(vesk).Call(L"PutIntoView", VarStr(L""), VarBool(false)).hr;
        empty = ViewText(vesk, L"");
        a = ViewText(vesk, L"a");
        count = ViewCount(vesk);
        return hr;
    });
    ASSERT_HR(S_OK, run.hr) << Utf8(run.description);
    EXPECT_EQ(L"x", empty);
    EXPECT_EQ(L"1", a);
    EXPECT_EQ(2, count);
}

TEST_F(BindingContract, ScriptPropertiesTakeTheValuesOfTheirNames) {
    PageScript page;
    page.script->SetProperty(L"title", VarStr(L"before"));
    HRESULT named = E_UNEXPECTED, unknown = E_UNEXPECTED, every = E_UNEXPECTED;
    std::wstring title;
    page.On(L"On_StartProcess", {}, [&](IDispatch* vesk) {
        named = LateBound(vesk).Call(L"PutIntoProp", VarStr(L"title"), VarBool(false)).hr;
        unknown = LateBound(vesk).Call(L"PutIntoProp", VarStr(L"nobody"), VarBool(false)).hr;
        // The variable holds the request's value list; the script lets go of it with its page.
        title = Text(page.script->Property(L"title"));
        page.script->SetProperty(L"title", CComVariant());
        return S_OK;
    });
    PageRun run = Run(PageRequest::Get("/p.asp?title=Hello&nobody=1"), page);
    ASSERT_HR(S_OK, run.hr);
    EXPECT_HR(S_OK, named);
    EXPECT_EQ(L"Hello", title);
    EXPECT_HR(DISP_E_UNKNOWNNAME, unknown) << "a name no script defines is stored nowhere";

    // Every key: the first that no script defines fails the binding; those before it stay.
    PageScript all;
    all.script->SetProperty(L"a", VarStr(L"before"));
    std::wstring a;
    all.On(L"On_StartProcess", {}, [&](IDispatch* vesk) {
        every = LateBound(vesk).Call(L"PutIntoProp", VarStr(L""), VarBool(false)).hr;
        a = Text(all.script->Property(L"a"));
        all.script->SetProperty(L"a", CComVariant());
        return S_OK;
    });
    PageRun allRun = Run(PageRequest::Get("/p.asp?a=1&zz=2"), all);
    ASSERT_HR(S_OK, allRun.hr);
    EXPECT_HR(DISP_E_UNKNOWNNAME, every);
    EXPECT_EQ(L"1", a);
}

TEST_F(BindingContract, BindingFailuresAndWhereTheyComeFrom) {
    // Outside a process there is no View.
    HRESULT outside = E_UNEXPECTED;
    std::wstring description = L"<unset>";
    const auto body = [&](const veskhost::PageObjects&) {
        CComPtr<IDispatch> vesk = NewVesk();
        SetErrorInfo(0, nullptr);
        outside = LateBound(vesk.Get()).Call(L"PutIntoView", VarStr(L"a"), VarBool(false)).hr;
        description = TakeError().second;
        return S_OK;
    };
    RunBody(PageRequest::Get("/p.asp?a=1"), body);
    EXPECT_HR(E_FAIL, outside);
    EXPECT_EQ(L"", description) << "no message of its own";

    // Without a Name there is no Bag to bind into.
    HRESULT bag = E_UNEXPECTED;
    PageRun run = RunAtStart(PageRequest::Get("/p.asp?a=1"), [&](IDispatch* vesk) {
        SetErrorInfo(0, nullptr);
        bag = LateBound(vesk).Call(L"PutIntoBag", VarStr(L"a"), VarBool(false)).hr;
        description = TakeError().second;
        return S_OK;
    });
    ASSERT_HR(S_OK, run.hr);
    EXPECT_HR(E_FAIL, bag);
    EXPECT_EQ(L"Could not get Bag. Please specify property 'Name'.", description);

    // Both arguments are required.
    HRESULT missing = E_UNEXPECTED;
    RunAtStart(PageRequest::Get("/p.asp"), [&](IDispatch* vesk) {
        return missing = LateBound(vesk).Call(L"PutIntoView", VarStr(L"a")).hr, S_OK;
    });
    EXPECT_HR(DISP_E_BADPARAMCOUNT, missing);
}

// ---- Conversions -----------------------------------------------------------------------

TEST_F(BindingContract, ToArrayOfHostValueLists) {
    struct Row { const char* query; std::vector<std::wstring> elements; };
    const Row rows[] = {
        {"v=1&v=two&v=3", {L"1", L"two", L"3"}},
        {"w=1", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.query);
        CComVariant array;
        HRESULT statement = E_UNEXPECTED, stranger = E_UNEXPECTED;
        PageRun run = RunAtStart(PageRequest::Get(std::string("/p.asp?") + row.query), [&](IDispatch* vesk) {
            CComPtr<PravoltTypeLibrary::IRequestDictionary> query;
            EXPECT_HR(S_OK, current->request->get_QueryString(query.Receive()));
            CComVariant list;
            EXPECT_HR(S_OK, query->get_Item(VarStr(L"v"), &list));
            CallResult made = LateBound(vesk).Call(L"ToArray", VarDisp(list.pdispVal));
            EXPECT_HR(S_OK, made.hr);
            array.Attach(&made.value);
            statement = LateBound(vesk).InvokeNamed(L"ToArray", DISPATCH_METHOD, ArgList(VarDisp(list.pdispVal)), false).hr;
            CountingDispatch other;
            stranger = LateBound(vesk).Call(L"ToArray", VarDisp(&other)).hr;
            EXPECT_EQ(1u, other.RefCount());
            return S_OK;
        });
        ASSERT_HR(S_OK, run.hr);
        EXPECT_EQ(row.elements, Elements(array));
        EXPECT_HR(S_OK, statement) << "called as a statement the array is made and dropped";
        EXPECT_HR(E_NOINTERFACE, stranger) << "an object that is no value list";
    }
}

TEST_F(BindingContract, CommandAndParameterFragments) {
    std::map<std::wstring, CallResult> got;
    PageRun run = RunAtStart(PageRequest::Get("/p.asp"), [&](IDispatch* vesk) {
        got[L"default"] = LateBound(vesk).Call(L"ToCommand", VarStr(L"edit"));
        got[L"parameter"] = LateBound(vesk).Call(L"ToParameter", VarStr(L"a b"), VarStr(L"x&y=1"));
        EXPECT_HR(S_OK, Put(vesk, L"CommandName", VarStr(L"do it")));
        got[L"named"] = LateBound(vesk).Call(L"ToCommand", VarStr(L"s\u00e9"));
        return S_OK;
    });
    ASSERT_HR(S_OK, run.hr);
    EXPECT_EQ(L"?c=edit&", Text(got[L"default"].value));
    EXPECT_EQ(L"a+b=x%26y%3D1&", Text(got[L"parameter"].value)) << "encoded by the host, no leading ?";
    EXPECT_EQ(L"?do+it=s%C3%A9&", Text(got[L"named"].value));

    // Not backable: the session's command name, or the null session's message.
    std::wstring key, fragment;
    PageRun keyed = RunAtStart(PageRequest::Get("/p.asp"), [&](IDispatch* vesk) {
        key = CommandKeyOf(vesk);
        fragment = Text(LateBound(vesk).Call(L"ToCommand", VarStr(L"go")).value);
        return S_OK;
    }, [](IDispatch* vesk) {
        kNamed(vesk);
        EXPECT_HR(S_OK, Put(vesk, L"Backable", VarBool(false)));
    });
    ASSERT_HR(S_OK, keyed.hr) << Utf8(keyed.description);
    ASSERT_EQ(7u, key.size());
    EXPECT_EQ(L"?" + key + L"=go&", fragment);

    HRESULT nameless = E_UNEXPECTED;
    std::wstring description;
    RunAtStart(PageRequest::Get("/p.asp"), [&](IDispatch* vesk) {
        SetErrorInfo(0, nullptr);
        CallResult r = LateBound(vesk).Call(L"ToCommand", VarStr(L"go"));
        nameless = r.hr;
        description = TakeError().second;
        EXPECT_EQ(VT_EMPTY, r.value.vt);
        return S_OK;
    }, [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Backable", VarBool(false))); });
    EXPECT_HR(E_FAIL, nameless);
    EXPECT_EQ(L"Could not get Command Name. Please specify property 'Name'.", description);
}

// ---- Redirect --------------------------------------------------------------------------

TEST_F(BindingContract, RedirectSetsStatusAndLocationAndThePageGoesOn) {
    PageScript page;
    page.On(L"On_StartProcess", {}, [](IDispatch* vesk) {
        const HRESULT hr = LateBound(vesk).Call(L"Redirect", VarStr(L"next.asp?a=1")).hr;
        if (FAILED(hr)) return hr;
        CComVariant text = VarStr(L"after");
        return LateBound(vesk).Call(L"ProcessTemplate", std::move(text)).hr;
    });
    PageRun run = Run(PageRequest::Get("/p.asp"), page);
    ASSERT_HR(S_OK, run.hr) << Utf8(run.description);
    EXPECT_EQ(L"302 Object moved", run.response.status);
    ASSERT_EQ(1u, run.response.headers.size());
    EXPECT_EQ(L"Location", run.response.headers[0].first);
    EXPECT_EQ(L"next.asp?a=1", run.response.headers[0].second) << "passed unchanged";
    EXPECT_FALSE(run.response.ended);
    EXPECT_EQ(L"after", run.Body());
}

TEST_F(BindingContract, RedirectPassesTheResponsesRefusalsOn) {
    struct Row { const char* title; bool flushFirst; const wchar_t* location; bool statusSet; };
    const Row rows[] = {
        // Once the headers are sent, neither the status nor the header can follow.
        {"after the headers went out", true, L"/next.asp", false},
        // The host refuses a header value that would break the header.
        {"a location that would break the header", false, L"/a\r\nSet-Cookie: x=1", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        HRESULT redirected = S_OK;
        PageRun run = RunAtStart(PageRequest::Get("/p.asp"), [&](IDispatch* vesk) {
            if (row.flushFirst) {
                EXPECT_HR(S_OK, LateBound(vesk).Call(L"ProcessTemplate", VarStr(L"early")).hr);
                EXPECT_HR(S_OK, current->response->Flush());
            }
            redirected = LateBound(vesk).Call(L"Redirect", VarStr(row.location)).hr;
            return S_OK;
        });
        ASSERT_HR(S_OK, run.hr);
        EXPECT_TRUE(FAILED(redirected));
        EXPECT_EQ(row.statusSet ? L"302 Object moved" : L"200 OK", run.response.status);
        EXPECT_TRUE(run.response.headers.empty()) << "no Location";
    }
}

// ---- Helper objects --------------------------------------------------------------------

// A database command that records what it is given, in order.
class RecordingCommand final : public automation::GObject<RecordingCommand, automation::GNoTypeInfo<IZULDBCommand>> {
public:
    static std::vector<std::wstring>* s_pLog;
    static ULONG s_nLive;

    static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) {
        if (outer) return CLASS_E_NOAGGREGATION;
        return GObject::CreateInstance(riid, ppv);
    }

    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
    HRESULT put_ActiveConnection(VARIANT vConn) override {
        std::wstring entry = L"connection " + std::to_wstring(vConn.vt) + L" ";
        entry += vConn.vt == VT_DISPATCH ? std::to_wstring(reinterpret_cast<uintptr_t>(vConn.pdispVal)) : Text(vConn);
        return Log(entry);
    }
    HRESULT put_CommandType(ADODB::CommandTypeEnum type) override { return Log(L"type " + std::to_wstring(type)); }
    HRESULT put_CommandText(BSTR text) override { return Log(L"text " + std::wstring(View(text))); }

#define VESK_NOT_USED(name, ...) \
    HRESULT name(__VA_ARGS__) override { return E_NOTIMPL; }
    VESK_NOT_USED(get_Properties, IDispatch**)
    VESK_NOT_USED(get_ActiveConnection, IDispatch**)
    VESK_NOT_USED(putref_ActiveConnection, IDispatch*)
    VESK_NOT_USED(get_CommandText, BSTR*)
    VESK_NOT_USED(get_CommandTimeout, LONG*)
    VESK_NOT_USED(put_CommandTimeout, LONG)
    VESK_NOT_USED(get_Prepared, VARIANT_BOOL*)
    VESK_NOT_USED(put_Prepared, VARIANT_BOOL)
    VESK_NOT_USED(Execute, VARIANT*, VARIANT*, LONG, IDispatch**)
    VESK_NOT_USED(CreateParameter, BSTR, ADODB::DataTypeEnum, ADODB::ParameterDirectionEnum, LONG, VARIANT, IDispatch**)
    VESK_NOT_USED(get_Parameters, IDispatch**)
    VESK_NOT_USED(get_CommandType, ADODB::CommandTypeEnum*)
    VESK_NOT_USED(get_Name, BSTR*)
    VESK_NOT_USED(put_Name, BSTR)
    VESK_NOT_USED(get_State, LONG*)
    VESK_NOT_USED(Cancel)
    VESK_NOT_USED(putref_CommandStream, IUnknown*)
    VESK_NOT_USED(get_CommandStream, VARIANT*)
    VESK_NOT_USED(put_Dialect, BSTR)
    VESK_NOT_USED(get_Dialect, BSTR*)
    VESK_NOT_USED(put_NamedParameters, VARIANT_BOOL)
    VESK_NOT_USED(get_NamedParameters, VARIANT_BOOL*)
#undef VESK_NOT_USED

private:
    friend GObject;
    RecordingCommand() { ++s_nLive; }
    ~RecordingCommand() { --s_nLive; }
    HRESULT Log(std::wstring entry) {
        if (s_pLog) s_pLog->push_back(std::move(entry));
        return S_OK;
    }
};
std::vector<std::wstring>* RecordingCommand::s_pLog = nullptr;
ULONG RecordingCommand::s_nLive = 0;

TEST_F(BindingContract, NewADOCommandSetsConnectionTypeAndTextInThatOrder) {
    std::vector<std::wstring> log;
    RecordingCommand::s_pLog = &log;
    CountingDispatch connection;
    const std::wstring connectionId = std::to_wstring(reinterpret_cast<uintptr_t>(static_cast<IDispatch*>(&connection)));
    struct Row { const char* title; std::function<CComVariant()> connection; std::vector<std::wstring> log; };
    const Row rows[] = {
        {"a connection string", [] { return VarStr(L"Provider=x"); },
         {L"connection 8 Provider=x", L"type 1", L"text select 1"}},
        {"a connection object", [&] { return VarDisp(&connection); },
         {L"connection 9 " + connectionId, L"type 1", L"text select 1"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        log.clear();
        const veskhost::ClassCreatorOverride command(CLSID_Command, &RecordingCommand::Create);
        bool isTheCommand = false;
        RunAtStart(PageRequest::Get("/p.asp"), [&](IDispatch* vesk) {
            CallResult made = LateBound(vesk).Call(L"NewADOCommand", row.connection(), VarStr(L"select 1"), VarI4(1));
            EXPECT_HR(S_OK, made.hr);
            CComPtr<IZULDBCommand> asCommand;
            if (made.value.vt == VT_DISPATCH && made.value.pdispVal)
                made.value.pdispVal->QueryInterface(IID_IZULDBCommand, asCommand.ReceiveVoid());
            isTheCommand = bool(asCommand);
            return made.hr;
        });
        EXPECT_TRUE(isTheCommand);
        EXPECT_EQ(row.log, log);
        EXPECT_EQ(0u, RecordingCommand::s_nLive) << "the library keeps no reference to it";
        EXPECT_EQ(1u, connection.RefCount()) << "the connection is borrowed";
    }
    RecordingCommand::s_pLog = nullptr;

    // A host that cannot create the command class: its failure, and no object.
    const veskhost::ClassCreatorOverride none(CLSID_Command, nullptr);
    CallResult failed;
    RunAtStart(PageRequest::Get("/p.asp"), [&](IDispatch* vesk) {
        failed = LateBound(vesk).Call(L"NewADOCommand", VarStr(L"dsn"), VarStr(L"select 1"), VarI4(1));
        return S_OK;
    });
    EXPECT_HR(REGDB_E_CLASSNOTREG, failed.hr);
    EXPECT_EQ(VT_EMPTY, failed.value.vt);
}

TEST_F(BindingContract, NewMailIsNotOffered) {
    CallResult mail;
    RunAtStart(PageRequest::Get("/p.asp"), [&](IDispatch* vesk) {
        mail = LateBound(vesk).Call(L"NewMail", VarStr(L"to"), VarI4(3));
        return S_OK;
    });
    EXPECT_HR(E_NOTIMPL, mail.hr);
    EXPECT_EQ(VT_EMPTY, mail.value.vt);
}

}  // namespace
}  // namespace vesk_test::pages
