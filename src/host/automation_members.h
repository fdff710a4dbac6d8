// Member tables: every late-bound name of an interface as data, shared by the library and the
// host components. A table is a list of rows (name, DISPID, call flags, argument kinds, result
// kind, operation), walked by one lookup and one invoke routine. A row is built from the
// interface operation it calls; its argument and result kinds follow from the operation's
// parameter types, so the table cannot drift from the signature:
//
//   member_row<ITextTemplator, &ITextTemplator::ProcessTemplate>(L"ProcessTemplate", 4, DISPATCH_METHOD)
//   member_row<IUtility, &IUtility::Base64Decode, ResultKind::Variant>(L"Base64Decode", 54, DISPATCH_METHOD)
//   member_row<IZULibStream, &IZULibStream::Read, ResultKind::Variant>(L"Read", 9, kGetCall).Optional(adReadAll)
//
// Parameter types and how Invoke fills them (inputs in script order):
//   BSTR, LONG, VARIANT_BOOL   converted to VT_BSTR / VT_I4 / VT_BOOL
//   VARIANT*                   the argument VARIANT itself, unconverted
//   VARIANT                    a shallow copy of it, borrowed for the call
//   IDispatch*, IUnknown*      the object argument, held for the call
// A last parameter BSTR*, LONG*, VARIANT_BOOL*, IDispatch**, IUnknown** or SAFEARRAY** is the
// result (VT_BSTR, VT_I4, VT_BOOL, VT_DISPATCH, VT_UNKNOWN, VT_ARRAY|VT_VARIANT). A last
// VARIANT* is an input unless the row asks for ResultKind::Variant; Optional() lets the last
// positional inputs be left out, with their defaults. A row whose member reads the call's
// arguments itself uses raw_row.
//
// How arguments are counted, where a put's value comes from and what a missing one gives is
// each side's own rule (InvokeRules); the tables and the routine are the same for both.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "automation.h"

namespace automation {

enum class ArgKind : uint8_t { Bstr, I4, Bool, Variant, Object, Unknown, VariantValue };
enum class ResultKind : uint8_t { None, Bstr, Bool, Object, Unknown, Variant, VariantArray, I4 };

constexpr size_t kMaxMemberArgs = 6;

// The flag of a row that answers every call, whatever its flags (none at all included).
constexpr WORD kAnyCall = 0xFFFF;

// The value an omitted optional input takes: a number, a text, or for a VARIANT the omitted
// marker (VT_ERROR holding DISP_E_PARAMNOTFOUND).
struct MemberDefault {
    enum class Form : uint8_t { Omitted, Number, Text };
    Form form = Form::Omitted;
    int32_t number = 0;
    const wchar_t* text = nullptr;

    constexpr MemberDefault() = default;
    constexpr MemberDefault(int32_t value) : form(Form::Number), number(value) {}
    constexpr MemberDefault(const wchar_t* value) : form(Form::Text), text(value) {}
};

// One unpacked input: whichever field its kind uses.
struct MemberArg {
    CComVariant coerced;
    VARIANT* pvar = nullptr;
    IDispatch* pdisp = nullptr;
    IUnknown* punk = nullptr;
    // An object argument, held for the call: the variable it came in by reference may be
    // assigned by a script that the operation runs, which drops the reference it held.
    CComPtr<IUnknown> spHeld;
};

// The operation's out-value before it is moved into the result VARIANT. Whatever is still
// held when it goes out of scope (a failing operation that set it anyway) is freed.
struct MemberResult {
    BSTR bstr = nullptr;
    int32_t number = 0;
    VARIANT_BOOL boolean = VARIANT_FALSE;
    IDispatch* pdisp = nullptr;
    IUnknown* punk = nullptr;
    CComVariant var;
    SAFEARRAY* psa = nullptr;

