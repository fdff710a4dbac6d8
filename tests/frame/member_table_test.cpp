// The member-table machinery on the test interface: lookup over parts, row choice by flag,
// every argument and result kind, raw rows, and what happens to values on every path.
#include "contract/common/late_bound.h"
#include "frame/test_thing.h"
#include "support/test_support.h"

namespace vesk_test {
namespace {

class MemberTable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HR(S_OK, g_oCF_Thing.CreateInstance(nullptr, IID_ITestThing, m_thing.ReceiveVoid()));
    }
    void TearDown() override {
        m_thing.Reset();
        EXPECT_EQ(0, g_nThingCount);
    }
    LateBound Thing() const { return LateBound(m_thing.Get()); }
    CallResult Put(const wchar_t* name, WORD flags, CComVariant value) const {
        std::vector<CComVariant> args;
        args.push_back(std::move(value));
        return Thing().InvokeNamed(name, flags, std::move(args));
    }
    CallResult Get(const wchar_t* name) const { return Thing().InvokeNamed(name, DISPATCH_PROPERTYGET, {}); }

    CComPtr<ITestThing> m_thing;
};

TEST_F(MemberTable, LookupWalksThePartsInOrderAndTheFirstNameWins) {
    DISPID id = 0;
    EXPECT_HR(S_OK, Thing().Id(L"text", &id));
    EXPECT_EQ(1, id);
    EXPECT_HR(S_OK, Thing().Id(L"EXTRA", &id));
    EXPECT_EQ(20, id) << "names of a later part are found";
    EXPECT_HR(DISP_E_UNKNOWNNAME, Thing().Id(L"Texts", &id));
}

TEST_F(MemberTable, PropertyPutAndGetAreSeparateRows) {
    EXPECT_HR(S_OK, Put(L"Text", DISPATCH_PROPERTYPUT, VarStr(L"hello")).hr);
    CallResult r = Get(L"Text");
    ASSERT_HR(S_OK, r.hr);
    EXPECT_BSTR_EQ(L"hello", r.value.bstrVal);
    // With several bits the earlier row wins: the put.
    EXPECT_HR(S_OK, Put(L"Text", DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYGET, VarStr(L"again")).hr);
    EXPECT_BSTR_EQ(L"again", Get(L"Text").value.bstrVal);
    // The rows of another part answer their own DISPIDs only.
    CallResult extra = Thing().InvokeId(21, DISPATCH_PROPERTYGET, {});
    ASSERT_HR(S_OK, extra.hr);
    EXPECT_BSTR_EQ(L"again", extra.value.bstrVal);
}

TEST_F(MemberTable, WrongAssignmentFormIsMemberNotFound) {
    CountingDispatch target;
    EXPECT_HR(DISP_E_MEMBERNOTFOUND, Put(L"Target", DISPATCH_PROPERTYPUT, VarDisp(&target)).hr);
    EXPECT_HR(DISP_E_MEMBERNOTFOUND, Put(L"Text", DISPATCH_PROPERTYPUTREF, VarStr(L"x")).hr);
    EXPECT_HR(DISP_E_MEMBERNOTFOUND, Thing().InvokeNamed(L"Join", DISPATCH_PROPERTYGET, {}).hr);
    EXPECT_EQ(1u, target.RefCount());
}

TEST_F(MemberTable, ObjectArgumentsAreBorrowedAndResultsCarryOneReference) {
    CountingDispatch target;
    EXPECT_HR(S_OK, Put(L"Target", DISPATCH_PROPERTYPUTREF, VarDisp(&target)).hr);
    EXPECT_EQ(2u, target.RefCount()) << "only the object's own reference remains";
    {
        CallResult r = Get(L"Target");
        ASSERT_HR(S_OK, r.hr);
        EXPECT_EQ(VT_DISPATCH, r.value.vt);
        EXPECT_EQ(static_cast<IDispatch*>(&target), r.value.pdispVal);
        EXPECT_EQ(3u, target.RefCount());
    }
    EXPECT_EQ(2u, target.RefCount());
    EXPECT_HR(S_OK, Thing().InvokeNamed(L"Target", DISPATCH_PROPERTYGET, {}, false).hr);
    EXPECT_EQ(2u, target.RefCount()) << "a result nobody asked for is released";
    m_thing.Reset();
    EXPECT_EQ(1u, target.RefCount());
}

TEST_F(MemberTable, ObjectArgumentForms) {
    CountingDispatch target;
    CComVariant asUnknown;
    asUnknown.SetUnknown(&target);
    EXPECT_HR(S_OK, Put(L"Target", DISPATCH_PROPERTYPUTREF, std::move(asUnknown)).hr) << "asked for IDispatch";
    EXPECT_EQ(2u, target.RefCount());
    CComVariant nullDispatch;
    nullDispatch.vt = VT_DISPATCH;
    nullDispatch.pdispVal = nullptr;
    EXPECT_HR(E_INVALIDARG, Put(L"Target", DISPATCH_PROPERTYPUTREF, std::move(nullDispatch)).hr);
    EXPECT_HR(DISP_E_TYPEMISMATCH, Put(L"Target", DISPATCH_PROPERTYPUTREF, VarStr(L"x")).hr);
    EXPECT_HR(DISP_E_BADPARAMCOUNT, Thing().InvokeNamed(L"Target", DISPATCH_PROPERTYPUTREF, {}).hr);
    m_thing.Reset();  // it holds the target, which lives on this stack frame
    EXPECT_EQ(1u, target.RefCount());
}

