// The host's target comparison that every find passes through, blocks and
// pool shares alike: the folded hash's words are little-endian, h3 the most
// significant.
#include <gtest/gtest.h>

#include <cstring>

#include "../src/found_block.h"

namespace {

struct TargetCase {
    const char* what;
    uint64_t hash[4]; // h0..h3
    uint64_t target[4];
    bool meets;
};

const TargetCase TARGET_CASES[] = {
    {"equal meets", {5, 6, 7, 8}, {5, 6, 7, 8}, true},
    {"one below in the lowest word", {4, 6, 7, 8}, {5, 6, 7, 8}, true},
    {"one above in the lowest word", {6, 6, 7, 8}, {5, 6, 7, 8}, false},
    {"the top word decides over every lower one", {~0ull, ~0ull, ~0ull, 7}, {0, 0, 0, 8}, true},
    {"a top word above loses whatever follows", {0, 0, 0, 9}, {~0ull, ~0ull, ~0ull, 8}, false},
    {"a middle word decides when the top ones tie", {~0ull, 1, 7, 8}, {0, 2, 7, 8}, true},
    {"difficulty-1 target, hash just over", {0, 0, 0x10000, 0x00000000FFFF0000ull},
     {0, 0, 0, 0x00000000FFFF0000ull}, false},
    {"zero hash meets the zero target", {0, 0, 0, 0}, {0, 0, 0, 0}, true},
};

TEST(MeetsTarget, ComparesTheWordsMostSignificantFirst)
{
    for (const TargetCase& c : TARGET_CASES) {
        uint8_t hash[32];
        for (int j = 0; j < 4; ++j)
            for (int b = 0; b < 8; ++b) hash[8 * j + b] = static_cast<uint8_t>(c.hash[j] >> (8 * b));
        EXPECT_EQ(meets_target(hash, c.target), c.meets) << c.what;
    }
}

} // namespace
