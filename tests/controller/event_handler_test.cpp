// Script events: finding a member across scripts, calling it, and the go-on-or-stop rule.
#include <gtest/gtest.h>

#include "controller/event_handler.h"
#include "support/test_support.h"

namespace vesk_test {
namespace {

ScriptObject::Method Returns(std::function<CComVariant()> make) {
    return [make](ScriptObject::Args, VARIANT* result) {
        make().Detach(result);
        return S_OK;
    };
}

TEST(EventHandler, LatestScriptWins) {
    auto a = ScriptObject::Create();
    auto b = ScriptObject::Create();
    a->AddMethod(L"On_StartDraw", Returns([] { return VarStr(L"a"); }));
    b->AddMethod(L"On_StartDraw", Returns([] { return VarStr(L"b"); }));
    CEventHandler handler;
    handler.Add(a.Get());
    handler.Add(nullptr);  // a null script is kept and skipped
    handler.Add(b.Get());

    CEvent event;
    ASSERT_HR(S_OK, handler.GetEvent(L"on_startdraw", event));
    ASSERT_HR(S_OK, event.Fire(nullptr, nullptr));
    EXPECT_BSTR_EQ(L"b", event.m_vResult.bstrVal);
    EXPECT_EQ(0, a->CallCount(L"On_StartDraw"));

    CComPtr<IDispatch> last;
    ASSERT_HR(S_OK, handler.GetLast(last.Receive()));
    EXPECT_EQ(static_cast<IDispatch*>(b.Get()), last.Get());
}

TEST(EventHandler, NoScriptsKnowNothing) {
    CEventHandler handler;
    CEvent event;
    CComVariant value;
    EXPECT_HR(DISP_E_UNKNOWNNAME, handler.GetEvent(L"x", event));
    EXPECT_HR(DISP_E_UNKNOWNNAME, handler.GetValue(L"x", &value));
    handler.Add(nullptr);
    EXPECT_HR(DISP_E_UNKNOWNNAME, handler.GetEvent(L"x", event));
}

TEST(EventHandler, FireHandsOverOwnerAndValueByReference) {
    auto script = ScriptObject::Create();
    CountingDispatch owner;
    script->AddMethod(L"Change", [&](ScriptObject::Args args, VARIANT* result) -> HRESULT {
        EXPECT_EQ(2u, args.size());
        EXPECT_EQ(VT_DISPATCH, args[0]->vt);
        EXPECT_EQ(static_cast<IDispatch*>(&owner), args[0]->pdispVal);
        if (args[1]->vt != (VT_BYREF | VT_VARIANT)) return DISP_E_TYPEMISMATCH;
        VariantClear(args[1]->pvarVal);
        VarStr(L"changed").Detach(args[1]->pvarVal);
        result->vt = VT_I4;
        result->lVal = 7;
        return S_OK;
    });
    CEventHandler handler;
    handler.Add(script.Get());
    CEvent event;
    ASSERT_HR(S_OK, handler.GetEvent(L"Change", event));
    CComVariant value = VarStr(L"before");
    ASSERT_HR(S_OK, event.Fire(&owner, &value));
    EXPECT_BSTR_EQ(L"changed", value.bstrVal);
    EXPECT_EQ(VT_I4, event.m_vResult.vt);
    EXPECT_EQ(1u, owner.RefCount());

    // Without a value the second argument is Empty, not a reference.
    EXPECT_HR(DISP_E_TYPEMISMATCH, event.Fire(&owner, nullptr));
}

TEST(EventHandler, GetAndPutAProperty) {
    auto script = ScriptObject::Create();
    script->SetProperty(L"Title", VarStr(L"old"));
    CEventHandler handler;
    handler.Add(script.Get());
    CEvent event;
    ASSERT_HR(S_OK, handler.GetEvent(L"Title", event));
    CComVariant value = VarStr(L"new");
    ASSERT_HR(S_OK, event.Put(&value));
    ASSERT_HR(S_OK, event.Get());
    EXPECT_BSTR_EQ(L"new", event.m_vResult.bstrVal);
}

TEST(EventHandler, GetValueAsksDefaultMembersLatestFirst) {
    auto refuses = ScriptObject::Create();
    refuses->AddMethod(L"Item", [](ScriptObject::Args, VARIANT*) { return E_ACCESSDENIED; });
    refuses->SetDefaultMember(L"Item");
    auto answers = ScriptObject::Create();
    answers->AddMethod(L"Item", [](ScriptObject::Args args, VARIANT* result) -> HRESULT {
        if (args.size() != 1 || args[0]->vt != VT_BSTR) return DISP_E_BADPARAMCOUNT;
        VarStr((L"<" + std::wstring(View(args[0]->bstrVal)) + L">").c_str()).Detach(result);
        return S_OK;
    });
    answers->SetDefaultMember(L"Item");

    CEventHandler handler;
    handler.Add(answers.Get());
    handler.Add(refuses.Get());
    CComVariant value = VarI4(1);  // whatever it held is replaced
    ASSERT_HR(S_OK, handler.GetValue(L"Name", &value));
    EXPECT_BSTR_EQ(L"<Name>", value.bstrVal);

    CEventHandler onlyRefusing;
    onlyRefusing.Add(refuses.Get());
    EXPECT_HR(E_ACCESSDENIED, onlyRefusing.GetValue(L"Name", &value));
}

struct EventCallCase {
    const char* title;
    bool defined;
    std::function<CComVariant()> returns;
    bool defaultFlag;
    bool expected;
};

const EventCallCase kEventCalls[] = {
    {"undefined, default true", false, nullptr, true, true},
    {"undefined, default false", false, nullptr, false, false},
    {"returns nothing", true, [] { return CComVariant(); }, false, true},
    {"returns True", true, [] { return VarBool(true); }, false, true},
    {"returns False", true, [] { return VarBool(false); }, true, false},
    {"returns a Boolean other than -1", true, [] { CComVariant v; v.vt = VT_BOOL; v.boolVal = 1; return v; }, true, false},
    {"returns 0", true, [] { return VarI4(0); }, false, true},
    {"returns a string", true, [] { return VarStr(L"False"); }, false, true},
};

TEST(EventCall, ReturnValueDecides) {
    for (const EventCallCase& c : kEventCalls) {
        SCOPED_TRACE(c.title);
        auto script = ScriptObject::Create();
        if (c.defined) script->AddMethod(L"On_Step", Returns(c.returns));
        CEventHandler handler;
        handler.Add(script.Get());
        bool flag = !c.expected;
        EXPECT_HR(S_OK, handler.CallEvent(nullptr, L"On_Step", c.defaultFlag, flag));
        EXPECT_EQ(c.expected, flag);
    }
}

TEST(EventCall, FailuresLeaveTheFlag) {
    auto script = ScriptObject::Create();
    script->AddMethod(L"On_Step", [](ScriptObject::Args, VARIANT*) { return DISP_E_EXCEPTION; });
    CEventHandler handler;
    handler.Add(script.Get());
    bool flag = true;
    EXPECT_HR(DISP_E_EXCEPTION, handler.CallEvent(nullptr, L"On_Step", false, flag));
    EXPECT_TRUE(flag);
}

}  // namespace
}  // namespace vesk_test
