#include "benchmark.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../kernels/whirlpool_image.h"
#include "../kernels/whirlpool_cuda.h"
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
// How often the main thread looks at the devices' counters.
constexpr auto WATCH_INTERVAL = std::chrono::milliseconds(10);

using WallClock = std::chrono::system_clock;

double seconds_between(WallClock::time_point a, WallClock::time_point b)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count() / 1e9;
}

enum class Phase { warming, ready, failed, done };

// One device's run on a thread of its own; the main thread reads its counters.
struct BenchDevice {
    DeviceSetup setup{};
    CudaMiner* miner = nullptr;
    std::atomic<Phase> phase{Phase::warming};
    std::atomic<uint64_t> hashes{0};
    std::atomic<int32_t> launches{0};
    bool reported = false;
    std::thread thread;

    BenchDevice() = default;
    BenchDevice(const BenchDevice&) = delete;
    BenchDevice& operator=(const BenchDevice&) = delete;
    ~BenchDevice()
    {
        if (miner) cuda_miner_destroy(miner);
    }
};

using BenchDevices = std::vector<std::unique_ptr<BenchDevice>>;

// The devices and their signals; whichever way the run ends, every thread
// is told to stop and joined before the handles go.
struct BenchRun {
    BenchDevices devices;
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};

    // Each device's launch in progress is cut short, so that a stop (or the
    // end of the 30 s) never waits for a long launch; its nonces are counted.
    void stop_all()
    {
        stop = true;
        for (auto& d : devices) {
            if (d->miner) cuda_miner_interrupt(d->miner);
        }
        for (auto& d : devices) {
            if (d->thread.joinable()) d->thread.join();
        }
    }
    ~BenchRun() { stop_all(); }
};

// Warm-up launches, then launches from the go signal until the stop signal.
void run_device(BenchDevice& d, const std::atomic<bool>& go, const std::atomic<bool>& stop)
{
    uint32_t nonce = 0;
    uint32_t found_nonce = 0;
    uint32_t hashes = 0;
    for (int i = 0; i < WARMUP_LAUNCHES && !stop.load(); ++i) {
        if (cuda_miner_scan(d.miner, BENCH_W8, BENCH_W9_BASE, nonce, &found_nonce, &hashes) < 0) {
            d.phase = Phase::failed;
            return;
        }
        nonce += hashes;
    }
    d.phase = Phase::ready;
    while (!go.load() && !stop.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    nonce = 0;
    while (!stop.load()) {
        if (cuda_miner_scan(d.miner, BENCH_W8, BENCH_W9_BASE, nonce, &found_nonce, &hashes) < 0) {
            d.phase = Phase::failed;
            return;
        }
        d.hashes += hashes;
        // A launch the stop ended before it began covered nothing.
        if (hashes > 0) ++d.launches;
        nonce += hashes;
    }
    d.phase = Phase::done;
}

// Each device that failed is named once, over whatever the progress line
// left; with one device the line is the plain error.
void report_failures(BenchDevices& devices)
{
    for (auto& d : devices) {
        if (d->phase.load() != Phase::failed || d->reported) continue;
        d->reported = true;
        std::printf("\r%62s\r", "");
        if (devices.size() == 1)
            std::printf("Error: %s\n", cuda_miner_error(d->miner));
        else
            std::printf("Error: GPU #%d: %s\n", d->setup.device, cuda_miner_error(d->miner));
    }
}

size_t count_in(const BenchDevices& devices, Phase phase)
{
    size_t n = 0;
    for (const auto& d : devices) n += d->phase.load() == phase;
    return n;
}

uint64_t total_hashes(const BenchDevices& devices)
{
    uint64_t total = 0;
    for (const auto& d : devices) total += d->hashes.load();
    return total;
}

// With several devices, one line each: its average and its sensors.
void print_device_rows(const BenchDevices& devices, double duration)
{
    for (const auto& d : devices) {
        const std::string health = device_health_text(d->setup.device);
        if (devices.size() == 1) {
            if (!health.empty()) std::printf("  |  Health:       %-32s|\n", health.c_str());
            continue;
        }
        const std::string rate = d->phase.load() == Phase::failed
                                     ? "failed"
                                     : hashrate_str(duration > 0.0 ? d->hashes.load() / duration : 0.0);
        std::printf("  |  GPU #%-2d %-14s %-23s|\n", d->setup.device, rate.c_str(), health.c_str());
    }
}

void print_results(const BenchDevices& devices, const std::vector<DeviceSetup>& setups,
                   int32_t threads, WpLayout layout, double duration, double peak)
{
    int32_t launches = 0;
    for (const auto& d : devices) launches += d->launches.load();
    const uint64_t total = total_hashes(devices);
    const double average = duration > 0.0 ? total / duration : 0.0;
    if (average > peak) peak = average;

    std::printf("\r%62s\n", "");
    std::printf("  +=================== RESULTS ====================+\n");
    std::printf("  |  Duration:     %8.2f seconds                 |\n", duration);
    std::printf("  |  Launches:     %8d                          |\n", launches);
    std::printf("  |  Total hashes: %-12" PRIu64 "                  |\n", total);
    std::printf("  |  Average:      %-14s                |\n", hashrate_str(average).c_str());
    std::printf("  |  Peak:         %-14s                |\n", hashrate_str(peak).c_str());
    if (same_grid(setups)) {
        // Unsigned: a launch may cover 2^31 nonces or more.
        std::printf("  |  Hashes/launch:  %u                          |\n",
                    launch_hashes(setups.front().blocks, threads));
    }
    std::printf("  |  Shared mem/blk: %2d KB (16 lane copies)       |\n",
                wp_image_bytes(layout) / 1024);
    print_device_rows(devices, duration);
    std::printf("  +================================================+\n\n");
}

} // namespace

