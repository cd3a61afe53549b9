#include "benchmark.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "../kernels/whirlpool_cuda.h"
#include "shell.h"
#include "util.h"

namespace {

// Fixed, meaningless work: with a zero target nothing is ever reported.
constexpr uint64_t BENCH_MIDSTATE[8] = {
    0xa5c3f7e19b2d4068, 0x3e8f1a6c70d5b924, 0x92e4d8f63b17a0c5, 0x6f0b8d2e4a9c57f1,
    0xd17e3f9a58c206b4, 0x84a0c5e7f23b691d, 0x4b6f28d1e09a7c53, 0xf5932dc8a41e60b7,
};
constexpr uint64_t BENCH_TARGET[4] = {0, 0, 0, 0};
constexpr uint64_t BENCH_W8 = 0xdeadbeef12345678;
constexpr uint64_t BENCH_W9_BASE = 0x9abcdef0;
constexpr int WARMUP_LAUNCHES = 5;
constexpr double BENCH_SECONDS = 30.0;
constexpr double PROGRESS_SECONDS = 0.5;

using WallClock = std::chrono::system_clock;

double seconds_between(WallClock::time_point a, WallClock::time_point b)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count() / 1e9;
}

// The device cannot go on (or never could): say why over whatever the
// progress line left, and end with status 1.
int stop_benchmark(CudaMiner* miner)
{
    std::printf("\r%62s\r", "");
    std::printf("Error: %s\n", cuda_miner_error(miner));
    cuda_miner_destroy(miner);
    return 1;
}

} // namespace

void list_devices(int count)
{
    std::printf("CUDA devices:\n");
    for (int d = 0; d < count; ++d) print_device_line("", d);
}

int run_benchmark(int device, int blocks, int threads)
{
    print_banner("Benchmark Mode (30s)");
    print_device_line("GPU ", device);
    const int per_launch = static_cast<int>(launch_hashes(blocks, threads));
    std::printf("  Grid: %d blocks x %d threads = %d hashes/launch\n", blocks, threads, per_launch);
    std::printf("  Shared mem: %d KB (T0 and T0 rotated by 8, one copy per half-warp lane)\n\n",
                WP_SHARED_KB_PER_BLOCK);

    CudaMiner* miner = cuda_miner_create(device, blocks, threads);
    if (*cuda_miner_error(miner) != '\0') return stop_benchmark(miner);
    cuda_whirlpool_init(WP_T0, WP_RC);
    cuda_miner_set_work(miner, BENCH_MIDSTATE, BENCH_TARGET);

    std::printf("  Warming up...\r");
    std::fflush(stdout);
    uint32_t nonce = 0;
    uint32_t found_nonce = 0;
    uint32_t hashes = 0;
    for (int i = 0; i < WARMUP_LAUNCHES; ++i) {
        if (cuda_miner_scan(miner, BENCH_W8, BENCH_W9_BASE, nonce, &found_nonce, &hashes) < 0)
            return stop_benchmark(miner);
        nonce += static_cast<uint32_t>(per_launch);
    }
    std::printf("  Running 30s benchmark...                    \n\n");

    const WallClock::time_point start = WallClock::now();
    WallClock::time_point last_progress = start;
    nonce = 0;
    int32_t launches = 0;
    uint64_t total_hashes = 0;
    double peak = 0.0;
    while (g_running) {
        if (cuda_miner_scan(miner, BENCH_W8, BENCH_W9_BASE, nonce, &found_nonce, &hashes) < 0)
            return stop_benchmark(miner);
        ++launches;
        total_hashes += hashes;
        nonce += hashes;
        const WallClock::time_point now = WallClock::now();
        const double elapsed = seconds_between(start, now);
        if (elapsed >= BENCH_SECONDS) break;
        if (seconds_between(last_progress, now) >= PROGRESS_SECONDS) {
            const double rate = total_hashes / elapsed;
            if (rate > peak) peak = rate;
            std::printf("\r  [%5.1fs / %.0fs]  %s  (peak %s)   ", elapsed, BENCH_SECONDS,
                        hashrate_str(rate).c_str(), hashrate_str(peak).c_str());
            std::fflush(stdout);
            last_progress = now;
        }
    }
    const double duration = seconds_between(start, WallClock::now());
    const double average = duration > 0.0 ? total_hashes / duration : 0.0;
    if (average > peak) peak = average;

    std::printf("\r%62s\n", "");
    std::printf("  +=================== RESULTS ====================+\n");
    std::printf("  |  Duration:     %8.2f seconds                 |\n", duration);
    std::printf("  |  Launches:     %8d                          |\n", launches);
    std::printf("  |  Total hashes: %-12" PRIu64 "                  |\n", total_hashes);
    std::printf("  |  Average:      %-14s                |\n", hashrate_str(average).c_str());
    std::printf("  |  Peak:         %-14s                |\n", hashrate_str(peak).c_str());
    std::printf("  |  Hashes/launch:  %d                          |\n", per_launch);
    std::printf("  |  Shared mem/blk: %2d KB (16 lane copies)       |\n", WP_SHARED_KB_PER_BLOCK);
    std::printf("  +================================================+\n\n");

    cuda_miner_destroy(miner);
    return 0;
}
