// What the whole-page tests share: a page script whose functions log their names and run what
// the test adds, late-bound helpers for the controller, and the fixture that runs one page (the
// host's page objects and sessions, "Vesk" created by ProgID, template files in a folder of
// the test's own).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <string>
#include <vector>

#include "contract/common/late_bound.h"
#include "contract/common/loaded_module.h"
#include "hostkit/pages/page_host.h"
#include "hostkit/runtime/class_registry.h"
#include "support/test_support.h"

namespace vesk_test::pages {

inline std::wstring Text(const VARIANT& value) {
    CComVariant text;
    if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR))) return L"<no text>";
    return std::wstring(text.bstrVal ? text.bstrVal : L"", SysStringLen(text.bstrVal));
}

inline std::wstring Wide(const std::string& utf8) {
    std::wstring out(utf8_utf32(nullptr, 0, utf8.c_str()), L'\0');
    utf8_utf32(out.data(), out.size() + 1, utf8.c_str());
    return out;
}

// A page script: each function logs its name, runs what the test adds (with the object the
// call hands it first), and returns its value.
class PageScript {
public:
    using Body = std::function<HRESULT(IDispatch* owner)>;

    PageScript() : script(ScriptObject::Create()) {}
    PageScript(const PageScript&) = delete;
    PageScript& operator=(const PageScript&) = delete;

    PageScript& On(const wchar_t* name, CComVariant returns = {}, Body body = {}) {
        auto value = std::make_shared<CComVariant>(std::move(returns));
        script->AddMethod(name, [this, name = std::wstring(name), value, body](ScriptObject::Args args, VARIANT* result) {
            log.push_back(name);
            IDispatch* owner = !args.empty() && args[0]->vt == VT_DISPATCH ? args[0]->pdispVal : nullptr;
            if (body) {
                const HRESULT hr = body(owner);
                if (FAILED(hr)) return hr;
            }
            return value->CopyTo(result);
        });
        return *this;
    }
    // Every lifecycle function, returning nothing (the template function False, so that the
    // controller draws the file).
    PageScript& OnEveryStep(const std::wstring& command, const std::wstring& tmpl) {
        for (const wchar_t* name : {L"On_FirstAccess", L"On_StartProcess", L"On_StartCommand"}) Default(name);
        Default(L"OnCommand_" + command);
        for (const wchar_t* name : {L"On_EndCommand", L"On_StartDraw"}) Default(name);
        Default(L"OnDrawTemplate_" + tmpl);
        if (!script->Has(L"OnTemplate_" + tmpl)) On((L"OnTemplate_" + tmpl).c_str(), VarBool(false));
        for (const wchar_t* name : {L"On_EndDraw", L"On_EndProcess", L"On_LastAccess"}) Default(name);
        return *this;
    }

    std::vector<std::wstring> log;
    CComPtr<ScriptObject> script;
    std::vector<std::unique_ptr<std::wstring>> names;  // the names functions were added under

private:
    void Default(const std::wstring& name) {
        if (script->Has(name)) return;
        names.push_back(std::make_unique<std::wstring>(name));
        On(names.back()->c_str());
    }
};

inline HRESULT Put(IDispatch* object, const wchar_t* name, CComVariant value) {
    return LateBound(object).InvokeNamed(name, DISPATCH_PROPERTYPUT, ArgList(std::move(value)), false).hr;
}
inline HRESULT PutRef(IDispatch* object, const wchar_t* name, CComVariant value) {
    return LateBound(object).InvokeNamed(name, DISPATCH_PROPERTYPUTREF, ArgList(std::move(value)), false).hr;
}
inline CallResult Get(IDispatch* object, const wchar_t* name, std::vector<CComVariant> args = {}) {
    return LateBound(object).InvokeNamed(name, DISPATCH_PROPERTYGET, std::move(args));
}

// The item of a dictionary-like object under the key; Empty when it has none.
inline CallResult Item(IDispatch* dictionary, const wchar_t* key) {
    return LateBound(dictionary).InvokeNamed(L"Item", DISPATCH_PROPERTYGET, ArgList(VarStr(key)));
}

struct PageRun {
    veskhost::PageResponse response;
    HRESULT hr = E_UNEXPECTED;         // what Process returned
    std::wstring source, description;  // the thread's error information right after it
    std::wstring Body() const { return Wide(response.body); }
};

