// LateBound: calls by name through IDispatch, the way a script engine does, through the
// toolkit's late-bound caller: arguments in script order, a put's value last and named
// DISPID_PROPERTYPUT.
//
//   CallResult r = LateBound(obj).Call(L"MD5", VarStr(L"abc"), VarI4(0));
//   EXPECT_HR(S_OK, r.hr);  EXPECT_BSTR_EQ(L"9001...", r.value.bstrVal);
#pragma once

#include <utility>
#include <vector>

#include "host/automation.h"

namespace vesk_test {

struct CallResult {
    HRESULT hr = E_UNEXPECTED;
    CComVariant value;
};

// Owned arguments in script order, for InvokeNamed and InvokeId.
template <class... A>
std::vector<CComVariant> ArgList(A&&... args) {
    std::vector<CComVariant> list;
    (list.push_back(std::forward<A>(args)), ...);
    return list;
}

class LateBound {
public:
    explicit LateBound(IDispatch* object) : m_pObject(object) {}

    HRESULT Id(const wchar_t* name, DISPID* id) const { return automation::GetMemberId(m_pObject, name, id); }

    // Invoke with explicit flags and arguments (script order; taken over by the call).
    CallResult InvokeNamed(const wchar_t* name, WORD flags, std::vector<CComVariant> args,
                           bool wantResult = true) const {
        DISPID id = DISPID_UNKNOWN;
        const HRESULT hr = Id(name, &id);
        if (FAILED(hr)) return {hr, {}};
        return InvokeId(id, flags, std::move(args), wantResult);
    }
    CallResult InvokeId(DISPID id, WORD flags, std::vector<CComVariant> args, bool wantResult = true) const {
        CallResult r;
        r.hr = automation::InvokeById(m_pObject, id, flags, args, wantResult ? &r.value : nullptr);
        return r;
    }

    template <class... A>
    CallResult Call(const wchar_t* name, A&&... args) const {
        return InvokeNamed(name, DISPATCH_METHOD, ArgList(std::forward<A>(args)...));
    }

private:
    IDispatch* m_pObject;
};

}  // namespace vesk_test
