// The page controller's marks, its built-in input and message drawing events, and Write, as
// pages use them: "Vesk" created by ProgID inside a page the host runs, a small page script,
// and the page's template written to a folder of the test's own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
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

constexpr HRESULT kScriptError = hresult_of(0x800A000Du);

using pages::Put;
using pages::Text;
using pages::Wide;

// A script method's argument, by reference followed.
VARIANT* Arg(ScriptObject::Args args, size_t i) { return i < args.size() ? automation::CInvokeArgs::Follow(args[i]) : nullptr; }

HRESULT SetView(IDispatch* vesk, const wchar_t* key, CComVariant value) {
    return LateBound(vesk).Call(L"SetView", VarStr(key), std::move(value)).hr;
}
HRESULT PutInto(IDispatch* vesk, const wchar_t* store, const wchar_t* key, CComVariant value) {
    CallResult dictionary = LateBound(vesk).InvokeNamed(store, DISPATCH_PROPERTYGET, {});
    if (FAILED(dictionary.hr)) return dictionary.hr;
    if (dictionary.value.vt != VT_DISPATCH) return E_UNEXPECTED;
    return LateBound(dictionary.value.pdispVal)
        .InvokeNamed(L"Item", DISPATCH_PROPERTYPUT, ArgList(VarStr(key), std::move(value)), false)
        .hr;
}
CComVariant StringArray(std::initializer_list<const wchar_t*> texts) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(texts.size()));
    LONG i = 0;
    for (const wchar_t* text : texts) {
        CComVariant element = VarStr(text);
        SafeArrayPutElement(psa, &i, &element);
        ++i;
    }
    CComVariant array;
    array.vt = VT_ARRAY | VT_VARIANT;
    array.parray = psa;
    return array;
}

struct PageRun {
    HRESULT hr = E_UNEXPECTED;
    std::wstring body, source, description;
};

// One page: its template, its request, what its script adds and does when the process
// starts (View, Include and the Bag exist from then on), and the controller's setup.
struct MarkPage {
    std::string tmpl;
    PageRequest request = PageRequest::Get("/p.asp");
    std::function<void(ScriptObject&)> script;
    std::function<HRESULT(IDispatch*)> start;
    std::function<void(IDispatch*)> setup;
    bool withSession = true;
};

class MarkContract : public pages::PageContract {
protected:
    // The page's template goes to t/.
    void Write(const std::string& relative, const std::string& text) const { WriteFile("t/" + relative, text); }

    PageRun Run(const MarkPage& page, const std::wstring& sessionId = {}) {
        // Every page its own file: the cache tells rewrites apart only by file time.
        pageName = "page" + std::to_string(++pageCount);
        Write(pageName + ".html", page.tmpl);
        CComPtr<ScriptObject> script = ScriptObject::Create();
        script->AddMethod(L"On_StartProcess", [&](ScriptObject::Args args, VARIANT*) {
            return page.start ? page.start(Arg(args, 0)->pdispVal) : S_OK;
        });
        if (page.script) page.script(*script.Get());
        const pages::PageRun ran = RunScript(page.request, script.Get(), page.setup, sessionId, page.withSession);
        lastSessionId = ran.response.sessionId;
        return {ran.hr, ran.Body(), ran.source, ran.description};
    }
    void Prepare(IDispatch* vesk) override {
        EXPECT_HR(S_OK, Put(vesk, L"TemplateFolder", VarStr((root / "t").wstring().c_str())));
        EXPECT_HR(S_OK, Put(vesk, L"TemplateExt", VarStr(L".html")));
        EXPECT_HR(S_OK, Put(vesk, L"DefaultTemplate", VarStr(Wide(pageName).c_str())));
        EXPECT_HR(S_OK, Put(vesk, L"Name", VarStr(L"marks")));
    }

    int pageCount = 0;
    std::string pageName;  // the template of the page running now
    std::wstring lastSessionId;
};

