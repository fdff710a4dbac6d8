// Helpers for the page-object tests: a site (configuration, application, sessions) that runs
// pages, late-bound calls by member name in script order, and the thread's error information.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "hostkit/pages/page_host.h"
#include "support/test_support.h"

namespace vesk_test {

using namespace PravoltTypeLibrary;
using veskhost::PageRequest;
using veskhost::PageResponse;

struct Site {
    veskhost::PageHostConfig config;
    veskhost::PageApplication application;
    veskhost::SessionStore sessions{config};

    explicit Site(veskhost::PageHostConfig c = {}) : config(std::move(c)) {}

    // A page with a session (the store's, under id) or without one.
    PageResponse Run(const PageRequest& request, const veskhost::PageCallback& page, const std::wstring& id = {}) {
        return veskhost::RunPage(config, application, request, page, {&sessions, id});
    }
    PageResponse RunWithoutSession(const PageRequest& request, const veskhost::PageCallback& page) {
        return veskhost::RunPage(config, application, request, page, {});
    }
    // The same for a page that only checks (and may stop at a failed ASSERT).
    PageResponse Page(const PageRequest& request, const std::function<void(const veskhost::PageObjects&)>& page,
                      const std::wstring& id = {}) {
        return Run(request, [&](const veskhost::PageObjects& objects) {
            page(objects);
            return S_OK;
        }, id);
    }
    PageResponse PageWithoutSession(const PageRequest& request,
                                    const std::function<void(const veskhost::PageObjects&)>& page) {
        return RunWithoutSession(request, [&](const veskhost::PageObjects& objects) {
            page(objects);
            return S_OK;
        });
    }
};

// Arguments for Call and Read in script order (VARIANT holders cannot be copied out of a
// braced list).
template <class... V>
std::vector<CComVariant> Args(V&&... values) {
    std::vector<CComVariant> args;
    args.reserve(sizeof...(V));
    (args.push_back(std::forward<V>(values)), ...);
    return args;
}

// Calls a member by name (the default member for a null name): args in script order, a put's
// value last.
inline HRESULT Call(IDispatch* object, const wchar_t* name, WORD flags, std::vector<CComVariant> args = {},
                    VARIANT* result = nullptr, EXCEPINFO* excep = nullptr) {
    if (name == nullptr) return automation::InvokeById(object, DISPID_VALUE, flags, args, result, excep);
    return automation::InvokeByName(object, name, flags, args, result, excep);
}

constexpr WORD kGet = DISPATCH_PROPERTYGET | DISPATCH_METHOD;

// The value as text, converted the way a script converts it (an object through its default member).
inline std::wstring TextOf(const VARIANT& value) {
    CComVariant text;
    if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR))) return L"<no text>";
    return std::wstring(text.bstrVal ? text.bstrVal : L"", SysStringLen(text.bstrVal));
}

// The value a member gives when read by name, as text.
inline std::wstring Read(IDispatch* object, const wchar_t* name, std::vector<CComVariant> args = {}) {
    CComVariant result;
    const HRESULT hr = Call(object, name, kGet, std::move(args), &result);
    if (FAILED(hr)) return L"<failed " + std::to_wstring(hr) + L">";
    return TextOf(result);
}

struct ErrorText {
    std::wstring source;
    std::wstring description;
};
inline ErrorText LastError() {
    CComPtr<IErrorInfo> info;
    ErrorText text;
    if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return text;
    CComBSTR source, description;
    info->GetSource(source.Receive());
    info->GetDescription(description.Receive());
    text.source.assign(source.c_str(), source.Length());
    text.description.assign(description.c_str(), description.Length());
    return text;
}

inline std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

}  // namespace vesk_test
