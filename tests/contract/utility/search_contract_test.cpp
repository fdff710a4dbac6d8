// FindString and the width conversions, late-bound.
#include <functional>

#include "contract/utility/utility_fixture.h"

namespace vesk_test {
namespace {

using Search = UtilityContract;

CComVariant Str(const wchar_t* text) { return VarStr(text); }

TEST_F(Search, FindStringComparesStringFormsOfEveryPair) {
    CComVariant a = Str(L"a"), b = Str(L"b"), c = Str(L"c"), x = Str(L"x"), y = Str(L"y"), z = Str(L"z");
    CComVariant two = VarI4(2), twoText = Str(L"2"), empty, emptyText = Str(L"");
    struct Row {
        const char* what;
        std::function<CComVariant()> first;
        std::function<CComVariant()> second;
        VARIANT_BOOL expected;
    };
    const std::vector<Row> rows = {
        {"value in array", [&] { return VarArray({&a, &b, &c}); }, [&] { return Str(L"b"); }, VARIANT_TRUE},
        {"array in value", [&] { return Str(L"b"); }, [&] { return VarArray({&a, &b, &c}); }, VARIANT_TRUE},
        {"number and its text", [&] { return VarI4(2); }, [&] { return Str(L"2"); }, VARIANT_TRUE},
        {"two arrays sharing one", [&] { return VarArray({&x, &y}); }, [&] { return VarArray({&z, &y}); }, VARIANT_TRUE},
        {"two arrays sharing none", [&] { return VarArray({&x, &y}); }, [&] { return VarArray({&a, &z}); }, VARIANT_FALSE},
        {"mixed array", [&] { return VarArray({&two, &x}); }, [&] { return VarArray({&twoText}); }, VARIANT_TRUE},
        {"empty value and empty text", [&] { return CComVariant(); }, [&] { return Str(L""); }, VARIANT_TRUE},
        {"empty arrays", [&] { return VarArray({}); }, [&] { return VarArray({}); }, VARIANT_FALSE},
        {"different values", [&] { return Str(L"a"); }, [&] { return Str(L"b"); }, VARIANT_FALSE},
    };
    for (const Row& row : rows) {
        CallResult r = Call(L"FindString", row.first(), row.second());
        ASSERT_HR(S_OK, r.hr) << row.what;
        EXPECT_EQ(VT_BOOL, r.value.vt) << row.what;
        EXPECT_EQ(row.expected, r.value.boolVal) << row.what;
    }
}

TEST_F(Search, FindStringCaseFollowsTheHostComparison) {
    CComVariant upper = Str(L"A"), lower = Str(L"a");
    const VARIANT_BOOL expected = VarCmp(&upper, &lower, 0, 0) == VARCMP_EQ ? VARIANT_TRUE : VARIANT_FALSE;
    CallResult r = Call(L"FindString", Str(L"A"), Str(L"a"));
    ASSERT_HR(S_OK, r.hr);
    EXPECT_EQ(expected, r.value.boolVal);
}

TEST_F(Search, FindStringStopsAtAValueWithoutAStringForm) {
    CComVariant a = Str(L"a"), null = VarNull();
    CComVariant probe;
    const HRESULT conversion = VariantChangeType(&probe, &null, 0, VT_BSTR);
    ASSERT_TRUE(FAILED(conversion));
    EXPECT_HR(conversion, Call(L"FindString", VarArray({&a, &null}), Str(L"z")).hr);
    EXPECT_HR(conversion, Call(L"FindString", Str(L"a"), VarNull()).hr);
}

TEST_F(Search, FindStringTreatsANullArrayAsNoMatch) {
    CComVariant noArray;
    noArray.vt = VT_ARRAY | VT_VARIANT;
    noArray.parray = nullptr;
    CallResult r = Call(L"FindString", std::move(noArray), Str(L"a"));
    ASSERT_HR(S_OK, r.hr);
    EXPECT_EQ(VARIANT_FALSE, r.value.boolVal);
}

TEST_F(Search, FindStringReadsAnArrayPassedByReference) {
    CComVariant a = Str(L"a"), b = Str(L"b");
    CComVariant array = VarArray({&a, &b});
    CComVariant ref;
    ref.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    ref.pparray = &array.parray;
    CallResult r = Call(L"FindString", std::move(ref), Str(L"b"));
    ASSERT_HR(S_OK, r.hr);
    EXPECT_EQ(VARIANT_TRUE, r.value.boolVal);
    EXPECT_EQ(VT_ARRAY | VT_VARIANT, array.vt) << "the caller's array is only borrowed";
}

TEST_F(Search, FindStringRejectsArraysThatAreNotScriptArrays) {
    EXPECT_HR(E_INVALIDARG, Call(L"FindString", VarBytes({'a'}), Str(L"a")).hr);
}

TEST_F(Search, WidthConversionsReturnTheirInputUnchanged) {
    const wchar_t* const texts[] = {L"\uff71\uff72AB\uff21\uff22 \u30a2", L"", L"plain"};
    for (const wchar_t* member : {L"HanToZen", L"ZenToHan"}) {
        for (const wchar_t* text : texts) {
            CallResult r = Call(member, Str(text));
            ASSERT_HR(S_OK, r.hr) << Utf8(member);
            EXPECT_BSTR_EQ(text, r.value.bstrVal) << Utf8(member);
        }
        CallResult fromNull = Call(member, VarNullString());
        ASSERT_HR(S_OK, fromNull.hr);
        EXPECT_EQ(0u, SysStringLen(fromNull.value.bstrVal));
    }
}

}  // namespace
}  // namespace vesk_test