TEST_F(MemberTable, UnknownArgumentsAndResults) {
    CountingDispatch object;
    {
        CallResult r = Thing().Call(L"Pass", VarDisp(&object));
        ASSERT_HR(S_OK, r.hr);
        EXPECT_EQ(VT_UNKNOWN, r.value.vt);
        EXPECT_EQ(static_cast<IUnknown*>(&object), r.value.punkVal);
    }
    EXPECT_EQ(1u, object.RefCount());
    EXPECT_HR(DISP_E_TYPEMISMATCH, Thing().Call(L"Pass", VarI4(3)).hr);
}

TEST_F(MemberTable, ArgumentsAreUnpackedInScriptOrderAndStopAtTheFirstFailure) {
    CallResult r = Thing().Call(L"Join", VarStr(L"ab"), VarI4(3), VarStr(L"!"));
    ASSERT_HR(S_OK, r.hr);
    EXPECT_BSTR_EQ(L"ababab!", r.value.bstrVal);
    EXPECT_HR(DISP_E_TYPEMISMATCH, Thing().Call(L"Join", VarStr(L"ab"), VarStr(L"three"), VarStr(L"!")).hr);
    EXPECT_HR(DISP_E_BADPARAMCOUNT, Thing().Call(L"Join", VarStr(L"ab"), VarI4(3)).hr);
}

TEST_F(MemberTable, BooleanArgumentsAreCoercedAndReturnedUnchanged) {
    EXPECT_HR(S_OK, Put(L"Flag", DISPATCH_PROPERTYPUT, VarI4(5)).hr);
    CallResult r = Get(L"Flag");
    ASSERT_HR(S_OK, r.hr);
    EXPECT_EQ(VT_BOOL, r.value.vt);
    EXPECT_EQ(VARIANT_TRUE, r.value.boolVal);
}

TEST_F(MemberTable, VariantResultIsACopy) {
    CallResult r = Thing().Call(L"Echo", VarStr(L"copy me"));
    ASSERT_HR(S_OK, r.hr);
    EXPECT_BSTR_EQ(L"copy me", r.value.bstrVal);
    EXPECT_HR(S_OK, Thing().InvokeNamed(L"Echo", DISPATCH_METHOD, [] {
                                   std::vector<CComVariant> a;
                                   a.push_back(VarStr(L"dropped"));
                                   return a;
                               }(), false).hr);
}

TEST_F(MemberTable, ArrayResultIsHandedOverOrDestroyed) {
    CallResult r = Thing().Call(L"MakeArray", VarI4(3));
    ASSERT_HR(S_OK, r.hr);
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, r.value.vt);
    EXPECT_EQ(3u, r.value.parray->rgsabound[0].cElements);
    // As a statement: the array is destroyed (the sanitizer build reports it otherwise).
    std::vector<CComVariant> args;
    args.push_back(VarI4(4));
    CallResult statement = Thing().InvokeNamed(L"MakeArray", DISPATCH_METHOD, std::move(args), false);
    EXPECT_HR(S_OK, statement.hr);
}

TEST_F(MemberTable, FailingOperationKeepsItsCodeAndErrorInformation) {
    SetErrorInfo(0, nullptr);
    const HRESULT code = hresult_of(0x80041234u);
    EXPECT_HR(code, Thing().Call(L"Fail", VarI4(code)).hr);
    CComPtr<IErrorInfo> info;
    ASSERT_HR(S_OK, GetErrorInfo(0, info.Receive()));
    CComBSTR source;
    info->GetSource(source.Receive());
    EXPECT_BSTR_EQ(L"Thing", source.m_str);
}

TEST_F(MemberTable, RawRowsSeeTheWholeArgumentBlock) {
    CallResult r = Thing().Call(L"CountArgs", VarI4(1), VarI4(2), VarI4(3));
    ASSERT_HR(S_OK, r.hr);
    EXPECT_EQ(3, r.value.lVal);
}

TEST(PassiveTypeInfoTest, NoMemberIsReachable) {
    PassiveTypeInfo info;
    EXPECT_HR(DISP_E_UNKNOWNNAME, info.GetIDsOfNames(nullptr, 0, nullptr));
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"Item")};
    MEMBERID id = 5;
    EXPECT_HR(DISP_E_UNKNOWNNAME, info.GetIDsOfNames(names, 1, &id));
    EXPECT_EQ(5, id);
    EXPECT_HR(DISP_E_MEMBERNOTFOUND, info.Invoke(nullptr, 0, DISPATCH_PROPERTYGET, nullptr, nullptr, nullptr, nullptr));
}

TEST(StaticTypeInfoTest, ReferencesAreNotCounted) {
    PassiveTypeInfo info;
    EXPECT_EQ(2u, info.AddRef());
    EXPECT_EQ(1u, info.Release());
    EXPECT_EQ(1u, info.Release());
}

}  // namespace
}  // namespace vesk_test
