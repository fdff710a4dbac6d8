// Automation member tables: every late-bound name of an interface as data.
//
// A table is a list of rows (name, DISPID, call-flag bit, argument kinds, result kind,
// operation), walked by one lookup routine (GetIDsOfNames) and one invoke routine. A row is
// built from the interface operation it calls; its argument and result kinds follow from the
// operation's parameter types, so the data cannot drift from the signature:
//
//   member_row<ITextTemplator, &ITextTemplator::ProcessTemplate>(L"ProcessTemplate", 4, DISPATCH_METHOD)
//   member_row<IUtility, &IUtility::Base64Decode, ResultKind::Variant>(L"Base64Decode", 54, DISPATCH_METHOD)
//
// Parameter types and how Invoke fills them (argument positions in script order):
//   BSTR, long, VARIANT_BOOL   converted to VT_BSTR / VT_I4 / VT_BOOL (coerce_arg); required
//   VARIANT*                   the argument VARIANT itself, unconverted (disp_arg); required
//   IDispatch*, IUnknown*      get_dispatch_arg / get_unknown_arg, held for the call
// A last parameter BSTR*, VARIANT_BOOL*, IDispatch**, IUnknown** or SAFEARRAY** is the
// result (BSTR, BOOL, VT_DISPATCH, VT_UNKNOWN, VT_ARRAY|VT_VARIANT). A last VARIANT* is an
// input unless the row asks for ResultKind::Variant, whose value is copied into the result.
// Rows that need the raw DISPPARAMS (a dictionary item read or write) use raw_row.
//
// A table may be assembled from several parts, so interfaces that share operations share rows:
// the utility rows serve IUtility and, instantiated on IVesk, the page controller.
#pragma once

#include <cstdint>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/dispatch_args.h"
#include "frame/static_type_info.h"
#include "host/ccom.h"

enum class ArgKind : uint8_t { Bstr, I4, Bool, Variant, Object, Unknown };
enum class ResultKind : uint8_t { None, Bstr, Bool, Object, Unknown, Variant, VariantArray };

constexpr size_t kMaxMemberArgs = 4;

// One unpacked argument: whichever field its kind uses.
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
    VARIANT_BOOL boolean = VARIANT_FALSE;
    IDispatch* pdisp = nullptr;
    IUnknown* punk = nullptr;
    CComVariant var;
    SAFEARRAY* psa = nullptr;

    MemberResult() = default;
    MemberResult(const MemberResult&) = delete;
    MemberResult& operator=(const MemberResult&) = delete;
    ~MemberResult();
};

using MemberOp = HRESULT (*)(void* instance, MemberArg* args, MemberResult* result);
using RawMemberOp = HRESULT (*)(void* instance, DISPPARAMS* params, VARIANT* result);

struct MemberRow {
    const wchar_t* name;
    DISPID dispid;
    WORD flag;  // the one DISPATCH_* bit that selects this row
    uint8_t argc;
    ArgKind args[kMaxMemberArgs];
    ResultKind result;
    MemberOp op;      // typed operation, or
    RawMemberOp raw;  // an operation that unpacks DISPPARAMS itself
};

using MemberRows = std::span<const MemberRow>;

// The one invoke routine: unpack the row's arguments in order (the first failure is
// returned), call the operation, move its out-value into the result.
HRESULT invoke_member_row(const MemberRow& row, void* instance, DISPPARAMS* params, VARIANT* result);

// The first row, over all parts in order, whose name matches (ignoring case); null if none.
const MemberRow* find_member_by_name(std::span<const MemberRows> parts, const wchar_t* name);
// The first row, over all parts in order, with this DISPID and whose bit is in flags.
const MemberRow* find_member_row(std::span<const MemberRows> parts, DISPID dispid, WORD flags);

// Type information answering from a member table.
class MemberTableTypeInfo : public StaticTypeInfo {
public:
    constexpr explicit MemberTableTypeInfo(std::span<const MemberRows> parts) : m_parts(parts) {}

    HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override;
    HRESULT Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

    std::span<const MemberRows> parts() const { return m_parts; }

private:
    std::span<const MemberRows> m_parts;
};

// Objects used by the host through their interfaces' own operations: no member is
// reachable by name.
class PassiveTypeInfo final : public StaticTypeInfo {
public:
    constexpr PassiveTypeInfo() = default;
    HRESULT GetIDsOfNames(LPOLESTR*, UINT, MEMBERID*) override { return DISP_E_UNKNOWNNAME; }
    HRESULT Invoke(void*, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
};

// ---- Building rows from operations -----------------------------------------------------

namespace member_detail {

template <class T> struct InputKind;
template <> struct InputKind<BSTR> { static constexpr ArgKind value = ArgKind::Bstr; };
template <> struct InputKind<long> { static constexpr ArgKind value = ArgKind::I4; };
template <> struct InputKind<int32_t> { static constexpr ArgKind value = ArgKind::I4; };
template <> struct InputKind<VARIANT_BOOL> { static constexpr ArgKind value = ArgKind::Bool; };
template <> struct InputKind<VARIANT*> { static constexpr ArgKind value = ArgKind::Variant; };
template <> struct InputKind<IDispatch*> { static constexpr ArgKind value = ArgKind::Object; };
template <> struct InputKind<IUnknown*> { static constexpr ArgKind value = ArgKind::Unknown; };

template <class T> struct OutputKind { static constexpr ResultKind value = ResultKind::None; };
template <> struct OutputKind<BSTR*> { static constexpr ResultKind value = ResultKind::Bstr; };
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
    else if constexpr (std::is_same_v<T, IDispatch*>) return a.pdisp;
    else return a.punk;
}

template <ResultKind R>
auto result_slot(MemberResult* r) {
    if constexpr (R == ResultKind::Bstr) return &r->bstr;
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

consteval MemberRow raw_row(const wchar_t* name, DISPID dispid, WORD flag, RawMemberOp op) {
    return MemberRow{name, dispid, flag, 0, {}, ResultKind::None, nullptr, op};
}
