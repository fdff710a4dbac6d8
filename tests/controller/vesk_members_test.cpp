// The page controller's late-bound members: every name and DISPID, and the rows whose
// unpacking is the controller's own (the View rows, the default member, read-only and
// reference-only properties, members not built yet).
#include <gtest/gtest.h>

#include <cwctype>
#include <functional>
#include <string>
#include <vector>

#include "controller_fixture.h"
#include "host/automation.h"

namespace vesk_test {
namespace {

constexpr const wchar_t* kNames[] = {
    L"Bag", L"Script", L"Command", L"Template", L"TemplateFolder", L"TemplateExt", L"TemplateCharset",
    L"DefaultTemplate", L"TemplatePermissionPath", L"CommandName", L"Output", L"View", L"SetView", L"Include",
    L"Request", L"Name", L"Backable", L"NullIsEmpty", L"SubmitDecodeOnPutInto", L"CacheTemplate", L"SelfEncode",
    L"AddScript", L"PutIntoBag", L"PutIntoView", L"PutIntoProp", L"Write", L"Abandon", L"AddLog", L"FireEvent",
    L"AddMessage", L"MessageExists", L"ProcessTemplate", L"Process", L"ToArray", L"ToCommand", L"ToParameter",
    L"Redirect", L"DrawTemplate", L"NewADOCommand", L"NewTemplator", L"NewMail", L"MakeKey", L"MakeGUID",
    L"Sleep", L"MD5", L"SHA1", L"FindString", L"HanToZen", L"ZenToHan", L"SubmitDecode", L"Trim", L"HTMLEncode",
    L"Base64Encode", L"URLEncode", L"Base64Decode", L"URLDecode"};

std::wstring Swapped(const wchar_t* name) {
    std::wstring swapped(name);
    for (wchar_t& c : swapped) c = std::iswupper(c) ? std::towlower(c) : std::towupper(c);
    return swapped;
}

TEST(VeskMembers, EveryNameHasItsDispidInAnyCase) {
    CComPtr<IVesk> vesk = NewController(nullptr);
    static_assert(std::size(kNames) == 56);
    for (DISPID expected = 0; expected < DISPID(std::size(kNames)); ++expected) {
        const wchar_t* name = kNames[expected];
        for (const std::wstring& written : {std::wstring(name), Swapped(name)}) {
            DISPID id = DISPID_UNKNOWN;
            EXPECT_HR(S_OK, automation::GetMemberId(vesk.Get(), written.c_str(), &id)) << Utf8(written);
            EXPECT_EQ(expected, id) << Utf8(written);
        }
    }
    DISPID id = 7;
    EXPECT_HR(DISP_E_UNKNOWNNAME, automation::GetMemberId(vesk.Get(), L"Views", &id));
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"Bag")};
    EXPECT_HR(E_INVALIDARG, vesk->GetIDsOfNames(IID_NULL, names, 0, 0, &id));
}

// A controller driven by name, as a page script drives it.
class LateBoundVesk : public ::testing::Test {
protected:
    void SetUp() override {
        out = CMemoryStream::Create();
        vesk = NewController(out.Get());
    }
    HRESULT Call(const wchar_t* name, WORD flags, std::vector<CComVariant> args, CComVariant* result = nullptr) {
        if (result) result->Reset();
        return automation::InvokeByName(vesk.Get(), name, flags, args, result);
    }
    template <class... A>
    HRESULT Method(const wchar_t* name, A... args) {
        return Call(name, DISPATCH_METHOD, ArgsOf(std::move(args)...), &result);
    }

    CComPtr<CMemoryStream> out;
    CComPtr<IVesk> vesk;
    CComVariant result;
};

