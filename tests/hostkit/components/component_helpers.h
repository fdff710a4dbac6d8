// Helpers for the component tests: creation by class identifier, the thread's last error
// description, and late-bound calls by member name with arguments in script order.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace vesk_test {

template <class T>
CComPtr<T> CreateComponent(const CLSID& clsid, const IID& iid) {
    CComPtr<T> sp;
    EXPECT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, sp.ReceiveVoid()));
    return sp;
}

inline std::wstring LastErrorDescription() {
    CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return L"";
    CComBSTR text;
    info->GetDescription(text.Receive());
    return std::wstring(text.c_str(), text.Length());
}

// Calls a member by name (the default member for a null name): args in script order; a put
// passes its value last, as the named DISPID_PROPERTYPUT argument.
inline HRESULT CallByName(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args,
                          VARIANT* result = nullptr, EXCEPINFO* excep = nullptr) {
    DISPID id = DISPID_VALUE;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (HRESULT hr = name ? object->GetIDsOfNames(IID_NULL, names, 1, 0, &id) : S_OK; FAILED(hr)) return hr;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID putId = DISPID_PROPERTYPUT;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    DISPPARAMS params{reversed.data(), put ? &putId : nullptr, UINT(reversed.size()), put ? 1u : 0u};
    UINT argErr = 0;
    return object->Invoke(id, IID_NULL, 0, flags, &params, result, excep, &argErr);
}

}  // namespace vesk_test
