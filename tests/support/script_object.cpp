#include "support/script_object.h"

#include <cwctype>
#include <new>

namespace vesk_test {

namespace {

bool same_name(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(wint_t(a[i])) != std::towlower(wint_t(b[i]))) return false;
    }
    return true;
}

}  // namespace

CComPtr<ScriptObject> ScriptObject::Create() {
    CComPtr<ScriptObject> sp;
    sp.Attach(new ScriptObject);
    return sp;
}

ScriptObject::Member* ScriptObject::Find(std::wstring_view name) {
    for (Member& m : m_members) {
        if (same_name(m.name, name)) return &m;
    }
    return nullptr;
}

const ScriptObject::Member* ScriptObject::Find(std::wstring_view name) const {
    return const_cast<ScriptObject*>(this)->Find(name);
}

ScriptObject::Member* ScriptObject::ById(DISPID id) {
    if (id == DISPID_VALUE) return m_default >= 0 ? &m_members[size_t(m_default)] : nullptr;
    if (id < 1 || size_t(id) > m_members.size()) return nullptr;
    return &m_members[size_t(id) - 1];
}

ScriptObject& ScriptObject::SetProperty(std::wstring_view name, const VARIANT& value) {
    Member* m = Find(name);
    if (m == nullptr) {
        m_members.push_back(Member{std::wstring(name)});
        m = &m_members.back();
    }
    m->isMethod = false;
    m->method = nullptr;
    m->value.Copy(&value);
    return *this;
}

ScriptObject& ScriptObject::AddMethod(std::wstring_view name, Method method) {
    Member* m = Find(name);
    if (m == nullptr) {
        m_members.push_back(Member{std::wstring(name)});
        m = &m_members.back();
    }
    m->isMethod = true;
    m->value.Reset();
    m->method = std::move(method);
    return *this;
}

ScriptObject& ScriptObject::SetDefaultMember(std::wstring_view name) {
    const Member* m = Find(name);
    m_default = m ? int(m - m_members.data()) : -1;
    return *this;
}

bool ScriptObject::Has(std::wstring_view name) const { return Find(name) != nullptr; }

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

HRESULT ScriptObject::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (guid_equal(riid, IID_IUnknown) || guid_equal(riid, IID_IDispatch)) {
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG ScriptObject::AddRef() { return ++m_cRef; }

ULONG ScriptObject::Release() {
    const ULONG n = --m_cRef;
    if (n == 0) delete this;
    return n;
}

HRESULT ScriptObject::GetTypeInfoCount(UINT* pctinfo) {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

HRESULT ScriptObject::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
    if (ppTInfo) *ppTInfo = nullptr;
    return E_NOTIMPL;
}

HRESULT ScriptObject::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
    if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) return E_INVALIDARG;
    // Members take no named parameters, so any name after the first is unknown.
    for (UINT i = 1; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
    const Member* m = rgszNames[0] ? Find(rgszNames[0]) : nullptr;
    rgDispId[0] = m ? DISPID(m - m_members.data()) + 1 : DISPID_UNKNOWN;
    return m && cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT ScriptObject::InvokeProperty(Member& m, WORD wFlags, DISPPARAMS* dp, VARIANT* result) {
    if (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        if (dp->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        if (dp->cNamedArgs != 1 || dp->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return DISP_E_PARAMNOTFOUND;
        return VariantCopyInd(&m.value, &dp->rgvarg[0]);
    }
    if (dp->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (dp->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    return result ? VariantCopy(result, &m.value) : S_OK;
}

HRESULT ScriptObject::InvokeMethod(Member& m, DISPPARAMS* dp, VARIANT* result) {
    if (dp->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    std::vector<VARIANT*> args;
    args.reserve(dp->cArgs);
    for (UINT i = dp->cArgs; i > 0; --i) args.push_back(&dp->rgvarg[i - 1]);
    CComVariant value;
    const HRESULT hr = m.method(args, &value);
    if (SUCCEEDED(hr) && result) value.Detach(result);
    return hr;
}

HRESULT ScriptObject::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                             DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO*, UINT*) {
    if (!guid_equal(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (pDispParams == nullptr) return E_INVALIDARG;
    if (pDispParams->cArgs > 0 && pDispParams->rgvarg == nullptr) return E_INVALIDARG;
    if (pDispParams->cNamedArgs > pDispParams->cArgs ||
        (pDispParams->cNamedArgs > 0 && pDispParams->rgdispidNamedArgs == nullptr))
        return E_INVALIDARG;
    Member* m = ById(dispIdMember);
    if (m == nullptr) return DISP_E_MEMBERNOTFOUND;
    // The result slot is the caller's; start it empty so a failed call leaves nothing behind.
    if (pVarResult) VariantInit(pVarResult);
    ++m->calls;
    const bool put = (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (m->isMethod) {
        if (put || !(wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
        // The method may add members, so hold it by value rather than through m.
        Method method = m->method;
        Member call{m->name, true, CComVariant(), std::move(method)};
        return InvokeMethod(call, pDispParams, pVarResult);
    }
    if (!put && !(wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
    return InvokeProperty(*m, wFlags, pDispParams, pVarResult);
}

}  // namespace vesk_test
