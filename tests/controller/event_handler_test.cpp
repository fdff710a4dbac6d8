// Script events: binding a name across scripts, calling the member, and the event call.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controller/event_handler.h"
#include "controller_fixture.h"
#include "host/automation.h"
#include "support/test_support.h"
#include "template/templator_concept.h"

namespace vesk_test {
namespace {

ScriptObject::Method Returns(std::function<CComVariant()> make) {
    return [make](ScriptObject::Args, VARIANT* result) { return make().Detach(result), S_OK; };
}

TEST(EventHandler, LatestScriptsMemberIsFiredGotAndPut) {
    CountingDispatch owner;
    auto older = ScriptObject::Create(), newer = ScriptObject::Create();
    older->AddMethod(L"Change", Returns([] { return VarStr(L"older"); }));
    newer->SetProperty(L"Title", VarStr(L"old")).AddMethod(L"Change", [&](ScriptObject::Args args, VARIANT* result) {
        if (args.size() != 2 || args[0]->vt != VT_DISPATCH || args[0]->pdispVal != &owner) return DISP_E_BADPARAMCOUNT;
        if (args[1]->vt != (VT_BYREF | VT_VARIANT)) return DISP_E_TYPEMISMATCH;
        VariantClear(args[1]->pvarVal);
        VarStr(L"changed").Detach(args[1]->pvarVal);
        return VarI4(7).Detach(result), S_OK;
    });
    CEventHandler handler;
    for (IDispatch* script : {older.Get(), static_cast<ScriptObject*>(nullptr), newer.Get()}) handler.Add(script);

    CEvent change, title;
    ASSERT_HR(S_OK, handler.GetEvent(L"change", change));
    CComVariant value = VarStr(L"before");
    ASSERT_HR(S_OK, change.Fire(&owner, &value));
    EXPECT_BSTR_EQ(L"changed", value.bstrVal);
    EXPECT_EQ(7, change.m_vResult.lVal);
    EXPECT_EQ(0, older->CallCount(L"Change"));
    EXPECT_EQ(1u, owner.RefCount());
    EXPECT_HR(DISP_E_TYPEMISMATCH, change.Fire(&owner, nullptr));  // no value: the second argument is Empty

    ASSERT_HR(S_OK, handler.GetEvent(L"Title", title));
    value = VarStr(L"new");
    ASSERT_HR(S_OK, title.Put(&value));
    ASSERT_HR(S_OK, title.Get());
    EXPECT_BSTR_EQ(L"new", title.m_vResult.bstrVal);
}

// A script that, asked for a name or for its default member, hands the handler a hundred more
// scripts (as `Script = obj` from inside the call does) and then knows nothing. Lives on the stack.
class CrowdingScript final : public automation::GCountedObject<automation::GNoTypeInfo<IDispatch>> {
public:
    CrowdingScript(CEventHandler& handler, IDispatch* extra) : m_handler(handler), m_extra(extra) {}
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return Crowd(DISP_E_UNKNOWNNAME); }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return Crowd(DISP_E_MEMBERNOTFOUND);
    }

private:
    HRESULT Crowd(HRESULT hr) {
        for (int i = 0; i < 100; ++i) m_handler.Add(m_extra);
        return hr;
    }
    CEventHandler& m_handler;
    IDispatch* m_extra;
};

// Both walks go on past a script that grows the list under them, and ask only the scripts that
// were there when they began.
TEST(EventHandler, ScriptsAddedDuringALookupAreNotAskedByIt) {
    auto answering = ScriptObject::Create(), extra = ScriptObject::Create();
    answering->SetProperty(L"Title", VarStr(L"answer")).AddMethod(L"Item", Returns([] { return VarStr(L"item"); }));
    extra->SetProperty(L"Title", VarStr(L"extra")).AddMethod(L"Item", Returns([] { return VarStr(L"extra"); }));
    answering->SetDefaultMember(L"Item");
    extra->SetDefaultMember(L"Item");
    CEventHandler handler;
    CrowdingScript crowding(handler, extra.Get());
    handler.Add(answering.Get());
    handler.Add(&crowding);

    CEvent title;
    ASSERT_HR(S_OK, handler.GetEvent(L"Title", title));
    EXPECT_EQ(answering.Get(), title.m_spDispatch.Get());
    handler.m_vScripts.resize(2);
    CComVariant value;
    ASSERT_HR(S_OK, handler.GetValue(L"Name", &value));
    EXPECT_BSTR_EQ(L"item", value.bstrVal);
    EXPECT_EQ(102u, handler.m_vScripts.size());
    EXPECT_EQ(0, extra->CallCount(L"Title") + extra->CallCount(L"Item"));
}

