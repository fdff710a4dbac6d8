// Late-bound name lookup and invocation rules, on the utility object.
#include "contract/common/late_bound.h"
#include "contract/common/loaded_module.h"
#include "support/test_support.h"

namespace vesk_test {
namespace {

class DispatchContract : public ContractTest {
protected:
    void SetUp() override {
        ContractTest::SetUp();
        m_util = Module().Create(L"Utility");
        ASSERT_TRUE(m_util);
    }
    void TearDown() override {
        m_util.Reset();
        ContractTest::TearDown();
    }
    LateBound Util() const { return LateBound(m_util.Get()); }

    CComPtr<IDispatch> m_util;
};

// ---- Names -----------------------------------------------------------------------------

TEST_F(DispatchContract, EveryUtilityNameHasItsDispatchIdentifierInAnyCase) {
    struct Row {
        const wchar_t* name;
        DISPID id;
    };
    const Row rows[] = {
        {L"MakeKey", 41},      {L"MAKEGUID", 42},     {L"sleep", 43},        {L"md5", 44},
        {L"Sha1", 45},         {L"findSTRING", 46},   {L"HanToZen", 47},     {L"zentohan", 48},
        {L"SubmitDecode", 49}, {L"TRIM", 50},         {L"HtmlEncode", 51},   {L"base64encode", 52},
        {L"UrlEncode", 53},    {L"BASE64DECODE", 54}, {L"urldecode", 55},
    };
    for (const Row& row : rows) {
        DISPID id = DISPID_UNKNOWN;
        EXPECT_HR(S_OK, Util().Id(row.name, &id)) << Utf8(row.name);
        EXPECT_EQ(row.id, id) << Utf8(row.name);
    }
}

TEST_F(DispatchContract, NamesOfOtherInterfacesAreUnknownHere) {
    for (const wchar_t* name : {L"Bag", L"Script", L"Process", L"View", L"MD", L"MD55", L""}) {
        DISPID id = 12345;
        EXPECT_HR(DISP_E_UNKNOWNNAME, Util().Id(name, &id)) << Utf8(name);
    }
}

TEST_F(DispatchContract, LookupLooksUpOnlyTheFirstName) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"trim"), const_cast<LPOLESTR>(L"text")};
    DISPID ids[2] = {-7, -7};
    EXPECT_HR(S_OK, m_util->GetIDsOfNames(IID_NULL, names, 2, 0, ids));
    EXPECT_EQ(50, ids[0]);
    EXPECT_EQ(-7, ids[1]) << "named-argument entries are left untouched";
}

TEST_F(DispatchContract, EmptyLookupIsAnInvalidArgument) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"Trim")};
    DISPID id = 0;
    EXPECT_HR(E_INVALIDARG, m_util->GetIDsOfNames(IID_NULL, names, 0, 0, &id));
    EXPECT_HR(E_INVALIDARG, m_util->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id));
    EXPECT_HR(E_INVALIDARG, m_util->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr));
}

// ---- Type information ------------------------------------------------------------------

TEST_F(DispatchContract, TypeInformationIsBuiltInAndAnswersOnlyLookupAndInvoke) {
    UINT count = 0;
    EXPECT_HR(S_OK, m_util->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    EXPECT_HR(S_OK, m_util->GetTypeInfoCount(nullptr));
    CComPtr<ITypeInfo> info;
    ASSERT_HR(S_OK, m_util->GetTypeInfo(0, 0, info.Receive()));
    ASSERT_TRUE(info);
    TYPEATTR* attr = nullptr;
    EXPECT_HR(E_NOTIMPL, info->GetTypeAttr(&attr));
    ITypeLib* lib = nullptr;
    UINT index = 0;
    EXPECT_HR(E_NOTIMPL, info->GetContainingTypeLib(&lib, &index));
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"md5")};
    MEMBERID id = 0;
    EXPECT_HR(S_OK, info->GetIDsOfNames(names, 1, &id));
    EXPECT_EQ(44, id);
    EXPECT_HR(E_INVALIDARG, info->QueryInterface(IID_ITypeInfo, nullptr));
    CComPtr<IUnknown> same;
    EXPECT_HR(S_OK, info->QueryInterface(IID_ITypeInfo, same.ReceiveVoid()));
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(E_NOINTERFACE, info->QueryInterface(IID_IDispatch, &pv));
    EXPECT_EQ(nullptr, pv);
}