TEST_F(LateBoundVesk, PropertiesAnswerOnlyTheirOwnKindOfCall) {
    struct Row { const char* title; const wchar_t* name; WORD flags; std::function<CComVariant()> value; HRESULT hr; };
    CountingDispatch object;
    const Row rows[] = {
        {"Script is assigned by reference", L"Script", DISPATCH_PROPERTYPUTREF, [&] { return VarDisp(&object); }, S_OK},
        {"not by value", L"Script", DISPATCH_PROPERTYPUT, [&] { return VarDisp(&object); }, DISP_E_MEMBERNOTFOUND},
        {"Output neither", L"Output", DISPATCH_PROPERTYPUT, [&] { return VarDisp(&object); }, DISP_E_MEMBERNOTFOUND},
        {"Command is assigned by value", L"Command", DISPATCH_PROPERTYPUT, [] { return VarI4(12); }, S_OK},
        {"not by reference", L"Command", DISPATCH_PROPERTYPUTREF, [] { return VarStr(L"x"); }, DISP_E_MEMBERNOTFOUND},
        {"Request is read-only", L"Request", DISPATCH_PROPERTYPUT, [] { return VarStr(L"x"); }, DISP_E_MEMBERNOTFOUND},
        {"Include is read-only", L"Include", DISPATCH_PROPERTYPUT, [] { return VarStr(L"x"); }, DISP_E_MEMBERNOTFOUND},
        {"Bag is read-only", L"Bag", DISPATCH_PROPERTYPUT, [] { return VarStr(L"x"); }, DISP_E_MEMBERNOTFOUND},
        {"a Boolean from a number", L"NullIsEmpty", DISPATCH_PROPERTYPUT, [] { return VarI4(1); }, S_OK},
        {"a Boolean from a text that is none", L"Backable", DISPATCH_PROPERTYPUT, [] { return VarStr(L"maybe"); },
         DISP_E_TYPEMISMATCH},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        EXPECT_HR(row.hr, Call(row.name, row.flags, ArgsOf(row.value())));
    }
    ASSERT_HR(S_OK, Call(L"Script", DISPATCH_PROPERTYGET, {}, &result));
    EXPECT_EQ(&object, result.pdispVal);
    ASSERT_HR(S_OK, Call(L"Command", DISPATCH_PROPERTYGET, {}, &result));
    EXPECT_BSTR_EQ(L"12", result.bstrVal);
    ASSERT_HR(S_OK, Call(L"NullIsEmpty", DISPATCH_PROPERTYGET, {}, &result));
    EXPECT_EQ(VARIANT_TRUE, result.boolVal) << "the dispatch layer makes any non-zero number True";
    EXPECT_HR(DISP_E_MEMBERNOTFOUND, Call(L"Sleep", DISPATCH_PROPERTYGET, {}, &result)) << "utility rows are methods";
    result.Reset();
    vesk.Reset();
    EXPECT_EQ(1u, object.RefCount()) << "the script went with the controller";
}

TEST_F(LateBoundVesk, ViewRowsReadAndWriteTheViewDictionaryDuringAProcess) {
    EXPECT_HR(E_FAIL, Method(L"SetView", VarStr(L"k"), VarI4(5))) << "no View outside a process";
    EXPECT_HR(E_FAIL, Call(L"View", DISPATCH_PROPERTYGET, ArgsOf(VarStr(L"k")), &result));

    auto page = ScriptObject::Create();
    std::vector<std::wstring> seen;
    page->AddMethod(L"OnTemplate_", [&](ScriptObject::Args, VARIANT* drawn) {
        EXPECT_HR(S_OK, Call(L"View", DISPATCH_PROPERTYPUT, ArgsOf(VarStr(L"k"), VarI4(5))));
        EXPECT_HR(S_OK, Call(L"View", DISPATCH_PROPERTYGET, ArgsOf(VarStr(L"k")), &result));
        seen.push_back(std::to_wstring(result.lVal));
        EXPECT_HR(S_OK, Method(L"SetView", VarStr(L"k"), VarStr(L"six")));
        EXPECT_HR(S_OK, Call(L"View", DISPATCH_PROPERTYGET | DISPATCH_METHOD, ArgsOf(VarStr(L"k")), &result));
        seen.emplace_back(result.bstrVal);
        EXPECT_HR(DISP_E_BADPARAMCOUNT, Method(L"SetView", VarStr(L"k")));
        EXPECT_HR(S_OK, Call(L"View", DISPATCH_PROPERTYGET, {}, &result));
        CComPtr<IZULibDictionary> view;
        EXPECT_EQ(VT_DISPATCH, result.vt);
        if (result.vt == VT_DISPATCH) result.pdispVal->QueryInterface(IID_IZULibDictionary, view.ReceiveVoid());
        LONG count = 0;
        if (view) view->get_Count(&count);
        seen.push_back(std::to_wstring(count));
        drawn->vt = VT_BOOL;
        drawn->boolVal = VARIANT_TRUE;
        return S_OK;
    });
    ASSERT_HR(S_OK, Method(L"AddScript", VarDisp(page.Get())));
    ASSERT_HR(S_OK, Call(L"Command", DISPATCH_PROPERTYPUT, ArgsOf(VarStr(L"x"))));
    page->AddMethod(L"OnCommand_x", [](ScriptObject::Args, VARIANT*) { return S_OK; });
    ASSERT_HR(S_OK, Method(L"Process"));
    EXPECT_EQ((std::vector<std::wstring>{L"5", L"six", L"1"}), seen);
}

