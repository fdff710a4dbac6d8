#include "utility/random_engine.h"

#include <array>
#include <cstdint>

HRESULT SeedRandomEngine(std::mt19937& engine) {
    try {
        std::random_device source;
        std::array<uint32_t, 8> words;
        for (uint32_t& word : words) word = source();
        std::seed_seq sequence(words.begin(), words.end());
        engine.seed(sequence);
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}
