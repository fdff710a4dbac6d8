// The scriptable test object follows the calling conventions other suites rely on.
#include "support/test_support.h"

using namespace vesk_test;

namespace {

DISPID id_of(IDispatch* d, const wchar_t* name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    EXPECT_HR(S_OK, d->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    return id;
}

TEST(ScriptObject, MethodsSeeArgumentsInScriptOrder) {
    CComPtr<ScriptObject> obj = ScriptObject::Create();
    obj->AddMethod(L"Join", [](ScriptObject::Args args, VARIANT* result) {
        CComVariant a, b;
        HRESULT hr = VariantChangeType(&a, args.at(0), 0, VT_BSTR);
        if (SUCCEEDED(hr)) hr = VariantChangeType(&b, args.at(1), 0, VT_BSTR);
        if (FAILED(hr)) return hr;
        CComBSTR joined(a.bstrVal);
        joined.Append(b.bstrVal);
        result->vt = VT_BSTR;
        result->bstrVal = joined.Detach();
        return S_OK;
    });
    const DISPID id = id_of(obj.Get(), L"jOIN");
    CComVariant args[2] = {VarI4(2), VarStr(L"one")};  // last argument first
    DISPPARAMS dp{args, nullptr, 2, 0};
    CComVariant result;
    ASSERT_HR(S_OK, obj->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &dp, &result, nullptr, nullptr));
    EXPECT_BSTR_EQ(L"one2", result.bstrVal);
    EXPECT_EQ(1, obj->CallCount(L"join"));
}

TEST(ScriptObject, PropertiesGetAndPutByNamedArgument) {
    CComPtr<ScriptObject> obj = ScriptObject::Create();
    obj->SetProperty(L"Title", VarStr(L"old"));
    const DISPID id = id_of(obj.Get(), L"title");
    CComVariant value = VarStr(L"new");
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS dp{&value, &put, 1, 1};
    ASSERT_HR(S_OK, obj->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &dp, nullptr, nullptr, nullptr));
    CComVariant got = obj->Property(L"TITLE");
    EXPECT_BSTR_EQ(L"new", got.bstrVal);
    DISPPARAMS unnamed{&value, nullptr, 1, 0};
    EXPECT_HR(DISP_E_PARAMNOTFOUND, obj->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamed, nullptr, nullptr, nullptr));
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    CComVariant result;
    ASSERT_HR(S_OK, obj->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
    EXPECT_BSTR_EQ(L"new", result.bstrVal);

    DISPID unknown = 0;
    LPOLESTR missing[] = {const_cast<LPOLESTR>(L"Nope")};
    EXPECT_HR(DISP_E_UNKNOWNNAME, obj->GetIDsOfNames(IID_NULL, missing, 1, 0, &unknown));
    EXPECT_EQ(DISPID_UNKNOWN, unknown);
    EXPECT_HR(DISP_E_MEMBERNOTFOUND, obj->Invoke(99, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
}

}  // namespace
