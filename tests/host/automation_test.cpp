// The automation toolkit: interface lists, reference counts, the argument reader and the
// late-bound caller, each checked on the cases a hand-written copy used to get wrong.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "host/automation.h"
#include "support/test_support.h"

using namespace vesk_test;

namespace {

// ---- Interface lists -------------------------------------------------------------------

int g_nDestroyed = 0;

// An IUnknown-based interface, a dual one, and an older identifier of the first: the three
// shapes the host components have.
struct IPlain : IUnknown {
    virtual HRESULT Ping() = 0;
};
struct IDual : IDispatch {
    virtual HRESULT Pong() = 0;
};
const IID kPlainId = {0x1A2B3C4D, 0x0001, 0x0002, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}};
const IID kDualId = {0x1A2B3C4D, 0x0003, 0x0004, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}};
const IID kOldPlainId = {0x1A2B3C4D, 0x0005, 0x0006, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}};

}  // namespace

ZUL_DEFINE_UUIDOF(IPlain, kPlainId)
ZUL_DEFINE_UUIDOF(IDual, kDualId)

namespace {

class CListed final : public automation::GObject<CListed, IPlain, automation::GNoTypeInfo<IDual>, ISupportErrorInfo,
                                                 automation::Alias<IPlain, kOldPlainId>> {
public:
    ~CListed() { ++g_nDestroyed; }
    HRESULT Ping() override { return S_OK; }
    HRESULT Pong() override { return S_OK; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
    HRESULT InterfaceSupportsErrorInfo(REFIID) override { return S_OK; }
};

TEST(InterfaceList, EachIdentifierReachesItsInterfaceAndCountsOneReference) {
    g_nDestroyed = 0;
    CListed* object = new CListed();
    const struct { const IID* iid; void* expected; } rows[] = {
        {&IID_IUnknown, static_cast<IPlain*>(object)},
        {&kPlainId, static_cast<IPlain*>(object)},
        {&kOldPlainId, static_cast<IPlain*>(object)},
        {&kDualId, static_cast<IDual*>(object)},
        {&IID_IDispatch, static_cast<IDispatch*>(static_cast<IDual*>(object))},
        {&IID_ISupportErrorInfo, static_cast<ISupportErrorInfo*>(object)},
    };
    for (const auto& row : rows) {
        void* pv = nullptr;
        EXPECT_HR(S_OK, object->QueryInterface(*row.iid, &pv));
        EXPECT_EQ(row.expected, pv);
        EXPECT_EQ(2u, object->RefCount());
        static_cast<IUnknown*>(pv)->Release();
    }
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_HR(E_NOINTERFACE, object->QueryInterface(IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_HR(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(1u, object->RefCount());
    EXPECT_EQ(0, g_nDestroyed);
    static_cast<IPlain*>(object)->Release();
    EXPECT_EQ(1, g_nDestroyed);
}

TEST(InterfaceList, CreateInstanceLeavesNothingBehindWhenTheQueryFails) {
    g_nDestroyed = 0;
    void* pv = nullptr;
    EXPECT_HR(E_NOINTERFACE, CListed::CreateInstance(IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(1, g_nDestroyed);
    CComPtr<IDispatch> dual;
    EXPECT_HR(S_OK, CListed::CreateInstance(IID_IDispatch, dual.ReceiveVoid()));
    dual.Reset();
    EXPECT_EQ(2, g_nDestroyed);
}

// ---- The argument reader ---------------------------------------------------------------

struct Params {
    std::vector<VARIANT> laid;  // last-first, as DISPPARAMS keeps them
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{};
    Params(std::vector<LONG> scriptOrder, UINT cNamed) {
        for (auto it = scriptOrder.rbegin(); it != scriptOrder.rend(); ++it) laid.push_back(VarI4(*it));
        params = DISPPARAMS{laid.data(), cNamed ? &named : nullptr, UINT(laid.size()), cNamed};
    }
};

TEST(InvokeArgs, ScriptOrderCountsAndTheAssignedValue) {
    // first: the value of At(0), put: that of PutValue(); 0 when absent.
    const struct { const char* title; WORD flags; std::vector<LONG> args; UINT named, count; LONG first, put; }
        rows[] = {
        {"method, three arguments", DISPATCH_METHOD, {1, 2, 3}, 0, 3, 1, 0},
        {"property put", DISPATCH_PROPERTYPUT, {9}, 1, 0, 0, 9},
        {"indexed put", DISPATCH_PROPERTYPUT, {4, 9}, 1, 1, 4, 9},
        {"putref", DISPATCH_PROPERTYPUTREF, {7}, 1, 0, 0, 7},
        {"get, no arguments", DISPATCH_PROPERTYGET, {}, 0, 0, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.title);
        Params p(row.args, row.named);
        automation::CInvokeArgs args(&p.params, row.flags);
        EXPECT_HR(S_OK, args.CheckNamed());
        EXPECT_EQ(row.count, args.Count());
        EXPECT_EQ(UINT(row.args.size()), args.CountAll());
        EXPECT_EQ(row.first, args.At(0) ? args.At(0)->lVal : 0);
        EXPECT_EQ(row.put, args.PutValue() ? args.PutValue()->lVal : 0);
        EXPECT_EQ(nullptr, args.At(row.count));
        for (UINT i = 0; i < args.CountAll(); ++i) EXPECT_EQ(row.args[i], args.Arg(i)->lVal);
    }
}

TEST(InvokeArgs, NamedArgumentsOtherThanTheAssignedValueAreRefused) {
    Params method({1}, 1);  // a method call naming its argument
    EXPECT_HR(DISP_E_NONAMEDARGS, automation::CInvokeArgs(&method.params, DISPATCH_METHOD).CheckNamed());
    Params other({1}, 1);
    other.named = 3;  // a put naming something other than the assigned value
    EXPECT_HR(DISP_E_NONAMEDARGS, automation::CInvokeArgs(&other.params, DISPATCH_PROPERTYPUT).CheckNamed());
    Params unnamed({5}, 0);  // a put whose value arrives unnamed is still read as the value
    automation::CInvokeArgs put(&unnamed.params, DISPATCH_PROPERTYPUT);
    EXPECT_HR(S_OK, put.CheckNamed());
    EXPECT_EQ(5, put.PutValue()->lVal);
    DISPPARAMS broken{nullptr, nullptr, 2, 0};
    EXPECT_HR(E_INVALIDARG, automation::CInvokeArgs(&broken, DISPATCH_METHOD).CheckNamed());
    EXPECT_EQ(0u, automation::CInvokeArgs(&broken, DISPATCH_METHOD).Count());
    EXPECT_EQ(0u, automation::CInvokeArgs(nullptr, DISPATCH_METHOD).Count());
}

TEST(InvokeArgs, AReferenceIsFollowedExactlyOnceAndOmittedArgumentsShowAsMissing) {
    CComVariant target = VarI4(42);
    CComVariant inner = automation::ByRef(&target);
    VARIANT laid[3];
    laid[2] = automation::ByRef(&target);  // script argument 0: a reference to 42
    laid[1] = automation::ByRef(&inner);   // argument 1: a reference to a reference
    laid[0].vt = VT_ERROR;                 // argument 2: omitted
    laid[0].scode = DISP_E_PARAMNOTFOUND;
    DISPPARAMS params{laid, nullptr, 3, 0};
    automation::CInvokeArgs args(&params, DISPATCH_METHOD);
    EXPECT_EQ(&target, args.At(0));
    EXPECT_EQ(&inner, args.At(1)) << "a reference is followed once, never along a chain";
    EXPECT_FALSE(args.Missing(0));
    EXPECT_TRUE(args.Missing(2));
    EXPECT_TRUE(args.Missing(3));
    EXPECT_EQ(0u, args.RawIndex(2));
    // As laid, for a callee that assigns through the reference.
    for (UINT i = 0; i < 3; ++i) EXPECT_EQ(&laid[2 - i], args.RawArg(i)) << i;
    EXPECT_EQ(nullptr, args.RawArg(3));
    DISPPARAMS put{laid, nullptr, 3, 0};
    EXPECT_EQ(&laid[0], automation::CInvokeArgs(&put, DISPATCH_PROPERTYPUT).RawArg(2)) << "a put's value comes last";
}

// ---- The late-bound caller -------------------------------------------------------------

// Records what one Invoke received, and may run a step inside the call.
class CRecorder final : public automation::GObject<CRecorder, automation::GNoTypeInfo<IDispatch>> {
public:
    std::vector<LONG> seen;  // arguments in script order
    WORD flags = 0;
    UINT named = 0;
    DISPID namedId = 0;
    std::function<void()> during;
    int finished = 0;

    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
        if (std::wcscmp(names[0], L"Run") != 0) return DISP_E_UNKNOWNNAME;
        *ids = 5;
        return S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD wFlags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        flags = wFlags;
        named = params->cNamedArgs;
        namedId = named ? params->rgdispidNamedArgs[0] : 0;
        automation::CInvokeArgs args(params, wFlags);
        for (UINT i = 0; i < args.CountAll(); ++i) seen.push_back(args.Arg(i)->lVal);
        // A callee may change its arguments in place; the caller must clear what it left.
        if (params->cArgs) {
            params->rgvarg[0].vt = VT_BSTR;
            params->rgvarg[0].bstrVal = SysAllocString(L"left by the callee");
        }
        if (during) during();
        ++finished;  // touches the object after the step, as a real member would
        if (result) {
            result->vt = VT_I4;
            result->lVal = id;
        }
        return S_OK;
    }
};

TEST(LateBound, ArgumentsArriveInScriptOrderAndAreAllCleared) {
    CRecorder* target = new CRecorder();
    CComVariant argv[6] = {VarI4(1), VarI4(2), VarI4(3), VarI4(4), VarI4(5), VarI4(6)};
    for (size_t n : {size_t(0), size_t(2), size_t(6)}) {  // none, inline, past the inline buffer
        target->seen.clear();
        CComVariant result;
        EXPECT_HR(S_OK, automation::InvokeByName(target, L"Run", DISPATCH_METHOD, std::span(argv, n), &result));
        EXPECT_EQ(5, result.lVal);
        std::vector<LONG> expected;
        for (size_t i = 0; i < n; ++i) expected.push_back(LONG(i + 1));
        EXPECT_EQ(expected, target->seen);
        EXPECT_EQ(0u, target->named);
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(VT_EMPTY, argv[i].vt) << "arguments are taken over";
        for (size_t i = 0; i < n; ++i) argv[i].SetI4(LONG(i + 1));
    }
    EXPECT_HR(DISP_E_UNKNOWNNAME, automation::InvokeByName(target, L"Walk", DISPATCH_METHOD, {}));
    target->Release();
}

TEST(LateBound, APutNamesItsValueAndTheTargetOutlivesADroppedReference) {
    CRecorder* target = new CRecorder();
    CComPtr<IDispatch> held;
    held.Attach(target);
    // The target's only reference is dropped from inside the call.
    target->during = [&held] { held.Reset(); };
    CComVariant value[1] = {VarI4(8)};
    EXPECT_HR(S_OK, automation::InvokeById(target, 3, DISPATCH_PROPERTYPUT, value));
    EXPECT_FALSE(held);
    // The recorder wrote a field after its last reference went: without the caller's own
    // reference that is a use after free, which the sanitizer run reports.
}

}  // namespace
