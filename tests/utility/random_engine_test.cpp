// Seeding from the system's entropy source.
#include <random>

#include "support/test_support.h"
#include "utility/random_engine.h"

namespace vesk_test {
namespace {

TEST(RandomEngine, EnginesSeededTogetherShareNothing) {
    std::mt19937 first, second;
    ASSERT_HR(S_OK, SeedRandomEngine(first));
    ASSERT_HR(S_OK, SeedRandomEngine(second));
    // Engines seeded from the clock a moment apart would produce the same words.
    int equal = 0;
    for (int i = 0; i < 8; ++i) equal += first() == second() ? 1 : 0;
    EXPECT_LT(equal, 8);
    std::mt19937 unseeded;
    std::mt19937 seeded;
    ASSERT_HR(S_OK, SeedRandomEngine(seeded));
    EXPECT_NE(unseeded(), seeded()) << "the default seed must not survive";
}

}  // namespace
}  // namespace vesk_test
