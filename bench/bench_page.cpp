// The page controller per page: create it, give it its folder and a script, Process with a
// cached template of the reference page's size (the rendered W1 page, which has no marks),
// release it. Once as a whole page that the host runs (its page objects and object context
// made per page, the text written to its Response) and once as the controller alone, many
// times inside one host page, writing to a sink that keeps nothing. Prints pages/s and heap
// allocations per page after warm-up; the page drawn is checked once before timing.
//
// The same two runs again for the reference page with its 120 marks (View marks: "*" for the
// encoded values, "/" for the raw ones), whose values the page's command function puts into
// View first; it is drawn to the exact reference output.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "controller/vesk_impl.h"
#include "frame/module.h"
#include "host/automation.h"
#include "hostkit/pages/page_host.h"
#include "support/counting_dispatch.h"

namespace {

namespace fs = std::filesystem;

using vesk_bench::g_allocations;
using vesk_bench::g_counting;
using vesk_bench::ReadBytes;

// The template folder: the reference page as list.html, in a temporary folder for the run.
struct Site {
    Site() {
        const std::string data = vesk_bench::DataDir();
        page = ReadBytes(data + "/w1_expected.html");
        if (page.empty()) {
            std::fprintf(stderr, "cannot read the reference page w1_expected.html\n");
            std::exit(1);
        }
        std::string pattern = (fs::temp_directory_path() / "vesk-bench-page-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::exit(1);
        folder = pattern;
        std::ofstream(folder / "list.html", std::ios::binary) << page;
        folderText = folder.wstring();
        MakeViewPage(data);
    }

    // The marked reference page with View marks, and its values by mark name: "vNN" for the
    // page's own values, "rNN_a" .. "rNN_c" for the table's rows.
    void MakeViewPage(const std::string& data) {
        std::string marks = ReadBytes(data + "/w1_page.marks.txt");
        for (size_t at = 0; (at = marks.find("(#", at)) != std::string::npos; at += 2) {
            if (marks[at + 2] == ';') marks[at + 2] = '*';
            else if (marks[at + 2] == ':') marks[at + 2] = '/';
        }
        std::ofstream(folder / "view.html", std::ios::binary) << marks;
        std::istringstream model(ReadBytes(data + "/w1_model.tsv"));
        std::string line;
        while (std::getline(model, line)) {
            std::vector<std::string> fields;
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
            if (fields.size() != 4) continue;
            std::string key = fields[1];
            if (fields[0] == "row") key = "r" + std::string(fields[1].size() < 2 ? "0" : "") + fields[1] + "_" + fields[2];
            values.emplace_back(Wide(key), Wide(fields[3]));
        }
    }
    static std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }
    ~Site() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    std::string page;
    std::vector<std::pair<std::wstring, std::wstring>> values;  // the View page's, by mark name
    fs::path folder;
    std::wstring folderText;
    veskhost::PageHostConfig config;
    veskhost::PageApplication application;
};

Site& TheSite() {
    static Site site;
    return site;
}

// An output that takes every write and keeps nothing.
class CDiscardStream final : public automation::GCountedObject<IStream> {
public:
    HRESULT Write(const void*, ULONG cb, ULONG* written) override {
        if (written) *written = cb;
        return S_OK;
    }
    HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }
};

// The View page's script: one function, "OnCommand_fill", which puts the page's values into
// View one by one through the controller's late-bound SetView, as a page script would.
class CFillScript final : public automation::GCountedObject<automation::GNoTypeInfo<IDispatch>> {
public:
    static constexpr DISPID kFill = 1;
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (names == nullptr || ids == nullptr || count != 1) return E_INVALIDARG;
        const bool fill = std::wstring_view(names[0] ? names[0] : L"") == L"OnCommand_fill";
        ids[0] = fill ? kFill : DISPID_UNKNOWN;
        return fill ? S_OK : DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        if (id != kFill || params == nullptr || params->cArgs < 1) return DISP_E_MEMBERNOTFOUND;
        const VARIANT& owner = params->rgvarg[params->cArgs - 1];  // the first argument
        if (owner.vt != VT_DISPATCH || owner.pdispVal == nullptr) return E_INVALIDARG;
        DISPID setView = DISPID_UNKNOWN;
        HRESULT hr = automation::GetMemberId(owner.pdispVal, L"SetView", &setView);
        for (const auto& [key, value] : TheSite().values) {
            if (FAILED(hr)) break;
            CComVariant args[2];
            hr = args[0].SetString(key.c_str());
            if (SUCCEEDED(hr)) hr = args[1].SetString(value.c_str());
            if (SUCCEEDED(hr)) hr = automation::InvokeById(owner.pdispVal, setView, DISPATCH_METHOD, args);
        }
        return hr;
    }
};

