// The page-bound templator as a page script uses it: made by the page controller's
// NewTemplator inside pages the host runs, every call late-bound.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contract/common/page_contract.h"
#include "support/memory_stream.h"

namespace vesk_test::pages {
namespace {

using veskhost::PageRequest;

CComPtr<IDispatch> NewTemplator(IDispatch* vesk, const wchar_t* prefix = L"T_") {
    CallResult made = LateBound(vesk).Call(L"NewTemplator", VarStr(prefix));
    EXPECT_HR(S_OK, made.hr);
    CComPtr<IDispatch> templator;
    if (made.value.vt == VT_DISPATCH) templator.Attach(std::exchange(made.value.pdispVal, nullptr));
    made.value.vt = VT_EMPTY;
    return templator;
}

HRESULT Process(IDispatch* templator, const wchar_t* text) {
    return LateBound(templator).Call(L"ProcessTemplate", VarStr(text)).hr;
}

std::wstring Flush(IDispatch* templator, HRESULT expected = S_OK) {
    CallResult r = LateBound(templator).Call(L"Flush");
    EXPECT_HR(expected, r.hr);
    return r.value.vt == VT_BSTR ? std::wstring(View(r.value.bstrVal)) : L"<not a string>";
}

// What a mark writes on its own, or its failure with the thread's error information.
struct Filled {
    HRESULT hr = E_UNEXPECTED;
    std::wstring text, source, description;
};
Filled Fill(IDispatch* templator, const wchar_t* tmpl) {
    Filled filled;
    const std::wstring before = Flush(templator);
    SetErrorInfo(0, nullptr);
    filled.hr = Process(templator, tmpl);
    std::tie(filled.source, filled.description) = TakeError();
    filled.text = Flush(templator).substr(before.size());
    return filled;
}

class TemplatorContract : public PageContract {
protected:
    // Runs a page whose script makes a templator at the start of its draw and hands it, with
    // the controller, to `body`; the templator goes before the page ends.
    PageRun RunWithTemplator(const PageRequest& request, const std::function<void(IDispatch*, IDispatch*)>& body,
                             const std::function<void(IDispatch*)>& setup = {}, bool withSession = true) {
        PageScript page;
        page.On(L"On_StartDraw", {}, [&](IDispatch* vesk) {
            CComPtr<IDispatch> templator = NewTemplator(vesk);
            if (!templator) return E_FAIL;
            body(vesk, templator.Get());
            return S_OK;
        });
        return Run(request, page, setup, {}, withSession);
    }
};

const auto kNamed = [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"t"))); };

HRESULT SetView(IDispatch* vesk, const wchar_t* key, CComVariant value) {
    return LateBound(vesk).Call(L"SetView", VarStr(key), std::move(value)).hr;
}

HRESULT SetBag(IDispatch* vesk, const wchar_t* key, CComVariant value) {
    CallResult bag = Get(vesk, L"Bag");
    if (FAILED(bag.hr)) return bag.hr;
    return LateBound(bag.value.pdispVal).InvokeNamed(L"Item", DISPATCH_PROPERTYPUT, ArgList(VarStr(key), std::move(value)), false).hr;
}

// ---- The page's stores -------------------------------------------------------------------

TEST_F(TemplatorContract, MarksReadThePagesStoresAndFlushReturnsEverythingSoFar) {
    std::vector<Filled> filled;
    std::wstring flushed;
    PageRun run = RunWithTemplator(PageRequest::Get("/p.asp?q=from+query"), [&](IDispatch* vesk, IDispatch* templator) {
        EXPECT_HR(S_OK, SetView(vesk, L"v", VarStr(L"<view>")));
        EXPECT_HR(S_OK, SetBag(vesk, L"k", VarStr(L"<bag>")));
        EXPECT_HR(S_OK, current->session->put_Value(CComBSTR(L"s"), VarStr(L"<session>")));
        EXPECT_HR(S_OK, current->application->put_Value(CComBSTR(L"a"), VarStr(L"<app>")));
        for (const wchar_t* tmpl : {L"[(#*v#)|(#/v#)]", L"[(#&k#)|(#|k#)]", L"[(#=s#)|(#~s#)]", L"[(#+a#)|(#-a#)]",
                                    L"[(#$q#)|(#\\q#)]"})
            filled.push_back(Fill(templator, tmpl));
        flushed = Flush(templator);
    }, kNamed);
    ASSERT_HR(S_OK, run.hr) << Utf8(run.description);
    const std::vector<std::wstring> expected = {L"[&lt;view&gt;|<view>]", L"[&lt;bag&gt;|<bag>]",
                                                L"[&lt;session&gt;|<session>]", L"[&lt;app&gt;|<app>]",
                                                L"[from query|from query]"};
    ASSERT_EQ(expected.size(), filled.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_HR(S_OK, filled[i].hr) << i;
        EXPECT_EQ(expected[i], filled[i].text) << i;
    }
    // The stream keeps what was written: a later Flush returns all of it again.
    std::wstring all;
    for (const std::wstring& text : expected) all += text;
    EXPECT_EQ(all, flushed);
    EXPECT_EQ(L"", run.Body()) << "its own stream, not the page";
}