// A successful page's body, or the failure's description; a failure's source is "Vesk".
struct Expect {
    HRESULT hr;
    std::wstring result;
};
void Check(const Expect& expected, const PageRun& run) {
    EXPECT_HR(expected.hr, run.hr);
    if (SUCCEEDED(expected.hr)) {
        EXPECT_EQ(expected.result, run.body) << Utf8(run.description);
    } else {
        EXPECT_EQ(expected.result, run.description);
        if (!expected.result.empty()) {
            EXPECT_EQ(L"Vesk", run.source);
        }
    }
}

// ---- Values from every store -------------------------------------------------------------

// The host's encoder writes every character past ASCII as a numeric reference, the library's
// only the four markup characters: "é<" shows which one ran.
TEST_F(MarkContract, EachMarkTypeWritesItsStoreEncodedOrRaw) {
    site->application.SetValue(L"app", VarStr(L"é<"));
    const auto stores = [&](IDispatch* vesk) {
        CComPtr<ScriptObject> walked = ScriptObject::Create();
        walked->AddMethod(L"Item", [](ScriptObject::Args args, VARIANT* result) {
            CComVariant item = VarStr((L"item " + Text(*Arg(args, 0))).c_str());
            return item.Detach(result), S_OK;
        });
        walked->SetDefaultMember(L"Item");
        HRESULT hr = SetView(vesk, L"v", VarStr(L"x&y"));
        if (SUCCEEDED(hr)) hr = SetView(vesk, L"n", VarI4(42));
        if (SUCCEEDED(hr)) hr = SetView(vesk, L"list", StringArray({L"zero", L"one<"}));
        if (SUCCEEDED(hr)) hr = SetView(vesk, L"dict", VarDisp(walked.Get()));
        if (SUCCEEDED(hr)) hr = PutInto(vesk, L"Bag", L"b", VarStr(L"p\"q"));
        if (SUCCEEDED(hr)) hr = current->session->put_Value(CComBSTR(L"s"), VarStr(L"s>1"));
        return hr;
    };
    const auto script = [](ScriptObject& s) {
        s.SetProperty(L"Title", VarStr(L"a<b"));
        // A function answers a property read with DISP_E_MEMBERNOTFOUND, as script engines do.
        s.AddMethod(L"Join", [](ScriptObject::Args args, VARIANT* result) {
            if (args.size() != 2) return DISP_E_MEMBERNOTFOUND;
            const VARIANT* array = Arg(args, 1);
            if (Arg(args, 0)->vt != VT_DISPATCH || array->vt != (VT_ARRAY | VT_VARIANT)) return E_INVALIDARG;
            std::wstring joined;
            for (LONG i = 0; i < LONG(array->parray->rgsabound[0].cElements); ++i) {
                CComVariant element;
                SafeArrayGetElement(array->parray, &i, &element);
                joined += (element.vt == VT_BSTR ? Text(element) : L"?") + L"<";
            }
            CComVariant text = VarStr(joined.c_str());
            return text.Detach(result), S_OK;
        });
    };
    struct Row { const char* tmpl; const wchar_t* body; };
    const Row rows[] = {
        {"(#;Title#)|(#:Title#)", L"a&lt;b|a<b"},
        {"(#*v#)|(#/v#)|(#/n#)", L"x&amp;y|x&y|42"},
        {"(#=s#)|(#~s#)", L"s&gt;1|s>1"},
        {"(#+app#)|(#-app#)", L"&#233;&lt;|é<"},
        {"(#&b#)|(#|b#)", L"p&quot;q|p\"q"},
        {"[(#Title#)]", L"[]"},
        {"(#;Join|a#|#b#)|(#:Join#)", L"a&lt;b&lt;|"},
        {"(#/list|1#)|(#/dict|k#)|(#*missing#)", L"one<|item k|"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tmpl);
        Check({S_OK, row.body}, Run({.tmpl = row.tmpl, .script = script, .start = stores}));
        Check({S_OK, row.body}, Run({.tmpl = row.tmpl, .script = script, .start = stores, .setup = [](IDispatch* vesk) {
                                         EXPECT_HR(S_OK, Put(vesk, L"CacheTemplate", VarBool(false)));
                                     }}));
    }
}