    MemberResult() = default;
    MemberResult(const MemberResult&) = delete;
    MemberResult& operator=(const MemberResult&) = delete;
    ~MemberResult() {
        SysFreeString(bstr);
        if (pdisp) pdisp->Release();
        if (punk) punk->Release();
        if (psa) SafeArrayDestroy(psa);
    }
};

// How one side reads the arguments of a call.
struct InvokeRules {
    // The positional count is checked against the row before anything is read: too few or
    // too many give DISP_E_BADPARAMCOUNT, a required one left out DISP_E_PARAMNOTOPTIONAL.
    bool countArguments;
    // A put row takes its last input from the put's value and the others by position;
    // otherwise input i is argument i over all of them, a put's value last.
    bool putValueApart;
    // puArgErr names the positional argument that was left out or did not convert.
    bool reportArgErr;
    // What an input the call does not supply gives.
    HRESULT absent;
};

struct MemberRow;
struct MemberCall;

using MemberOp = HRESULT (*)(void* instance, MemberArg* args, MemberResult* result);
using RawMemberOp = HRESULT (*)(MemberCall& call);

namespace member_detail {
constexpr bool default_fits(ArgKind kind, MemberDefault::Form form) {
    switch (kind) {
    case ArgKind::Bstr: return form == MemberDefault::Form::Text;
    case ArgKind::I4:
    case ArgKind::Bool: return form == MemberDefault::Form::Number;
    default: return form == MemberDefault::Form::Omitted;
    }
}
}  // namespace member_detail

struct MemberRow {
    const wchar_t* name;
    DISPID dispid;
    WORD flag;  // the DISPATCH_* bits that select this row, or kAnyCall
    uint8_t argc;
    ArgKind args[kMaxMemberArgs];
    ResultKind result;
    MemberOp op;      // typed operation, or
    RawMemberOp raw;  // an operation that reads the call's arguments itself
    // The last `optional` positional inputs may be left out; they then take their default.
    uint8_t optional = 0;
    MemberDefault defaults[kMaxMemberArgs] = {};