// One page's use of the controller. The plain page's script defines no functions, so every
// event is one name lookup that finds nothing; the View page's runs its command.
HRESULT RunController(IDispatch* script, IUnknown* output, bool viewPage = false) {
    CComPtr<IVesk> vesk;
    HRESULT hr = g_oCF_Vesk.CreateInstance(nullptr, IID_IVesk, vesk.ReceiveVoid());
    if (FAILED(hr)) return hr;
    const Site& site = TheSite();
    CComBSTR folder(site.folderText.c_str()), ext(L".html"), name(viewPage ? L"view" : L"list"), command(L"fill");
    if (SUCCEEDED(hr)) hr = vesk->put_TemplateFolder(folder);
    if (SUCCEEDED(hr)) hr = vesk->put_TemplateExt(ext);
    if (SUCCEEDED(hr)) hr = vesk->put_DefaultTemplate(name);
    if (SUCCEEDED(hr) && viewPage) hr = vesk->put_Command(command);
    if (SUCCEEDED(hr)) hr = vesk->AddScript(script);
    if (SUCCEEDED(hr) && output) hr = vesk->putref_Output(output);
    if (SUCCEEDED(hr)) hr = vesk->Process();
    return hr;
}

veskhost::PageResponse RunPage(IDispatch* script, bool viewPage = false) {
    Site& site = TheSite();
    return veskhost::RunPage(site.config, site.application, veskhost::PageRequest::Get("/list.asp"),
                             [script, viewPage](const veskhost::PageObjects&) {
                                 return RunController(script, nullptr, viewPage);
                             });
}

void Report(benchmark::State& state) {
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["heap_allocs_per_page"] =
        benchmark::Counter(static_cast<double>(g_allocations.load()) / static_cast<double>(state.iterations()));
}

// The plain page's script knows no names; the View page's fills View.
IDispatch* ScriptFor(bool viewPage) {
    static vesk_test::CountingDispatch plain;
    static CFillScript fill;
    return viewPage ? static_cast<IDispatch*>(&fill) : static_cast<IDispatch*>(&plain);
}

void PageThroughTheHost(benchmark::State& state, bool viewPage) {
    IDispatch* script = ScriptFor(viewPage);
    // Warm-up: the pool holds a block, the template is cached; the page is checked once.
    for (int i = 0; i < 16; ++i) {
        const veskhost::PageResponse page = RunPage(script, viewPage);
        if (page.pageResult != S_OK || page.body != TheSite().page) {
            state.SkipWithError("the page did not draw the reference text");
            return;
        }
    }
    g_allocations = 0;
    g_counting = true;
    for (auto _ : state) {
        veskhost::PageResponse page = RunPage(script, viewPage);
        benchmark::DoNotOptimize(page.body.data());
    }
    g_counting = false;
    Report(state);
}

void ControllerAlone(benchmark::State& state, bool viewPage) {
    IDispatch* script = ScriptFor(viewPage);
    CDiscardStream sink;
    Site& site = TheSite();
    veskhost::RunPage(site.config, site.application, veskhost::PageRequest::Get("/list.asp"),
                      [&](const veskhost::PageObjects&) {
                          for (int i = 0; i < 16; ++i) {
                              if (FAILED(RunController(script, &sink, viewPage))) {
                                  state.SkipWithError("the controller failed");
                                  return E_FAIL;
                              }
                          }
                          g_allocations = 0;
                          g_counting = true;
                          for (auto _ : state) RunController(script, &sink, viewPage);
                          g_counting = false;
                          return S_OK;
                      });
    Report(state);
}

void BM_PageThroughTheHost(benchmark::State& state) { PageThroughTheHost(state, false); }
void BM_ViewPageThroughTheHost(benchmark::State& state) { PageThroughTheHost(state, true); }
void BM_ControllerAlone(benchmark::State& state) { ControllerAlone(state, false); }
void BM_ViewPageControllerAlone(benchmark::State& state) { ControllerAlone(state, true); }
BENCHMARK(BM_PageThroughTheHost);
BENCHMARK(BM_ViewPageThroughTheHost);
BENCHMARK(BM_ControllerAlone);
BENCHMARK(BM_ViewPageControllerAlone);

}  // namespace

BENCHMARK_MAIN();