TEST_F(MarkContract, RequestMarksTakeTheFirstCollectionThatHasValues) {
    const auto form = [](std::string query, std::string body) {
        return PageRequest::Post("/p.asp?" + query, "application/x-www-form-urlencoded", std::move(body));
    };
    struct Row { const char* title; PageRequest request; const char* tmpl; const wchar_t* body; };
    const Row rows[] = {
        {"a server variable before the query string", PageRequest::Get("/p.asp?REQUEST_METHOD=q"), "(#$REQUEST_METHOD#)", L"GET"},
        {"the query string before the form", form("k=q%3C", "k=f"), "(#$k#)|(#\\k#)", L"q&lt;|q<"},
        {"the form when the query string has none", form("", "k=f"), "(#$k#)", L"f"},
        {"a cookie after the form", PageRequest::Get("/p.asp").Header("Cookie", "k=c%26"), "(#$k#)", L"c&amp;"},
        {"a form value before a cookie", form("", "k=f").Header("Cookie", "k=c"), "(#$k#)", L"f"},
        {"nowhere: empty", PageRequest::Get("/p.asp"), "[(#$k#)]", L"[]"},
        {"all values, or one by number", PageRequest::Get("/p.asp?k=1&k=2"), "(#$k#)|(#$k|2#)", L"1, 2|2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        Check({S_OK, row.body}, Run({.tmpl = row.tmpl, .request = row.request}));
    }
}

// ---- Command, process and child-template marks -------------------------------------------

TEST_F(MarkContract, CommandMarksWriteTheCommandKey) {
    const auto named = [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"CommandName", VarStr(L"do&"))); };
    Check({S_OK, L"c|c"}, Run({.tmpl = "(#!#)|(#?#)"}));
    Check({S_OK, L"do&amp;|do&"}, Run({.tmpl = "(#!#)|(#?#)", .setup = named}));

    // Not backable: the session's one-time key, renewed by the command step before the draw.
    // A request sent with the key drawn runs its command; the key before it runs nothing.
    const auto oneTime = [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"Backable", VarBool(false))); };
    int saved = 0;
    const auto save = [&](ScriptObject& s) {
        s.AddMethod(L"OnCommand_save", [&](ScriptObject::Args, VARIANT*) { return ++saved, S_OK; });
    };
    PageRun first = Run({.tmpl = "(#!#)", .script = save, .setup = oneTime});
    ASSERT_HR(S_OK, first.hr) << Utf8(first.description);
    EXPECT_TRUE(std::regex_match(Utf8(first.body), std::regex("[A-Z]{6}1"))) << Utf8(first.body);
    const std::wstring session = lastSessionId;
    PageRun second = Run({.tmpl = "(#?#)", .request = PageRequest::Get("/p.asp?" + Utf8(first.body) + "=save"),
                          .script = save, .setup = oneTime}, session);
    EXPECT_EQ(1, saved);
    EXPECT_NE(first.body, second.body);
    Run({.tmpl = "", .request = PageRequest::Get("/p.asp?" + Utf8(first.body) + "=save"), .script = save, .setup = oneTime},
        session);
    EXPECT_EQ(1, saved) << "an old key carries no command";

    // A named command mark writes what ToCommand builds for it, encoded and raw; with the
    // one-time key, the session's key names the command.
    Check({S_OK, L"?c=save&amp;|?c=save&"}, Run({.tmpl = "(#!save#)|(#?save#)"}));
    PageRun keyed = Run({.tmpl = "(#?#)/(#?save#)", .setup = oneTime});
    ASSERT_HR(S_OK, keyed.hr) << Utf8(keyed.description);
    const std::string key = Utf8(keyed.body).substr(0, Utf8(keyed.body).find('/'));
    EXPECT_EQ(key + "/?" + key + "=save&", Utf8(keyed.body));
}