// Writes down every call it receives, a line each: a lookup's name and locale; a call's member,
// locale, flags, arguments as DISPPARAMS holds them (last first), named arguments and the
// slots that came along. Every name is DISPID 7; a call to `missing` is not found.
class RecordingScript final : public automation::GCountedObject<automation::GNoTypeInfo<IDispatch>> {
public:
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID lcid, DISPID* ids) override {
        calls.push_back(L"names " + std::wstring(names[0]) + L" lcid " + std::to_wstring(lcid));
        *ids = 7;
        return S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* dp, VARIANT* result, EXCEPINFO* excep,
                   UINT* argErr) override {
        std::wstring line = L"invoke " + std::to_wstring(id) + L" lcid " + std::to_wstring(lcid) + L" flags " +
                            std::to_wstring(flags) + L" args";
        for (UINT i = 0; i < dp->cArgs; ++i) line += L" " + Show(dp->rgvarg[i]);
        line += L" named";
        for (UINT i = 0; i < dp->cNamedArgs; ++i) line += L" " + std::to_wstring(dp->rgdispidNamedArgs[i]);
        if (result) line += L" result";
        if (excep || argErr) line += L" error slots";
        calls.push_back(line);
        if (id == missing) return DISP_E_MEMBERNOTFOUND;
        if (result) VarStr(L"done").Detach(result);
        return S_OK;
    }

    std::vector<std::wstring> calls;
    DISPID missing = DISPID_UNKNOWN;
    const IDispatch* owner = nullptr;
    const VARIANT* value = nullptr;

private:
    std::wstring Show(const VARIANT& v) const {
        if (v.vt == VT_EMPTY) return L"empty";
        if (v.vt == VT_BSTR) return L"'" + std::wstring(View(v.bstrVal)) + L"'";
        if (v.vt == VT_DISPATCH) return v.pdispVal == owner ? L"owner" : L"object";
        if (v.vt == (VT_BYREF | VT_VARIANT)) return v.pvarVal == value ? L"&value" : L"&other";
        return L"vt " + std::to_wstring(v.vt);
    }
};

// One script behind a handler, an owner and a caller's value, for a call to act on.
struct Wire {
    Wire() {
        script.owner = &owner;
        script.value = &value;
        handler.Add(&script);
    }
    CountingDispatch owner;
    RecordingScript script;
    CComVariant value = VarStr(L"text");
    CEventHandler handler;
    CEvent event;
};

struct WireCase { const char* title; std::function<HRESULT(Wire&)> act; std::vector<std::wstring> calls; };

// Walks into the script as a mark's parameter does.
HRESULT WalkInto(Wire& w, const wchar_t* name) {
    CComVariant object = VarDisp(&w.script);
    CMarkData mark;
    *mark.AddParam() << name;
    return CTemplatorConcept::ChangeToBSTR(&object, &mark.m_vParams, false);
}

