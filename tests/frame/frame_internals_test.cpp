// Frame internals a host cannot see: exact reference counts on every ownership path of the
// argument and result helpers, pool order and zero fill, the in-context factory's context
// step, error reporting and the static type information.
#include "frame/error.h"
#include "frame/factory.h"
#include "frame/type_infos.h"
#include "hostkit/runtime/class_registry.h"
#include "support/test_support.h"

namespace {
using namespace vesk_test;

// The operation of every row below: hands its one object argument back in the row's result
// form with a reference of its own, then answers g_op.hr (a failing operation may have filled
// its result anyway).
struct { ResultKind kind; HRESULT hr; } g_op;

HRESULT HandBack(void*, MemberArg* args, MemberResult* out) {
    IDispatch* disp = args[0].pdisp;
    IUnknown* object = disp ? disp : args[0].punk;
    object->AddRef();
    VARIANT* slot = &out->var;
    if (g_op.kind == ResultKind::VariantArray) {
        out->psa = SafeArrayCreateVector(VT_VARIANT, 0, 1);
        slot = static_cast<VARIANT*>(out->psa->pvData);
    }
    if (g_op.kind == ResultKind::Object) out->pdisp = disp;
    else if (g_op.kind == ResultKind::Unknown) out->punk = object;
    else slot->vt = VT_DISPATCH, slot->pdispVal = disp;
    return g_op.hr;
}

TEST(MemberRows, ObjectArgumentsAreBorrowedAndResultsCarryExactlyOneReference) {
    struct Row { ArgKind arg; VARTYPE argVt; ResultKind result; HRESULT hr; bool wanted; ULONG held; };
    const Row rows[] = {
        {ArgKind::Object, VT_DISPATCH, ResultKind::Object, S_OK, true, 3},
        {ArgKind::Object, VT_UNKNOWN, ResultKind::Object, S_OK, true, 3},  // the query's reference goes back
        {ArgKind::Object, VT_DISPATCH, ResultKind::Object, S_OK, false, 2},  // released when nobody asked
        {ArgKind::Object, VT_DISPATCH, ResultKind::Object, E_FAIL, true, 2},  // released on failure
        {ArgKind::Unknown, VT_DISPATCH, ResultKind::Unknown, S_OK, true, 3},
        {ArgKind::Unknown, VT_UNKNOWN, ResultKind::Unknown, S_OK, false, 2},
        {ArgKind::Unknown, VT_UNKNOWN, ResultKind::Unknown, E_FAIL, true, 2},
        {ArgKind::Object, VT_DISPATCH, ResultKind::Variant, S_OK, true, 3},
        {ArgKind::Object, VT_DISPATCH, ResultKind::Variant, S_OK, false, 2},
        {ArgKind::Object, VT_DISPATCH, ResultKind::VariantArray, S_OK, true, 3},
        {ArgKind::Object, VT_DISPATCH, ResultKind::VariantArray, S_OK, false, 2},
        {ArgKind::Object, VT_DISPATCH, ResultKind::VariantArray, E_FAIL, true, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        CountingDispatch object;
        {
            CComVariant arg = VarDisp(&object);
            arg.vt = row.argVt;  // the same pointer serves both forms
            DISPPARAMS params{&arg, nullptr, 1, 0};
            const MemberRow member{L"HandBack", 1, DISPATCH_METHOD, 1, {row.arg}, row.result, &HandBack, nullptr};
            g_op = {row.result, row.hr};
            CComVariant result;
            EXPECT_HR(row.hr, invoke_member_row(member, nullptr, &params, row.wanted ? &result : nullptr));
            EXPECT_EQ(row.held, object.RefCount()) << "the test's, the argument's and the result's";
        }
        EXPECT_EQ(1u, object.RefCount());
    }
}

// The operation of the rows below: the script it runs assigns the variable that the object came
// in by reference, and the object's count is taken right after.
struct { CComVariant* variable; CountingDispatch* object; ULONG held; } g_assign;

HRESULT AssignVariable(void*, MemberArg*, MemberResult*) {
    g_assign.variable->SetI4(0);
    g_assign.held = g_assign.object->RefCount();
    return S_OK;
}

TEST(MemberRows, ObjectArgumentsAreHeldForTheCallWhateverTheirVariableBecomes) {
    for (ArgKind kind : {ArgKind::Object, ArgKind::Unknown}) {
        CountingDispatch object;
        CComVariant variable = VarDisp(&object);
        VARIANT byRef;
        byRef.vt = VT_BYREF | VT_VARIANT;
        byRef.pvarVal = &variable;
        DISPPARAMS params{&byRef, nullptr, 1, 0};
        g_assign = {&variable, &object, 0};
        const MemberRow member{L"Assign", 1, DISPATCH_METHOD, 1, {kind}, ResultKind::None, &AssignVariable, nullptr};
        EXPECT_HR(S_OK, invoke_member_row(member, nullptr, &params, nullptr));
        EXPECT_EQ(2u, g_assign.held) << "the test's and the call's";
        EXPECT_EQ(1u, object.RefCount());
    }
}

// ---- Pools and the context step --------------------------------------------------------

ITypeInfo* g_pTI_None = nullptr;  // the test objects are not called late-bound
long g_nThings = 0;  // the module counts of the test's own classes
long g_nCtxThings = 0;
HRESULT g_hrInContext = S_OK;

template <class T>
class GThing : public T {
public:
    GThing() : m_nMarker(7) {}
    HRESULT InContext(IGetContextProperties* context) {
        m_spContext.Assign(context);
        return g_hrInContext;
    }
    int m_nUntouched;  // left alone by the constructor: only the pool's zero fill sets it
    int m_nMarker;
    CComPtr<IUnknown> m_spHeld;
    CComPtr<IGetContextProperties> m_spContext;
};
using CThing = GDualImplForPool<IDispatch, GThing, &g_pTI_None, &g_nThings>;
using CCtxThing = GDualImplForPool<IDispatch, GThing, &g_pTI_None, &g_nCtxThings>;
GClassFactoryPooled<CThing, &g_nThings> g_oCF_Thing;
GClassFactoryPooledInContext<CCtxThing, &g_nCtxThings> g_oCF_CtxThing;

TEST(Pool, LastFreedComesFirstZeroedAndRebuilt) {
    CountingDispatch held;
    IDispatch* things[3];
    for (IDispatch*& thing : things) {
        ASSERT_HR(S_OK, g_oCF_Thing.CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&thing)));
        static_cast<CThing*>(thing)->m_nUntouched = 99;
        static_cast<CThing*>(thing)->m_nMarker = 98;
        static_cast<CThing*>(thing)->m_spHeld.Assign(&held);
    }
    EXPECT_EQ(3, g_nThings);
    const size_t freeBefore = g_oCF_Thing.FreeCount();
    for (IDispatch* thing : things) thing->Release();
    EXPECT_EQ(1u, held.RefCount()) << "each object was destroyed on its way into the pool";
    EXPECT_EQ(0, g_nThings);
    EXPECT_EQ(freeBefore + 3, g_oCF_Thing.FreeCount());
    for (int i = 2; i >= 0; --i) {
        IDispatch* again = nullptr;
        ASSERT_HR(S_OK, g_oCF_Thing.CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&again)));
        EXPECT_EQ(things[i], again) << i;
        EXPECT_EQ(0, static_cast<CThing*>(again)->m_nUntouched) << "the zero fill";
        EXPECT_EQ(7, static_cast<CThing*>(again)->m_nMarker) << "the constructor";
        EXPECT_FALSE(static_cast<CThing*>(again)->m_spHeld);
        things[i] = again;
    }
    for (IDispatch* thing : things) thing->Release();
}