void list_devices(int count)
{
    std::printf("CUDA devices:\n");
    for (int d = 0; d < count; ++d) print_device_line("", d, true);
}

int run_benchmark(const std::vector<DeviceSetup>& setups, int32_t threads)
{
    print_banner("Benchmark Mode (30s)");
    for (const DeviceSetup& d : setups) print_device_line("GPU ", d.device);
    if (same_grid(setups)) {
        const DeviceSetup& d = setups.front();
        std::printf("  Grid: %d blocks x %d threads = %u hashes/launch\n", d.blocks, threads,
                    launch_hashes(d.blocks, threads));
    } else {
        for (const DeviceSetup& d : setups)
            std::printf("  Grid #%d: %d blocks x %d threads = %u hashes/launch\n", d.device,
                        d.blocks, threads, launch_hashes(d.blocks, threads));
    }
    // Cards of different architectures may run different images.
    std::vector<WpLayout> layouts;
    for (const DeviceSetup& d : setups) layouts.push_back(search_layout(d.device, threads).layout);
    const bool one_image = std::all_of(layouts.begin(), layouts.end(),
                                       [&](WpLayout l) { return l == layouts.front(); });
    for (size_t i = 0; i < setups.size(); ++i) {
        if (one_image && i > 0) break;
        const std::string who = one_image ? "" : " #" + std::to_string(setups[i].device);
        std::printf("  Shared mem%s: %d KB (%s)\n", who.c_str(), wp_image_bytes(layouts[i]) / 1024,
                    wp_layout_text(layouts[i]));
    }
    std::printf("\n");

    // The tables go to each device right after its handle, on this thread,
    // where its create made it the current device.
    BenchRun run;
    BenchDevices& devices = run.devices;
    for (const DeviceSetup& setup : setups) {
        devices.push_back(std::make_unique<BenchDevice>());
        BenchDevice& d = *devices.back();
        d.setup = setup;
        d.miner = cuda_miner_create(setup.device, setup.blocks, threads);
        if (*cuda_miner_error(d.miner) != '\0') {
            d.phase = Phase::failed;
            continue;
        }
        cuda_whirlpool_init(WP_T0, WP_RC);
        cuda_miner_set_work(d.miner, BENCH_MIDSTATE, BENCH_TARGET);
    }
    // Reports what failed since the last look; true when nothing is left.
    auto all_failed = [&] {
        report_failures(devices);
        return count_in(devices, Phase::failed) == devices.size();
    };
    if (all_failed()) return 1;

    std::printf("  Warming up...\r");
    std::fflush(stdout);
    for (auto& d : devices) {
        if (d->phase.load() == Phase::failed) continue;
        d->thread = std::thread(run_device, std::ref(*d), std::cref(run.go), std::cref(run.stop));
    }
    while (g_running && count_in(devices, Phase::warming) > 0) std::this_thread::sleep_for(WATCH_INTERVAL);
    if (all_failed()) return 1;
    std::printf("  Running 30s benchmark...                    \n\n");

    const WallClock::time_point start = WallClock::now();
    run.go = true;
    WallClock::time_point last_progress = start;
    double peak = 0.0;
    while (g_running) {
        std::this_thread::sleep_for(WATCH_INTERVAL);
        if (all_failed()) return 1;
        const WallClock::time_point now = WallClock::now();
        const double elapsed = seconds_between(start, now);
        if (elapsed >= BENCH_SECONDS) break;
        if (seconds_between(last_progress, now) >= PROGRESS_SECONDS) {
            const double rate = total_hashes(devices) / elapsed;
            if (rate > peak) peak = rate;
            std::printf("\r  [%5.1fs / %.0fs]  %s  (peak %s)   ", elapsed, BENCH_SECONDS,
                        hashrate_str(rate).c_str(), hashrate_str(peak).c_str());
            std::fflush(stdout);
            last_progress = now;
        }
    }
    // The 30 seconds end when every device has stopped.
    run.stop_all();
    report_failures(devices);
    const double duration = seconds_between(start, WallClock::now());
    print_results(devices, setups, threads, layouts.front(), duration, peak);
    return 0;
}