// ---- Call flags ------------------------------------------------------------------------

TEST_F(DispatchContract, UtilityMembersAnswerOnlyMethodCalls) {
    struct Row {
        WORD flags;
        HRESULT expected;
    };
    const Row rows[] = {
        {DISPATCH_METHOD, S_OK},
        {DISPATCH_METHOD | DISPATCH_PROPERTYGET, S_OK},  // how script engines call a method
        {DISPATCH_PROPERTYGET, DISP_E_MEMBERNOTFOUND},
        {DISPATCH_PROPERTYPUT, DISP_E_MEMBERNOTFOUND},
        {DISPATCH_PROPERTYPUTREF, DISP_E_MEMBERNOTFOUND},
        {0, DISP_E_MEMBERNOTFOUND},
    };
    for (const Row& row : rows) {
        std::vector<CComVariant> args;
        args.push_back(VarI4(0));
        EXPECT_HR(row.expected, Util().InvokeNamed(L"Sleep", row.flags, std::move(args)).hr) << row.flags;
    }
}

TEST_F(DispatchContract, UnknownDispatchIdentifierIsMemberNotFound) {
    for (DISPID id : {0, 1, 40, 56, -1, DISPID_PROPERTYPUT}) {
        EXPECT_HR(DISP_E_MEMBERNOTFOUND, Util().InvokeId(id, DISPATCH_METHOD, {}).hr) << id;
    }
}

// ---- Arguments -------------------------------------------------------------------------

TEST_F(DispatchContract, MissingArgumentsFailBeforeTheOperationRuns) {
    struct Row {
        const wchar_t* name;
        int required;
    };
    const Row rows[] = {
        {L"MakeKey", 2},      {L"MakeGUID", 1},     {L"Sleep", 1},        {L"MD5", 2},
        {L"SHA1", 2},         {L"FindString", 2},   {L"HanToZen", 1},     {L"ZenToHan", 1},
        {L"SubmitDecode", 1}, {L"Trim", 1},         {L"HTMLEncode", 1},   {L"Base64Encode", 2},
        {L"URLEncode", 2},    {L"Base64Decode", 2}, {L"URLDecode", 2},
    };
    for (const Row& row : rows) {
        for (int given = 0; given < row.required; ++given) {
            std::vector<CComVariant> args;
            for (int i = 0; i < given; ++i) args.push_back(VarStr(L"1"));
            CallResult r = Util().InvokeNamed(row.name, DISPATCH_METHOD, std::move(args));
            EXPECT_HR(DISP_E_BADPARAMCOUNT, r.hr) << Utf8(row.name) << " with " << given;
            EXPECT_EQ(VT_EMPTY, r.value.vt);
        }
    }
}

TEST_F(DispatchContract, NoArgumentBlockAtAllIsAMissingArgument) {
    DISPID id = 0;
    ASSERT_HR(S_OK, Util().Id(L"Trim", &id));
    CComVariant result;
    EXPECT_HR(DISP_E_BADPARAMCOUNT, m_util->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, nullptr, &result, nullptr, nullptr));
}

TEST_F(DispatchContract, ExtraArgumentsAreIgnored) {
    CallResult r = Util().Call(L"MD5", VarStr(L"abc"), VarI4(0), VarStr(L"extra"));
    ASSERT_HR(S_OK, r.hr);
    EXPECT_BSTR_EQ(L"900150983cd24fb0d6963f7d28e17f72", r.value.bstrVal);
}

