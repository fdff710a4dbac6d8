// The library's argument rules over member rows, through its member-table type information:
// input i is argument i (a put's value last), extra arguments are ignored, a missing one is
// DISP_E_BADPARAMCOUNT, one that does not convert DISP_E_TYPEMISMATCH, one DISPATCH_* bit per
// row, a by-reference argument followed once; puArgErr and EXCEPINFO are never written.
#include <string>
#include <vector>

#include "frame/member_table.h"
#include "support/test_support.h"

namespace {

struct ILibraryProbe : IUnknown {
    virtual HRESULT Join(BSTR text, LONG number, BSTR* joined) = 0;
    virtual HRESULT putref_Slot(LONG key, IDispatch* value) = 0;
    virtual HRESULT Seen(VARIANT* value, VARIANT_BOOL* byReference) = 0;
};
const IID kLibraryProbeId = {0x5E1F0A12, 0x7A3B, 0x4C2D, {0x91, 0x0E, 0x3F, 0x44, 0x20, 0x6B, 0x5D, 0x18}};

}  // namespace

ZUL_DEFINE_UUIDOF(ILibraryProbe, kLibraryProbeId)

namespace {
using namespace vesk_test;

class CLibraryProbe final : public automation::GCountedObject<ILibraryProbe> {
public:
    HRESULT Join(BSTR text, LONG number, BSTR* joined) override {
        *joined = SysAllocString((std::wstring(View(text)) + L":" + std::to_wstring(number)).c_str());
        return S_OK;
    }
    HRESULT putref_Slot(LONG key, IDispatch* value) override {
        *m_pKey = key;
        return value ? S_OK : E_POINTER;
    }
    HRESULT Seen(VARIANT* value, VARIANT_BOOL* byReference) override {
        *byReference = value->vt == (VT_BYREF | VT_VARIANT) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    LONG* m_pKey;
};

using P = ILibraryProbe;
constexpr MemberRow kProbeRows[] = {
    member_row<P, &P::Join>(L"Join", 1, DISPATCH_METHOD),
    member_row<P, &P::putref_Slot>(L"Slot", 2, DISPATCH_PROPERTYPUTREF),
    member_row<P, &P::Seen>(L"Seen", 3, DISPATCH_METHOD),
    member_row<P, &P::Join>(L"JoinOr", 4, DISPATCH_METHOD).Optional(7),  // defaults hold under any rules
};
constexpr MemberRows kProbeTable[] = {kProbeRows};

CountingDispatch g_object;
CComVariant g_inner = VarI4(5);
CComVariant g_middle = automation::ByRef(&g_inner);

// An argument as a row writes it: digits pass as a number, "-" as an omitted argument, "obj"
// as an object, "&&" by reference to a reference to a number; anything else as text.
CComVariant Arg(const std::wstring& text) {
    if (text == L"obj") return VarDisp(&g_object);
    if (text == L"&&") return automation::ByRef(&g_middle);
    if (text == L"-") {
        CComVariant v;
        v.vt = VT_ERROR;
        v.scode = DISP_E_PARAMNOTFOUND;
        return v;
    }
    if (!text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos) return VarI4(std::stol(text));
    return VarStr(text.c_str());
}

TEST(LibraryArgumentRules, InputsInScriptOrderAndNothingWrittenButTheResult) {
    constexpr WORD kCall = DISPATCH_METHOD, kPutRef = DISPATCH_PROPERTYPUTREF;
    // Arguments in script order, a put's value last; `seen` is the result as text, or the key
    // the put received.
    const struct {
        DISPID id;
        WORD flags;
        std::vector<std::wstring> args;
        HRESULT hr;
        const wchar_t* seen;
    } cases[] = {
        {1, kCall, {L"a", L"2"}, S_OK, L"a:2"},
        {1, kCall, {L"a", L"2", L"extra"}, S_OK, L"a:2"},
        {1, kCall, {L"a"}, DISP_E_BADPARAMCOUNT, L""},
        {1, kCall, {L"a", L"x"}, DISP_E_TYPEMISMATCH, L""},
        {1, kCall, {L"-", L"2"}, DISP_E_TYPEMISMATCH, L""},  // an omitted argument is not a missing one
        {1, DISPATCH_PROPERTYGET, {L"a", L"2"}, DISP_E_MEMBERNOTFOUND, L""},
        {4, kCall, {L"a"}, S_OK, L"a:7"},
        {2, kPutRef, {L"3", L"obj"}, S_OK, L"3"},
        {2, kPutRef, {L"obj"}, DISP_E_TYPEMISMATCH, L""},              // the value is read as the key
        {2, kPutRef, {L"3", L"4", L"obj"}, DISP_E_TYPEMISMATCH, L""},  // and the index as the value
        {2, kPutRef, {L"3"}, DISP_E_BADPARAMCOUNT, L""},
        {3, kCall, {L"&&"}, S_OK, L"true"},  // followed once
        {3, kCall, {L"7"}, S_OK, L"false"},
    };
    MemberTableTypeInfo info(kProbeTable);
    for (const auto& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        CLibraryProbe probe;
        LONG key = -1;
        probe.m_pKey = &key;
        std::vector<CComVariant> args;
        for (const auto& arg : c.args) args.push_back(Arg(arg));
        std::vector<VARIANT> laid(args.rbegin(), args.rend());  // borrowed, last first
        DISPID putId = DISPID_PROPERTYPUT;
        const bool put = c.flags == kPutRef && !laid.empty();
        DISPPARAMS params{laid.data(), put ? &putId : nullptr, UINT(laid.size()), put ? 1u : 0u};
        CComVariant result;
        EXCEPINFO excep{};
        UINT argErr = 0xDEAD;
        EXPECT_HR(c.hr, info.Invoke(static_cast<ILibraryProbe*>(&probe), c.id, c.flags, &params, result.Receive(),
                                    &excep, &argErr));
        std::wstring seen = key >= 0 ? std::to_wstring(key) : L"";
        if (result.vt == VT_BSTR) seen = View(result.bstrVal);
        if (result.vt == VT_BOOL) seen = result.boolVal ? L"true" : L"false";
        EXPECT_EQ(std::wstring(c.seen), seen);
        EXPECT_EQ(0xDEADu, argErr);
        EXPECT_EQ(S_OK, excep.scode);
        EXPECT_EQ(nullptr, excep.bstrDescription);
    }
    EXPECT_EQ(1u, g_object.RefCount());
}

}  // namespace
