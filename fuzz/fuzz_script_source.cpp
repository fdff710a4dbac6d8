// The page script rewriting on arbitrary text: it ends, without a crash, on every input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/script_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string source(reinterpret_cast<const char*>(data), size);
    std::string out, error;
    veskserve::InstrumentScript(source, veskserve::ScriptHooks{"T", "C"}, &out, &error);
    return 0;
}
