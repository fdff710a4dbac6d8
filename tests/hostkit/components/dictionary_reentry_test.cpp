// The dictionary when releasing one of its values runs a script that calls the same dictionary
// again: whatever that script does, every member leaves the dictionary whole (count, index and
// order agreeing) and releases each value exactly once.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "component_helpers.h"

namespace vesk_test {
namespace {

// An object that, once armed, runs an action when its reference count falls to a given level:
// a script whose cleanup runs when the dictionary lets go of it. It lives in the test, so a
// release past zero is counted instead of freeing anything.
class ReleaseHook final : public GNoMembers<DispatchBase> {
public:
    void Arm(ULONG level, std::function<void()> action) {
        m_level = level;
        m_action = std::move(action);
    }
    bool Fired() const { return m_fired; }
    ULONG RefCount() const { return m_cRef; }
    int OverReleases() const { return m_overReleases; }

    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override {
        if (m_cRef == 0) return ++m_overReleases, 0;
        const ULONG count = --m_cRef;
        if (count == m_level && m_action && !m_fired) {
            m_fired = true;
            m_action();
        }
        return count;
    }

private:
    ULONG m_cRef = 0;
    ULONG m_level = 0;
    std::function<void()> m_action;
    bool m_fired = false;
    int m_overReleases = 0;
};

constexpr WORD kCall = DISPATCH_METHOD, kPut = DISPATCH_PROPERTYPUT, kPutRef = DISPATCH_PROPERTYPUTREF;

std::wstring Describe(const VARIANT& v) {
    if (v.vt == VT_BSTR) return std::wstring(View(v.bstrVal));
    return v.vt == VT_DISPATCH ? L"obj" : L"?";
}

std::vector<CComVariant> Elements(IDispatch* d, const wchar_t* member) {
    CComVariant array;
    EXPECT_HR(S_OK, CallByName(d, member, DISPATCH_PROPERTYGET, {}, array.Receive()));
    std::vector<CComVariant> out;
    if (array.vt != (VT_ARRAY | VT_VARIANT)) return out;
    for (ULONG i = 0; i < array.parray->rgsabound[0].cElements; ++i) {
        out.emplace_back();
        out.back().Copy(&static_cast<VARIANT*>(array.parray->pvData)[i]);
    }
    return out;
}

LONG Count(IDispatch* d) {
    CComVariant count;
    EXPECT_HR(S_OK, CallByName(d, L"Count", DISPATCH_PROPERTYGET, {}, count.Receive()));
    return count.vt == VT_I4 ? count.lVal : -999;
}

// A call's one argument: a copy of value.
std::vector<CComVariant> CopyOf(const VARIANT& value) {
    std::vector<CComVariant> args(1);
    args[0].Copy(&value);
    return args;
}

// The entries as "key=item" in order. Then the count and the index are checked against the
// order, and every key is removed: an index out of step shows as a failed Remove or a count
// left over.
std::vector<std::wstring> DrainEntries(IDispatch* d) {
    const std::vector<CComVariant> keys = Elements(d, L"Keys"), items = Elements(d, L"Items");
    EXPECT_EQ(keys.size(), items.size());
    EXPECT_EQ(LONG(keys.size()), Count(d));
    std::vector<std::wstring> entries;
    for (size_t i = 0; i < keys.size() && i < items.size(); ++i) {
        entries.push_back(Describe(keys[i]) + L"=" + Describe(items[i]));
        CComVariant exists;
        EXPECT_HR(S_OK, CallByName(d, L"Exists", kCall, CopyOf(keys[i]), exists.Receive()));
        EXPECT_EQ(VARIANT_TRUE, exists.boolVal) << Utf8(entries.back());
    }
    for (const CComVariant& key : keys) EXPECT_HR(S_OK, CallByName(d, L"Remove", kCall, CopyOf(key)));
    EXPECT_EQ(0, Count(d));
    return entries;
}

// A late-bound call in script order; the argument "hook" passes the hook and "other" a
// second object, any other text passes as a string.
struct Step { const wchar_t* member; WORD flags; std::vector<std::wstring> args; };

HRESULT Perform(IDispatch* d, const Step& step, IDispatch* hook, IDispatch* other) {
    std::vector<CComVariant> args;
    for (const std::wstring& arg : step.args)
        args.push_back(arg == L"hook" ? VarDisp(hook) : arg == L"other" ? VarDisp(other) : VarStr(arg.c_str()));
    return CallByName(d, step.member, step.flags, std::move(args));
}

TEST(DictionaryReentry, ReleasedValueCallsBackIntoTheDictionary) {
    // The dictionary holds "a" = "1", then the hook: as the item of "k", armed to act when the
    // dictionary drops it for good; or as a key with the item "v", armed to act when only the
    // caller's argument still holds it.
    const struct { const char* label; bool hookIsKey; Step onRelease, call; std::vector<std::wstring> left; }
        cases[] = {
        {"put over an item whose release removes its key", false,
         {L"Remove", kCall, {L"k"}}, {L"Item", kPut, {L"k", L"other"}}, {L"a=1"}},
        {"putref over an item whose release puts its key again", false,
         {L"Item", kPut, {L"k", L"later"}}, {L"Item", kPutRef, {L"k", L"other"}}, {L"a=1", L"k=later"}},
        {"put over an item whose release empties the dictionary", false,
         {L"RemoveAll", kCall, {}}, {L"Item", kPut, {L"k", L"other"}}, {}},
        {"rename of a key whose release empties the dictionary", true,
         {L"RemoveAll", kCall, {}}, {L"Key", kPut, {L"hook", L"n"}}, {}},
        {"rename of a key whose release adds a key", true,
         {L"Add", kCall, {L"z", L"other"}}, {L"Key", kPut, {L"hook", L"n"}}, {L"a=1", L"n=v", L"z=obj"}},
        {"RemoveAll when an item's release adds a key", false,
         {L"Add", kCall, {L"b", L"other"}}, {L"RemoveAll", kCall, {}}, {L"b=obj"}},
        {"Remove of an item whose release adds its key back", false,
         {L"Add", kCall, {L"k", L"back"}}, {L"Remove", kCall, {L"k"}}, {L"a=1", L"k=back"}},
        {"Remove of a key whose release empties the dictionary", true,
         {L"RemoveAll", kCall, {}}, {L"Remove", kCall, {L"hook"}}, {}},
    };
    CountingDispatch other;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ReleaseHook hook;
        {
            auto dictionary = CreateComponent<IDispatch>(CLSID_Dictionary, IID_IDispatch);
            IDispatch* const d = dictionary.Get();
            ASSERT_HR(S_OK, Perform(d, {L"Add", kCall, {L"a", L"1"}}, &hook, &other));
            const Step store{L"Add", kCall, c.hookIsKey ? std::vector<std::wstring>{L"hook", L"v"}
                                                        : std::vector<std::wstring>{L"k", L"hook"}};
            ASSERT_HR(S_OK, Perform(d, store, &hook, &other));
            ASSERT_EQ(1u, hook.RefCount());
            hook.Arm(c.hookIsKey ? 1 : 0, [&] { EXPECT_HR(S_OK, Perform(d, c.onRelease, &hook, &other)); });
            EXPECT_HR(S_OK, Perform(d, c.call, &hook, &other));
            EXPECT_TRUE(hook.Fired());
            EXPECT_EQ(c.left, DrainEntries(d));
        }
        EXPECT_EQ(0u, hook.RefCount());
        EXPECT_EQ(0, hook.OverReleases());
        EXPECT_EQ(1u, other.RefCount());
        while (other.RefCount() > 1) other.Release();  // a leak in one row is not counted again
    }
}

}  // namespace
}  // namespace vesk_test
