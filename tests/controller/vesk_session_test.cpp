// Session state: the command key and count, the Bag, the private query that recognises a
// stored state, the module count a state holds, and the null session's answers.
#include <gtest/gtest.h>

#include <cwctype>
#include <set>
#include <string>

#include "controller/vesk_session.h"
#include "controller_fixture.h"
#include "frame/module.h"
#include "support/test_support.h"

namespace vesk_test {
namespace {

CComPtr<CVeskSession> NewSession() {
    CComPtr<CVeskSession> session;
    EXPECT_HR(S_OK, CVeskSession::Create(session.Receive()));
    return session;
}

std::wstring CommandName(IVeskSession* session) {
    CComBSTR name;
    EXPECT_HR(S_OK, session->GetCommandName(name.Receive()));
    return std::wstring(name.c_str(), name.Length());
}

bool SixCapitalsThen(const std::wstring& name, const std::wstring& count) {
    if (name.size() != 6 + count.size() || name.substr(6) != count) return false;
    for (size_t i = 0; i < 6; ++i) {
        if (name[i] < L'A' || name[i] > L'Z') return false;
    }
    return true;
}

TEST(VeskSession, CommandNameIsTheKeyThenTheCountAndEveryRenewalDrawsANewKey) {
    CComPtr<CVeskSession> session = NewSession();
    const std::wstring first = CommandName(session.Get());
    EXPECT_TRUE(SixCapitalsThen(first, L"0")) << Utf8(first);
    for (int i = 1; i <= 12; ++i) ASSERT_HR(S_OK, session->IncrementCommand());
    const std::wstring twelfth = CommandName(session.Get());
    EXPECT_TRUE(SixCapitalsThen(twelfth, L"12")) << Utf8(twelfth);
    EXPECT_HR(E_INVALIDARG, session->GetCommandName(nullptr));
}

// Keys drawn one right after the other, as a page's renewals and a burst of new visitors
// draw them, all differ: a key seeded from the millisecond clock would repeat here.
TEST(VeskSession, KeysDrawnWithinOneMillisecondDiffer) {
    std::set<std::wstring> keys;
    CComPtr<CVeskSession> session = NewSession();
    for (int i = 0; i < 50; ++i) {
        keys.insert(CommandName(session.Get()).substr(0, 6));
        ASSERT_HR(S_OK, session->IncrementCommandKey());
        keys.insert(CommandName(NewSession().Get()).substr(0, 6));
    }
    EXPECT_EQ(100u, keys.size());
}

TEST(VeskSession, HoldsAHostDictionaryAsItsBagAndTheModuleWhileItLives) {
    const long before = g_nRefCount;
    CComPtr<CVeskSession> session = NewSession();
    EXPECT_EQ(before + 1, g_nRefCount);
    CComPtr<IZULibDictionary> bag, again;
    ASSERT_HR(S_OK, session->get_Bag(bag.Receive()));
    ASSERT_TRUE(bag);
    ASSERT_HR(S_OK, session->get_Bag(again.Receive()));
    EXPECT_EQ(bag.Get(), again.Get()) << "one Bag per state";
    EXPECT_HR(E_INVALIDARG, session->get_Bag(nullptr));
    // The Bag outlives the state only through the references handed out.
    CountingDispatch item;
    CComVariant key = VarStr(L"k"), value = VarDisp(&item);
    ASSERT_HR(S_OK, bag->put_Item(&key, &value));
    value.Reset();
    bag.Reset();
    again.Reset();
    EXPECT_EQ(2u, item.RefCount());
    session.Reset();
    EXPECT_EQ(1u, item.RefCount()) << "the state released its Bag";
    EXPECT_EQ(before, g_nRefCount);
}

// The private query, on a state and on the null session: the slot carries a name in.
TEST(VeskSession, PrivateQueryAnswersOnlyItsOwnNameOrNone) {
    struct Row {
        const char* title;
        const IID* iid;
        const wchar_t* slotIn;
        HRESULT expected;
    };
    const Row rows[] = {
        {"IUnknown", &IID_IUnknown, nullptr, S_OK},
        {"null slot", &IID_NULL, nullptr, S_OK},
        {"empty name", &IID_NULL, L"", S_OK},
        {"own name", &IID_NULL, L"IVeskSession", S_OK},
        {"own name in other case", &IID_NULL, L"ivesksession", E_NOINTERFACE},
        {"another name", &IID_NULL, L"IOther", E_NOINTERFACE},
        {"IDispatch", &IID_IDispatch, nullptr, E_NOINTERFACE},
    };
    CComPtr<CVeskSession> session = NewSession();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        for (IVeskSession* object : {static_cast<IVeskSession*>(session.Get()), static_cast<IVeskSession*>(&g_oVeskSessionNull)}) {
            void* slot = const_cast<wchar_t*>(row.slotIn);
            EXPECT_HR(row.expected, object->QueryInterface(*row.iid, &slot));
            EXPECT_EQ(SUCCEEDED(row.expected) ? static_cast<void*>(object) : nullptr, slot);
            if (SUCCEEDED(row.expected)) object->Release();
        }
    }
    // Counted for a state, not for the null session.
    EXPECT_EQ(2u, session->AddRef());
    session->Release();
    EXPECT_EQ(1u, g_oVeskSessionNull.AddRef());
    EXPECT_EQ(1u, g_oVeskSessionNull.Release());

    CComPtr<IVeskSession> found;
    EXPECT_HR(S_OK, FindSessionState(session.Get(), found.Receive()));
    EXPECT_EQ(static_cast<IVeskSession*>(session.Get()), found.Get());
    found.Reset();
    auto foreign = ScriptObject::Create();
    EXPECT_HR(E_NOINTERFACE, FindSessionState(foreign.Get(), found.Receive()));
    EXPECT_FALSE(found);
}

TEST(VeskSession, NullSessionFailsEveryOperationAskingForName) {
    IZULibDictionary* bag = reinterpret_cast<IZULibDictionary*>(0x1);
    BSTR name = reinterpret_cast<BSTR>(0x1);
    struct Row {
        std::function<HRESULT()> call;
        const wchar_t* description;
    };
    const Row rows[] = {
        {[&] { return g_oVeskSessionNull.get_Bag(&bag); }, L"Could not get Bag. Please specify property 'Name'."},
        {[&] { return g_oVeskSessionNull.GetCommandName(&name); },
         L"Could not get Command Name. Please specify property 'Name'."},
        {[&] { return g_oVeskSessionNull.IncrementCommand(); },
         L"Could not increment Command. Please specify property 'Name'."},
    };
    for (const Row& row : rows) {
        SetErrorInfo(0, nullptr);
        EXPECT_HR(E_FAIL, row.call());
        const ThreadError error = TakeThreadError();
        EXPECT_EQ(L"Vesk", error.source);
        EXPECT_EQ(row.description, error.description);
    }
    EXPECT_EQ(reinterpret_cast<IZULibDictionary*>(0x1), bag) << "out-pointers are left alone";
    EXPECT_EQ(reinterpret_cast<BSTR>(0x1), name);
}

}  // namespace
}  // namespace vesk_test