// The calling thread's error information, cleared.
inline std::pair<std::wstring, std::wstring> TakeError() {
    CComPtr<IErrorInfo> info;
    std::pair<std::wstring, std::wstring> error;
    if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return error;
    CComBSTR source, description;
    info->GetSource(source.Receive());
    info->GetDescription(description.Receive());
    error.first.assign(source.c_str(), source.Length());
    error.second.assign(description.c_str(), description.Length());
    return error;
}

// What pages of one site share: the host's configuration, the application and the sessions.
struct PageSite {
    explicit PageSite(veskhost::PageHostConfig given = {}) : config(std::move(given)) {}

    veskhost::PageHostConfig config;
    veskhost::PageApplication application;
    veskhost::SessionStore sessions{config};
};

class PageContract : public ContractTest {
protected:
    static void SetUpTestSuite() {
        const char* path = std::getenv("VESK_MODULE");
        const GUID* clsid = Module().Symbol<const GUID*>("CLSID_Vesk");
        if (path && clsid) veskhost::RegisterModuleClass(path, *clsid, L"Vesk");
    }

    void SetUp() override {
        ContractTest::SetUp();
        site.emplace();
        std::string pattern = (std::filesystem::temp_directory_path() / "vesk-pages-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        root = std::filesystem::path(pattern).lexically_normal();
    }
    void TearDown() override {
        // The sessions hold the controller's session states, which hold the module.
        site.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
        ContractTest::TearDown();
    }

    std::filesystem::path WriteFile(const std::string& relative, const std::string& text) const {
        const std::filesystem::path file = root / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        return file;
    }

    static CComPtr<IDispatch> NewVesk() {
        CLSID clsid{};
        CComPtr<IDispatch> vesk;
        if (FAILED(veskhost::CLSIDFromProgID(L"Vesk", &clsid))) return vesk;
        EXPECT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, vesk.ReceiveVoid()));
        return vesk;
    }

    // Runs one page: "Vesk" is created by ProgID, set up by Prepare, given the script, set up
    // further by `setup`, processed and released. With a session store unless told otherwise.
    PageRun Run(const veskhost::PageRequest& request, PageScript& page, const std::function<void(IDispatch*)>& setup = {},
                const std::wstring& sessionId = {}, bool withSession = true) {
        return RunScript(request, page.script.Get(), setup, sessionId, withSession);
    }
    PageRun RunScript(const veskhost::PageRequest& request, IDispatch* script, const std::function<void(IDispatch*)>& setup = {},
                      const std::wstring& sessionId = {}, bool withSession = true) {
        PageRun run;
        const auto body = [&](const veskhost::PageObjects& objects) {
            current = &objects;
            CComPtr<IDispatch> vesk = NewVesk();
            if (!vesk) return E_FAIL;
            Prepare(vesk.Get());
            EXPECT_HR(S_OK, LateBound(vesk.Get()).Call(L"AddScript", VarDisp(script)).hr);
            if (setup) setup(vesk.Get());
            SetErrorInfo(0, nullptr);
            run.hr = LateBound(vesk.Get()).Call(L"Process").hr;
            std::tie(run.source, run.description) = TakeError();
            current = nullptr;
            return S_OK;
        };
        run.response = withSession ? veskhost::RunPage(site->config, site->application, request, body, {&site->sessions, sessionId})
                                   : veskhost::RunPage(site->config, site->application, request, body, {});
        EXPECT_HR(S_OK, run.response.pageResult);
        // Every reference the page took on the page's objects is given back by the end.
        EXPECT_EQ(0u, run.response.heldReferences);
        return run;
    }
    // What every page of the suite sets on the controller before it is given the script.
    virtual void Prepare(IDispatch* /*vesk*/) {}
    // Runs a page whose whole body is `body`, with the page's objects.
    veskhost::PageResponse RunBody(const veskhost::PageRequest& request, const veskhost::PageCallback& body,
                                   bool withSession = true) {
        veskhost::PageResponse response =
            withSession ? veskhost::RunPage(site->config, site->application, request, body, {&site->sessions, {}})
                        : veskhost::RunPage(site->config, site->application, request, body, {});
        EXPECT_HR(S_OK, response.pageResult);
        EXPECT_EQ(0u, response.heldReferences);
        return response;
    }

    std::optional<PageSite> site;
    std::filesystem::path root;
    // The objects of the page running now, for script functions to reach as a page script can.
    const veskhost::PageObjects* current = nullptr;
};

}  // namespace vesk_test::pages
