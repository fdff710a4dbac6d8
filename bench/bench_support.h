// What the benchmark programs share: a heap hook that counts allocations while asked to, and
// their inputs (the reference data folder, and the inputs its generator writes).
//
// The hook replaces malloc, calloc and realloc for the whole program, so this header goes
// into exactly one source file of a program (every bench_*.cpp is a program of one file).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

// ---- Counting heap hook ----------------------------------------------------------------
// Every allocation of the process goes through malloc (operator new included), so counting
// there sees the library's, the host's and the runtime's allocations alike. A benchmark sets
// g_allocations to 0 and g_counting to true around what it measures.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace vesk_bench {
inline std::atomic<bool> g_counting{false};
inline std::atomic<long> g_allocations{0};
}  // namespace vesk_bench

extern "C" void* malloc(size_t size) {
    if (vesk_bench::g_counting.load(std::memory_order_relaxed)) vesk_bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    if (vesk_bench::g_counting.load(std::memory_order_relaxed)) vesk_bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) {
    if (vesk_bench::g_counting.load(std::memory_order_relaxed)) vesk_bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}

namespace vesk_bench {

// ---- Inputs ----------------------------------------------------------------------------

// A whole file's bytes; empty when it cannot be read.
inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The reference data folder: VESK_BENCH_DATA from the environment, else bench/data.
inline std::string DataDir() {
    const char* dir = std::getenv("VESK_BENCH_DATA");
    return dir ? dir : VESK_BENCH_DATA;
}

// An input that gen_inputs.py of the data folder writes: from the folder VESK_BENCH_INPUTS
// names, else from a temporary folder the generator is run into once.
inline std::string GeneratedInput(const std::string& name) {
    if (const char* dir = std::getenv("VESK_BENCH_INPUTS")) {
        std::string bytes = ReadBytes(std::string(dir) + "/" + name);
        if (!bytes.empty()) return bytes;
    }
    const std::string out = "/tmp/vesk-bench-inputs";
    std::string bytes = ReadBytes(out + "/" + name);
    if (bytes.empty()) {
        const std::string command = "python3 '" + DataDir() + "/gen_inputs.py' " + out + " >/dev/null";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot run %s\n", command.c_str());
        bytes = ReadBytes(out + "/" + name);
    }
    return bytes;
}

}  // namespace vesk_bench
