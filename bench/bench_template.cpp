// Template engine figures on the reference page (W1 render, W2 parse): parsing, parsed
// expansion and direct expansion into memory, with the values read from a script object or
// from the host dictionary. Every configuration's output is checked against the expected
// page once before timing.
#include <benchmark/benchmark.h>

#include "w1_page.h"

namespace {

using namespace vesk_bench;
using CPageEngine = vesk_bench::CPageEngine<>;

struct Fixture {
    CComBSTR page;
    std::string expected;
    CModelScript* script = nullptr;
    CComPtr<IZULibDictionary> dictionary;
    CTemplate* parsed = nullptr;
};

Fixture& Data() {
    static Fixture f;
    return f;
}

bool Setup() {
    Fixture& f = Data();
    const std::wstring page = Wide(ReadFile("w1_page.marks.txt"));
    f.page.Attach(SysAllocStringLen(page.data(), UINT(page.size())));
    f.expected = ReadFile("w1_expected.html");
    const auto model = ReadModel();
    f.script = new CModelScript(model);
    if (FAILED(CoCreateInstance(CLSID_Dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibDictionary,
                                f.dictionary.ReceiveVoid()))) {
        std::fprintf(stderr, "no dictionary component\n");
        return false;
    }
    for (const auto& [name, value] : model) {
        CComVariant key, item;
        key.SetString(name.c_str());
        item.SetBSTR(SysAllocStringLen(value.data(), UINT(value.size())));
        f.dictionary->put_Item(&key, &item);
    }
    CPageEngine parser(CPageEngine::Store::Script, f.script, nullptr);
    f.parsed = new CTemplate;
    if (FAILED(parser.Parse(f.page, *f.parsed))) return false;

    for (auto store : {CPageEngine::Store::Script, CPageEngine::Store::Dictionary}) {
        for (bool direct : {false, true}) {
            CPageEngine engine(store, f.script, f.dictionary.Get());
            const HRESULT hr = direct ? engine.Process(f.page.m_str) : engine.Process(*f.parsed);
            if (FAILED(hr) || Utf8(engine.m_spSink->text) != f.expected) {
                std::fprintf(stderr, "output differs from w1_expected.html (%s, %s)\n",
                             store == CPageEngine::Store::Script ? "script" : "dictionary",
                             direct ? "direct" : "parsed");
                return false;
            }
        }
    }
    return true;
}

void BM_Parse(benchmark::State& state) {
    Fixture& f = Data();
    CPageEngine engine(CPageEngine::Store::Script, f.script, nullptr);
    for (auto _ : state) {
        CTemplate* tmpl = new CTemplate;
        benchmark::DoNotOptimize(engine.Parse(f.page, *tmpl));
        tmpl->Release();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.page.Length()));
    state.counters["parses/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void Render(benchmark::State& state, CPageEngine::Store store, bool direct) {
    Fixture& f = Data();
    CPageEngine engine(store, f.script, f.dictionary.Get());
    engine.m_spSink->text.reserve(f.expected.size());
    for (auto _ : state) {
        engine.m_spSink->Clear();
        benchmark::DoNotOptimize(direct ? engine.Process(f.page.m_str) : engine.Process(*f.parsed));
    }
    state.counters["renders/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_RenderParsed_Script(benchmark::State& s) { Render(s, CPageEngine::Store::Script, false); }
void BM_RenderParsed_Dictionary(benchmark::State& s) { Render(s, CPageEngine::Store::Dictionary, false); }
void BM_RenderDirect_Script(benchmark::State& s) { Render(s, CPageEngine::Store::Script, true); }
void BM_RenderDirect_Dictionary(benchmark::State& s) { Render(s, CPageEngine::Store::Dictionary, true); }

BENCHMARK(BM_Parse);
BENCHMARK(BM_RenderParsed_Script);
BENCHMARK(BM_RenderParsed_Dictionary);
BENCHMARK(BM_RenderDirect_Script);
BENCHMARK(BM_RenderDirect_Dictionary);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!Setup()) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Data().parsed->Release();
    delete Data().script;
    return 0;
}
