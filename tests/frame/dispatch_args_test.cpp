// The argument helpers where the member tables cannot show them, and RaiseError.
#include "frame/dispatch_args.h"
#include "frame/error.h"
#include "support/test_support.h"

namespace vesk_test {
namespace {

// Arguments in script order, laid out last-first as DISPPARAMS keeps them.
class Args {
public:
    explicit Args(std::vector<CComVariant> scriptOrder) : m_values(scriptOrder.size()) {
        for (size_t i = 0; i < scriptOrder.size(); ++i) scriptOrder[i].Detach(&m_values[m_values.size() - 1 - i]);
        m_params = {m_values.empty() ? nullptr : m_values.data(), nullptr, static_cast<UINT>(m_values.size()), 0};
    }
    ~Args() {
        for (VARIANT& v : m_values) VariantClear(&v);
    }
    DISPPARAMS* get() { return &m_params; }

private:
    std::vector<VARIANT> m_values;
    DISPPARAMS m_params;
};

std::vector<CComVariant> List(CComVariant a, CComVariant b = CComVariant()) {
    std::vector<CComVariant> v;
    v.push_back(std::move(a));
    if (b.vt != VT_EMPTY) v.push_back(std::move(b));
    return v;
}

// An object that is not a dispatch object.
class PlainUnknown final : public IUnknown {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (!guid_equal(riid, IID_IUnknown)) return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override { return --m_cRef; }
    ULONG m_cRef = 1;
};

TEST(DispArg, PositionsCountInScriptOrder) {
    Args args(List(VarStr(L"first"), VarI4(2)));
    ASSERT_NE(nullptr, disp_arg(args.get(), 0));
    EXPECT_EQ(VT_BSTR, disp_arg(args.get(), 0)->vt);
    EXPECT_EQ(VT_I4, disp_arg(args.get(), 1)->vt);
    EXPECT_EQ(nullptr, disp_arg(args.get(), 2));
    EXPECT_EQ(nullptr, disp_arg(nullptr, 0));
}

TEST(DispArg, FollowsAVariantReferenceOnce) {
    CComVariant inner = VarStr(L"inner");
    CComVariant ref;
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &inner;
    Args args(List(std::move(ref)));
    EXPECT_EQ(static_cast<VARIANT*>(&inner), disp_arg(args.get(), 0));

    CComVariant nullRef;
    nullRef.vt = VT_BYREF | VT_VARIANT;
    nullRef.pvarVal = nullptr;
    Args nullArgs(List(std::move(nullRef)));
    ASSERT_NE(nullptr, disp_arg(nullArgs.get(), 0));
    EXPECT_EQ(VT_BYREF | VT_VARIANT, disp_arg(nullArgs.get(), 0)->vt) << "a null reference is not followed";
}

TEST(ObjectArgs, DispatchAndUnknownForms) {
    CountingDispatch disp;
    PlainUnknown plain;
    CComVariant unk;
    unk.SetUnknown(&plain);
    Args args(List(VarDisp(&disp), std::move(unk)));
    EXPECT_EQ(2u, disp.RefCount());

    IDispatch* pd = reinterpret_cast<IDispatch*>(1);
    EXPECT_HR(S_OK, get_dispatch_arg(args.get(), 0, &pd));
    EXPECT_EQ(static_cast<IDispatch*>(&disp), pd);
    EXPECT_EQ(2u, disp.RefCount()) << "borrowed: no reference for the caller";
    EXPECT_HR(E_NOINTERFACE, get_dispatch_arg(args.get(), 1, &pd));
    EXPECT_EQ(nullptr, pd);
    EXPECT_EQ(2u, plain.m_cRef);
    EXPECT_HR(DISP_E_BADPARAMCOUNT, get_dispatch_arg(args.get(), 2, &pd));
    EXPECT_HR(E_INVALIDARG, get_dispatch_arg(args.get(), 0, nullptr));

    IUnknown* pu = nullptr;
    EXPECT_HR(S_OK, get_unknown_arg(args.get(), 0, &pu));
    EXPECT_EQ(static_cast<IUnknown*>(&disp), pu);
    EXPECT_HR(S_OK, get_unknown_arg(args.get(), 1, &pu));
    EXPECT_EQ(static_cast<IUnknown*>(&plain), pu);
    EXPECT_HR(E_INVALIDARG, get_unknown_arg(args.get(), 0, nullptr));
}

TEST(ObjectArgs, UnknownArgumentThatAnswersDispatchIsBorrowedToo) {
    CountingDispatch disp;
    CComVariant unk;
    unk.SetUnknown(&disp);
    Args args(List(std::move(unk)));
    IDispatch* pd = nullptr;
    EXPECT_HR(S_OK, get_dispatch_arg(args.get(), 0, &pd));
    EXPECT_EQ(static_cast<IDispatch*>(&disp), pd);
    EXPECT_EQ(2u, disp.RefCount()) << "the query's reference is given back";
}

TEST(ObjectArgs, NullAndWrongTypes) {
    CComVariant nullUnknown;
    nullUnknown.vt = VT_UNKNOWN;
    nullUnknown.punkVal = nullptr;
    Args args(List(std::move(nullUnknown), VarI4(1)));
    IDispatch* pd = nullptr;
    EXPECT_HR(DISP_E_TYPEMISMATCH, get_dispatch_arg(args.get(), 0, &pd));
    EXPECT_HR(DISP_E_TYPEMISMATCH, get_dispatch_arg(args.get(), 1, &pd));
    IUnknown* pu = nullptr;
    EXPECT_HR(E_INVALIDARG, get_unknown_arg(args.get(), 0, &pu));
    EXPECT_HR(DISP_E_TYPEMISMATCH, get_unknown_arg(args.get(), 1, &pu));
}

TEST(RaiseErrorTest, SetsSourceAndDescriptionAndReturnsTheCode) {
    SetErrorInfo(0, nullptr);
    EXPECT_HR(E_FAIL, RaiseError(E_FAIL, L"Vesk", L"Template file can't read.[x.html]"));
    CComPtr<IErrorInfo> info;
    ASSERT_HR(S_OK, GetErrorInfo(0, info.Receive()));
    CComBSTR source, description;
    EXPECT_HR(S_OK, info->GetSource(source.Receive()));
    EXPECT_HR(S_OK, info->GetDescription(description.Receive()));
    EXPECT_BSTR_EQ(L"Vesk", source.m_str);
    EXPECT_BSTR_EQ(L"Template file can't read.[x.html]", description.m_str);
    const HRESULT hostCode = hresult_of(0x800A01A8u);
    EXPECT_HR(hostCode, RaiseError(hostCode, L"VeskedTemplator", L"passed on"));
    info.Reset();
    GetErrorInfo(0, info.Receive());
}

}  // namespace
}  // namespace vesk_test
