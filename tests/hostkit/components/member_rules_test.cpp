// The components' argument rules over member rows, through the Invoke every component uses:
// counts against the row, defaults of optional arguments, a put's value apart from the
// positional ones, puArgErr, a by-reference argument followed once, rows chosen by flags.
#include <string>
#include <vector>

#include "component_helpers.h"
#include "hostkit/components/component_support.h"

namespace {

struct IRowProbe : IUnknown {
    virtual HRESULT Join(BSTR text, LONG number, BSTR* joined) = 0;
    virtual HRESULT put_Slot(LONG key, BSTR value) = 0;
    virtual HRESULT put_Number(LONG value) = 0;
    virtual HRESULT Seen(VARIANT* value) = 0;
    virtual HRESULT Fail() = 0;
};
const IID kRowProbeId = {0x5E1F0A11, 0x7A3B, 0x4C2D, {0x91, 0x0E, 0x3F, 0x44, 0x20, 0x6B, 0x5D, 0x18}};

}  // namespace

ZUL_DEFINE_UUIDOF(IRowProbe, kRowProbeId)

namespace vesk_test {
namespace {

// Records what each operation received as text.
class CRowProbe final : public automation::GCountedObject<IRowProbe> {
public:
    HRESULT Join(BSTR text, LONG number, BSTR* joined) override {
        const std::wstring all = std::wstring(View(text)) + L":" + std::to_wstring(number);
        *joined = SysAllocString(all.c_str());
        return S_OK;
    }
    HRESULT put_Slot(LONG key, BSTR value) override {
        return Note(std::to_wstring(key) + L"=" + std::wstring(View(value)));
    }
    HRESULT put_Number(LONG value) override { return Note(std::to_wstring(value)); }
    HRESULT Seen(VARIANT* value) override {
        return Note(value->vt == (VT_BYREF | VT_VARIANT) ? L"by reference" : L"value");
    }
    HRESULT Fail() override { return veskhost::RaiseComponentError(veskhost::ControlError(5), L"Probe", L"refused"); }

