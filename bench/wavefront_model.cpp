// Shared-memory wavefronts of the search, modelled on the host from the
// kernel's own per-lane indices: the per-nonce code runs for the 32 lanes of
// a warp (consecutive nonces, as in a launch) through a table set that
// records the byte address of every lookup, and each warp-wide lookup is
// charged as the hardware serves a 64-bit load: per half-warp, the distinct
// 8-byte words that fall in one bank pair ((address / 8) mod 16) one after
// another, identical words once. Both layouts are modelled on the same
// lookups: the single 2 KB table the previous kernel read (entry e at 8e)
// and the lane-replicated images of both layouts.
//
//   wavefront_model [warps]     (2000 unless given)
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "whirlpool_image.h"
#include "whirlpool_cuda.h"

namespace {

constexpr int LANES = 32;
constexpr double H100_SMS = 132;
constexpr double H100_CLOCK_HZ = 1.98e9;

// Runs the search's table reads and logs where each would land.
template <WpLayout L>
struct RecordingTables {
    static constexpr bool with_r8 = WpLaneTables<L>::with_r8;
    WpLaneTables<L> image;
    std::vector<uint32_t>* image_offsets;
    std::vector<uint32_t>* flat_offsets;
    uint64_t entry(uint64_t word, int j) const
    {
        image_offsets->push_back(wp_image_offset<L>(word, j, image.lane_offset));
        flat_offsets->push_back(wp_byte(word, j) * 8);
        return image.entry(word, j);
    }
};

// Wavefronts of one warp-wide 64-bit load, given each lane's byte address.
int load_wavefronts(const uint32_t* address)
{
    int total = 0;
    for (int half = 0; half < 2; ++half) {
        int worst = 0;
        for (uint32_t pair = 0; pair < 16; ++pair) {
            std::vector<uint32_t> words;
            for (int l = 16 * half; l < 16 * half + 16; ++l) {
                const uint32_t word = address[l] / 8;
                if (word % 16 != pair) continue;
                bool seen = false;
                for (uint32_t w : words) seen = seen || w == word;
                if (!seen) words.push_back(word);
            }
            if (static_cast<int>(words.size()) > worst) worst = static_cast<int>(words.size());
        }
        total += worst;
    }
    return total;
}

struct Tally {
    double wavefronts = 0;
    long loads = 0;
    long warps = 0;
};

void add_warp(const std::vector<std::vector<uint32_t>>& per_lane, Tally& tally)
{
    const size_t n = per_lane[0].size();
    uint32_t address[LANES];
    for (size_t i = 0; i < n; ++i) {
        for (int l = 0; l < LANES; ++l) address[l] = per_lane[l][i];
        tally.wavefronts += load_wavefronts(address);
        ++tally.loads;
    }
    ++tally.warps;
}

// The image fill: at step k thread e writes copy (k + e) mod 16 of each
// table of entry e, as wp_fill_image_entry does; one 256-thread block
// fills the image once for 128 nonces per thread.
template <WpLayout L>
double fill_wavefronts_per_nonce()
{
    double total = 0;
    for (uint32_t warp = 0; warp < 8; ++warp) {
        for (uint32_t k = 0; k < WP_LANE_COPIES; ++k) {
            for (int t = 0; t < wp_image_tables(L); ++t) {
                uint32_t address[LANES];
                for (uint32_t l = 0; l < LANES; ++l) {
                    const uint32_t e = 32 * warp + l;
                    address[l] = wp_image_slot<L>(e, t, (k + e) % WP_LANE_COPIES) * 8;
                }
                total += load_wavefronts(address);
            }
        }
    }
    return total / (256.0 * WP_NONCES_PER_THREAD);
}

void print(const char* layout, const Tally& t, double extra_per_nonce)
{
    const double per_load = t.wavefronts / t.loads;
    const double per_nonce = t.wavefronts / (t.warps * LANES) + extra_per_nonce;
    std::printf("%-34s %6.3f wavefronts/load  %7.2f wavefronts/nonce  bound %5.2f GH/s\n", layout,
                per_load, per_nonce, H100_SMS * H100_CLOCK_HZ / per_nonce / 1e9);
}

} // namespace

int main(int argc, char** argv)
{
    const int warps = argc > 1 ? std::atoi(argv[1]) : 2000;
    std::vector<uint64_t> wide(wp_image_slots(WpLayout::two_tables));
    std::vector<uint64_t> narrow(wp_image_slots(WpLayout::one_table));
    for (uint32_t e = 0; e < 256; ++e) {
        wp_fill_image_entry<WpLayout::two_tables>(wide.data(), e, WP_T0[e]);
        wp_fill_image_entry<WpLayout::one_table>(narrow.data(), e, WP_T0[e]);
    }

    std::mt19937_64 rng(2026);
    Tally flat, lanes64, lanes32;
    long lookups_per_nonce = -1;
    for (int w = 0; w < warps; ++w) {
        uint64_t midstate[8];
        for (uint64_t& v : midstate) v = rng();
        const uint64_t w8 = rng();
        const uint64_t w9_base = rng() & 0xFFFFFFFFull;
        WpJob job;
        wp_prepare_job(WP_T0, WP_RC, midstate, w8, w9_base, job);
        // A random target top word: a tie, and its extra round, never happens.
        const uint64_t target[4] = {0, 0, 0, rng()};
        const uint32_t first = static_cast<uint32_t>(rng()) & ~31u;
        std::vector<std::vector<uint32_t>> by64(LANES), by32(LANES), by_flat(LANES), unused(LANES);
        for (int l = 0; l < LANES; ++l) {
            const RecordingTables<WpLayout::two_tables> t64{{wide.data(), wp_lane_offset(l)}, &by64[l],
                                                            &by_flat[l]};
            const RecordingTables<WpLayout::one_table> t32{{narrow.data(), wp_lane_offset(l)},
                                                           &by32[l], &unused[l]};
            wp_try_nonce_fast(t64, job, first + l, target[3], target);
            wp_try_nonce_fast(t32, job, first + l, target[3], target);
            if (lookups_per_nonce < 0) lookups_per_nonce = static_cast<long>(by64[l].size());
            if (static_cast<long>(by64[l].size()) != lookups_per_nonce ||
                by32[l].size() != by64[l].size()) {
                std::fprintf(stderr, "lanes made different numbers of lookups\n");
                return 1;
            }
        }
        add_warp(by_flat, flat);
        add_warp(by64, lanes64);
        add_warp(by32, lanes32);
    }
    std::printf("model: %d warps of 32 consecutive nonces, random jobs; %ld lookups per nonce\n",
                warps, lookups_per_nonce);
    std::printf("bound: one wavefront per clock per SM, %.0f SMs at %.2f GHz (H100 SXM)\n",
                H100_SMS, H100_CLOCK_HZ / 1e9);
    print("previous: one 2 KB table", flat, 0);
    print("64 KB image, lookups only", lanes64, 0);
    print("64 KB image, with its fill", lanes64, fill_wavefronts_per_nonce<WpLayout::two_tables>());
    print("32 KB image, lookups only", lanes32, 0);
    print("32 KB image, with its fill", lanes32, fill_wavefronts_per_nonce<WpLayout::one_table>());
    return 0;
}