// Locale 2048 is the system default; flags 1 a method call, 2 a get, 3 either, 4 a put.
const WireCase kWireCases[] = {
    {"fire with a value", [](Wire& w) {
         return SUCCEEDED(w.handler.GetEvent(L"OnSave", w.event)) ? w.event.Fire(&w.owner, &w.value) : E_FAIL;
     }, {L"names OnSave lcid 2048", L"invoke 7 lcid 2048 flags 1 args &value owner named result"}},
    {"fire without one", [](Wire& w) {
         return SUCCEEDED(w.handler.GetEvent(L"OnSave", w.event)) ? w.event.Fire(&w.owner, nullptr) : E_FAIL;
     }, {L"names OnSave lcid 2048", L"invoke 7 lcid 2048 flags 1 args empty owner named result"}},
    {"get", [](Wire& w) {
         return SUCCEEDED(w.handler.GetEvent(L"Title", w.event)) ? w.event.Get() : E_FAIL;
     }, {L"names Title lcid 2048", L"invoke 7 lcid 2048 flags 2 args named result"}},
    {"put", [](Wire& w) {
         return SUCCEEDED(w.handler.GetEvent(L"Title", w.event)) ? w.event.Put(&w.value) : E_FAIL;
     }, {L"names Title lcid 2048", L"invoke 7 lcid 2048 flags 4 args 'text' named -3"}},
    {"default member", [](Wire& w) {
         CComVariant found;
         return w.handler.GetValue(L"Name", &found);
     }, {L"invoke 0 lcid 2048 flags 3 args 'Name' named result"}},
    {"event call", [](Wire& w) {
         bool go = false;
         return w.handler.CallEvent(&w.owner, L"On_Step", false, go);
     }, {L"names On_Step lcid 2048", L"invoke 7 lcid 2048 flags 1 args empty owner named result"}},
    // The template engine's walk: the default member with the key, else the member of that name.
    {"walk to an item", [](Wire& w) { return WalkInto(w, L"Name"); },
     {L"invoke 0 lcid 2048 flags 3 args 'Name' named result"}},
    {"walk to a member", [](Wire& w) {
         w.script.missing = DISPID_VALUE;
         return WalkInto(w, L"Title");
     }, {L"invoke 0 lcid 2048 flags 3 args 'Title' named result", L"names Title lcid 2048",
         L"invoke 7 lcid 2048 flags 3 args named result"}},
};

// What each late-bound call of the library sends a script; the caller's value and the owner's
// count are as they were afterwards.
// An object whose last release runs a step, as a script object's release may.
class CReleaseHook final : public automation::GObject<CReleaseHook, automation::GNoTypeInfo<IDispatch>> {
public:
    explicit CReleaseHook(std::function<void()> onLast) : m_onLast(std::move(onLast)) {}
    ~CReleaseHook() { m_onLast(); }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    std::function<void()> m_onLast;
};

TEST(EventHandler, AValueReplacedByALookupMayBeAssignedByItsOwnRelease) {
    auto script = ScriptObject::Create();
    script->AddMethod(L"Item", Returns([] { return VarStr(L"found"); })).SetDefaultMember(L"Item");
    CEventHandler handler;
    handler.Add(script.Get());
    CountingDispatch other;
    CComVariant value;
    CReleaseHook* hook = new CReleaseHook([&] { value.SetDispatch(&other); });
    value.SetDispatch(hook);
    hook->Release();  // the caller's variable holds the only reference
    ASSERT_HR(S_OK, handler.GetValue(L"name", &value));
    EXPECT_EQ(VT_DISPATCH, value.vt) << "what the release stored is kept, not overwritten and leaked";
    EXPECT_EQ(2u, other.RefCount());
    value.Reset();
    EXPECT_EQ(1u, other.RefCount());
}

TEST(EventHandler, CallsReachTheScriptAsSent) {
    for (const WireCase& c : kWireCases) {
        SCOPED_TRACE(c.title);
        Wire w;
        EXPECT_HR(S_OK, c.act(w));
        EXPECT_EQ(c.calls, w.script.calls);
        EXPECT_BSTR_EQ(L"text", w.value.bstrVal);
        EXPECT_EQ(1u, w.owner.RefCount());
    }
}

// The script's function (null: it defines none), the default, the result and the flag afterwards;
// the flag starts the other way, and a failure leaves it so.
struct EventCallCase { const char* title; ScriptObject::Method function; bool defaultFlag; HRESULT hr; bool expected; };

const EventCallCase kEventCalls[] = {
    {"undefined, default true", nullptr, true, S_OK, true},
    {"undefined, default false", nullptr, false, S_OK, false},
    {"returns nothing", Returns([] { return CComVariant(); }), false, S_OK, true},
    {"returns True", Returns([] { return VarBool(true); }), false, S_OK, true},
    {"returns False", Returns([] { return VarBool(false); }), true, S_OK, false},
    {"returns a Boolean not -1", Returns([] { auto v = VarBool(true); v.boolVal = 1; return v; }), true, S_OK, false},
    {"returns 0", Returns([] { return VarI4(0); }), false, S_OK, true},
    {"returns a string", Returns([] { return VarStr(L"False"); }), false, S_OK, true},
    {"raises an error", [](ScriptObject::Args, VARIANT*) { return DISP_E_EXCEPTION; }, true, DISP_E_EXCEPTION, true},
};