    std::wstring m_strNoted;

private:
    HRESULT Note(std::wstring text) {
        m_strNoted = std::move(text);
        return S_OK;
    }
};

using automation::member_row;
using P = IRowProbe;
constexpr automation::MemberRow kProbeRows[] = {
    member_row<P, &P::Join>(L"Join", 1, veskhost::kGetCall).Optional(7),
    member_row<P, &P::Join>(L"JoinAll", 2, veskhost::kGetCall).Optional(L"d", 7),
    member_row<P, &P::put_Slot>(L"Slot", 3, DISPATCH_PROPERTYPUT),
    member_row<P, &P::put_Number>(L"Number", 4, DISPATCH_PROPERTYPUT),
    member_row<P, &P::Seen>(L"Seen", 5, automation::kAnyCall),
    member_row<P, &P::Fail>(L"Fail", 6, veskhost::kGetCall),
    member_row<P, &P::put_Slot>(L"Indexed", 7, DISPATCH_PROPERTYPUT).Optional(9),
};

constexpr UINT kUntouched = 0xDEAD;

CComVariant g_inner = VarI4(5);
CComVariant g_middle = automation::ByRef(&g_inner);

// An argument as a row writes it: "-" as an omitted argument, "&" by reference to a number and
// "&&" by reference to that reference; anything else as Arg takes it.
CComVariant RowArg(const std::wstring& text) {
    if (text == L"&") return automation::ByRef(&g_inner);
    if (text == L"&&") return automation::ByRef(&g_middle);
    if (text != L"-") return Arg(text);
    CComVariant v;
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

// Lays the arguments (script order, a put's value last and named) into the call invoke makes.
template <class Invoke>
HRESULT CallWith(const std::vector<std::wstring>& given, WORD flags, Invoke invoke) {
    std::vector<CComVariant> args;
    for (const auto& arg : given) args.push_back(RowArg(arg));
    std::vector<VARIANT> laid(args.rbegin(), args.rend());  // borrowed, last first
    DISPID putId = DISPID_PROPERTYPUT;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0 && !laid.empty();
    DISPPARAMS params{laid.data(), put ? &putId : nullptr, UINT(laid.size()), put ? 1u : 0u};
    return invoke(&params);
}

TEST(ComponentArgumentRules, CountsDefaultsPutValuesAndArgumentErrors) {
    constexpr WORD kCall = DISPATCH_METHOD, kPut = DISPATCH_PROPERTYPUT;
    // Arguments in script order, a put's value last; `seen` is the result or what the probe noted.
    const struct { DISPID id; WORD flags; std::vector<std::wstring> args; HRESULT hr; UINT argErr; const wchar_t* seen; }
        cases[] = {
        {1, kCall, {L"a", L"2"}, S_OK, kUntouched, L"a:2"},
        {1, kCall, {L"a"}, S_OK, kUntouched, L"a:7"},  // left out: the default
        {1, DISPATCH_PROPERTYGET, {L"a", L"-"}, S_OK, kUntouched, L"a:7"},
        {2, kCall, {}, S_OK, kUntouched, L"d:7"},
        {1, kCall, {}, DISP_E_BADPARAMCOUNT, kUntouched, L""},
        {1, kCall, {L"a", L"2", L"3"}, DISP_E_BADPARAMCOUNT, kUntouched, L""},
        {1, kCall, {L"-", L"2"}, DISP_E_PARAMNOTOPTIONAL, 1, L""},  // its index in rgvarg
        {1, kCall, {L"a", L"x"}, DISP_E_TYPEMISMATCH, 0, L""},
        {3, kPut, {L"1", L"v"}, S_OK, kUntouched, L"1=v"},
        {3, kPut, {L"v"}, DISP_E_BADPARAMCOUNT, kUntouched, L""},  // the value is no index
        {3, kPut, {L"1", L"2", L"v"}, DISP_E_BADPARAMCOUNT, kUntouched, L""},
        {3, kPut, {L"k", L"v"}, DISP_E_TYPEMISMATCH, 1, L""},
        {4, kPut, {L"x"}, DISP_E_TYPEMISMATCH, kUntouched, L""},  // a put's value has no index
        {4, kPut, {}, DISP_E_PARAMNOTOPTIONAL, kUntouched, L""},
        {7, kPut, {L"v"}, S_OK, kUntouched, L"9=v"},  // an index left out before the value
        {7, kPut, {L"1", L"v"}, S_OK, kUntouched, L"1=v"},
        {3, kCall, {L"1", L"v"}, DISP_E_MEMBERNOTFOUND, kUntouched, L""},
        {4, DISPATCH_PROPERTYPUTREF, {L"1"}, DISP_E_MEMBERNOTFOUND, kUntouched, L""},
        {5, 0, {L"&"}, S_OK, kUntouched, L"value"},
        {5, kCall, {L"&&"}, S_OK, kUntouched, L"by reference"},  // followed once
        {99, kCall, {}, DISP_E_MEMBERNOTFOUND, kUntouched, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        CRowProbe probe;
        CComVariant result;
        UINT argErr = kUntouched;
        EXPECT_HR(c.hr, CallWith(c.args, c.flags, [&](DISPPARAMS* params) {
                      return veskhost::InvokeMember(&probe, static_cast<IRowProbe*>(&probe), kProbeRows, c.id, IID_NULL,
                                                    c.flags, params, result.Receive(), nullptr, &argErr);
                  }));
        EXPECT_EQ(c.argErr, argErr);
        EXPECT_EQ(std::wstring(c.seen), result.vt == VT_BSTR ? std::wstring(View(result.bstrVal)) : probe.m_strNoted);
        EXPECT_EQ(1u, probe.RefCount()) << "the call's hold is given back";
    }
}

TEST(ComponentArgumentRules, ARaisedErrorFillsTheExceptionAndTheFramesOwnCodesDoNot) {
    CRowProbe probe;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    for (const bool raised : {true, false}) {
        EXCEPINFO excep{};
        const HRESULT hr = veskhost::InvokeMember(&probe, static_cast<IRowProbe*>(&probe), kProbeRows, raised ? 6 : 1,
                                                  IID_NULL, DISPATCH_METHOD, &none, nullptr, &excep, nullptr);
        CComBSTR source, description;
        source.Attach(excep.bstrSource);
        description.Attach(excep.bstrDescription);
        EXPECT_HR(raised ? DISP_E_EXCEPTION : DISP_E_BADPARAMCOUNT, hr);
        EXPECT_HR(raised ? veskhost::ControlError(5) : S_OK, excep.scode);
        EXPECT_EQ(raised ? L"Probe" : L"", View(source));
        EXPECT_EQ(raised ? L"refused" : L"", View(description));
    }
}

// The rows of the two components, at the edges where a member's own order of checks shows.
TEST(ComponentArgumentRules, PublishedMembersAnswerFlagsAndCountsInTheirOwnOrder) {
    auto dictionary = CreateComponent<IDispatch>(CLSID_Dictionary, IID_IDispatch);
    auto stream = CreateComponent<IDispatch>(CLSID_Stream, IID_IDispatch);
    IDispatch *const d = dictionary.Get(), *const s = stream.Get();
    constexpr WORD kCall = DISPATCH_METHOD, kGet = DISPATCH_PROPERTYGET, kPut = DISPATCH_PROPERTYPUT;
    const struct { IDispatch* object; DISPID id; WORD flags; std::vector<std::wstring> args; HRESULT hr; UINT argErr; }
        cases[] = {
        {d, DISPID_VALUE, 0, {L"k"}, S_OK, kUntouched},                 // any call that is no put reads Item
        {d, 1, kPut, {L"k", L"v"}, DISP_E_MEMBERNOTFOUND, kUntouched},  // Add
        {d, 5, kGet, {L"k"}, DISP_E_MEMBERNOTFOUND, kUntouched},        // Key
        {d, 9, 0, {L"1"}, DISP_E_BADPARAMCOUNT, kUntouched},            // CompareMode counts first
        {d, 9, DISPATCH_PROPERTYPUTREF, {L"1"}, DISP_E_MEMBERNOTFOUND, kUntouched},
        {d, 9, kPut, {L"x"}, DISP_E_TYPEMISMATCH, kUntouched},
        {s, 3, 0, {L"1"}, DISP_E_MEMBERNOTFOUND, kUntouched},     // Position looks at the flags first
        {s, 8, kGet, {L"1"}, DISP_E_BADPARAMCOUNT, kUntouched},   // Charset
        {s, 10, kCall, {L"-", L"x"}, DISP_E_TYPEMISMATCH, 0},     // Open's mode
        {s, 13, kCall, {L"-"}, DISP_E_PARAMNOTOPTIONAL, 0},       // Write
        {s, 15, kCall, {L"x", L"y"}, DISP_E_TYPEMISMATCH, 0},     // CopyTo converts its count first
        {s, 15, kCall, {L"x"}, DISP_E_TYPEMISMATCH, kUntouched},  // and then asks for a stream
        {s, 19, kCall | kGet, {L"x"}, DISP_E_TYPEMISMATCH, 0},    // ReadText
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        CComVariant result;
        UINT argErr = kUntouched;
        EXPECT_HR(c.hr, CallWith(c.args, c.flags, [&](DISPPARAMS* params) {
                      return c.object->Invoke(c.id, IID_NULL, 0, c.flags, params, result.Receive(), nullptr, &argErr);
                  }));
        EXPECT_EQ(c.argErr, argErr);
    }
}

}  // namespace
}  // namespace vesk_test
