#include "frame/member_table.h"

#include <utility>

MemberResult::~MemberResult() {
    SysFreeString(bstr);
    if (pdisp) pdisp->Release();
    if (punk) punk->Release();
    if (psa) SafeArrayDestroy(psa);
}

namespace {

HRESULT unpack_arg(ArgKind kind, DISPPARAMS* params, UINT position, MemberArg& arg) {
    HRESULT hr = S_OK;
    switch (kind) {
    case ArgKind::Bstr:
        return coerce_arg(params, position, VT_BSTR, &arg.coerced);
    case ArgKind::I4:
        return coerce_arg(params, position, VT_I4, &arg.coerced);
    case ArgKind::Bool:
        return coerce_arg(params, position, VT_BOOL, &arg.coerced);
    case ArgKind::Variant:
        arg.pvar = disp_arg(params, position);
        return arg.pvar ? S_OK : DISP_E_BADPARAMCOUNT;
    case ArgKind::Object:
        hr = get_dispatch_arg(params, position, &arg.pdisp);
        if (SUCCEEDED(hr)) arg.spHeld.Assign(arg.pdisp);
        return hr;
    case ArgKind::Unknown:
        hr = get_unknown_arg(params, position, &arg.punk);
        if (SUCCEEDED(hr)) arg.spHeld.Assign(arg.punk);
        return hr;
    }
    return E_UNEXPECTED;
}

HRESULT pack_result(ResultKind kind, MemberResult& out, VARIANT* result) {
    switch (kind) {
    case ResultKind::None:
        return S_OK;
    case ResultKind::Bstr:
        return set_bstr_result(result, std::exchange(out.bstr, nullptr));
    case ResultKind::Bool:
        return set_bool_result(result, out.boolean);
    case ResultKind::Object:
        return set_dispatch_result(result, std::exchange(out.pdisp, nullptr));
    case ResultKind::Unknown:
        return set_unknown_result(result, std::exchange(out.punk, nullptr));
    case ResultKind::Variant:
        return set_variant_result(result, &out.var);
    case ResultKind::VariantArray:
        if (result != nullptr) {
            VariantInit(result);
            result->vt = VT_ARRAY | VT_VARIANT;
            result->parray = std::exchange(out.psa, nullptr);
        }
        // Without a result VARIANT the array is destroyed with `out`.
        return S_OK;
    }
    return E_UNEXPECTED;
}

}  // namespace

HRESULT invoke_member_row(const MemberRow& row, void* instance, DISPPARAMS* params, VARIANT* result) {
    if (row.raw != nullptr) return row.raw(instance, params, result);
    MemberArg args[kMaxMemberArgs];
    for (UINT i = 0; i < row.argc; ++i) {
        const HRESULT hr = unpack_arg(row.args[i], params, i, args[i]);
        if (FAILED(hr)) return hr;
    }
    MemberResult out;
    const HRESULT hr = row.op(instance, args, &out);
    if (FAILED(hr)) return hr;
    return pack_result(row.result, out, result);
}

const MemberRow* find_member_by_name(std::span<const MemberRows> parts, const wchar_t* name) {
    for (const MemberRows& rows : parts) {
        for (const MemberRow& row : rows) {
            if (name_eq(name, row.name)) return &row;
        }
    }
    return nullptr;
}

const MemberRow* find_member_row(std::span<const MemberRows> parts, DISPID dispid, WORD flags) {
    for (const MemberRows& rows : parts) {
        for (const MemberRow& row : rows) {
            if (row.dispid == dispid && (flags & row.flag) != 0) return &row;
        }
    }
    return nullptr;
}

HRESULT MemberTableTypeInfo::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) {
    if (rgszNames == nullptr || pMemId == nullptr || cNames == 0) return E_INVALIDARG;
    // Only the member name is looked up; entries for named arguments are left as they are.
    const MemberRow* row = find_member_by_name(m_parts, rgszNames[0]);
    if (row == nullptr) return DISP_E_UNKNOWNNAME;
    pMemId[0] = row->dispid;
    return S_OK;
}

HRESULT MemberTableTypeInfo::Invoke(void* pvInstance, MEMBERID memid, WORD wFlags,
                                    DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO*,
                                    UINT*) {
    const MemberRow* row = find_member_row(m_parts, memid, wFlags);
    if (row == nullptr) return DISP_E_MEMBERNOTFOUND;
    return invoke_member_row(*row, pvInstance, pDispParams, pVarResult);
}