TEST_F(LateBoundVesk, ScriptMembersAndMessagesByName) {
    auto page = ScriptObject::Create();
    page->AddMethod(L"Greet", [](ScriptObject::Args args, VARIANT* out) {
        VARIANT* value = args.size() == 2 && args[1]->vt == (VT_BYREF | VT_VARIANT) ? args[1]->pvarVal : nullptr;
        if (value == nullptr) return DISP_E_TYPEMISMATCH;
        VariantClear(value);
        VarStr(L"changed").Detach(value);
        return VarStr(L"hello").Detach(out), S_OK;
    });
    ASSERT_HR(S_OK, Method(L"AddScript", VarDisp(page.Get())));
    // The script's own variables, passed by reference as a script engine passes them.
    CComVariant value = VarStr(L"before"), answer;
    ASSERT_HR(S_OK, Method(L"FireEvent", VarStr(L"Greet"), automation::ByRef(&value), automation::ByRef(&answer)));
    EXPECT_EQ(VARIANT_TRUE, result.boolVal);
    EXPECT_BSTR_EQ(L"changed", value.bstrVal);
    EXPECT_BSTR_EQ(L"hello", answer.bstrVal);
    ASSERT_HR(S_OK, Method(L"FireEvent", VarStr(L"Nobody"), VarStr(L""), automation::ByRef(&answer)));
    EXPECT_EQ(VARIANT_FALSE, result.boolVal);
    EXPECT_BSTR_EQ(L"hello", answer.bstrVal);

    EXPECT_HR(DISP_E_BADPARAMCOUNT, Method(L"MessageExists"));
    CComVariant omitted;
    omitted.SetError(DISP_E_PARAMNOTFOUND);
    ASSERT_HR(S_OK, Method(L"MessageExists", std::move(omitted)));
    EXPECT_EQ(VARIANT_FALSE, result.boolVal);
    ASSERT_HR(S_OK, Method(L"AddMessage", VarI4(42), VarStr(L"k")));
    ASSERT_HR(S_OK, Method(L"MessageExists", VarStr(L"k")));
    EXPECT_EQ(VARIANT_TRUE, result.boolVal);
    EXPECT_HR(E_INVALIDARG, Method(L"MessageExists", VarI4(1)));

    ASSERT_HR(S_OK, Method(L"ProcessTemplate", VarStr(L"a(#title#)b^(#")));
    EXPECT_EQ(L"ab(#", out->text) << "a mark without a type writes nothing";
}

TEST_F(LateBoundVesk, NewMailIsNotImplemented) {
    struct Row { const wchar_t* name; std::function<std::vector<CComVariant>()> args; };
    const Row rows[] = {
        {L"NewMail", [] { return ArgsOf(VarStr(L""), VarI4(0)); }},
    };
    for (const Row& row : rows) {
        EXPECT_HR(E_NOTIMPL, Call(row.name, DISPATCH_METHOD, row.args(), &result)) << Utf8(row.name);
        EXPECT_EQ(VT_EMPTY, result.vt);
    }
    EXPECT_EQ(L"", out->text);
}

}  // namespace
}  // namespace vesk_test
