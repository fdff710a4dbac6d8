#include "support/script_object.h"

#include <cwchar>

namespace vesk_test {

CComPtr<ScriptObject> ScriptObject::Create() {
    CComPtr<ScriptObject> sp;
    sp.Attach(new ScriptObject);
    return sp;
}

const ScriptObject::Member* ScriptObject::Find(std::wstring_view name) const {
    for (const Member& m : m_members) {
        if (m.name.size() == name.size() && wcsncasecmp(m.name.c_str(), name.data(), name.size()) == 0) return &m;
    }
    return nullptr;
}

ScriptObject::Member& ScriptObject::Slot(std::wstring_view name, bool isMethod) {
    Member* m = const_cast<Member*>(Find(name));
    if (m == nullptr) m = &m_members.emplace_back(Member{std::wstring(name)});
    m->isMethod = isMethod;
    m->value.Reset();
    m->method = nullptr;
    return *m;
}

ScriptObject& ScriptObject::SetProperty(std::wstring_view name, const VARIANT& value) {
    CComVariant copy;  // value may be the member's own current value
    copy.Copy(&value);
    Slot(name, false).value = std::move(copy);
    return *this;
}

ScriptObject& ScriptObject::AddMethod(std::wstring_view name, Method method) {
    Slot(name, true).method = std::move(method);
    return *this;
}

ScriptObject& ScriptObject::SetDefaultMember(std::wstring_view name) {
    const Member* m = Find(name);
    m_default = m ? int(m - m_members.data()) : -1;
    return *this;
}

CComVariant ScriptObject::Property(std::wstring_view name) const {
    CComVariant v;
    const Member* m = Find(name);
    if (m && !m->isMethod) v.Copy(&m->value);
    return v;
}

int ScriptObject::CallCount(std::wstring_view name) const {
    const Member* m = Find(name);
    return m ? m->calls : 0;
}

HRESULT ScriptObject::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
    if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) return E_INVALIDARG;
    // Members take no named parameters, so any name after the first is unknown.
    for (UINT i = 1; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
    const Member* m = rgszNames[0] ? Find(rgszNames[0]) : nullptr;
    rgDispId[0] = m ? DISPID(m - m_members.data()) + 1 : DISPID_UNKNOWN;
    return m && cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT ScriptObject::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* dp,
                             VARIANT* pVarResult, EXCEPINFO*, UINT*) {
    if (!guid_equal(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (dp == nullptr || (dp->cArgs > 0 && dp->rgvarg == nullptr) || dp->cNamedArgs > dp->cArgs ||
        (dp->cNamedArgs > 0 && dp->rgdispidNamedArgs == nullptr))
        return E_INVALIDARG;
    const size_t index = dispIdMember == DISPID_VALUE ? size_t(m_default) : size_t(dispIdMember) - 1;
    if (index >= m_members.size()) return DISP_E_MEMBERNOTFOUND;
    Member& m = m_members[index];
    // The result slot is the caller's; start it empty so a failed call leaves nothing behind.
    if (pVarResult) VariantInit(pVarResult);
    ++m.calls;
    const automation::CInvokeArgs args(dp, wFlags);
    const bool put = (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (put && !m.isMethod) {
        if (args.CountAll() != 1) return DISP_E_BADPARAMCOUNT;
        // The value must come as the named argument, as script engines send it.
        if (dp->cNamedArgs != 1 || dp->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) return DISP_E_PARAMNOTFOUND;
        // Copied as laid: the copy follows a by-reference value one step and refuses a second.
        return VariantCopyInd(&m.value, args.RawArg(0));
    }
    if (put || !(wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
    if (HRESULT hr = args.CheckNamed(); FAILED(hr)) return hr;
    if (!m.isMethod) {
        if (args.CountAll() != 0) return DISP_E_BADPARAMCOUNT;
        return pVarResult ? VariantCopy(pVarResult, &m.value) : S_OK;
    }
    const Method method = m.method;  // the method may add members, which moves m
    // As laid: a method may assign through a by-reference argument.
    std::vector<VARIANT*> list;
    for (UINT i = 0; i < args.CountAll(); ++i) list.push_back(args.RawArg(i));
    CComVariant value;
    const HRESULT hr = method(list, &value);
    if (SUCCEEDED(hr) && pVarResult) value.Detach(pVarResult);
    return hr;
}

}  // namespace vesk_test
