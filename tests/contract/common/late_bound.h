// LateBound: calls by name through IDispatch, the way a script engine does. Arguments are
// given in script order and laid into DISPPARAMS last-first.
//
//   CallResult r = LateBound(obj).Call(L"MD5", VarStr(L"abc"), VarI4(0));
//   EXPECT_HR(S_OK, r.hr);  EXPECT_BSTR_EQ(L"9001...", r.value.bstrVal);
#pragma once

#include <utility>
#include <vector>

#include "host/ccom.h"

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

    HRESULT Id(const wchar_t* name, DISPID* id) const {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        return m_pObject->GetIDsOfNames(IID_NULL, names, 1, 0, id);
    }

    // Invoke with explicit flags and arguments (script order; moved into DISPPARAMS).
    CallResult InvokeNamed(const wchar_t* name, WORD flags, std::vector<CComVariant> args,
                           bool wantResult = true) const {
        DISPID id = DISPID_UNKNOWN;
        const HRESULT hr = Id(name, &id);
        if (FAILED(hr)) return {hr, {}};
        return InvokeId(id, flags, std::move(args), wantResult);
    }
    CallResult InvokeId(DISPID id, WORD flags, std::vector<CComVariant> args, bool wantResult = true) const {
        CallResult r;
        std::vector<VARIANT> reversed(args.size());
        for (size_t i = 0; i < args.size(); ++i) args[i].Detach(&reversed[args.size() - 1 - i]);
        DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, UINT(reversed.size()), 0};
        r.hr = m_pObject->Invoke(id, IID_NULL, 0, flags, &params, wantResult ? &r.value : nullptr,
                                 nullptr, nullptr);
        for (VARIANT& v : reversed) VariantClear(&v);
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
