// The page server's own cost per page, without HTTP: a script engine started and ended (each
// page gets a fresh one), and the example site's form page run by the page runner in one
// session, its script compiled once as the server does.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "server/page_runner.h"
#include "server/script_engine.h"

namespace {

void BM_ScriptEngineStartAndEnd(benchmark::State& state) {
    for (auto _ : state) {
        veskserve::ScriptEngine engine({64u << 20, std::chrono::seconds(10)});
        benchmark::DoNotOptimize(engine.Ready());
    }
    state.counters["engines/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ScriptEngineStartAndEnd);

// The example site, copied so that its database is made outside the source tree.
struct SiteCopy {
    std::string root;
    SiteCopy() {
        char pattern[] = "/tmp/vesk-bench-site-XXXXXX";
        root = mkdtemp(pattern);
        std::filesystem::copy(VESK_EXAMPLE_SITE, root, std::filesystem::copy_options::recursive);
    }
    ~SiteCopy() { std::filesystem::remove_all(root); }
};

void BM_FormPage(benchmark::State& state) {
    SiteCopy site;
    veskserve::ServerConfig config;
    config.root = site.root;
    config.module = VESK_MODULE_PATH;
    veskserve::Logs logs;
    veskserve::PageRunner runner(config, logs);
    std::string message;
    if (!runner.LoadModule(&message)) {
        state.SkipWithError(message.c_str());
        return;
    }
    runner.StartApplication();
    const std::string file = site.root + "/sign.vsp";
    veskhost::PageRequest request = veskhost::PageRequest::Get("/sign.vsp");
    const veskserve::HttpReply first = runner.Run(file, "/sign.vsp", request);
    std::string cookie;
    for (const auto& [name, value] : first.headers) {
        if (name == "Set-Cookie" && value.rfind(veskserve::kSessionCookie, 0) == 0) cookie = value.substr(0, value.find(';'));
    }
    if (first.status != 200 || cookie.empty()) {
        state.SkipWithError("the form page did not answer 200 with a session");
        return;
    }
    request.Header("Cookie", cookie);
    for (auto _ : state) {
        veskserve::HttpReply reply = runner.Run(file, "/sign.vsp", request);
        benchmark::DoNotOptimize(reply.body.data());
        if (reply.status != 200) {
            state.SkipWithError("the form page failed");
            break;
        }
    }
    state.counters["pages/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FormPage)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