TEST_F(TemplatorContract, MarksOutsideItsTypeSetWriteNothing) {
    Filled filled;
    PageRun run = RunWithTemplator(PageRequest::Get("/p.asp"), [&](IDispatch*, IDispatch* templator) {
        filled = Fill(templator, L"a(#!x#)(#?x#)(#`x#)(#@x#)(#x#)b^(#c");
    });
    ASSERT_HR(S_OK, run.hr);
    EXPECT_HR(S_OK, filled.hr);
    EXPECT_EQ(L"ab(#c", filled.text);
}

// A Null, or an object without a default value, fails the mark whatever the page's NullIsEmpty.
TEST_F(TemplatorContract, ValuesThatAreNoTextFailTheMark) {
    Filled null, walked;
    PageRun run = RunWithTemplator(PageRequest::Get("/p.asp"), [&](IDispatch* vesk, IDispatch* templator) {
        EXPECT_HR(S_OK, Put(vesk, L"NullIsEmpty", VarBool(true)));
        EXPECT_HR(S_OK, SetView(vesk, L"n", VarNull()));
        CComPtr<IZULibDictionary> inner;
        EXPECT_HR(S_OK, CoCreateInstance(CLSID_Dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibDictionary,
                                         inner.ReceiveVoid()));
        CComVariant key = VarStr(L"x"), item = VarStr(L"inside");
        EXPECT_HR(S_OK, inner->put_Item(&key, &item));
        EXPECT_HR(S_OK, SetView(vesk, L"d", VarDisp(inner.Get())));
        null = Fill(templator, L"a(#*n#)b");
        walked = Fill(templator, L"[(#/d|x#)]");
    });
    ASSERT_HR(S_OK, run.hr);
    EXPECT_TRUE(FAILED(null.hr));
    EXPECT_EQ(L"a", null.text) << "what came before the mark stays written";
    EXPECT_HR(S_OK, walked.hr);
    EXPECT_EQ(L"[inside]", walked.text) << "parameters walk into the value";
}

// ---- Its own scripts ---------------------------------------------------------------------

TEST_F(TemplatorContract, ScriptsLookedUpLastFirstAndFunctionsGetTheTemplator) {
    Filled property, function, process, missing;
    IDispatch* seenOwner = nullptr;
    IDispatch* theTemplator = nullptr;
    std::wstring seenParams, lastScript;
    PageRun run = RunWithTemplator(PageRequest::Get("/p.asp"), [&](IDispatch*, IDispatch* templator) {
        theTemplator = templator;
        CComPtr<ScriptObject> first = ScriptObject::Create(), second = ScriptObject::Create();
        first->SetProperty(L"Title", VarStr(L"first"));
        first->SetProperty(L"Only", VarStr(L"a & b"));
        second->SetProperty(L"Title", VarStr(L"second"));
        second->AddMethod(L"Join", [&](ScriptObject::Args args, VARIANT* result) {
            if (args.empty()) return DISP_E_MEMBERNOTFOUND;  // read as a property first
            seenOwner = args[0]->vt == VT_DISPATCH ? args[0]->pdispVal : nullptr;
            const VARIANT* params = args[1]->vt == (VT_BYREF | VT_VARIANT) ? args[1]->pvarVal : args[1];
            seenParams.clear();
            if (params->vt == (VT_ARRAY | VT_VARIANT)) {
                for (ULONG i = 0; i < params->parray->rgsabound[0].cElements; ++i)
                    seenParams += View(static_cast<const VARIANT*>(params->parray->pvData)[i].bstrVal);
            }
            return VarStr(L"<joined>").Detach(result), S_OK;
        });
        second->AddMethod(L"T_Row", [&](ScriptObject::Args args, VARIANT* result) {
            // A process function writes for itself; what it returns is not written.
            EXPECT_HR(S_OK, LateBound(args[0]->pdispVal).Call(L"Write", VarStr(L"<row>"), VarBool(false)).hr);
            return VarStr(L"ignored").Detach(result), S_OK;
        });
        EXPECT_HR(S_OK, PutRef(templator, L"Script", VarDisp(first.Get())));
        EXPECT_HR(S_OK, PutRef(templator, L"Script", VarDisp(second.Get())));
        CallResult last = Get(templator, L"Script");
        lastScript = last.value.vt == VT_DISPATCH && last.value.pdispVal == second.Get() ? L"second" : L"other";
        property = Fill(templator, L"(#:Title#) (#;Only#)");
        function = Fill(templator, L"(#;Join|a#|#b#)");
        process = Fill(templator, L"(#%Row|x#)");
        missing = Fill(templator, L"(#%Nothing#)");
    });
    ASSERT_HR(S_OK, run.hr) << Utf8(run.description);
    EXPECT_EQ(L"second", lastScript);
    EXPECT_EQ(L"second a &amp; b", property.text);
    EXPECT_EQ(L"&lt;joined&gt;", function.text);
    EXPECT_EQ(theTemplator, seenOwner) << "the templator, not the page controller";
    EXPECT_EQ(L"ab", seenParams);
    EXPECT_HR(S_OK, process.hr);
    EXPECT_EQ(L"<row>", process.text);
    EXPECT_HR(E_FAIL, missing.hr);
    EXPECT_EQ(L"VeskedTemplator", missing.source);
    EXPECT_EQ(L"Event 'T_Nothing' not found.", missing.description);
}

