// The dictionary component through CoCreateInstance: key identity across types and compare
// modes, insertion order, the published failures, object ownership and late binding.
#include <string>
#include <vector>

#include "component_helpers.h"
#include "hostkit/components/components.h"

namespace vesk_test {
namespace {

constexpr HRESULT kKeyExists = hresult_of(0x800A01C9);
constexpr HRESULT kNotFound = hresult_of(0x800A802B);
constexpr HRESULT kInvalidCall = hresult_of(0x800A0005);
constexpr HRESULT kTypeMismatch = hresult_of(0x800A000D);

CComPtr<IZULibDictionary> NewDictionary() {
    return CreateComponent<IZULibDictionary>(CLSID_Dictionary, IID_IZULibDictionary);
}

template <class T>
CComVariant Typed(VARTYPE vt, T value) {
    CComVariant v;
    v.vt = vt;
    static_assert(sizeof(T) <= 8);
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
    EXPECT_HR(S_OK, d->Exists(const_cast<VARIANT*>(&key), &exists));
    return exists == VARIANT_TRUE;
}

// The elements of a VT_ARRAY|VT_VARIANT result, as text ("" for non-strings, the number
// for VT_I4), checking the array's shape on the way.
std::vector<std::wstring> Elements(const VARIANT& array) {
    EXPECT_EQ(VT_ARRAY | VT_VARIANT, array.vt);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(array.parray, 1, &lower);
    SafeArrayGetUBound(array.parray, 1, &upper);
    EXPECT_EQ(0, lower);
    std::vector<std::wstring> out;
    for (LONG i = lower; i <= upper; ++i) {
        CComVariant element;
        SafeArrayGetElement(array.parray, &i, element.Receive());
        if (element.vt == VT_BSTR) out.emplace_back(View(element.bstrVal));
        else if (element.vt == VT_I4) out.push_back(std::to_wstring(element.lVal));
        else out.emplace_back();
    }
    return out;
}

TEST(DictionaryItems, AddExistsRemoveCountAndOrder) {
    auto d = NewDictionary();
    for (const wchar_t* key : {L"b", L"a", L"c"}) {
        CComVariant k = VarStr(key), item = VarStr((std::wstring(key) + L"!").c_str());
        ASSERT_HR(S_OK, d->Add(&k, &item));
    }
    EXPECT_EQ(3, CountOf(d.Get()));
    EXPECT_TRUE(Has(d.Get(), VarStr(L"a")));
    EXPECT_FALSE(Has(d.Get(), VarStr(L"A")));  // binary comparison by default
    CComVariant a = VarStr(L"a");
    ASSERT_HR(S_OK, d->Remove(&a));
    CComVariant item = VarI4(5);
    ASSERT_HR(S_OK, d->put_Item(&a, &item));  // re-added at the end
    CComVariant keys, items;
    ASSERT_HR(S_OK, d->Keys(keys.Receive()));
    ASSERT_HR(S_OK, d->Items(items.Receive()));
    EXPECT_EQ((std::vector<std::wstring>{L"b", L"c", L"a"}), Elements(keys));
    EXPECT_EQ((std::vector<std::wstring>{L"b!", L"c!", L"5"}), Elements(items));

    CComVariant b = VarStr(L"b"), renamed = VarStr(L"z");
    ASSERT_HR(S_OK, d->put_Key(&b, &renamed));  // keeps its place
    CComVariant keysAfter;
    d->Keys(keysAfter.Receive());
    EXPECT_EQ((std::vector<std::wstring>{L"z", L"c", L"a"}), Elements(keysAfter));

    ASSERT_HR(S_OK, d->RemoveAll());
    CComVariant none;
    d->Keys(none.Receive());
    EXPECT_TRUE(Elements(none).empty());
}

TEST(DictionaryItems, ReadingAMissingKeyAddsItEmpty) {
    auto d = NewDictionary();
    CComVariant key = VarStr(L"nothing"), value;
    ASSERT_HR(S_OK, d->get_Item(&key, value.Receive()));
    EXPECT_EQ(VT_EMPTY, value.vt);
    EXPECT_EQ(1, CountOf(d.Get()));
    EXPECT_TRUE(Has(d.Get(), VarStr(L"nothing")));
}

TEST(DictionaryItems, FailuresCarryThePublishedCodesAndTexts) {
    auto d = NewDictionary();
    CComVariant key = VarStr(L"k"), item = VarI4(1), other = VarStr(L"other");
    ASSERT_HR(S_OK, d->Add(&key, &item));
    EXPECT_HR(kKeyExists, d->Add(&key, &item));
    EXPECT_EQ(L"This key is already associated with an element of this collection", LastErrorDescription());
    EXPECT_HR(kNotFound, d->Remove(&other));
    EXPECT_EQ(L"Element not found", LastErrorDescription());
    EXPECT_HR(kNotFound, d->put_Key(&other, &key));
    d->Add(&other, &item);
    EXPECT_HR(kKeyExists, d->put_Key(&other, &key));
    EXPECT_HR(kInvalidCall, d->put_CompareMode(Scripting::TextCompare));
    EXPECT_EQ(L"Invalid procedure call or argument", LastErrorDescription());

    CComVariant array;
    array.vt = VT_ARRAY | VT_VARIANT;
    array.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    EXPECT_HR(kTypeMismatch, d->Add(&array, &item));
    EXPECT_EQ(2, CountOf(d.Get()));
}

// ---- Key identity ----------------------------------------------------------------------

TEST(DictionaryKeys, NumbersAreOneKeyWhateverTheirType) {
    auto d = NewDictionary();
    CComVariant one = Typed<int16_t>(VT_I2, 1), item = VarStr(L"one");
    ASSERT_HR(S_OK, d->Add(&one, &item));
    DECIMAL dec{};
    dec.Lo64 = 10;
    dec.scale = 1;  // 1.0
    CComVariant decimalOne;
    decimalOne.decVal = dec;
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
        {"R8 1.5", VarR8(1.5), false},
        {"string 1", VarStr(L"1"), false},
        {"True", VarBool(true), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.same, Has(d.Get(), c.key));
    }
    CComVariant half = VarR8(0.5), r4half = Typed<float>(VT_R4, 0.5f);
    d->Add(&half, &item);
    EXPECT_TRUE(Has(d.Get(), r4half));
}

TEST(DictionaryKeys, TextCompareIgnoresCaseOnlyWhenChosenWhileEmpty) {
    auto text = NewDictionary();
    ASSERT_HR(S_OK, text->put_CompareMode(Scripting::TextCompare));
    CComVariant key = VarStr(L"Straße ÄÖ"), item = VarI4(1);
    ASSERT_HR(S_OK, text->Add(&key, &item));
    EXPECT_TRUE(Has(text.Get(), VarStr(L"STRAßE äö")));
    CComVariant upper = VarStr(L"straße äö");
    EXPECT_HR(kKeyExists, text->Add(&upper, &item));
    CComVariant keys;
    text->Keys(keys.Receive());
    EXPECT_EQ((std::vector<std::wstring>{L"Straße ÄÖ"}), Elements(keys));  // the key keeps its first spelling

    auto binary = NewDictionary();
    binary->Add(&key, &item);
    EXPECT_FALSE(Has(binary.Get(), VarStr(L"straße äö")));
}

TEST(DictionaryKeys, ObjectsAreKeyedByIdentity) {
    CountingDispatch first, second;
    auto d = NewDictionary();
    CComVariant key = VarDisp(&first), item = VarI4(1);
    ASSERT_HR(S_OK, d->Add(&key, &item));
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
        CComVariant a = VarStr(L"a"), b = VarStr(L"b"), c = VarStr(L"c"), value = VarDisp(&object);
        d->Add(&a, &value);
        d->putref_Item(&b, &value);
        CComVariant objectKey = VarDisp(&object), number = VarI4(1);
        d->Add(&objectKey, &number);
        EXPECT_EQ(6u, object.RefCount());  // its own, the test's two holders, three in the dictionary
        objectKey.Reset();
        value.Reset();
        ASSERT_HR(S_OK, d->Remove(&a));
        EXPECT_EQ(3u, object.RefCount());
        {
            CComVariant items;
            d->Items(items.Receive());
            EXPECT_EQ(4u, object.RefCount());  // the array holds a copy
        }
        EXPECT_EQ(3u, object.RefCount());
        CComVariant plain = VarI4(2);
        d->put_Item(&b, &plain);  // replacing the item releases the old one
        EXPECT_EQ(2u, object.RefCount());
        d->put_Item(&c, &plain);
        CComVariant again = VarDisp(&object);
        d->put_Item(&c, &again);
    }
    EXPECT_EQ(1u, object.RefCount());  // destruction released the rest

