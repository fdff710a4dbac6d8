// Script events: binding a name across scripts, calling the member, and the event call.
#include <gtest/gtest.h>

#include "controller/event_handler.h"
#include "support/test_support.h"

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
class CrowdingScript final : public DispatchBase {
public:
    CrowdingScript(CEventHandler& handler, IDispatch* extra) : m_handler(handler), m_extra(extra) {}
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
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

}  // namespace
}  // namespace vesk_test
