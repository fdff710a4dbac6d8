// What the controller's unit tests share: a folder of template files that lives as long as the
// test, a page script whose functions log their names in the order the controller calls
// them, the thread's error information, and a page controller taken from its pool (without
// a page context: it writes to a memory stream and has no host page objects).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "controller/ivesk.h"
#include "controller/vesk_impl.h"
#include "frame/module.h"
#include "host/automation.h"
#include "support/memory_stream.h"
#include "support/test_support.h"

namespace vesk_test {

// A new empty folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vesk-controller-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        EXPECT_NE(nullptr, made);
        m_path = std::filesystem::path(made ? made : pattern).lexically_normal();
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::wstring Text() const { return m_path.wstring(); }
    // Writes a file (UTF-8), making its folders, and returns its path.
    std::filesystem::path Write(const std::string& relative, const std::string& text) const {
        const std::filesystem::path file = m_path / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        return file;
    }

private:
    std::filesystem::path m_path;
};

struct ThreadError {
    std::wstring source;
    std::wstring description;
};

// The calling thread's error information (empty texts when there is none), which is cleared.
inline ThreadError TakeThreadError() {
    ThreadError error;
    CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return error;
    CComBSTR source, description;
    info->GetSource(source.Receive());
    info->GetDescription(description.Receive());
    error.source.assign(source.c_str(), source.Length());
    error.description.assign(description.c_str(), description.Length());
    return error;
}

// A page script: each function logs its name, runs what the test adds, and returns its value.
class PageScript {
public:
    PageScript() : script(ScriptObject::Create()) {}
    PageScript(const PageScript&) = delete;
    PageScript& operator=(const PageScript&) = delete;

    PageScript& On(const wchar_t* name, CComVariant returns = {}, std::function<HRESULT()> before = {}) {
        auto value = std::make_shared<CComVariant>(std::move(returns));
        script->AddMethod(name, [this, name = std::wstring(name), value, before](ScriptObject::Args, VARIANT* result) {
            log.push_back(name);
            if (before) {
                const HRESULT hr = before();
                if (FAILED(hr)) return hr;
            }
            return value->CopyTo(result);
        });
        return *this;
    }

    std::vector<std::wstring> log;
    CComPtr<ScriptObject> script;
};

// A script whose every name lookup fails with the code it is given (DISP_E_UNKNOWNNAME: it
// knows no name), and that knows no member when called. Lives on the stack.
class FailingLookupScript final : public automation::GCountedObject<automation::GNoTypeInfo<IDispatch>> {
public:
    explicit FailingLookupScript(HRESULT lookup) : m_lookup(lookup) {}
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return ++lookups, m_lookup; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
    int lookups = 0;

private:
    HRESULT m_lookup;
};

// A page controller from its pool, without a page context, writing to a memory stream.
inline CComPtr<IVesk> NewController(IUnknown* output) {
    CComPtr<IVesk> vesk;
    vesk.Attach(static_cast<CVeskObject*>(g_oCF_Vesk.Take()));
    EXPECT_TRUE(vesk);
    if (vesk && output) {
        EXPECT_HR(S_OK, vesk->putref_Output(output));
    }
    return vesk;
}

// Owned arguments in script order, for a late-bound call to take over.
template <class... A>
std::vector<CComVariant> ArgsOf(A... args) {
    std::vector<CComVariant> list;
    (list.push_back(std::move(args)), ...);
    return list;
}

inline CComBSTR Bstr(const std::wstring& text) { return CComBSTR(text.data(), static_cast<UINT>(text.size())); }

inline std::wstring ReadString(IVesk* vesk, HRESULT (IVesk::*get)(BSTR*)) {
    CComBSTR value;
    EXPECT_HR(S_OK, (vesk->*get)(value.Receive()));
    return std::wstring(value.c_str(), value.Length());
}

}  // namespace vesk_test