    constexpr bool TakesPutValue() const {
        return flag != kAnyCall && (flag & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    }
    constexpr UINT Positional() const { return TakesPutValue() && argc > 0 ? argc - 1u : argc; }
    constexpr UINT Required() const { return Positional() - optional; }

    // The same row with its last positional inputs optional, taking these defaults in order.
    // In a constant table, a default that does not fit its input's kind does not compile.
    template <class... D>
    constexpr MemberRow Optional(D... values) const {
        static_assert(sizeof...(D) > 0, "Optional() names at least one default");
        MemberRow row = *this;
        const MemberDefault given[] = {MemberDefault(values)...};
        constexpr UINT count = sizeof...(D);
        if (count > Positional()) throw "more defaults than positional inputs";
        row.optional = static_cast<uint8_t>(count);
        for (UINT i = 0; i < count; ++i) {
            const UINT input = Positional() - count + i;
            if (!member_detail::default_fits(args[input], given[i].form)) throw "a default that does not fit its input";
            row.defaults[input] = given[i];
        }
        return row;
    }
};

using MemberRows = std::span<const MemberRow>;

// One call of one row: what the invoke routine and a raw operation work from.
struct MemberCall {
    const MemberRow& row;
    const InvokeRules& rules;
    void* instance;
    WORD flags;
    const CInvokeArgs& args;
    VARIANT* result;  // empty on entry; null when the caller wants no value
    UINT* argErr;
};

// ---- Reading inputs and writing results ------------------------------------------------

namespace member_detail {

// v as the kind asks, into arg. DISP_E_TYPEMISMATCH when it does not convert.
inline HRESULT unpack(ArgKind kind, VARIANT* v, MemberArg& arg) {
    switch (kind) {
    case ArgKind::Bstr:
    case ArgKind::I4:
    case ArgKind::Bool: {
        const VARTYPE vt = kind == ArgKind::Bstr ? VT_BSTR : kind == ArgKind::I4 ? VT_I4 : VT_BOOL;
        const HRESULT hr = VariantChangeType(&arg.coerced, v, 0, vt);
        return FAILED(hr) || arg.coerced.vt != vt ? DISP_E_TYPEMISMATCH : S_OK;
    }
    case ArgKind::Variant:
    case ArgKind::VariantValue:
        arg.pvar = v;
        return S_OK;
    case ArgKind::Object:
        if (v->vt == VT_DISPATCH) {
            arg.pdisp = v->pdispVal;
        } else if (v->vt == VT_UNKNOWN && v->punkVal != nullptr) {
            CComPtr<IDispatch> spDisp;
            const HRESULT hr = v->punkVal->QueryInterface(IID_IDispatch, spDisp.ReceiveVoid());
            if (FAILED(hr)) return hr;
            if (!spDisp) return E_NOINTERFACE;
            // The argument VARIANT keeps the object alive for the call; the hold below keeps it
            // past a script that reassigns that VARIANT.
            arg.pdisp = spDisp.Get();
        } else {
            return DISP_E_TYPEMISMATCH;
        }
        if (arg.pdisp == nullptr) return E_INVALIDARG;
        arg.spHeld.Assign(arg.pdisp);
        return S_OK;
    case ArgKind::Unknown:
        if (v->vt != VT_UNKNOWN && v->vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
        arg.punk = v->punkVal;
        if (arg.punk == nullptr) return E_INVALIDARG;
        arg.spHeld.Assign(arg.punk);
        return S_OK;
    }
    return E_UNEXPECTED;
}

// An omitted optional input as its default.
inline HRESULT take_default(ArgKind kind, const MemberDefault& fallback, MemberArg& arg) {
    switch (kind) {
    case ArgKind::Bstr: return arg.coerced.SetString(fallback.text);
    case ArgKind::I4: arg.coerced.SetI4(fallback.number); return S_OK;
    case ArgKind::Bool: arg.coerced.SetBool(fallback.number != 0); return S_OK;
    case ArgKind::Variant:
    case ArgKind::VariantValue:
        arg.coerced.vt = VT_ERROR;
        arg.coerced.scode = DISP_E_PARAMNOTFOUND;
        arg.pvar = &arg.coerced;
        return S_OK;
    case ArgKind::Object:
    case ArgKind::Unknown: return S_OK;
    }
    return E_UNEXPECTED;
}

inline HRESULT set_result(ResultKind kind, MemberResult& out, VARIANT* result) {
    // Without a result VARIANT the value is freed with `out`.
    if (kind == ResultKind::None || result == nullptr) return S_OK;
    VariantInit(result);
    switch (kind) {
    case ResultKind::None:
        break;
    case ResultKind::Bstr:
        result->vt = VT_BSTR;
        result->bstrVal = std::exchange(out.bstr, nullptr);
        break;
    case ResultKind::I4:
        result->vt = VT_I4;
        result->lVal = out.number;
        break;
    case ResultKind::Bool:
        result->vt = VT_BOOL;
        result->boolVal = out.boolean;
        break;
    case ResultKind::Object:
        result->vt = VT_DISPATCH;
        result->pdispVal = std::exchange(out.pdisp, nullptr);
        break;
    case ResultKind::Unknown:
        result->vt = VT_UNKNOWN;
        result->punkVal = std::exchange(out.punk, nullptr);
        break;
    case ResultKind::Variant:
        out.var.Detach(result);
        break;
    case ResultKind::VariantArray:
        result->vt = VT_ARRAY | VT_VARIANT;
        result->parray = std::exchange(out.psa, nullptr);
        break;
    }
    return S_OK;
}

}  // namespace member_detail

// Input i of the call's row, read under the call's rules into arg.
inline HRESULT read_input(const MemberCall& call, UINT i, MemberArg& arg) {
    const MemberRow& row = call.row;
    const bool putValue = call.rules.putValueApart && row.TakesPutValue() && i + 1 == row.argc;
    VARIANT* v = putValue ? call.args.PutValue() : call.rules.putValueApart ? call.args.At(i) : call.args.Arg(i);
    const bool positional = !putValue && v != nullptr && i < call.args.Count();
    if (!putValue && i >= row.Required() && i < row.Positional() && (v == nullptr || v->vt == VT_ERROR))
        return member_detail::take_default(row.args[i], row.defaults[i], arg);
    if (v == nullptr) return call.rules.absent;
    const HRESULT hr = member_detail::unpack(row.args[i], v, arg);
    if (hr == DISP_E_TYPEMISMATCH && positional && call.rules.reportArgErr && call.argErr)
        *call.argErr = call.args.RawIndex(i);
    return hr;
}

// The positional count against the row, when the rules ask for it.
inline HRESULT check_argument_count(const MemberCall& call) {
    const UINT count = call.args.Count();
    if (count < call.row.Required() || count > call.row.Positional()) return DISP_E_BADPARAMCOUNT;
    for (UINT i = 0; i < call.row.Required(); ++i) {
        if (call.args.Missing(i)) {
            if (call.rules.reportArgErr && call.argErr) *call.argErr = call.args.RawIndex(i);
            return DISP_E_PARAMNOTOPTIONAL;
        }
    }
    return S_OK;
}

// The one invoke routine: the count checked where the rules say so, the row's inputs read in
// order (the first failure is returned), the operation called, its out-value moved into the
// result.
inline HRESULT invoke_member_row(const MemberRow& row, const InvokeRules& rules, void* instance, WORD flags,
                                 const CInvokeArgs& args, VARIANT* result, UINT* argErr = nullptr) {
    MemberCall call{row, rules, instance, flags, args, result, argErr};
    if (rules.countArguments) {
        if (HRESULT hr = check_argument_count(call); FAILED(hr)) return hr;
    }
    if (row.raw != nullptr) return row.raw(call);
    MemberArg inputs[kMaxMemberArgs];
    for (UINT i = 0; i < row.argc; ++i) {
        if (HRESULT hr = read_input(call, i, inputs[i]); FAILED(hr)) return hr;
    }
    MemberResult out;
    if (HRESULT hr = row.op(instance, inputs, &out); FAILED(hr)) return hr;
    return member_detail::set_result(row.result, out, result);
}

// ---- Finding rows ----------------------------------------------------------------------

using MemberNameMatch = bool (*)(const wchar_t* name, const wchar_t* candidate);

// The first row, over all parts in order, whose name matches; null if none.
inline const MemberRow* find_member_by_name(std::span<const MemberRows> parts, const wchar_t* name,
                                            MemberNameMatch match) {
    for (const MemberRows& rows : parts) {
        for (const MemberRow& row : rows) {
            if (match(name, row.name)) return &row;
        }
    }
    return nullptr;
}

// The first row, over all parts in order, with this DISPID that the call's flags select.
inline const MemberRow* find_member_row(std::span<const MemberRows> parts, DISPID dispid, WORD flags) {
    for (const MemberRows& rows : parts) {
        for (const MemberRow& row : rows) {
            if (row.dispid == dispid && (row.flag == kAnyCall || (flags & row.flag) != 0)) return &row;
        }
    }
    return nullptr;
}

// True when any row has this DISPID, whatever its flags.
inline bool has_member(std::span<const MemberRows> parts, DISPID dispid) {
    return find_member_row(parts, dispid, kAnyCall) != nullptr;
}

// ---- Building rows from operations -----------------------------------------------------

namespace member_detail {

template <class T> struct InputKind;
template <> struct InputKind<BSTR> { static constexpr ArgKind value = ArgKind::Bstr; };
template <> struct InputKind<long> { static constexpr ArgKind value = ArgKind::I4; };
template <> struct InputKind<int32_t> { static constexpr ArgKind value = ArgKind::I4; };
template <> struct InputKind<VARIANT_BOOL> { static constexpr ArgKind value = ArgKind::Bool; };
template <> struct InputKind<VARIANT*> { static constexpr ArgKind value = ArgKind::Variant; };
template <> struct InputKind<VARIANT> { static constexpr ArgKind value = ArgKind::VariantValue; };
template <> struct InputKind<IDispatch*> { static constexpr ArgKind value = ArgKind::Object; };
template <> struct InputKind<IUnknown*> { static constexpr ArgKind value = ArgKind::Unknown; };

template <class T> struct OutputKind { static constexpr ResultKind value = ResultKind::None; };
template <> struct OutputKind<BSTR*> { static constexpr ResultKind value = ResultKind::Bstr; };
template <> struct OutputKind<int32_t*> { static constexpr ResultKind value = ResultKind::I4; };
template <> struct OutputKind<VARIANT_BOOL*> { static constexpr ResultKind value = ResultKind::Bool; };
template <> struct OutputKind<IDispatch**> { static constexpr ResultKind value = ResultKind::Object; };
template <> struct OutputKind<IUnknown**> { static constexpr ResultKind value = ResultKind::Unknown; };
template <> struct OutputKind<SAFEARRAY**> { static constexpr ResultKind value = ResultKind::VariantArray; };

template <class M> struct MethodTraits;
template <class C, class... P>
struct MethodTraits<HRESULT (C::*)(P...)> {
    using Class = C;
    using Params = std::tuple<P...>;
    static constexpr size_t arity = sizeof...(P);
};

template <class M>
constexpr ResultKind default_result() {
    using Tr = MethodTraits<M>;
    if constexpr (Tr::arity == 0) {
        return ResultKind::None;
    } else {
        return OutputKind<std::tuple_element_t<Tr::arity - 1, typename Tr::Params>>::value;
    }
}

template <class T>
T arg_value(MemberArg& a) {
    if constexpr (std::is_same_v<T, BSTR>) return a.coerced.bstrVal;
    else if constexpr (std::is_same_v<T, long> || std::is_same_v<T, int32_t>) return a.coerced.lVal;
    else if constexpr (std::is_same_v<T, VARIANT_BOOL>) return a.coerced.boolVal;
    else if constexpr (std::is_same_v<T, VARIANT*>) return a.pvar;
    else if constexpr (std::is_same_v<T, VARIANT>) return *a.pvar;
    else if constexpr (std::is_same_v<T, IDispatch*>) return a.pdisp;
    else return a.punk;
}

template <ResultKind R>
auto result_slot(MemberResult* r) {
    if constexpr (R == ResultKind::Bstr) return &r->bstr;
    else if constexpr (R == ResultKind::I4) return &r->number;
    else if constexpr (R == ResultKind::Bool) return &r->boolean;
    else if constexpr (R == ResultKind::Object) return &r->pdisp;
    else if constexpr (R == ResultKind::Unknown) return &r->punk;
    else if constexpr (R == ResultKind::Variant) return static_cast<VARIANT*>(&r->var);
    else return &r->psa;
}

template <class I, auto M, ResultKind R, size_t... N>
HRESULT call_member(void* instance, MemberArg* args, MemberResult* result, std::index_sequence<N...>) {
    using Tr = MethodTraits<decltype(M)>;
    auto* object = static_cast<typename Tr::Class*>(static_cast<I*>(instance));
    if constexpr (R == ResultKind::None) {
        (void)result;
        return (object->*M)(arg_value<std::tuple_element_t<N, typename Tr::Params>>(args[N])...);
    } else {
        return (object->*M)(arg_value<std::tuple_element_t<N, typename Tr::Params>>(args[N])...,
                            result_slot<R>(result));
    }
}

template <class I, auto M, ResultKind R>
constexpr size_t input_count() {
    return MethodTraits<decltype(M)>::arity - (R == ResultKind::None ? 0 : 1);
}

template <class I, auto M, ResultKind R>
HRESULT member_thunk(void* instance, MemberArg* args, MemberResult* result) {
    return call_member<I, M, R>(instance, args, result, std::make_index_sequence<input_count<I, M, R>()>{});
}

template <class Params, size_t... N>
constexpr void fill_kinds(ArgKind* kinds, std::index_sequence<N...>) {
    ((kinds[N] = InputKind<std::tuple_element_t<N, Params>>::value), ...);
}

}  // namespace member_detail

template <class I, auto M, ResultKind R = member_detail::default_result<decltype(M)>()>
consteval MemberRow member_row(const wchar_t* name, DISPID dispid, WORD flag) {
    using Tr = member_detail::MethodTraits<decltype(M)>;
    static_assert(std::is_base_of_v<typename Tr::Class, I>, "the operation must belong to the interface");
    constexpr size_t inputs = member_detail::input_count<I, M, R>();
    static_assert(inputs <= kMaxMemberArgs, "too many arguments for a member row");
    if constexpr (R != ResultKind::None) {
        using Last = std::tuple_element_t<Tr::arity - 1, typename Tr::Params>;
        static_assert(std::is_same_v<Last, decltype(member_detail::result_slot<R>(nullptr))>,
                      "the last parameter must be the out-pointer of the row's result kind");
    }
    MemberRow row{name, dispid, flag, static_cast<uint8_t>(inputs), {}, R,
                  &member_detail::member_thunk<I, M, R>, nullptr};
    member_detail::fill_kinds<typename Tr::Params>(row.args, std::make_index_sequence<inputs>{});
    return row;
}

// A row whose operation reads the call itself. The kinds name its inputs, so that the count
// and optional inputs are checked as for a typed row and read_input can read any of them.
// (Not consteval: clang 14 refuses an immediate call whose arguments depend on a template.)
constexpr MemberRow raw_row(const wchar_t* name, DISPID dispid, WORD flag, RawMemberOp op,
                            std::initializer_list<ArgKind> kinds = {}) {
    MemberRow row{name, dispid, flag, static_cast<uint8_t>(kinds.size()), {}, ResultKind::None, nullptr, op};
    if (kinds.size() > kMaxMemberArgs) throw "too many arguments for a member row";
    UINT i = 0;
    for (ArgKind kind : kinds) row.args[i++] = kind;
    return row;
}

}  // namespace automation