    CountingDispatch held;
    auto d = NewDictionary();
    CComVariant k = VarStr(L"k"), v = VarDisp(&held);
    d->Add(&k, &v);
    v.Reset();
    d->RemoveAll();
    EXPECT_EQ(1u, held.RefCount());
}

TEST(DictionaryOwnership, ByReferenceItemsAreStoredAsValues) {
    auto d = NewDictionary();
    LONG number = 7;
    VARIANT byRef;
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &number;
    CComVariant key = VarStr(L"n");
    ASSERT_HR(S_OK, d->Add(&key, &byRef));
    number = 8;
    CComVariant stored;
    d->get_Item(&key, stored.Receive());
    EXPECT_EQ(VT_I4, stored.vt);
    EXPECT_EQ(7, stored.lVal);
}

// ---- Identity and late binding ---------------------------------------------------------

TEST(DictionaryObject, ScriptsDriveItByNameWithItemAsTheDefault) {
    auto d = NewDictionary();
    CComPtr<IDispatch> script;
    ASSERT_HR(S_OK, d->QueryInterface(IID_IDispatch, script.ReceiveVoid()));
    CComPtr<IUnknown> published;
    EXPECT_HR(S_OK, d->QueryInterface(veskhost::IID_IDictionary, published.ReceiveVoid()));

    ASSERT_HR(S_OK, CallByName(script.Get(), L"add", DISPATCH_METHOD, {VarStr(L"x"), VarI4(10)}));
    ASSERT_HR(S_OK, CallByName(script.Get(), L"Item", DISPATCH_PROPERTYPUT, {VarStr(L"y"), VarI4(20)}));
    CComVariant value;
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    CComVariant key = VarStr(L"y");
    params.rgvarg = &key;
    params.cArgs = 1;
    ASSERT_HR(S_OK, script->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &params,
                                   value.Receive(), nullptr, nullptr));
    EXPECT_EQ(20, value.lVal);
    CComVariant exists, count;
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
    ASSERT_EQ(VT_UNKNOWN, enumerator.vt);
    CComPtr<veskhost::IEnumVARIANT> keys;
    ASSERT_HR(S_OK, enumerator.punkVal->QueryInterface(veskhost::IID_IEnumVARIANT, keys.ReceiveVoid()));
    VARIANT fetched[3];
    ULONG got = 0;
    EXPECT_HR(S_FALSE, keys->Next(3, fetched, &got));
    ASSERT_EQ(2u, got);
    EXPECT_BSTR_EQ(L"x", fetched[0].bstrVal);
    EXPECT_BSTR_EQ(L"y", fetched[1].bstrVal);
    for (ULONG i = 0; i < got; ++i) VariantClear(&fetched[i]);
}

TEST(DictionaryObject, AggregationIsRefused) {
    CountingDispatch outer;
    CComPtr<IUnknown> aggregated;
    EXPECT_HR(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_Dictionary, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                      aggregated.ReceiveVoid()));
    EXPECT_EQ(1u, outer.RefCount());
}

}  // namespace
}  // namespace vesk_test
