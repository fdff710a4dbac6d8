// The utility object: pooled create+release (with heap allocations counted), a late-bound
// MD5 call, and encoder throughput on the reference escaper inputs. Prints figures only.
//
// Inputs: w7_short.txt from the reference data folder (VESK_BENCH_DATA overrides it), and
// w7_text.txt (1 MiB) which its gen_inputs.py writes; the program runs the generator into a
// temporary folder when VESK_BENCH_INPUTS does not already name a folder holding it.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "frame/module.h"
#include "host/automation.h"
#include "utility/utility_impl.h"

namespace {

// ---- Inputs ----------------------------------------------------------------------------

using vesk_bench::DataDir;
using vesk_bench::g_allocations;
using vesk_bench::g_counting;

// The 1 MiB escaper text, which the data folder's generator writes.
std::string LargeText() { return vesk_bench::GeneratedInput("w7_text.txt"); }

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

struct Inputs {
    std::wstring shortText;  // w7_short.txt, 32 characters
    std::wstring kilobyte;   // the first 1024 characters of w7_text.txt
    std::wstring megabyte;   // w7_text.txt, 1 MiB
};

const Inputs& GetInputs() {
    static const Inputs inputs = [] {
        Inputs in;
        in.shortText = Widen(vesk_bench::ReadBytes(DataDir() + "/w7_short.txt"));
        in.megabyte = Widen(LargeText());
        in.kilobyte = in.megabyte.substr(0, 1024);
        return in;
    }();
    return inputs;
}

const std::wstring& InputOfSize(int64_t which) {
    const Inputs& in = GetInputs();
    return which == 0 ? in.shortText : which == 1 ? in.kilobyte : in.megabyte;
}

// ---- Pooled creation -------------------------------------------------------------------

void BM_PooledCreateRelease(benchmark::State& state) {
    // Warm the pool: after this every creation reuses the block just freed.
    for (int i = 0; i < 16; ++i) {
        IUnknown* object = nullptr;
        g_oCF_Utility.CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
        object->Release();
    }
    g_allocations = 0;
    g_counting = true;
    for (auto _ : state) {
        IUnknown* object = nullptr;
        g_oCF_Utility.CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
        benchmark::DoNotOptimize(object);
        object->Release();
    }
    g_counting = false;
    state.counters["heap_allocs_per_cycle"] =
        benchmark::Counter(static_cast<double>(g_allocations.load()) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_PooledCreateRelease);

// ---- Late-bound call -------------------------------------------------------------------

void BM_LateBoundMD5_64Bytes(benchmark::State& state) {
    CComPtr<IDispatch> util;
    g_oCF_Utility.CreateInstance(nullptr, IID_IDispatch, util.ReceiveVoid());
    DISPID id = DISPID_UNKNOWN;
    automation::GetMemberId(util.Get(), L"MD5", &id);
    CComVariant input;
    input.vt = VT_ARRAY | VT_UI1;
    input.parray = SafeArrayCreateVector(VT_UI1, 0, 64);
    for (int i = 0; i < 64; ++i) static_cast<BYTE*>(input.parray->pvData)[i] = static_cast<BYTE>(i * 37 + 11);
    g_allocations = 0;
    g_counting = true;
    for (auto _ : state) {
        // The input passes as a script passes a variable, so no call copies it.
        CComVariant args[2] = {automation::ByRef(&input), CComVariant()};
        args[1].SetI4(0);  // charset
        CComVariant result;
        automation::InvokeById(util.Get(), id, DISPATCH_METHOD, args, &result);
        benchmark::DoNotOptimize(result.bstrVal);
    }
    g_counting = false;
    state.counters["heap_allocs_per_call"] =
        benchmark::Counter(static_cast<double>(g_allocations.load()) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_LateBoundMD5_64Bytes);

// ---- Encoder throughput ----------------------------------------------------------------
// Arguments: 0 the 32-character value, 1 one KiB, 2 one MiB. Bytes per second count input
// characters (one byte each in these ASCII texts).

template <class Call>
void EncodeLoop(benchmark::State& state, Call call) {
    const std::wstring& text = InputOfSize(state.range(0));
    CComBSTR input(text.c_str());
    g_allocations = 0;
    g_counting = true;
    for (auto _ : state) {
        BSTR out = nullptr;
        call(input, &out);
        benchmark::DoNotOptimize(out);
        SysFreeString(out);
    }
    g_counting = false;
    state.counters["heap_allocs_per_call"] =
        benchmark::Counter(static_cast<double>(g_allocations.load()) / static_cast<double>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.SetLabel(std::to_string(text.size()) + " chars");
}

void BM_HTMLEncode(benchmark::State& state) {
    EncodeLoop(state, [](BSTR in, BSTR* out) { CUtilityOps::HTMLEncode(in, out); });
}
void BM_Base64Encode(benchmark::State& state) {
    EncodeLoop(state, [](BSTR in, BSTR* out) {
        VARIANT v;
        v.vt = VT_BSTR;
        v.bstrVal = in;
        CUtilityOps::Base64Encode(&v, 0, out);
    });
}
void BM_URLEncode(benchmark::State& state) {
    EncodeLoop(state, [](BSTR in, BSTR* out) {
        VARIANT v;
        v.vt = VT_BSTR;
        v.bstrVal = in;
        CUtilityOps::URLEncode(&v, 0, out);
    });
}
BENCHMARK(BM_HTMLEncode)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_Base64Encode)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_URLEncode)->Arg(0)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