// The page's own script is not the templator's.
TEST_F(TemplatorContract, ThePagesScriptIsNotAsked) {
    Filled filled;
    PageScript page;
    page.script->SetProperty(L"Title", VarStr(L"page"));
    page.On(L"On_StartDraw", {}, [&](IDispatch* vesk) {
        CComPtr<IDispatch> templator = NewTemplator(vesk);
        filled = Fill(templator.Get(), L"(#:Title#)");
        return S_OK;
    });
    PageRun run = Run(PageRequest::Get("/p.asp"), page);
    ASSERT_HR(S_OK, run.hr);
    EXPECT_HR(DISP_E_UNKNOWNNAME, filled.hr);
    EXPECT_EQ(L"", filled.description) << "the templator adds no mark text to the failure";
}

// ---- Encoding ----------------------------------------------------------------------------

// The host encodes characters past ASCII as numeric references; the library leaves them.
TEST_F(TemplatorContract, EncodedWritesFollowThePagesSelfEncodeAsItChanges) {
    std::vector<Filled> filled;
    PageRun run = RunWithTemplator(PageRequest::Get("/p.asp"), [&](IDispatch* vesk, IDispatch* templator) {
        EXPECT_HR(S_OK, SetView(vesk, L"v", VarStr(L"<\u00e9>")));
        filled.push_back(Fill(templator, L"(#*v#)"));
        EXPECT_HR(S_OK, Put(vesk, L"SelfEncode", VarBool(true)));
        filled.push_back(Fill(templator, L"(#*v#)"));
        EXPECT_HR(S_OK, LateBound(templator).Call(L"Write", VarStr(L"\u00e9&"), VarBool(true)).hr);
        EXPECT_HR(S_OK, LateBound(templator).Call(L"Write", VarStr(L""), VarBool(true)).hr);
        EXPECT_HR(S_OK, LateBound(templator).Call(L"Write", VarStr(L"<raw>"), VarBool(false)).hr);
        filled.push_back({S_OK, Flush(templator)});
    });
    ASSERT_HR(S_OK, run.hr);
    ASSERT_EQ(3u, filled.size());
    EXPECT_EQ(L"&lt;&#233;&gt;", filled[0].text) << "the host's encoder";
    EXPECT_EQ(L"&lt;\u00e9&gt;", filled[1].text) << "the library's, once the page switched";
    EXPECT_EQ(L"&lt;&#233;&gt;&lt;\u00e9&gt;\u00e9&amp;<raw>", filled[2].text);
}

// ---- Output ------------------------------------------------------------------------------

