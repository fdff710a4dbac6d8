// The dictionary component through CoCreateInstance: key identity across types and compare
// modes, insertion order, the published failures, object ownership and late binding.
#include <string>
#include <vector>

#include "component_helpers.h"
#include "hostkit/components/components.h"
#include "hostkit/runtime/registry.h"

namespace vesk_test {
namespace {

using Texts = std::vector<std::wstring>;

constexpr HRESULT kKeyExists = hresult_of(0x800A01C9);
constexpr HRESULT kNotFound = hresult_of(0x800A802B);
constexpr HRESULT kInvalidCall = hresult_of(0x800A0005);
constexpr HRESULT kTypeMismatch = hresult_of(0x800A000D);

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

LONG CountOf(IZULibDictionary* d) {
    LONG count = -1;
    d->get_Count(&count);
    return count;
}

bool Has(IZULibDictionary* d, const VARIANT& key) {
    VARIANT_BOOL exists = VARIANT_FALSE;
    EXPECT_HR(S_OK, d->Exists(P(key), &exists));
    return exists == VARIANT_TRUE;
}

// Keys or Items as text (numbers in decimal, "" for anything else), checking the array's
// type and lower bound on the way.
Texts Elements(IZULibDictionary* d, HRESULT (IZULibDictionary::*which)(VARIANT*)) {
    CComVariant array;
    EXPECT_HR(S_OK, (d->*which)(array.Receive()));
    EXPECT_EQ(VT_ARRAY | VT_VARIANT, array.vt);
    EXPECT_EQ(0, array.parray->rgsabound[0].lLbound);
    Texts out;
    const auto* elements = static_cast<const VARIANT*>(array.parray->pvData);
    for (ULONG i = 0; i < array.parray->rgsabound[0].cElements; ++i) {
        const VARIANT& e = elements[i];
        out.push_back(e.vt == VT_BSTR ? std::wstring(View(e.bstrVal)) : e.vt == VT_I4 ? std::to_wstring(e.lVal) : L"");
    }
    return out;
}

TEST(DictionaryItems, AddExistsRemoveCountAndOrder) {
    auto d = NewDictionary();
    for (const wchar_t* key : {L"b", L"a", L"c"}) {
        ASSERT_HR(S_OK, d->Add(P(VarStr(key)), P(VarStr((std::wstring(key) + L"!").c_str()))));
    }
    EXPECT_EQ(3, CountOf(d.Get()));
    EXPECT_TRUE(Has(d.Get(), VarStr(L"a")));
    EXPECT_FALSE(Has(d.Get(), VarStr(L"A")));  // binary comparison by default
    ASSERT_HR(S_OK, d->Remove(P(VarStr(L"a"))));
    ASSERT_HR(S_OK, d->put_Item(P(VarStr(L"a")), P(VarI4(5))));  // back, at the end
    EXPECT_EQ((Texts{L"b", L"c", L"a"}), Elements(d.Get(), &IZULibDictionary::Keys));
    EXPECT_EQ((Texts{L"b!", L"c!", L"5"}), Elements(d.Get(), &IZULibDictionary::Items));
    ASSERT_HR(S_OK, d->put_Key(P(VarStr(L"b")), P(VarStr(L"z"))));  // keeps its place
    EXPECT_EQ((Texts{L"z", L"c", L"a"}), Elements(d.Get(), &IZULibDictionary::Keys));
    ASSERT_HR(S_OK, d->RemoveAll());
    EXPECT_TRUE(Elements(d.Get(), &IZULibDictionary::Keys).empty());
}

TEST(DictionaryItems, ReadingAMissingKeyAddsItEmpty) {
    auto d = NewDictionary();
    CComVariant value;
    ASSERT_HR(S_OK, d->get_Item(P(VarStr(L"nothing")), value.Receive()));
    EXPECT_EQ(VT_EMPTY, value.vt);
    EXPECT_EQ(1, CountOf(d.Get()));
    EXPECT_TRUE(Has(d.Get(), VarStr(L"nothing")));
}

TEST(DictionaryItems, FailuresCarryThePublishedCodesAndTexts) {
    auto d = NewDictionary();
    ASSERT_HR(S_OK, d->Add(P(VarStr(L"k")), P(VarI4(1))));
    EXPECT_HR(kKeyExists, d->Add(P(VarStr(L"k")), P(VarI4(2))));
    EXPECT_EQ(L"This key is already associated with an element of this collection", LastErrorDescription());
    EXPECT_HR(kNotFound, d->Remove(P(VarStr(L"other"))));
    EXPECT_EQ(L"Element not found", LastErrorDescription());
    EXPECT_HR(kNotFound, d->put_Key(P(VarStr(L"other")), P(VarStr(L"k"))));
    d->Add(P(VarStr(L"other")), P(VarI4(3)));
    EXPECT_HR(kKeyExists, d->put_Key(P(VarStr(L"other")), P(VarStr(L"k"))));
    EXPECT_HR(kInvalidCall, d->put_CompareMode(Scripting::TextCompare));
    EXPECT_EQ(L"Invalid procedure call or argument", LastErrorDescription());

    CComVariant array;
    array.vt = VT_ARRAY | VT_VARIANT;
    array.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    EXPECT_HR(kTypeMismatch, d->Add(&array, P(VarI4(4))));
    EXPECT_EQ(2, CountOf(d.Get()));
}

// ---- Key identity ----------------------------------------------------------------------

TEST(DictionaryKeys, NumbersAreOneKeyWhateverTheirType) {
    auto d = NewDictionary();
    ASSERT_HR(S_OK, d->Add(P(Typed<int16_t>(VT_I2, 1)), P(VarStr(L"one"))));
    ASSERT_HR(S_OK, d->Add(P(VarR8(0.5)), P(VarStr(L"half"))));
    DECIMAL one{};
    one.Lo64 = 10;
    one.scale = 1;  // 1.0
    CComVariant decimalOne;
    decimalOne.decVal = one;
    decimalOne.vt = VT_DECIMAL;
    const struct {
        const char* label;
        CComVariant key;
        bool same;
    } cases[] = {
        {"I4 1", VarI4(1), true},
        {"R8 1.0", VarR8(1.0), true},
        {"UI1 1", Typed<uint8_t>(VT_UI1, 1), true},
        {"I8 1", Typed<int64_t>(VT_I8, 1), true},
        {"CY 1.0000", Typed<int64_t>(VT_CY, 10000), true},
        {"DECIMAL 1.0", std::move(decimalOne), true},
        {"R4 0.5", Typed<float>(VT_R4, 0.5f), true},
        {"R8 1.5", VarR8(1.5), false},
        {"string 1", VarStr(L"1"), false},
        {"True", VarBool(true), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.same, Has(d.Get(), c.key));
    }
}

TEST(DictionaryKeys, TextCompareIgnoresCaseOnlyWhenChosenWhileEmpty) {
    auto text = NewDictionary();
    ASSERT_HR(S_OK, text->put_CompareMode(Scripting::TextCompare));
    ASSERT_HR(S_OK, text->Add(P(VarStr(L"Straße ÄÖ")), P(VarI4(1))));
    EXPECT_TRUE(Has(text.Get(), VarStr(L"STRAßE äö")));
    EXPECT_HR(kKeyExists, text->Add(P(VarStr(L"straße äö")), P(VarI4(2))));
    EXPECT_EQ((Texts{L"Straße ÄÖ"}), Elements(text.Get(), &IZULibDictionary::Keys));  // first spelling kept

    auto binary = NewDictionary();
    binary->Add(P(VarStr(L"Straße ÄÖ")), P(VarI4(1)));
    EXPECT_FALSE(Has(binary.Get(), VarStr(L"straße äö")));
}

TEST(DictionaryKeys, ObjectsAreKeyedByIdentity) {
    CountingDispatch first, second;
    auto d = NewDictionary();
    ASSERT_HR(S_OK, d->Add(P(VarDisp(&first)), P(VarI4(1))));
    CComVariant sameAsUnknown;
    sameAsUnknown.SetUnknown(&first);
    EXPECT_TRUE(Has(d.Get(), sameAsUnknown));
    EXPECT_FALSE(Has(d.Get(), VarDisp(&second)));
}

// ---- Ownership -------------------------------------------------------------------------

TEST(DictionaryOwnership, ObjectItemsAndKeysAreHeldUntilRemoved) {
    CountingDispatch object;
    {
        auto d = NewDictionary();
        d->Add(P(VarStr(L"a")), P(VarDisp(&object)));
        d->putref_Item(P(VarStr(L"b")), P(VarDisp(&object)));
        d->Add(P(VarDisp(&object)), P(VarI4(1)));
        EXPECT_EQ(4u, object.RefCount());  // its own and three in the dictionary
        ASSERT_HR(S_OK, d->Remove(P(VarStr(L"a"))));
        EXPECT_EQ(3u, object.RefCount());
        {
            CComVariant items;
            d->Items(items.Receive());
            EXPECT_EQ(4u, object.RefCount());  // the array holds a copy
        }
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
}

TEST(DictionaryOwnership, ByReferenceItemsAreStoredAsValues) {
    auto d = NewDictionary();
    LONG number = 7;
    VARIANT byRef;
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &number;
    ASSERT_HR(S_OK, d->Add(P(VarStr(L"n")), &byRef));
    number = 8;
    CComVariant stored;
    d->get_Item(P(VarStr(L"n")), stored.Receive());
    EXPECT_EQ(VT_I4, stored.vt);
    EXPECT_EQ(7, stored.lVal);
}

// ---- Identity and late binding ---------------------------------------------------------

TEST(DictionaryObject, ScriptsDriveItByNameWithItemAsTheDefault) {
    auto d = NewDictionary();
    CComPtr<IDispatch> script;
    CComPtr<IUnknown> published;
    ASSERT_HR(S_OK, d->QueryInterface(IID_IDispatch, script.ReceiveVoid()));
    EXPECT_HR(S_OK, d->QueryInterface(veskhost::IID_IDictionary, published.ReceiveVoid()));

    ASSERT_HR(S_OK, CallByName(script.Get(), L"add", DISPATCH_METHOD, {VarStr(L"x"), VarI4(10)}));
    ASSERT_HR(S_OK, CallByName(script.Get(), L"Item", DISPATCH_PROPERTYPUT, {VarStr(L"y"), VarI4(20)}));
    CComVariant key = VarStr(L"y"), value, exists, count;
    DISPPARAMS params{&key, nullptr, 1, 0};
    ASSERT_HR(S_OK, script->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &params,
                                   value.Receive(), nullptr, nullptr));
    EXPECT_EQ(20, value.lVal);
    ASSERT_HR(S_OK, CallByName(script.Get(), L"Exists", DISPATCH_METHOD, {VarStr(L"x")}, exists.Receive()));
    EXPECT_EQ(VARIANT_TRUE, exists.boolVal);
    ASSERT_HR(S_OK, CallByName(script.Get(), L"COUNT", DISPATCH_PROPERTYGET, {}, count.Receive()));
    EXPECT_EQ(2, count.lVal);

    EXCEPINFO excep{};
    EXPECT_HR(DISP_E_EXCEPTION,
              CallByName(script.Get(), L"Add", DISPATCH_METHOD, {VarStr(L"x"), VarI4(0)}, nullptr, &excep));
    EXPECT_HR(kKeyExists, excep.scode);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    EXPECT_HR(kKeyExists, CallByName(script.Get(), L"Add", DISPATCH_METHOD, {VarStr(L"x"), VarI4(0)}));

    CComVariant enumerator;
    ASSERT_HR(S_OK, CallByName(script.Get(), L"_NewEnum", DISPATCH_METHOD, {}, enumerator.Receive()));
    CComPtr<veskhost::IEnumVARIANT> keys;
    ASSERT_EQ(VT_UNKNOWN, enumerator.vt);
    ASSERT_HR(S_OK, enumerator.punkVal->QueryInterface(veskhost::IID_IEnumVARIANT, keys.ReceiveVoid()));
    CComVariant fetched[3];
    ULONG got = 0;
    EXPECT_HR(S_FALSE, keys->Next(3, fetched, &got));
    ASSERT_EQ(2u, got);
    EXPECT_BSTR_EQ(L"x", fetched[0].bstrVal);
    EXPECT_BSTR_EQ(L"y", fetched[1].bstrVal);
}

TEST(DictionaryObject, RegisteredUnderItsProgIDAndRefusesAggregation) {
    CLSID byName{};
    ASSERT_HR(S_OK, veskhost::CLSIDFromProgID(L"Scripting.Dictionary", &byName));
    EXPECT_TRUE(guid_equal(CLSID_Dictionary, byName));
    CountingDispatch outer;
    CComPtr<IUnknown> aggregated;
    EXPECT_HR(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_Dictionary, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                      aggregated.ReceiveVoid()));
    EXPECT_EQ(1u, outer.RefCount());
}

}  // namespace
}  // namespace vesk_test