// A page context that only counts its references.
class FakeContext final : public automation::GCountedObject<IGetContextProperties> {
public:
    HRESULT Count(LONG*) override { return E_NOTIMPL; }
    HRESULT GetProperty(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT EnumNames(IEnumNames**) override { return E_NOTIMPL; }
};

TEST(InContextFactory, HandsTheContextOverOrReleasesTheObjectAndClearsTheOutPointer) {
    const HRESULT refused = hresult_of(0x80040001u);
    struct Row { bool context; HRESULT inContext; HRESULT expected; };
    const Row rows[] = {{true, S_OK, S_OK}, {true, refused, refused}, {false, S_OK, CONTEXT_E_NOCONTEXT}};
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        FakeContext context;
        {
            veskhost::ObjectContextScope scope(row.context ? &context : nullptr);
            g_hrInContext = row.inContext;
            const size_t freeAfter = std::max<size_t>(g_oCF_CtxThing.FreeCount(), 1);
            IDispatch* thing = reinterpret_cast<IDispatch*>(1);
            EXPECT_HR(row.expected, g_oCF_CtxThing.CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&thing)));
            if (SUCCEEDED(row.expected)) {
                EXPECT_EQ(&context, static_cast<CCtxThing*>(thing)->m_spContext.Get());
                EXPECT_EQ(3u, context.RefCount()) << "the scope's and the object's";
                thing->Release();
            }
            EXPECT_TRUE(SUCCEEDED(row.expected) || thing == nullptr) << "the out-pointer is cleared";
            EXPECT_EQ(0, g_nCtxThings);
            EXPECT_EQ(freeAfter, g_oCF_CtxThing.FreeCount()) << "the object went back to the pool";
        }
        EXPECT_EQ(1u, context.RefCount()) << "every context reference was given back";
    }
    g_hrInContext = S_OK;
}