TEST_F(TemplatorContract, StreamElsewhereAndNoStreamAtAll) {
    HRESULT toResponse = E_UNEXPECTED, flushed = S_OK, notAStream = S_OK, nothing = E_UNEXPECTED, write = S_OK;
    std::wstring toStream;
    PageRun run = RunWithTemplator(PageRequest::Get("/p.asp"), [&](IDispatch*, IDispatch* templator) {
        toResponse = PutRef(templator, L"Stream", VarDisp(current->response));
        EXPECT_HR(S_OK, Process(templator, L"to the page"));
        flushed = LateBound(templator).Call(L"Flush").hr;

        auto sink = CMemoryStream::Create();
        CComVariant stream;
        stream.SetUnknown(sink.Get());
        EXPECT_HR(S_OK, PutRef(templator, L"Stream", std::move(stream)));
        EXPECT_HR(S_OK, Process(templator, L"x"));
        toStream = sink->text;

        CountingDispatch stranger;
        notAStream = PutRef(templator, L"Stream", VarDisp(&stranger));
        nothing = Get(templator, L"Stream").value.vt == VT_EMPTY || Get(templator, L"Stream").value.punkVal == nullptr
                      ? S_OK
                      : E_FAIL;
        write = LateBound(templator).Call(L"Write", VarStr(L"x"), VarBool(false)).hr;
    });
    ASSERT_HR(S_OK, run.hr);
    EXPECT_HR(S_OK, toResponse);
    EXPECT_EQ(L"to the page", run.Body());
    EXPECT_HR(E_FAIL, flushed) << "only its own kind of stream reads back";
    EXPECT_EQ(L"x", toStream);
    EXPECT_HR(E_INVALIDARG, notAStream);
    EXPECT_HR(S_OK, nothing) << "a refused output leaves none";
    EXPECT_HR(E_FAIL, write) << "nothing to write to";
}

TEST_F(TemplatorContract, ProcessTemplateFileReadsThePathAsGiven) {
    WriteFile("mail.txt", "Dear (#/who#), \xc3\xa9t\xc3\xa9");
    Filled file, missing;
    PageRun run = RunWithTemplator(PageRequest::Get("/p.asp"), [&](IDispatch* vesk, IDispatch* templator) {
        EXPECT_HR(S_OK, SetView(vesk, L"who", VarStr(L"Ann")));
        const std::wstring path = (root / "mail.txt").wstring();
        SetErrorInfo(0, nullptr);
        file.hr = LateBound(templator).Call(L"ProcessTemplateFile", VarStr(path.c_str()), VarStr(L"UTF-8")).hr;
        file.text = Flush(templator);
        missing.hr = LateBound(templator).Call(L"ProcessTemplateFile", VarStr((path + L".no").c_str()), VarStr(L"UTF-8")).hr;
        missing.text = Flush(templator);
    });
    ASSERT_HR(S_OK, run.hr);
    EXPECT_HR(S_OK, file.hr);
    EXPECT_EQ(L"Dear Ann, \u00e9t\u00e9", file.text);
    EXPECT_TRUE(FAILED(missing.hr));
    EXPECT_EQ(file.text, missing.text) << "nothing written for a file that cannot be read";
}

// ---- Objects it does not have ------------------------------------------------------------