TEST(EventCall, ReturnValueDecides) {
    for (const EventCallCase& c : kEventCalls) {
        SCOPED_TRACE(c.title);
        auto script = ScriptObject::Create();
        if (c.function) script->AddMethod(L"On_Step", c.function);
        CEventHandler handler;
        handler.Add(script.Get());
        bool flag = SUCCEEDED(c.hr) ? !c.expected : c.expected;
        EXPECT_HR(c.hr, handler.CallEvent(nullptr, L"On_Step", c.defaultFlag, flag));
        EXPECT_EQ(c.expected, flag);
    }
}

// Scripts oldest first: one that defines the name (null), or one whose lookup fails with the
// code. A lookup that fails for another reason than an unknown name does not stop the search;
// when no script defines the name, the failure of the last script asked (the first added) is
// the result. The event call passes such a failure on with the flag unchanged.
struct LookupCase { const char* title; std::vector<HRESULT> scripts; HRESULT hr; };

const LookupCase kLookups[] = {
    {"a failing newer script: the older one that defines the name wins", {S_OK, E_ACCESSDENIED}, S_OK},
    {"a failing older script: the newer one wins before it is asked", {E_ACCESSDENIED, S_OK}, S_OK},
    {"failure, then unknown: the failure", {E_ACCESSDENIED, DISP_E_UNKNOWNNAME}, E_ACCESSDENIED},
    {"unknown, then failure: unknown", {DISP_E_UNKNOWNNAME, E_ACCESSDENIED}, DISP_E_UNKNOWNNAME},
    {"two failures: the older one's", {E_OUTOFMEMORY, E_ACCESSDENIED, DISP_E_UNKNOWNNAME}, E_OUTOFMEMORY},
};

TEST(EventHandler, ALookupFailureIsReportedOnlyWhenNoScriptDefinesTheName) {
    for (const LookupCase& c : kLookups) {
        SCOPED_TRACE(c.title);
        auto defining = ScriptObject::Create();
        defining->AddMethod(L"On_Step", Returns([] { return VarBool(false); }));
        std::vector<std::unique_ptr<FailingLookupScript>> failing;
        CEventHandler handler;
        for (HRESULT script : c.scripts) {
            if (script == S_OK) {
                handler.Add(defining.Get());
                continue;
            }
            failing.push_back(std::make_unique<FailingLookupScript>(script));
            handler.Add(failing.back().get());
        }
        CEvent event;
        EXPECT_HR(c.hr, handler.GetEvent(L"On_Step", event));
        EXPECT_EQ(c.hr == S_OK ? defining.Get() : nullptr, event.m_spDispatch.Get());

        const HRESULT callHr = c.hr == DISP_E_UNKNOWNNAME ? S_OK : c.hr;
        for (bool start : {true, false}) {
            bool flag = start;
            EXPECT_HR(callHr, handler.CallEvent(nullptr, L"On_Step", true, flag));
            // Defined: its False; unknown: the default; a failure: as it was.
            const bool expected = c.hr == S_OK ? false : c.hr == DISP_E_UNKNOWNNAME ? true : start;
            EXPECT_EQ(expected, flag);
        }
        // Every failing script newer than the defining one (all, without one) was asked once a
        // call; the older ones never.
        const auto defines = std::find(c.scripts.begin(), c.scripts.end(), S_OK);
        size_t next = 0;
        for (auto it = c.scripts.begin(); it != c.scripts.end(); ++it) {
            if (*it == S_OK) continue;
            const bool asked = defines == c.scripts.end() || it > defines;
            EXPECT_EQ(asked ? 3 : 0, failing[next++]->lookups);
        }
    }
}

TEST(EventHandler, GetValueWithoutScriptsKnowsNoName) {
    CEventHandler handler;
    CComVariant value = VarStr(L"kept");
    EXPECT_HR(DISP_E_UNKNOWNNAME, handler.GetValue(L"Name", &value));
    EXPECT_BSTR_EQ(L"kept", value.bstrVal);
    handler.Add(nullptr);
    EXPECT_HR(DISP_E_UNKNOWNNAME, handler.GetValue(L"Name", &value)) << "a null script answers nothing";
    EXPECT_BSTR_EQ(L"kept", value.bstrVal);
}

}  // namespace
}  // namespace vesk_test
