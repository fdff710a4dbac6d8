#include "frame/member_table.h"

#include <cwchar>

namespace {

bool SameName(const wchar_t* name, const wchar_t* candidate) {
    return name != nullptr && candidate != nullptr && wcscasecmp(name, candidate) == 0;
}

}  // namespace

HRESULT invoke_member_row(const MemberRow& row, void* instance, DISPPARAMS* params, VARIANT* result) {
    const automation::CInvokeArgs args(params, row.flag);
    return automation::invoke_member_row(row, kLibraryArgumentRules, instance, row.flag, args, result);
}

HRESULT MemberTableTypeInfo::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) {
    if (rgszNames == nullptr || pMemId == nullptr || cNames == 0) return E_INVALIDARG;
    // Only the member name is looked up; entries for named arguments are left as they are.
    const MemberRow* row = automation::find_member_by_name(m_parts, rgszNames[0], &SameName);
    if (row == nullptr) return DISP_E_UNKNOWNNAME;
    pMemId[0] = row->dispid;
    return S_OK;
}

HRESULT MemberTableTypeInfo::Invoke(void* pvInstance, MEMBERID memid, WORD wFlags,
                                    DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO*,
                                    UINT*) {
    const MemberRow* row = automation::find_member_row(m_parts, memid, wFlags);
    if (row == nullptr) return DISP_E_MEMBERNOTFOUND;
    const automation::CInvokeArgs args(pDispParams, wFlags);
    return automation::invoke_member_row(*row, kLibraryArgumentRules, pvInstance, wFlags, args, pVarResult);
}
