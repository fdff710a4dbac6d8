// The library's argument rules over member rows, through its member-table type information:
// input i is argument i (a put's value last), extra arguments are ignored, a missing one is
// DISP_E_BADPARAMCOUNT, one that does not convert DISP_E_TYPEMISMATCH, one DISPATCH_* bit per
// row, a by-reference argument followed once; puArgErr and EXCEPINFO are never written.
#include <string>
#include <vector>

#include "frame/member_table.h"
#include "support/test_support.h"

namespace {

struct ILibraryProbe : IDispatch {
    virtual HRESULT Join(BSTR text, LONG number, BSTR* joined) = 0;
    virtual HRESULT putref_Slot(LONG key, IDispatch* value) = 0;
    virtual HRESULT Seen(VARIANT* value, VARIANT_BOOL* byReference) = 0;
};
const IID kLibraryProbeId = {0x5E1F0A12, 0x7A3B, 0x4C2D, {0x91, 0x0E, 0x3F, 0x44, 0x20, 0x6B, 0x5D, 0x18}};

}  // namespace

ZUL_DEFINE_UUIDOF(ILibraryProbe, kLibraryProbeId)

namespace {
using namespace vesk_test;

using P = ILibraryProbe;
constexpr MemberRow kProbeRows[] = {
    member_row<P, &P::Join>(L"Join", 1, DISPATCH_METHOD),
    member_row<P, &P::putref_Slot>(L"Slot", 2, DISPATCH_PROPERTYPUTREF),
    member_row<P, &P::Seen>(L"Seen", 3, DISPATCH_METHOD),
    member_row<P, &P::Join>(L"JoinOr", 4, DISPATCH_METHOD).Optional(7),  // defaults hold under any rules
};
constexpr MemberRows kProbeTable[] = {kProbeRows};

// A dual object answering from the probe rows, as the library's classes do; it notes the key a
// put received and whether Invoke wrote puArgErr.
class CLibraryProbe final : public automation::GCountedObject<automation::GNoTypeInfo<ILibraryProbe>> {
public:
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return m_info.GetIDsOfNames(names, count, ids);
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                   UINT*) override {
        UINT argErr = 0xDEAD;
        const HRESULT hr = m_info.Invoke(static_cast<ILibraryProbe*>(this), id, flags, params, result, excep, &argErr);
        m_bArgErrWritten = argErr != 0xDEAD;
        return hr;
    }
    HRESULT Join(BSTR text, LONG number, BSTR* joined) override {
        *joined = SysAllocString((std::wstring(View(text)) + L":" + std::to_wstring(number)).c_str());
        return S_OK;
    }
    HRESULT putref_Slot(LONG key, IDispatch* value) override {
        m_strNoted = std::to_wstring(key);
        return value ? S_OK : E_POINTER;
    }
    HRESULT Seen(VARIANT* value, VARIANT_BOOL* byReference) override {
        *byReference = value->vt == (VT_BYREF | VT_VARIANT) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    std::wstring m_strNoted;
    bool m_bArgErrWritten = false;

private:
    MemberTableTypeInfo m_info{kProbeTable};
};

// The arguments the rows below pass.
enum Given { kTextA, kTextX, kTwo, kThree, kFour, kOmitted, kObject, kReferenceToReference };

CountingDispatch g_object;
CComVariant g_inner = VarI4(5);
CComVariant g_middle = automation::ByRef(&g_inner);

CComVariant Make(Given given) {
    CComVariant v;
    switch (given) {
    case kTextA: v.SetString(L"a"); break;
    case kTextX: v.SetString(L"x"); break;
    case kTwo: v.SetI4(2); break;
    case kThree: v.SetI4(3); break;
    case kFour: v.SetI4(4); break;
    case kOmitted:
        v.vt = VT_ERROR;
        v.scode = DISP_E_PARAMNOTFOUND;
        break;
    case kObject: v.SetDispatch(&g_object); break;
    case kReferenceToReference: v = automation::ByRef(&g_middle); break;
    }
    return v;
}

TEST(LibraryArgumentRules, InputsInScriptOrderAndNothingWrittenButTheResult) {
    constexpr WORD kCall = DISPATCH_METHOD, kPutRef = DISPATCH_PROPERTYPUTREF;
    // Arguments in script order, a put's value last; `seen` is the result as text, or the key
    // the put received.
    const struct { DISPID id; WORD flags; std::vector<Given> args; HRESULT hr; const wchar_t* seen; } cases[] = {
        {1, kCall, {kTextA, kTwo}, S_OK, L"a:2"},
        {1, kCall, {kTextA, kTwo, kTextX}, S_OK, L"a:2"},
        {1, kCall, {kTextA}, DISP_E_BADPARAMCOUNT, L""},
        {1, kCall, {kTextA, kTextX}, DISP_E_TYPEMISMATCH, L""},
        {1, kCall, {kOmitted, kTwo}, DISP_E_TYPEMISMATCH, L""},  // an omitted argument is not a missing one
        {1, DISPATCH_PROPERTYGET, {kTextA, kTwo}, DISP_E_MEMBERNOTFOUND, L""},
        {4, kCall, {kTextA}, S_OK, L"a:7"},
        {2, kPutRef, {kThree, kObject}, S_OK, L"3"},
        {2, kPutRef, {kObject}, DISP_E_TYPEMISMATCH, L""},                 // the value is read as the key
        {2, kPutRef, {kThree, kFour, kObject}, DISP_E_TYPEMISMATCH, L""},  // and the index as the value
        {2, kPutRef, {kThree}, DISP_E_BADPARAMCOUNT, L""},
        {3, kCall, {kReferenceToReference}, S_OK, L"true"},  // followed once
        {3, kCall, {kFour}, S_OK, L"false"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        CLibraryProbe probe;
        std::vector<CComVariant> args;
        for (Given given : c.args) args.push_back(Make(given));
        CComVariant result;
        EXCEPINFO excep{};
        EXPECT_HR(c.hr, automation::InvokeById(&probe, c.id, c.flags, args, &result, &excep));
        std::wstring seen = probe.m_strNoted;
        if (result.vt == VT_BSTR) seen = View(result.bstrVal);
        if (result.vt == VT_BOOL) seen = result.boolVal ? L"true" : L"false";
        EXPECT_EQ(std::wstring(c.seen), seen);
        EXPECT_FALSE(probe.m_bArgErrWritten);
        EXPECT_EQ(S_OK, excep.scode);
        EXPECT_EQ(nullptr, excep.bstrDescription);
        EXPECT_EQ(1u, probe.RefCount());
    }
    EXPECT_EQ(1u, g_object.RefCount());
}

}  // namespace