TEST_F(DispatchContract, ArgumentsAreCoercedOrRejectedAsTypeMismatch) {
    CallResult fromText = Util().Call(L"MD5", VarStr(L"abc"), VarStr(L"0"));
    ASSERT_HR(S_OK, fromText.hr) << "the charset converts from text";
    EXPECT_BSTR_EQ(L"900150983cd24fb0d6963f7d28e17f72", fromText.value.bstrVal);
    EXPECT_HR(DISP_E_TYPEMISMATCH, Util().Call(L"MakeKey", VarStr(L"eight"), VarStr(L"AB")).hr);
    EXPECT_HR(DISP_E_TYPEMISMATCH, Util().Call(L"Trim", VarNull()).hr);
    CallResult fromNumber = Util().Call(L"Trim", VarI4(42));
    ASSERT_HR(S_OK, fromNumber.hr);
    EXPECT_BSTR_EQ(L"42", fromNumber.value.bstrVal);
}

TEST_F(DispatchContract, ByReferenceArgumentsAreReadThroughTheirReference) {
    CComVariant text = VarStr(L"abc");
    CComVariant charset = VarI4(0);
    CComVariant refText;
    refText.vt = VT_BYREF | VT_VARIANT;
    refText.pvarVal = &text;
    CComVariant refCharset;
    refCharset.vt = VT_BYREF | VT_VARIANT;
    refCharset.pvarVal = &charset;
    std::vector<CComVariant> args;
    args.push_back(std::move(refText));
    args.push_back(std::move(refCharset));
    CallResult r = Util().InvokeNamed(L"MD5", DISPATCH_METHOD, std::move(args));
    ASSERT_HR(S_OK, r.hr);
    EXPECT_BSTR_EQ(L"900150983cd24fb0d6963f7d28e17f72", r.value.bstrVal);
    // The referenced values belong to the caller and are left as they were.
    EXPECT_BSTR_EQ(L"abc", text.bstrVal);

    // Coerced arguments follow their reference too.
    CComVariant refToText;
    refToText.vt = VT_BYREF | VT_VARIANT;
    refToText.pvarVal = &text;
    std::vector<CComVariant> trimArgs;
    trimArgs.push_back(std::move(refToText));
    CallResult trimmed = Util().InvokeNamed(L"HTMLEncode", DISPATCH_METHOD, std::move(trimArgs));
    ASSERT_HR(S_OK, trimmed.hr);
    EXPECT_BSTR_EQ(L"abc", trimmed.value.bstrVal);
}

TEST_F(DispatchContract, CallsWithoutAResultVariantFreeTheirResult) {
    // Leak checking in the sanitizer build catches a result that is dropped instead of freed.
    for (const wchar_t* name : {L"MD5", L"Base64Encode", L"URLEncode"}) {
        std::vector<CComVariant> args;
        args.push_back(VarStr(L"text"));
        args.push_back(VarI4(0));
        EXPECT_HR(S_OK, Util().InvokeNamed(name, DISPATCH_METHOD, std::move(args), false).hr) << Utf8(name);
    }
    std::vector<CComVariant> decodeArgs;
    decodeArgs.push_back(VarStr(L"YWJj"));
    decodeArgs.push_back(VarI4(-2));
    EXPECT_HR(S_OK, Util().InvokeNamed(L"Base64Decode", DISPATCH_METHOD, std::move(decodeArgs), false).hr);
}

TEST_F(DispatchContract, FailingOperationsSetNoErrorInformation) {
    SetErrorInfo(0, nullptr);
    EXPECT_HR(E_FAIL, Util().Call(L"URLDecode", VarStr(L"a+b"), VarI4(0)).hr);
    EXPECT_HR(E_INVALIDARG, Util().Call(L"MD5", VarI4(1), VarI4(0)).hr);
    CComPtr<IErrorInfo> info;
    EXPECT_HR(S_FALSE, GetErrorInfo(0, info.Receive()));
    EXPECT_FALSE(info);
}

}  // namespace
}  // namespace vesk_test
