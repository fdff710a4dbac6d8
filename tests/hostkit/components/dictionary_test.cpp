// The dictionary component through CoCreateInstance: numeric keys across their types, and
// ownership of the values it holds. Its members by name are in scripting_test.cpp.
#include <string>
#include <vector>

#include "component_helpers.h"

namespace vesk_test {
namespace {

CComPtr<IZULibDictionary> NewDictionary() {
    return CreateComponent<IZULibDictionary>(CLSID_Dictionary, IID_IZULibDictionary);
}

// The members take VARIANT pointers; a temporary lives until the end of the call's statement.
VARIANT* P(const VARIANT& v) { return const_cast<VARIANT*>(&v); }

template <class T>
CComVariant Typed(VARTYPE vt, T value) {
    CComVariant v;
    v.vt = vt;
    memcpy(&v.llVal, &value, sizeof value);
    return v;
}

bool Has(IZULibDictionary* d, const VARIANT& key) {
    VARIANT_BOOL exists = VARIANT_FALSE;
    EXPECT_HR(S_OK, d->Exists(P(key), &exists));
    return exists == VARIANT_TRUE;
}

TEST(DictionaryKeys, NumbersAreOneKeyWhateverTheirType) {
    auto d = NewDictionary();
    ASSERT_HR(S_OK, d->Add(P(Typed<int16_t>(VT_I2, 1)), P(VarStr(L"one"))));
    ASSERT_HR(S_OK, d->Add(P(VarR8(0.5)), P(VarStr(L"half"))));
    const struct { const char* label; CComVariant key; bool same; } cases[] = {
        {"I4 1", VarI4(1), true},
        {"R8 1.0", VarR8(1.0), true},
        {"UI1 1", Typed<uint8_t>(VT_UI1, 1), true},
        {"I8 1", Typed<int64_t>(VT_I8, 1), true},
        {"CY 1.0000", Typed<int64_t>(VT_CY, 10000), true},
        {"R4 0.5", Typed<float>(VT_R4, 0.5f), true},
        {"R8 1.5", VarR8(1.5), false},
        {"string 1", VarStr(L"1"), false},
        {"True", VarBool(true), false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.same, Has(d.Get(), c.key)) << c.label;
}

TEST(DictionaryOwnership, ObjectsAreHeldUntilRemovedAndOtherValuesCopied) {
    CountingDispatch object, other;
    {
        auto d = NewDictionary();
        d->Add(P(VarStr(L"a")), P(VarDisp(&object)));
        d->putref_Item(P(VarStr(L"b")), P(VarDisp(&object)));
        d->Add(P(VarDisp(&object)), P(VarI4(1)));
        EXPECT_EQ(4u, object.RefCount());  // its own and three in the dictionary
        CComVariant sameAsUnknown;         // an object key is its identity, whatever the interface
        sameAsUnknown.SetUnknown(&object);
        EXPECT_TRUE(Has(d.Get(), sameAsUnknown));
        EXPECT_FALSE(Has(d.Get(), VarDisp(&other)));
        sameAsUnknown.Reset();
        ASSERT_HR(S_OK, d->Remove(P(VarStr(L"a"))));
        EXPECT_EQ(3u, object.RefCount());
        d->put_Item(P(VarStr(L"b")), P(VarI4(2)));  // replacing the item releases the old one
        EXPECT_EQ(2u, object.RefCount());
        d->put_Item(P(VarStr(L"c")), P(VarDisp(&object)));
    }
    EXPECT_EQ(1u, object.RefCount());  // destruction released the rest
    auto d = NewDictionary();
    d->Add(P(VarStr(L"k")), P(VarDisp(&object)));
    d->RemoveAll();
    EXPECT_EQ(1u, object.RefCount());

    LONG number = 7;  // a by-reference item is stored as its value, not as the pointer
    VARIANT byRef{};
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &number;
    ASSERT_HR(S_OK, d->Add(P(VarStr(L"n")), &byRef));
    number = 8;
    CComVariant stored;
    d->get_Item(P(VarStr(L"n")), stored.Receive());
    EXPECT_EQ(VT_I4, stored.vt);
    EXPECT_EQ(7, stored.lVal);
}

}  // namespace
}  // namespace vesk_test
