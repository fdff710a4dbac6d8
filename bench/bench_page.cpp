// The page controller per page: create it, give it its folder and a script, Process with a
// cached template of the reference page's size (the rendered W1 page, which has no marks),
// release it. Once as a whole page that the host runs (its page objects and object context
// made per page, the text written to its Response) and once as the controller alone, many
// times inside one host page, writing to a sink that keeps nothing. Prints pages/s and heap
// allocations per page after warm-up; the page drawn is checked once before timing.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "controller/vesk_impl.h"
#include "frame/module.h"
#include "host/automation.h"
#include "hostkit/pages/page_host.h"
#include "support/counting_dispatch.h"

// ---- Counting heap hook ----------------------------------------------------------------
// Every allocation of the process goes through malloc (operator new included), so counting
// there sees the library's, the host's and the runtime's allocations alike.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

extern "C" void* malloc(size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The template folder: the reference page as list.html, in a temporary folder for the run.
struct Site {
    Site() {
        const char* data = std::getenv("VESK_BENCH_DATA");
        page = ReadFile(std::string(data ? data : VESK_BENCH_DATA) + "/w1_expected.html");
        if (page.empty()) {
            std::fprintf(stderr, "cannot read the reference page w1_expected.html\n");
            std::exit(1);
        }
        std::string pattern = (fs::temp_directory_path() / "vesk-bench-page-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::exit(1);
        folder = pattern;
        std::ofstream(folder / "list.html", std::ios::binary) << page;
        folderText = folder.wstring();
    }
    ~Site() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    std::string page;
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

// One page's use of the controller. The script defines no functions, so every event is one
// name lookup that finds nothing.
HRESULT RunController(IDispatch* script, IUnknown* output) {
    CComPtr<IVesk> vesk;
    HRESULT hr = g_oCF_Vesk.CreateInstance(nullptr, IID_IVesk, vesk.ReceiveVoid());
    if (FAILED(hr)) return hr;
    const Site& site = TheSite();
    CComBSTR folder(site.folderText.c_str()), ext(L".html"), name(L"list");
    if (SUCCEEDED(hr)) hr = vesk->put_TemplateFolder(folder);
    if (SUCCEEDED(hr)) hr = vesk->put_TemplateExt(ext);
    if (SUCCEEDED(hr)) hr = vesk->put_DefaultTemplate(name);
    if (SUCCEEDED(hr)) hr = vesk->AddScript(script);
    if (SUCCEEDED(hr) && output) hr = vesk->putref_Output(output);
    if (SUCCEEDED(hr)) hr = vesk->Process();
    return hr;
}

veskhost::PageResponse RunPage(IDispatch* script) {
    Site& site = TheSite();
    return veskhost::RunPage(site.config, site.application, veskhost::PageRequest::Get("/list.asp"),
                             [script](const veskhost::PageObjects&) { return RunController(script, nullptr); });
}

void Report(benchmark::State& state) {
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["heap_allocs_per_page"] =
        benchmark::Counter(static_cast<double>(g_allocations.load()) / static_cast<double>(state.iterations()));
}

void BM_PageThroughTheHost(benchmark::State& state) {
    vesk_test::CountingDispatch script;
    // Warm-up: the pool holds a block, the template is cached; the page is checked once.
    for (int i = 0; i < 16; ++i) {
        const veskhost::PageResponse page = RunPage(&script);
        if (page.pageResult != S_OK || page.body != TheSite().page) {
            state.SkipWithError("the page did not draw the reference text");
            return;
        }
    }
    g_allocations = 0;
    g_counting = true;
    for (auto _ : state) {
        veskhost::PageResponse page = RunPage(&script);
        benchmark::DoNotOptimize(page.body.data());
    }
    g_counting = false;
    Report(state);
}
BENCHMARK(BM_PageThroughTheHost);

void BM_ControllerAlone(benchmark::State& state) {
    vesk_test::CountingDispatch script;
    CDiscardStream sink;
    Site& site = TheSite();
    veskhost::RunPage(site.config, site.application, veskhost::PageRequest::Get("/list.asp"),
                      [&](const veskhost::PageObjects&) {
                          for (int i = 0; i < 16; ++i) {
                              if (FAILED(RunController(&script, &sink))) {
                                  state.SkipWithError("the controller failed");
                                  return E_FAIL;
                              }
                          }
                          g_allocations = 0;
                          g_counting = true;
                          for (auto _ : state) RunController(&script, &sink);
                          g_counting = false;
                          return S_OK;
                      });
    Report(state);
}
BENCHMARK(BM_ControllerAlone);

}  // namespace

BENCHMARK_MAIN();
