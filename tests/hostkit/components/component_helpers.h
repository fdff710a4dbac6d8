// Helpers for the component tests: creation by class identifier, the thread's last error
// description, and late-bound calls by member name with arguments in script order.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/automation.h"
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

// A script argument written as text: digits pass as a number, anything else as a string.
inline CComVariant Arg(const std::wstring& text) {
    if (!text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos) return VarI4(std::stol(text));
    return VarStr(text.c_str());
}

// Calls a member by name (the default member for a null name) through the toolkit's caller:
// args in script order, taken over by the call; a put passes its value last, as the named
// DISPID_PROPERTYPUT argument.
inline HRESULT CallByName(IDispatch* object, const wchar_t* name, WORD flags, std::vector<CComVariant> args,
                          VARIANT* result = nullptr, EXCEPINFO* excep = nullptr) {
    if (name == nullptr) return automation::InvokeById(object, DISPID_VALUE, flags, args, result, excep);
    return automation::InvokeByName(object, name, flags, args, result, excep);
}

}  // namespace vesk_test