TEST_F(TemplatorContract, AbsentStoresFailTheirMarksWithAMessage) {
    struct Row { const char* title; bool beforeProcess; bool named; bool withSession; const wchar_t* tmpl; std::wstring description; };
    const Row rows[] = {
        {"no Bag without a Name", false, false, true, L"(#&k#)",
         L"No Bag: the page had no session state. Please specify property 'Name'."},
        {"no Session on a page without one", false, true, false, L"(#=s#)", L"No Session: the page runs without one."},
        {"no View before the process", true, false, true, L"(#*v#)",
         L"No View: the templator was made outside the page's process."},
        {"no Bag before the process either", true, true, true, L"(#|k#)",
         L"No Bag: the page had no session state. Please specify property 'Name'."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        Filled filled;
        const auto use = [&](IDispatch* vesk) {
            CComPtr<IDispatch> templator = NewTemplator(vesk);
            if (templator) filled = Fill(templator.Get(), row.tmpl);
        };
        PageScript page;
        if (!row.beforeProcess) page.On(L"On_StartDraw", {}, [&](IDispatch* vesk) { return use(vesk), S_OK; });
        PageRun run = Run(PageRequest::Get("/p.asp"), page, [&](IDispatch* vesk) {
            if (row.named) kNamed(vesk);
            if (row.beforeProcess) use(vesk);
        }, {}, row.withSession);
        ASSERT_HR(S_OK, run.hr);
        EXPECT_HR(E_FAIL, filled.hr);
        EXPECT_EQ(L"VeskedTemplator", filled.source);
        EXPECT_EQ(row.description, filled.description);
        EXPECT_EQ(L"", filled.text);
    }
}

// ---- Its page controller -----------------------------------------------------------------

TEST_F(TemplatorContract, MainIsThePageController) {
    bool same = false;
    PageRun run = RunWithTemplator(PageRequest::Get("/p.asp"), [&](IDispatch* vesk, IDispatch* templator) {
        CallResult main = Get(templator, L"Main");
        EXPECT_HR(S_OK, main.hr);
        CComPtr<IUnknown> a, b;
        if (main.value.vt == VT_DISPATCH && main.value.pdispVal) main.value.pdispVal->QueryInterface(IID_IUnknown, a.ReceiveVoid());
        vesk->QueryInterface(IID_IUnknown, b.ReceiveVoid());
        same = a && a.Get() == b.Get();
    });
    ASSERT_HR(S_OK, run.hr);
    EXPECT_TRUE(same);
}

// A script may keep the templator after releasing the controller (whose pooled block may
// then serve another controller): the templator no longer reaches it, and goes on with the
// View, Bag, scripts and SelfEncode it had.
TEST_F(TemplatorContract, ATemplatorOutlivesItsController) {
    Filled main, encoded, marks, process;
    bool reused = false;
    const auto body = [&](const veskhost::PageObjects&) {
        CComPtr<IDispatch> templator;
        {
            CComPtr<IDispatch> vesk = NewVesk();
            EXPECT_HR(S_OK, Put(vesk.Get(), L"Name", VarStr(L"t")));
            PageScript page;
            page.On(L"On_StartDraw", {}, [&](IDispatch* v) {
                EXPECT_HR(S_OK, SetView(v, L"v", VarStr(L"view")));
                EXPECT_HR(S_OK, SetBag(v, L"k", VarStr(L"bag")));
                EXPECT_HR(S_OK, Put(v, L"SelfEncode", VarBool(true)));
                templator = NewTemplator(v);
                return S_OK;
            });
            EXPECT_HR(S_OK, LateBound(vesk.Get()).Call(L"AddScript", VarDisp(page.script.Get())).hr);
            EXPECT_HR(S_OK, LateBound(vesk.Get()).Call(L"Process").hr);
        }
        if (!templator) return E_FAIL;
        // Another controller may now sit in the released one's block.
        CComPtr<IDispatch> next = NewVesk();
        SetErrorInfo(0, nullptr);
        CallResult m = Get(templator.Get(), L"Main");
        main.hr = m.hr;
        std::tie(main.source, main.description) = TakeError();
        reused = m.value.vt == VT_DISPATCH && m.value.pdispVal != nullptr;

        SetErrorInfo(0, nullptr);
        encoded.hr = LateBound(templator.Get()).Call(L"Write", VarStr(L"<\u00e9>"), VarBool(true)).hr;
        encoded.text = Flush(templator.Get());
        marks = Fill(templator.Get(), L"[(#/v#)|(#|k#)]");
        auto script = ScriptObject::Create();
        script->AddMethod(L"T_Go", [](ScriptObject::Args args, VARIANT*) {
            return LateBound(args[0]->pdispVal).Call(L"Write", VarStr(L"went"), VarBool(false)).hr;
        });
        EXPECT_HR(S_OK, PutRef(templator.Get(), L"Script", VarDisp(script.Get())));
        process = Fill(templator.Get(), L"(#%Go#)");
        return S_OK;
    };
    RunBody(PageRequest::Get("/p.asp"), body);
    EXPECT_HR(E_FAIL, main.hr);
    EXPECT_FALSE(reused) << "never the controller that took the block over";
    EXPECT_EQ(L"VeskedTemplator", main.source);
    EXPECT_EQ(L"The page controller that made this templator is gone.", main.description);
    EXPECT_HR(S_OK, encoded.hr);
    EXPECT_EQ(L"&lt;\u00e9&gt;", encoded.text) << "the library's encoder, as the page had chosen";
    EXPECT_HR(S_OK, marks.hr);
    EXPECT_EQ(L"[view|bag]", marks.text);
    EXPECT_HR(S_OK, process.hr);
    EXPECT_EQ(L"went", process.text);
}

TEST_F(TemplatorContract, NewTemplatorNeedsAPageContext) {
    // Without a context there are no page objects for the templator to take.
    CallResult made;
    RunBody(PageRequest::Get("/p.asp"), [&](const veskhost::PageObjects&) {
        CComPtr<IDispatch> vesk = NewVesk();
        const veskhost::ObjectContextScope none(nullptr);
        made = LateBound(vesk.Get()).Call(L"NewTemplator", VarStr(L"T_"));
        return S_OK;
    });
    EXPECT_HR(CONTEXT_E_NOCONTEXT, made.hr);
    EXPECT_EQ(VT_EMPTY, made.value.vt);
}

}  // namespace
}  // namespace vesk_test::pages