TEST_F(MarkContract, ProcessMarksCallTheScriptOrABuiltInDrawingEvent) {
    const auto script = [](ScriptObject& s) {
        s.AddMethod(L"OnDraw_Header", [](ScriptObject::Args args, VARIANT* result) {
            const VARIANT* array = Arg(args, 1);
            if (Arg(args, 0)->vt != VT_DISPATCH || array->vt != (VT_ARRAY | VT_VARIANT)) return E_INVALIDARG;
            CComVariant count = VarI4(LONG(array->parray->rgsabound[0].cElements));
            HRESULT hr = LateBound(Arg(args, 0)->pdispVal).Call(L"Write", VarStr(Text(count).c_str()), VarBool(false)).hr;
            result->vt = VT_BSTR;  // what the function returns is not written
            result->bstrVal = SysAllocString(L"unwritten");
            return hr;
        });
        s.AddMethod(L"OnDraw__Message", [](ScriptObject::Args args, VARIANT*) {
            return LateBound(Arg(args, 0)->pdispVal).Call(L"Write", VarStr(L"mine"), VarBool(false)).hr;
        });
        s.AddMethod(L"OnDraw_Broken", [](ScriptObject::Args, VARIANT*) { return kScriptError; });
    };
    struct Row { const char* tmpl; Expect expected; };
    const Row rows[] = {
        {"[(#%Header|a#|#b#)(#%Header#)]", {S_OK, L"[20]"}},
        {"(#%_Message|x#)", {S_OK, L"mine"}},
        {"(#%_input|a#|#b#)", {E_FAIL, L"Event 'OnDraw__input' not found."}},
        {"(#%Nothing#)", {E_FAIL, L"Event 'OnDraw_Nothing' not found."}},
        {"(#%Broken#)", {kScriptError, L"[(#%Broken#)]"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tmpl);
        Check(row.expected, Run({.tmpl = row.tmpl, .script = script}));
    }
}

TEST_F(MarkContract, ChildTemplatesAreFoundInTheIncludingTemplatesFolder) {
    Write("sub/child.html", "<c>(#`leaf#)</c>");
    Write("sub/leaf.html", "leaf(#/v#)");
    Write("leaf.html", "wrong leaf");
    Write("self.html", "s(#`self#)");
    Write("ping.html", "(#`pong#)");
    Write("pong.html", "(#`ping#)");
    const auto include = [](IDispatch* vesk) {
        HRESULT hr = SetView(vesk, L"v", VarStr(L"!"));
        if (SUCCEEDED(hr)) hr = PutInto(vesk, L"Include", L"part", VarStr(L"sub/child"));
        if (SUCCEEDED(hr)) hr = PutInto(vesk, L"Include", L"number", VarI4(3));
        return hr;
    };
    // Templates nest 32 levels deep at most, the page itself included: a page that includes
    // a2 reaches a32 at level 32; one that includes b2 would reach b33 at level 33.
    for (int level = 2; level <= 32; ++level) {
        const std::string next = std::to_string(level + 1);
        Write("a" + std::to_string(level) + ".html", level == 32 ? "deep" : "(#`a" + next + "#)");
        Write("b" + std::to_string(level) + ".html", "(#`b" + next + "#)");
    }
    Write("b33.html", "too deep");
    const std::wstring tooDeep = L"Templates include one another too deeply (more than 32 levels).";
    struct Row { const char* tmpl; Expect expected; };
    const Row rows[] = {
        {"(#`sub/child#)(#`/sub\\child#)", {S_OK, L"<c>leaf!</c><c>leaf!</c>"}},
        {"(#@part#)|(#@number#)|(#@none#)", {S_OK, L"<c>leaf!</c>||"}},
        {"(#`a2#)", {S_OK, L"deep"}},
        {"(#`b2#)", {E_FAIL, tooDeep + L"[b33]"}},
        {"(#`self#)", {E_FAIL, tooDeep + L"[self]"}},
        {"(#`ping#)", {E_FAIL, tooDeep + L"[pong]"}},
        {"(#`missing#)", {E_FAIL, L"Template file path is invalid.[" + (root / "t").wstring() + L"\\missing.html]"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tmpl);
        Check(row.expected, Run({.tmpl = row.tmpl, .start = include}));
    }
}

// ---- Conversion and failures ---------------------------------------------------------------

TEST_F(MarkContract, FailuresNameTheirMarkAndNullIsEmptyWritesNothing) {
    CComPtr<ScriptObject> plain = ScriptObject::Create();  // an object with no default value
    const auto values = [&](IDispatch* vesk) {
        HRESULT hr = SetView(vesk, L"null", VarNull());
        if (SUCCEEDED(hr)) hr = SetView(vesk, L"object", VarDisp(plain.Get()));
        if (SUCCEEDED(hr)) hr = SetView(vesk, L"list", StringArray({L"a"}));
        if (SUCCEEDED(hr)) hr = SetView(vesk, L"text", VarStr(L"t"));
        return hr;
    };
    const std::function<void(IDispatch*)> nullIsEmpty = [](IDispatch* vesk) { EXPECT_HR(S_OK, Put(vesk, L"NullIsEmpty", VarBool(true))); };
    struct Row { const char* tmpl; bool bNullIsEmpty; bool withSession; Expect expected; };
    const Row rows[] = {
        {"<(#;Title#)>", false, true, {DISP_E_UNKNOWNNAME, L"[(#;Title#)]"}},
        {"<(#*null#)>", false, true, {DISP_E_TYPEMISMATCH, L"[(#*null#)]"}},
        {"<(#*null#)(#/object#)>", true, true, {S_OK, L"<>"}},
        {"<(#/list|1#)>", true, true, {DISP_E_BADINDEX, L"[(#/list#)]"}},
        {"<(#/text|1#)>", true, true, {DISP_E_TYPEMISMATCH, L"[(#/text#)]"}},
        {"<(#=s#)>", false, false, {E_FAIL, L""}},
        {"<(#&b#)>", false, false, {E_FAIL, L"Could not get Bag. Please specify property 'Name'."}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tmpl);
        PageRun run = Run({.tmpl = row.tmpl, .start = values, .setup = row.bNullIsEmpty ? nullIsEmpty : nullptr,
                           .withSession = row.withSession});
        Check(row.expected, run);
        // What came before the failing mark stays written, nothing after it is.
        if (FAILED(row.expected.hr)) {
            EXPECT_EQ(L"<", run.body);
        }
    }
}

// Drawn outside a page process (before it starts, or after it ends), the marks and events
// that need View or Include fail cleanly instead of calling through a missing object.
TEST_F(MarkContract, MarksNeedingTheProcessFailOutsideIt) {
    struct Row { const wchar_t* tmpl; std::wstring description; };
    const std::wstring noView = L"View is not available outside a page process.";
    const Row rows[] = {
        {L"(#*v#)", noView + L"[(#*v#)]"},
        {L"(#@part#)", L"Include is not available outside a page process.[(#@part#)]"},
        {L"(#%_Input|a#|#b#)", noView + L"[OnDraw__Input]"},
        {L"(#%_InputV_Default|a#|#b#)", noView + L"[OnDraw__InputV_Default]"},
        {L"(#%_InputDefaultV|a#|#b#|#c#|#d#)", noView + L"[OnDraw__InputDefaultV]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.tmpl));
        for (const bool after : {false, true}) {
            HRESULT hr = S_OK;
            std::wstring description;
            const auto draw = [&](IDispatch* vesk) {
                SetErrorInfo(0, nullptr);
                hr = LateBound(vesk).Call(L"ProcessTemplate", VarStr(row.tmpl)).hr;
                CComPtr<IErrorInfo> info;
                CComBSTR text;
                if (GetErrorInfo(0, info.Receive()) == S_OK && info) info->GetDescription(text.Receive());
                description.assign(text.c_str(), text.Length());
            };
            const auto processThenDraw = [&](IDispatch* vesk) {
                EXPECT_HR(S_OK, LateBound(vesk).Call(L"Process").hr);
                draw(vesk);
            };
            Run({.tmpl = "", .setup = after ? std::function<void(IDispatch*)>(processThenDraw) : draw});
            EXPECT_HR(E_FAIL, hr);
            EXPECT_EQ(row.description, description);
        }
    }
}

// ---- Input drawing -------------------------------------------------------------------------

constexpr char kWorkedExample[] =
    "(#%_Input|color#|#red#|#<option value=\"(#/_Input_Value#)\"(#%_Input_Default|#|# selected#)>Red</option>#)";

TEST_F(MarkContract, InputEventsDrawFieldsFromTheirFamilysSource) {
    const auto stores = [](IDispatch* vesk) {
        HRESULT hr = PutInto(vesk, L"Bag", L"color", VarStr(L"red"));
        if (SUCCEEDED(hr)) hr = PutInto(vesk, L"Bag", L"many", StringArray({L"a", L"b"}));
        if (SUCCEEDED(hr)) hr = PutInto(vesk, L"Bag", L"null", VarNull());
        if (SUCCEEDED(hr)) hr = SetView(vesk, L"f", VarStr(L"vv"));
        return hr;
    };
    const auto script = [](ScriptObject& s) {
        s.SetProperty(L"P", VarStr(L"pp"));
        s.AddMethod(L"F", [](ScriptObject::Args args, VARIANT*) { return args.empty() ? DISP_E_MEMBERNOTFOUND : S_OK; });
    };
    const auto own = [&](IDispatch* vesk) {
        HRESULT hr = stores(vesk);
        return SUCCEEDED(hr) ? SetView(vesk, L"_Input_Value", VarStr(L"mine")) : hr;
    };
    const auto blue = [&](IDispatch* vesk) {
        HRESULT hr = stores(vesk);
        return SUCCEEDED(hr) ? PutInto(vesk, L"Bag", L"color", VarStr(L"blue")) : hr;
    };
    struct Row { const char* title; std::string tmpl; std::function<HRESULT(IDispatch*)> start; Expect expected; };
    const Row rows[] = {
        {"the worked example", kWorkedExample, stores, {S_OK, L"<option value=\"red\" selected>Red</option>"}},
        {"the worked example, another value", kWorkedExample, blue, {S_OK, L"<option value=\"red\">Red</option>"}},
        {"the keys are gone afterwards", "(#%_Input|color#|#(#/_Input_Value#)#)[(#/_Input_Value#)(#/_Input_Name#)]",
         stores, {S_OK, L"red[]"}},
        {"numbered per name", "(#%_Input|n#|##|#(#/_Input_Value#)#)(#%_Input|n#|##|#(#/_Input_Value#)#)"
                              "(#%_Input|m#|##|#(#/_Input_Value#)#)(#%_Input|n#|##|#(#/_Input_Value#)#)",
         stores, {S_OK, L"1213"}},
        {"the script's own value wins once", "(#%_Input|color#|#(#/_Input_Value#)#)|(#%_Input|color#|#(#/_Input_Value#)#)",
         own, {S_OK, L"mine|red"}},
        {"choose by value", "(#%_InputDefault|color#|#red#|#yes#|#no#)(#%_InputDefault|color#|#Red#|#yes#|#no#)",
         stores, {S_OK, L"yesno"}},
        {"any element of an array", "(#%_InputDefault|many#|#b#|#yes#|#no#)(#%_InputDefault|many#|#c#|#yes#|#no#)",
         stores, {S_OK, L"yesno"}},
        {"a value without a text writes nothing", "[(#%_InputDefault|null#|#x#|#yes#|#no#)]", stores, {S_OK, L"[]"}},
        {"the view family", "(#%_InputV|f#|#(#/_InputV_Value#)(#%_InputV_Default|no#|#yes#)#)"
                            "(#%_InputDefaultV|f#|#vv#|#=#|#!#)", stores, {S_OK, L"vvyes="}},
        {"the property family", "(#%_InputP|P#|#pp#|#(#/_InputP_Value#)(#%_InputP_Default|no#|#yes#)#)"
                                "(#%_InputDefaultP|P#|#p#|#=#|#!#)", stores, {S_OK, L"ppyes!"}},
        {"a script function is no property", "(#%_InputP|F#|#x#)", stores, {DISP_E_MEMBERNOTFOUND, L"[(#%_InputP#)]"}},
        {"a name no script has", "(#%_InputDefaultP|G#|#x#|#y#|#z#)", stores, {DISP_E_UNKNOWNNAME, L"[(#%_InputDefaultP#)]"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        Check(row.expected, Run({.tmpl = row.tmpl, .script = script, .start = row.start}));
    }
}

// A format that fails takes its keys out of View all the same: left there, the next field
// would take the stale value for one the script put there itself.
TEST_F(MarkContract, AFailedFieldLeavesNoKeysInView) {
    std::wstring after = L"<not drawn>";
    const auto start = [&](IDispatch* vesk) {
        const HRESULT failed = LateBound(vesk).Call(L"ProcessTemplate", VarStr(L"(#%_Input|a#|#1#|#(#;Missing#)#)")).hr;
        EXPECT_HR(DISP_E_UNKNOWNNAME, failed);
        CallResult view = LateBound(vesk).InvokeNamed(L"View", DISPATCH_PROPERTYGET, {});
        if (view.value.vt != VT_DISPATCH) return E_UNEXPECTED;
        const LateBound dictionary(view.value.pdispVal);
        after = Text(dictionary.Call(L"Exists", VarStr(L"_Input_Name")).value) + L"|" +
                Text(dictionary.Call(L"Exists", VarStr(L"_Input_Value")).value);
        return S_OK;
    };
    Check({S_OK, L"2"}, Run({.tmpl = "(#%_Input|b#|#(#/_Input_Value#)#)", .start = [&](IDispatch* vesk) {
                                 HRESULT hr = start(vesk);
                                 return SUCCEEDED(hr) ? PutInto(vesk, L"Bag", L"b", VarStr(L"2")) : hr;
                             }}));
    EXPECT_EQ(L"False|False", after);
}

TEST_F(MarkContract, WrongParameterCountsFailWithTheirEventsMessage) {
    struct Row { const char* tmpl; const wchar_t* message; };
    const Row rows[] = {
        {"(#%_InputDefault|a#|#b#|#c#)", L"Invalid OnDraw__InputDefault param length."},
        {"(#%_InputDefaultV|a#|#b#|#c#|#d#|#e#)", L"Invalid OnDraw__InputDefaultV param length."},
        {"(#%_InputDefaultP#)", L"Invalid OnDraw__InputDefaultP param length."},
        {"(#%_Input|a#)", L"Invalid OnDraw__Input param length."},
        {"(#%_InputV|a#|#b#|#c#|#d#)", L"Invalid OnDraw__InputV param length."},
        {"(#%_InputP#)", L"Invalid OnDraw__InputP param length."},
        {"(#%_Input_Default|a#)", L"Invalid OnDraw__Input_Default param length."},
        {"(#%_InputV_Default|a#|#b#|#c#)", L"Invalid OnDraw__InputV_Default param length."},
        {"(#%_InputP_Default#)", L"Invalid OnDraw__InputP_Default param length."},
        {"(#%_Message#)", L"Invalid OnDraw__Message param length."},
        {"(#%_Message|a#|#b#|#c#|#d#)", L"Invalid OnDraw__Message param length."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tmpl);
        PageRun run = Run({.tmpl = std::string("<") + row.tmpl + ">"});
        Check({E_FAIL, row.message}, run);
        EXPECT_EQ(L"<", run.body) << "nothing is written";
    }
}

// ---- Message drawing -----------------------------------------------------------------------

TEST_F(MarkContract, MessageEventsDrawTheMessagesOfAKey) {
    const auto messages = [](IDispatch* vesk) {
        const LateBound page(vesk);
        HRESULT hr = page.Call(L"AddMessage", VarStr(L"m1"), VarStr(L"")).hr;
        if (SUCCEEDED(hr)) hr = page.Call(L"AddMessage", VarStr(L"m2 (#/v#)"), VarStr(L"")).hr;
        if (SUCCEEDED(hr)) hr = page.Call(L"AddMessage", VarI4(2), VarStr(L"n")).hr;
        if (SUCCEEDED(hr)) hr = page.Call(L"AddMessage", VarI4(4), VarStr(L"far")).hr;
        if (SUCCEEDED(hr)) hr = SetView(vesk, L"v", VarStr(L"<b>"));
        return hr;
    };
    // A format that adds a message under the key it draws: the new one is not drawn this time.
    const auto script = [](ScriptObject& s) {
        s.AddMethod(L"OnDraw_More", [](ScriptObject::Args args, VARIANT*) {
            return LateBound(Arg(args, 0)->pdispVal).Call(L"AddMessage", VarStr(L"more"), VarStr(L"")).hr;
        });
    };
    struct Row { const char* tmpl; Expect expected; };
    const Row rows[] = {
        {"(#%_Message|<li>(#%_Message_Text#)</li>#)", {S_OK, L"<li>m1</li><li>m2 <b></li>"}},
        {"(#%_Message|n#|#(#%_Message_Text|one#|#two#|#three#)#)", {S_OK, L"two"}},
        {"[(#%_Message|none#|#x#)][(#%_Message|none#|#x#|#no messages#)]", {S_OK, L"[][no messages]"}},
        {"(#%_Message|(#%More#)x#)|(#%_Message|y#)", {S_OK, L"xx|yyyy"}},
        // A message list drawn inside a message's format gives the outer message back after it.
        {"(#%_Message|n#|#(#%_Message|x#)(#%_Message_Text|a#|#b#)#)", {S_OK, L"xxb"}},
        {"(#%_Message|far#|#(#%_Message_Text|1#|#2#|#3#)#)", {E_FAIL, L"Invalid OnDraw__Message_Text param length."}},
        {"(#%_Message_Text|a#)", {E_FAIL, L""}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tmpl);
        Check(row.expected, Run({.tmpl = row.tmpl, .script = script, .start = messages}));
    }
}

// ---- Write ---------------------------------------------------------------------------------

TEST_F(MarkContract, WriteEncodesWithTheHostOrTheLibrary) {
    struct Row { const wchar_t* text; bool encode; bool selfEncode; Expect expected; };
    const Row rows[] = {
        {L"é<&", true, false, {S_OK, L"&#233;&lt;&amp;"}},
        {L"é<&", true, true, {S_OK, L"é&lt;&amp;"}},
        {L"é<&", false, false, {S_OK, L"é<&"}},
        {L"", true, false, {S_OK, L""}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.text));
        HRESULT hr = E_UNEXPECTED;
        PageRun run = Run({.tmpl = "", .start = [&](IDispatch* vesk) {
                               EXPECT_HR(S_OK, Put(vesk, L"SelfEncode", VarBool(row.selfEncode)));
                               return hr = LateBound(vesk).Call(L"Write", VarStr(row.text), VarBool(row.encode)).hr;
                           }});
        EXPECT_HR(row.expected.hr, hr);
        Check(row.expected, run);
    }
    // An output no sink takes leaves none selected: nothing is written, and the call says so.
    CountingDispatch stranger;
    PageRun none = Run({.tmpl = "", .start = [&](IDispatch* vesk) {
                            EXPECT_HR(E_INVALIDARG, LateBound(vesk).InvokeNamed(L"Output", DISPATCH_PROPERTYPUTREF,
                                                                              ArgList(VarDisp(&stranger)), false).hr);
                            return LateBound(vesk).Call(L"Write", VarStr(L"lost"), VarBool(true)).hr;
                        }});
    Check({E_FAIL, L"Nothing to write to: no output is selected."}, none);
    EXPECT_EQ(L"", none.body);
    EXPECT_EQ(1u, stranger.RefCount());
}

}  // namespace
}  // namespace vesk_test
