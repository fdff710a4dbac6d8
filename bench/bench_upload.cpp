// Multipart upload on the reference W5 body (5 text fields, a 1 KB and a 10 MB file): the
// parser alone walking every part, the whole upload of a page (the host's BinaryRead, the
// parse, the text fields and the file written into its stream one byte per call), and the
// stream's one-byte Write by itself with its heap allocations counted. Prints MB/s.
//
// Inputs: w5_body.bin and w5_meta.tsv, which gen_inputs.py in the reference data folder
// (VESK_BENCH_DATA overrides it) writes; the program runs the generator into a temporary
// folder when VESK_BENCH_INPUTS does not already name a folder holding them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "bench_support.h"
#include "hostkit/pages/page_host.h"
#include "upload/multipart_init.h"
#include "upload/multipart_parser.h"

namespace {

using PravoltTypeLibrary::IRequestDictionary;

using vesk_bench::g_allocations;
using vesk_bench::g_counting;
using vesk_bench::GeneratedInput;

struct W5 {
    std::string body;
    std::string contentType;
    std::string boundary;
};

const W5& Input() {
    static const W5 input = [] {
        W5 w;
        w.body = GeneratedInput("w5_body.bin");
        std::istringstream meta(GeneratedInput("w5_meta.tsv"));
        for (std::string line; std::getline(meta, line);) {
            const size_t tab = line.find('\t');
            if (line.compare(0, tab, "content_type") == 0) w.contentType = line.substr(tab + 1);
            if (line.compare(0, tab, "boundary") == 0) w.boundary = line.substr(tab + 1);
        }
        if (w.body.empty() || w.boundary.empty()) std::fprintf(stderr, "the W5 body is missing\n");
        return w;
    }();
    return input;
}

void SetRate(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
    state.counters["MB/s"] = benchmark::Counter(double(bytes) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// Every part's headers read and its content located, as the upload walks them.
void BM_ParseW5(benchmark::State& state) {
    const W5& w = Input();
    const std::string marker = "--" + w.boundary;
    const auto* body = reinterpret_cast<const uint8_t*>(w.body.data());
    int parts = 0;
    for (auto _ : state) {
        CMultipartParser parser(body, w.body.size(), marker.c_str());
        uint64_t start = 0;
        bool final = false;
        HRESULT hr = parser.MoveNextBoundary(start, final);
        parts = 0;
        while (SUCCEEDED(hr) && !final) {
            CMultipartHeader header;
            while ((hr = parser.GetHeader(header)) == S_OK) {}
            if (hr != S_FALSE) break;
            hr = parser.MoveNextBoundary(start, final);
            ++parts;
        }
        benchmark::DoNotOptimize(start);
    }
    if (parts != 7) state.SkipWithError("the W5 body did not parse into its 7 parts");
    SetRate(state, w.body.size());
}
BENCHMARK(BM_ParseW5)->Unit(benchmark::kMillisecond);

// The upload as a page starts: the body read from the host Request, parsed, and every part
// made a value, the 10 MB file written into its stream one byte per Write.
void BM_InitMultipartFormW5(benchmark::State& state) {
    const W5& w = Input();
    veskhost::PageHostConfig config;
    config.uploadLimit = 64 << 20;
    veskhost::PageApplication application;
    const veskhost::PageRequest request = veskhost::PageRequest::Post("/upload", w.contentType, w.body);
    int fields = 0;
    for (auto _ : state) {
        veskhost::RunPage(config, application, request, [&](const veskhost::PageObjects& objects) {
            CComPtr<IRequestDictionary> form;
            const HRESULT hr = InitMultipartForm(objects.request, objects.response, form);
            if (FAILED(hr) || !form) return hr;
            return form->get_Count(&fields);
        });
    }
    if (fields != 7) state.SkipWithError("the W5 body did not give its 7 fields");
    SetRate(state, w.body.size());
}
BENCHMARK(BM_InitMultipartFormW5)->Unit(benchmark::kMillisecond);

// The stream's Write of a one-element byte array by reference, the call the upload makes
// for every byte of a file.
void BM_StreamOneByteWrite(benchmark::State& state) {
    constexpr size_t kBytes = 1 << 20;
    CComVariant noSource;
    noSource.SetError(DISP_E_PARAMNOTFOUND);
    long allocations = 0;
    for (auto _ : state) {
        state.PauseTiming();
        CComPtr<IZULibStream> stream;
        CoCreateInstance(CLSID_Stream, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibStream, stream.ReceiveVoid());
        stream->put_Type(ADODB::adTypeBinary);
        stream->Open(noSource, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr);
        SAFEARRAY* one = SafeArrayCreateVector(VT_UI1, 0, 1);
        VARIANT buffer;
        VariantInit(&buffer);
        buffer.vt = VT_ARRAY | VT_UI1 | VT_BYREF;
        buffer.pparray = &one;
        g_allocations = 0;
        g_counting = true;
        state.ResumeTiming();
        for (size_t i = 0; i < kBytes; ++i) {
            *static_cast<uint8_t*>(one->pvData) = uint8_t(i);
            stream->Write(buffer);
        }
        state.PauseTiming();
        g_counting = false;
        allocations += g_allocations.load();
        SafeArrayDestroy(one);
        state.ResumeTiming();
    }
    state.counters["ns/byte"] =
        benchmark::Counter(double(kBytes), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["allocs/MB"] = benchmark::Counter(double(allocations) / double(state.iterations()));
    SetRate(state, kBytes);
}
BENCHMARK(BM_StreamOneByteWrite)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
