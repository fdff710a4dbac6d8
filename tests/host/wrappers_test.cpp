// The owning wrappers: each verb either adds a reference / copies, or moves ownership, and
// the count after every step shows which.
#include <gtest/gtest.h>

#include <functional>

#include "host/automation.h"
#include "support/test_support.h"

using vesk_test::CountingDispatch;
using vesk_test::VarI4;

TEST(CComPtr, EveryVerbKeepsTheCountExact) {
    CountingDispatch obj;
    {
        auto shared = CComPtr<IDispatch>::Share(&obj);  // adds one
        EXPECT_EQ(2u, obj.RefCount());
        CComPtr<IDispatch> moved(std::move(shared));  // moves, adds none
        EXPECT_EQ(2u, obj.RefCount());
        EXPECT_FALSE(shared);
        IDispatch* out = nullptr;
        EXPECT_HR(S_OK, moved.CopyTo(&out));  // a new reference for the caller
        EXPECT_EQ(3u, obj.RefCount());
        CComPtr<IDispatch> adopted;
        adopted.Attach(out);  // takes the caller's reference over
        EXPECT_EQ(3u, obj.RefCount());
        adopted.Assign(adopted.Get());  // re-assigning the held pointer must not drop it
        EXPECT_EQ(3u, obj.RefCount());
        adopted.Reset();
        EXPECT_EQ(2u, obj.RefCount());
        CComPtr<IUnknown> unknown;
        EXPECT_HR(S_OK, moved.QueryInterface(unknown.Receive()));
        EXPECT_EQ(3u, obj.RefCount());
        IDispatch* detached = moved.Detach();  // gives the reference away
        EXPECT_EQ(3u, obj.RefCount());
        detached->Release();
    }
    EXPECT_EQ(1u, obj.RefCount());
}

TEST(CComVariant, OwnsItsValueAndMovesWithoutCopying) {
    CountingDispatch obj;
    {
        CComVariant held;
        held.SetDispatch(&obj);
        EXPECT_EQ(2u, obj.RefCount());
        CComVariant copy;
        EXPECT_HR(S_OK, copy.Copy(&held));
        EXPECT_EQ(3u, obj.RefCount());
        CComVariant moved(std::move(copy));
        EXPECT_EQ(3u, obj.RefCount());
        EXPECT_EQ(VT_EMPTY, copy.vt);
        VARIANT raw;
        moved.Detach(&raw);  // ownership leaves the wrapper
        EXPECT_EQ(VT_EMPTY, moved.vt);
        EXPECT_EQ(3u, obj.RefCount());
        moved.Attach(&raw);  // and comes back; raw is left empty
        EXPECT_EQ(VT_EMPTY, raw.vt);
        moved.SetI4(7);  // replacing a value releases the old one
        EXPECT_EQ(2u, obj.RefCount());
        EXPECT_HR(S_OK, moved.ChangeType(VT_BSTR));
        EXPECT_BSTR_EQ(L"7", moved.bstrVal);
    }
    EXPECT_EQ(1u, obj.RefCount());
}

TEST(CComBSTR, CopiesKeepEmbeddedNulsAndByteStrings) {
    const wchar_t text[] = {L'a', 0, L'b'};
    CComBSTR wide(text, 3);
    CComBSTR copy;
    copy.Attach(wide.Copy());
    EXPECT_EQ(3u, copy.Length());
    EXPECT_EQ(0, wmemcmp(text, copy.m_str, 3));
    CComBSTR bytes;
    bytes.Attach(SysAllocStringByteLen("abcde", 5));  // not a whole number of characters
    CComBSTR bytesCopy;
    EXPECT_HR(S_OK, bytes.CopyTo(bytesCopy.Receive()));
    EXPECT_EQ(5u, bytesCopy.ByteLength());
    EXPECT_EQ(0, memcmp("abcde", bytesCopy.m_str, 5));
    EXPECT_HR(S_OK, copy.Append(L"cd"));
    EXPECT_EQ(5u, copy.Length());
    CComBSTR empty;
    EXPECT_STREQ(L"", empty.c_str());
    EXPECT_HR(S_OK, empty.Append(nullptr));
    EXPECT_EQ(nullptr, empty.m_str);
}

TEST(CComSafeArray, DestroysTheArrayAndItsElements) {
    CountingDispatch obj;
    {
        CComSafeArray array;
        array.Attach(SafeArrayCreateVector(VT_VARIANT, 0, 2));
        ASSERT_TRUE(array);
        CComVariant element = vesk_test::VarDisp(&obj);
        LONG index = 1;
        EXPECT_HR(S_OK, SafeArrayPutElement(array.Get(), &index, &element));  // a copy: one more
        EXPECT_EQ(3u, obj.RefCount());
        CComSafeArray moved(std::move(array));
        EXPECT_FALSE(array);
    }
    EXPECT_EQ(1u, obj.RefCount());
}

// A holder's old value leaves it before it is released, so a release that runs a script
// which assigns the same holder neither frees the value just installed nor leaks its own.
namespace {

class CReleaseHook final : public automation::GObject<CReleaseHook, automation::GNoTypeInfo<IDispatch>> {
public:
    explicit CReleaseHook(std::function<void()> onLast) : m_onLast(std::move(onLast)) {}
    ~CReleaseHook() {
        if (m_onLast) m_onLast();
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    std::function<void()> m_onLast;
};

}  // namespace

TEST(CComVariant, AReleaseThatAssignsTheSameHolderSeesTheNewValueInstalled) {
    const struct { const char* title; std::function<void(CComVariant&)> replace; } rows[] = {
        {"move assignment", [](CComVariant& v) { v = VarI4(7); }},
        {"Attach", [](CComVariant& v) { CComVariant n = VarI4(7); VARIANT raw; n.Detach(&raw); v.Attach(&raw); }},
        {"SetI4", [](CComVariant& v) { v.SetI4(7); }},
        {"SetString", [](CComVariant& v) { v.SetString(L"seven"); }},
        {"Reset", [](CComVariant& v) { v.Reset(); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.title);
        CountingDispatch other;
        CComVariant holder;
        LONG seenType = -1;
        CReleaseHook* hook = new CReleaseHook([&] {
            seenType = holder.vt;      // what the script sees in the middle of the change
            holder.SetDispatch(&other);  // and what it stores there
        });
        holder.SetDispatch(hook);
        hook->Release();  // the holder has the only reference
        row.replace(holder);
        EXPECT_NE(VT_DISPATCH, seenType) << "the old value left the holder before its release";
        EXPECT_EQ(VT_DISPATCH, holder.vt) << "the script's store is kept, not overwritten";
        EXPECT_EQ(2u, other.RefCount());
        holder.Reset();
        EXPECT_EQ(1u, other.RefCount());
    }
}
