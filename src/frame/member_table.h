// The library's member tables: the rows shared with the host (host/automation_members.h) read
// under the library's own argument rules, and the type information that answers from them.
//
// A table may be assembled from several parts, so interfaces that share operations share rows:
// the utility rows serve IUtility and, instantiated on IVesk, the page controller.
#pragma once

#include <span>

#include "frame/static_type_info.h"
#include "host/automation_members.h"

using automation::ArgKind;
using automation::kMaxMemberArgs;
using automation::member_row;
using automation::MemberArg;
using automation::MemberResult;
using automation::MemberRow;
using automation::MemberRows;
using automation::ResultKind;

// The library reads what a call gives: input i is argument i in script order, a put's value
// last. Extra arguments are ignored, a missing one is DISP_E_BADPARAMCOUNT, one that does not
// convert DISP_E_TYPEMISMATCH; puArgErr and EXCEPINFO are never written.
inline constexpr automation::InvokeRules kLibraryArgumentRules{
    .countArguments = false, .putValueApart = false, .reportArgErr = false, .absent = DISP_E_BADPARAMCOUNT};

// One row called under the library's rules.
HRESULT invoke_member_row(const MemberRow& row, void* instance, DISPPARAMS* params, VARIANT* result);

// Type information answering from a member table: one row per DISPID and call-flag bit, names
// matched ignoring case.
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