// ---- Error reporting and type information -----------------------------------------

TEST(RaiseErrorTest, SetsSourceAndDescriptionAndReturnsTheCode) {
    struct Row { HRESULT hr; const wchar_t* source; const wchar_t* description; };
    const Row rows[] = {
        {E_FAIL, L"Vesk", L"Template file can't read.[x.html]"},
        {hresult_of(0x800A01A8u), L"VeskedTemplator", L"passed on"},
        {E_FAIL, nullptr, nullptr},  // no texts at all: empty ones
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        SetErrorInfo(0, nullptr);
        EXPECT_HR(row.hr, RaiseError(row.hr, row.source, row.description));
        CComPtr<IErrorInfo> info;
        ASSERT_HR(S_OK, GetErrorInfo(0, info.Receive()));
        CComBSTR source, description;
        info->GetSource(source.Receive());
        info->GetDescription(description.Receive());
        EXPECT_BSTR_EQ(row.source ? row.source : L"", source.m_str);
        EXPECT_BSTR_EQ(row.description ? row.description : L"", description.m_str);
    }
}

TEST(StaticTypeInfoTest, AnswersOnlyLookupAndInvokeAndCountsNoReferences) {
    StaticTypeInfo& info = g_utility_typeinfo;
    const HRESULT notImplemented[] = {
        info.GetTypeAttr(nullptr), info.GetTypeComp(nullptr), info.GetFuncDesc(0, nullptr),
        info.GetVarDesc(0, nullptr), info.GetNames(0, nullptr, 0, nullptr), info.GetRefTypeOfImplType(0, nullptr),
        info.GetImplTypeFlags(0, nullptr), info.GetDocumentation(0, nullptr, nullptr, nullptr, nullptr),
        info.GetDllEntry(0, INVOKE_FUNC, nullptr, nullptr, nullptr), info.GetRefTypeInfo(0, nullptr),
        info.AddressOfMember(0, INVOKE_FUNC, nullptr), info.CreateInstance(nullptr, IID_IUnknown, nullptr),
        info.GetMops(0, nullptr), info.GetContainingTypeLib(nullptr, nullptr),
    };
    for (HRESULT hr : notImplemented) EXPECT_HR(E_NOTIMPL, hr);
    EXPECT_EQ(2u, info.AddRef());
    EXPECT_EQ(1u, info.Release());
    void* pv = nullptr;
    EXPECT_HR(E_INVALIDARG, info.QueryInterface(IID_ITypeInfo, nullptr));
    EXPECT_HR(E_NOINTERFACE, info.QueryInterface(IID_IDispatch, &pv));
}

}  // namespace
