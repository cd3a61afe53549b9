// The GPU check: the search kernel against the host reference on a real
// card, a run at speed with every hit hashed again on the host, the kernel
// figures, and the previous kernel and the new one timed in the same
// process on the same card. Needs only the CUDA toolkit: no test framework,
// no node client.
//
//   marlvane-gpu-check [-d DEVICE]     every check; status 0 when all pass
//   marlvane-gpu-check -d N --profile  one launch of each kernel, for ncu
//
// The last line is "marlvane-gpu-check: PASS ..." or "... FAIL ...".
#include <cuda_runtime.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../tests/pow_job.h"
#include "previous_kernel.cuh"
#include "search_kernel_figures.h"
#include "util.h"
#include "whirlpool_image.h"
#include "whirlpool_cuda.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int THREADS = 256;
constexpr uint32_t NONCES_PER_BLOCK = THREADS * WP_NONCES_PER_THREAD;

int g_checks = 0;
std::vector<std::string> g_failed; // the failed checks, named in the verdict
std::string g_step;                // the step the checks belong to

void step(const std::string& name)
{
    g_step = name;
    std::printf("== %s\n", name.c_str());
}

void check(bool ok, const std::string& what)
{
    ++g_checks;
    if (!ok) g_failed.push_back(g_step + ": " + what);
    std::printf("  %s  %s\n", ok ? "ok  " : "FAIL", what.c_str());
}

// Makes the handles created from here on run one layout ("64" or "32"), or
// the engine's own choice (nullptr).
void force_layout(const char* kb)
{
    if (kb)
        setenv("MARLVANE_LAYOUT", kb, 1);
    else
        unsetenv("MARLVANE_LAYOUT");
}

WpLayout chosen_layout(int device, int* resident = nullptr)
{
    int blocks = 0;
    const WpLayout layout = static_cast<WpLayout>(cuda_search_layout(device, THREADS, &blocks));
    if (resident) *resident = blocks;
    return layout;
}

std::string layout_words(WpLayout layout)
{
    return std::to_string(wp_image_bytes(layout) / 1024) + " KB (" + wp_layout_text(layout) + ")";
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string hex32(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

struct Scan {
    int result;
    uint32_t nonce;
    uint32_t hashes;
};

Scan scan(CudaMiner* miner, const Job& job, uint32_t base)
{
    Scan s{-2, 0xDEADBEEF, 0xDEADBEEF};
    s.result = cuda_miner_scan(miner, job.w8, job.w9_base, base, &s.nonce, &s.hashes);
    return s;
}

// A miner handle on the device with its tables, as the callers make one.
CudaMiner* make_miner(int device, int blocks)
{
    CudaMiner* m = cuda_miner_create(device, blocks, THREADS);
    if (*cuda_miner_error(m) == '\0') cuda_whirlpool_init(WP_T0, WP_RC);
    return m;
}

// The launch's best nonce by the host, which the kernel must find exactly
// when the target is its value, and miss when the target is one less.
struct Best {
    uint32_t nonce;
    PowValue value;
};

Best host_best(const Job& job, uint32_t base, uint32_t count)
{
    Best best{base, host_value(job, base)};
    for (uint32_t k = 1; k < count; ++k) {
        const PowValue v = host_value(job, base + k);
        if (less_256(v, best.value)) best = {base + k, v};
    }
    return best;
}

// A job and a base for which the nonce at `offset` is the launch's only hit
// for the returned target: strictly below every other value of the launch.
struct UniqueHit {
    Job job;
    uint32_t base;
    PowValue target;
};

UniqueHit unique_hit_at(std::mt19937_64& rng, uint32_t per_launch, uint32_t offset)
{
    for (;;) {
        UniqueHit h{random_job(rng), 0, {}};
        const uint32_t start = static_cast<uint32_t>(rng());
        const Best best = host_best(h.job, start, per_launch);
        h.target = best.value;
        h.base = best.nonce - offset;
        bool unique = true;
        for (uint32_t k = 0; k < per_launch && unique; ++k) {
            const uint32_t n = h.base + k;
            if (n != best.nonce && static_cast<uint32_t>(n - start) >= per_launch)
                unique = less_256(h.target, host_value(h.job, n));
        }
        if (unique) return h;
    }
}

void check_debug_hash(int device, std::mt19937_64& rng)
{
    bool ok = true;
    for (int i = 0; i < 64 && ok; ++i) {
        const Job job = random_job(rng);
        const uint32_t nonce = i == 0 ? 0u : i == 1 ? 0xFFFFFFFFu : static_cast<uint32_t>(rng());
        uint64_t out[4];
        cuda_debug_hash(device, job.midstate, job.w8, uint64_t{nonce} << 32 | job.w9_base, out);
        const PowValue v = host_value(job, nonce);
        ok = std::equal(v.begin(), v.end(), out);
    }
    check(ok, "debug kernel equals the host hash (64 headers, nonces 0 and 2^32 - 1 among them)");
}

// The search against the host over whole launches of 4 blocks.
void check_search(int device, std::mt19937_64& rng)
{
    const int blocks = 4;
    const uint32_t per_launch = blocks * NONCES_PER_BLOCK;
    const uint32_t stride = blocks * THREADS;
    CudaMiner* m = make_miner(device, blocks);
    check(*cuda_miner_error(m) == '\0', std::string("handle made: \"") + cuda_miner_error(m) + "\"");

    // Bases with the launch's end at 2^32 - 1, across the wrap, and random.
    const uint32_t bases[] = {0xFFFFFFFFu - per_launch + 1, 0xFFFFFFFFu - per_launch / 2,
                              static_cast<uint32_t>(rng()), 0};
    for (uint32_t base : bases) {
        const Job job = random_job(rng);
        const Best best = host_best(job, base, per_launch);
        cuda_miner_set_work(m, job.midstate, best.value.data());
        const Scan s = scan(m, job, base);
        check(s.result == 1 && s.nonce == best.nonce && s.hashes == best.nonce - base + 1,
              "target = the launch's best value from " + hex32(base) + ": the host's nonce " +
                  hex32(best.nonce) + " (got " + std::to_string(s.result) + ", " +
                  hex32(s.nonce) + ", " + std::to_string(s.hashes) + " hashes)");
        const PowValue below = minus_one(best.value);
        cuda_miner_set_work(m, job.midstate, below.data());
        const Scan none = scan(m, job, base);
        check(none.result == 0 && none.hashes == per_launch,
              "one below the best value: no hit, the whole launch counted");
    }

    struct Row {
        uint32_t offset;
        const char* where;
    };
    const Row rows[] = {
        {5, "early in the first slice"},
        {per_launch - stride, "the first thread of the last slice"},
        {per_launch - 1, "the last nonce of the last slice"},
    };
    for (const Row& row : rows) {
        const UniqueHit h = unique_hit_at(rng, per_launch, row.offset);
        cuda_miner_set_work(m, h.job.midstate, h.target.data());
        const Scan s = scan(m, h.job, h.base);
        check(s.result == 1 && s.nonce == h.base + row.offset && s.hashes == row.offset + 1,
              std::string("the only hit in ") + row.where + ": found, and " +
                  std::to_string(row.offset + 1) + " hashes counted");
    }

    const Job job = random_job(rng);
    const uint64_t zero[4] = {0, 0, 0, 0};
    cuda_miner_set_work(m, job.midstate, zero);
    const Scan z = scan(m, job, 0);
    check(z.result == 0 && z.hashes == per_launch, "zero target: nothing, the whole launch counted");
    const uint64_t all_ff[4] = {~0ull, ~0ull, ~0ull, ~0ull};
    cuda_miner_set_work(m, job.midstate, all_ff);
    const Scan e = scan(m, job, 1000);
    check(e.result == 1 && e.nonce - 1000u < stride && e.hashes == e.nonce - 1000u + 1,
          "easiest target: a hit in the first slice");
    cuda_miner_destroy(m);

    // One block from 0xFFFFFF00 wraps through zero into 0x00007EFF.
    CudaMiner* one = make_miner(device, 1);
    const PowValue target = host_value(job, 0x00004321);
    cuda_miner_set_work(one, job.midstate, target.data());
    const Scan w = scan(one, job, 0xFFFFFF00u);
    check(w.result == 1 && (w.nonce >= 0xFFFFFF00u || w.nonce <= 0x00007EFFu) &&
              !less_256(target, host_value(job, w.nonce)) && w.hashes == w.nonce - 0xFFFFFF00u + 1,
          "a launch across 2^32 finds a nonce of its wrapped range that meets the target");
    cuda_miner_destroy(one);
}

void check_refusals(int device, std::mt19937_64& rng)
{
    CudaMiner* big = cuda_miner_create(device, 131072, THREADS);
    const std::string expected = "a launch of 131072 blocks x 256 threads covers 2^32 or more nonces";
    check(cuda_miner_error(big) == expected, std::string("2^32 nonces refused: \"") +
                                                 cuda_miner_error(big) + "\"");
    const Job job = random_job(rng);
    const Scan s1 = scan(big, job, 0);
    const Scan s2 = scan(big, job, 0);
    check(s1.result == -1 && s2.result == -1 && s1.hashes == 0 && s2.hashes == 0,
          "every scan of a refused handle stops with 0 hashes");
    cuda_miner_destroy(big);

    std::printf("  (the next launch is refused by the runtime; its report follows)\n");
    CudaMiner* wide = cuda_miner_create(device, 1, WP_MAX_THREADS + 1);
    cuda_whirlpool_init(WP_T0, WP_RC);
    const uint64_t all_ff[4] = {~0ull, ~0ull, ~0ull, ~0ull};
    cuda_miner_set_work(wide, job.midstate, all_ff);
    const Scan r = scan(wide, job, 0);
    check(r.result == 0 && r.hashes == 0 && *cuda_miner_error(wide) == '\0',
          "257 threads per block: the launch is refused, the handle may try again");
    cuda_miner_destroy(wide);
}

// Handles that interleave, on one device and, where there are two, on two
// devices from two host threads at once: each searches its own job.
void check_handles(int device, std::mt19937_64& rng)
{
    const uint32_t per_launch = 2 * NONCES_PER_BLOCK;
    CudaMiner* a = make_miner(device, 2);
    CudaMiner* b = make_miner(device, 2);
    const UniqueHit ha = unique_hit_at(rng, per_launch, per_launch - 3);
    const UniqueHit hb = unique_hit_at(rng, per_launch, 17);
    cuda_miner_set_work(a, ha.job.midstate, ha.target.data());
    cuda_miner_set_work(b, hb.job.midstate, hb.target.data());
    bool ok = true;
    for (int round = 0; round < 3; ++round) {
        const Scan sa = scan(a, ha.job, ha.base);
        const Scan sb = scan(b, hb.job, hb.base);
        ok = ok && sa.result == 1 && sa.nonce == ha.base + per_launch - 3 && sb.result == 1 &&
             sb.nonce == hb.base + 17;
    }
    check(ok, "two handles on one device, scanned in turn, keep their own jobs");
    cuda_miner_destroy(a);
    cuda_miner_destroy(b);

    if (cuda_device_count() < 2) {
        std::printf("  (one device: the two-device check is skipped)\n");
        return;
    }
    const UniqueHit hits[2] = {unique_hit_at(rng, per_launch, per_launch - 1),
                               unique_hit_at(rng, per_launch, 1)};
    const uint32_t offsets[2] = {per_launch - 1, 1};
    std::atomic<int> good{0};
    auto run = [&](int d) {
        CudaMiner* m = make_miner(d, 2);
        cuda_miner_set_work(m, hits[d].job.midstate, hits[d].target.data());
        bool all = true;
        for (int i = 0; i < 20; ++i) {
            const Scan s = scan(m, hits[d].job, hits[d].base);
            all = all && s.result == 1 && s.nonce == hits[d].base + offsets[d];
        }
        if (all) ++good;
        cuda_miner_destroy(m);
    };
    std::thread t0(run, 0), t1(run, 1);
    t0.join();
    t1.join();
    check(good == 2, "devices 0 and 1 from two host threads at once keep their own jobs");
}

// Samples of nvidia-smi while the timed parts run.
class SmiSampler {
public:
    explicit SmiSampler(int device)
    {
        char bus[32] = "";
        if (cudaDeviceGetPCIBusId(bus, sizeof bus, device) != cudaSuccess) return;
        // Newer drivers call the throttle reasons clock event reasons.
        for (const char* reasons : {"clocks_event_reasons.active", "clocks_throttle_reasons.active"}) {
            command_ = std::string("nvidia-smi -i ") + bus +
                       " --query-gpu=clocks.sm,clocks.mem,power.draw,temperature.gpu," + reasons +
                       " --format=csv,noheader,nounits 2>/dev/null";
            if (sample()) break;
        }
        samples_.clear();
        thread_ = std::thread([this] {
            while (!stop_) {
                sample();
                for (int i = 0; i < 5 && !stop_; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    ~SmiSampler() { finish(); }
    void finish()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void print()
    {
        finish();
        if (samples_.empty()) {
            std::printf("nvidia-smi: no samples (not installed, or the query failed)\n");
            return;
        }
        double lo[4] = {1e30, 1e30, 1e30, 1e30}, hi[4] = {-1e30, -1e30, -1e30, -1e30};
        std::set<std::string> reasons;
        for (const std::string& line : samples_) {
            double v[4];
            char reason[64] = "";
            if (std::sscanf(line.c_str(), "%lf, %lf, %lf, %lf, %63s", &v[0], &v[1], &v[2], &v[3],
                            reason) < 4)
                continue;
            for (int k = 0; k < 4; ++k) {
                lo[k] = std::min(lo[k], v[k]);
                hi[k] = std::max(hi[k], v[k]);
            }
            reasons.insert(reason);
        }
        std::printf("nvidia-smi over %zu samples: SM clock %.0f..%.0f MHz, memory clock "
                    "%.0f..%.0f MHz, power %.1f..%.1f W, temperature %.0f..%.0f C, throttle "
                    "reasons seen:",
                    samples_.size(), lo[0], hi[0], lo[1], hi[1], lo[2], hi[2], lo[3], hi[3]);
        for (const std::string& r : reasons) std::printf(" %s", r.c_str());
        std::printf("\n");
    }

private:
    // True when the query was understood.
    bool sample()
    {
        FILE* p = popen(command_.c_str(), "r");
        if (!p) return false;
        char line[256];
        bool ok = false;
        if (std::fgets(line, sizeof line, p)) {
            const std::lock_guard<std::mutex> lock(mutex_);
            samples_.push_back(line);
            ok = std::strstr(line, "not a valid field") == nullptr &&
                 std::strstr(line, "Invalid") == nullptr;
        }
        ok = pclose(p) == 0 && ok;
        return ok;
    }
    std::string command_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> samples_;
};

// The run at speed: a target met with probability 2^-30 over all 2^32
// nonces of 4 headers, 16 hits expected; every hit is hashed again on the
// host. Returns the rate in hashes per second.
double check_at_speed(int device, int sm_count, std::mt19937_64& rng)
{
    const uint64_t target[4] = {~0ull, ~0ull, ~0ull, (uint64_t{1} << 34) - 1};
    int resident = 0;
    chosen_layout(device, &resident);
    const int blocks = automatic_blocks(sm_count, resident);
    const uint64_t per_launch = uint64_t{static_cast<uint32_t>(blocks)} * NONCES_PER_BLOCK;
    CudaMiner* big = make_miner(device, blocks);
    std::set<uint64_t> hits; // header index << 32 | nonce, so a nonce seen twice counts once
    int wrong = 0;
    long launches = 0;
    const Clock::time_point start = Clock::now();
    uint64_t hashed = 0;
    for (int h = 0; h < 4; ++h) {
        const Job job = random_job(rng);
        cuda_miner_set_work(big, job.midstate, target);
        uint64_t covered = 0;
        uint32_t base = 0;
        while (covered < (uint64_t{1} << 32)) {
            // The header's last nonces in a launch just large enough for them.
            const uint64_t left = (uint64_t{1} << 32) - covered;
            CudaMiner* m = big;
            if (left < per_launch) {
                const uint64_t blocks_left = (left + NONCES_PER_BLOCK - 1) / NONCES_PER_BLOCK;
                m = make_miner(device, static_cast<int>(blocks_left));
                cuda_miner_set_work(m, job.midstate, target);
            }
            const Scan s = scan(m, job, base);
            ++launches;
            const std::string why = cuda_miner_error(m);
            if (m != big) cuda_miner_destroy(m);
            if (s.result < 0 || s.hashes == 0) {
                std::printf("  the run at speed stopped: %s\n",
                            why.empty() ? "a launch was refused" : why.c_str());
                ++wrong;
                break;
            }
            if (s.result == 1) {
                const PowValue v = host_value(job, s.nonce);
                const PowValue t = {target[0], target[1], target[2], target[3]};
                if (less_256(t, v)) ++wrong;
                hits.insert(uint64_t(h) << 32 | s.nonce);
            }
            covered += s.hashes;
            hashed += s.hashes;
            base += s.hashes;
        }
    }
    const double seconds = seconds_since(start);
    cuda_miner_destroy(big);
    const size_t n = hits.size();
    check(wrong == 0, "at speed: every hit meets the target on the host (" +
                          std::to_string(wrong) + " did not)");
    check(n >= 4 && n <= 32, "at speed: " + std::to_string(n) +
                                 " hits over 2^34 nonces at P = 2^-30 (16 expected, 4..32 pass)");
    const double rate = hashed / seconds;
    std::printf("  at speed: %.3g nonces in %.2f s over %ld launches of %d blocks: %.2f GH/s\n",
                static_cast<double>(hashed), seconds, launches, blocks, rate / 1e9);
    return rate;
}

// The previous kernel, launched with the same host protocol as the miner:
// clear the flag, launch, synchronise, read the flag.
struct PreviousKernel {
    uint64_t* d_target = nullptr;
    uint32_t* d_nonce = nullptr;
    uint32_t* d_found = nullptr;
    bool ready = false;

    explicit PreviousKernel(const uint64_t midstate[8], uint64_t w8, uint64_t w9_base,
                            const uint64_t target[4])
    {
        WpJob job;
        wp_prepare_job(WP_T0, WP_RC, midstate, w8, w9_base, job);
        ready = cudaMemcpyToSymbol(previous::d_T0, WP_T0, sizeof WP_T0) == cudaSuccess &&
                cudaMemcpyToSymbol(previous::d_job, &job, sizeof job) == cudaSuccess &&
                cudaMalloc(reinterpret_cast<void**>(&d_target), 32) == cudaSuccess &&
                cudaMalloc(reinterpret_cast<void**>(&d_nonce), 4) == cudaSuccess &&
                cudaMalloc(reinterpret_cast<void**>(&d_found), 4) == cudaSuccess &&
                cudaMemcpy(d_target, target, 32, cudaMemcpyHostToDevice) == cudaSuccess;
    }
    ~PreviousKernel()
    {
        cudaFree(d_target);
        cudaFree(d_nonce);
        cudaFree(d_found);
    }
    // 1 found, 0 not, -1 failed.
    int launch(int blocks, uint32_t base, uint32_t* nonce)
    {
        if (!ready || cudaMemset(d_found, 0, 4) != cudaSuccess) return -1;
        previous::previous_mine_kernel<<<blocks, THREADS, WP_TABLE_BYTES>>>(d_target, base, d_nonce,
                                                                           d_found);
        uint32_t found = 0;
        if (cudaGetLastError() != cudaSuccess || cudaDeviceSynchronize() != cudaSuccess ||
            cudaMemcpy(&found, d_found, 4, cudaMemcpyDeviceToHost) != cudaSuccess ||
            cudaMemcpy(nonce, d_nonce, 4, cudaMemcpyDeviceToHost) != cudaSuccess)
            return -1;
        return found != 0;
    }
};

void check_previous(std::mt19937_64& rng)
{
    const Job job = random_job(rng);
    const int blocks = 4;
    const uint32_t base = static_cast<uint32_t>(rng());
    const Best best = host_best(job, base, blocks * NONCES_PER_BLOCK);
    PreviousKernel previous(job.midstate, job.w8, job.w9_base, best.value.data());
    uint32_t nonce = 0;
    const int r = previous.launch(blocks, base, &nonce);
    check(r == 1 && nonce == best.nonce, "previous kernel: the launch's best nonce (" +
                                             hex32(nonce) + ", host " + hex32(best.nonce) + ")");
}

void print_figures(int device)
{
    for (WpLayout layout : {WpLayout::two_tables, WpLayout::one_table}) {
        WpKernelFigures f{};
        const std::string error = wp_search_kernel_figures(device, layout, THREADS, f);
        const std::string label = std::to_string(wp_image_bytes(layout) / 1024) + " KB kernel";
        if (!error.empty()) {
            check(false, "figures of the " + label + ": " + error);
            continue;
        }
        std::printf("%-16s %3d registers, %4d local bytes, %6d B dynamic shared, "
                    "%d blocks of %d per SM (%d warps)\n",
                    (label + ":").c_str(), f.registers, f.local_bytes, f.dynamic_shared_bytes,
                    f.blocks_per_sm, THREADS, f.blocks_per_sm * THREADS / 32);
    }
    int resident = 0;
    const WpLayout chosen = chosen_layout(device, &resident);
    std::printf("layout chosen:   %s, %d blocks per SM\n", layout_words(chosen).c_str(), resident);
    cudaFuncAttributes a{};
    int blocks = 0;
    if (cudaFuncGetAttributes(&a, previous::previous_mine_kernel) == cudaSuccess &&
        cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, previous::previous_mine_kernel,
                                                      THREADS, WP_TABLE_BYTES) == cudaSuccess) {
        std::printf("previous kernel:  %3d registers, %4d local bytes, %6d B dynamic shared, "
                    "%d blocks of %d per SM\n",
                    a.numRegs, static_cast<int>(a.localSizeBytes), WP_TABLE_BYTES, blocks, THREADS);
    } else {
        check(false, "figures of the previous kernel");
    }
}

// ms per launch and GH/s of the previous kernel and of the search in each
// layout, for grids of 1, 3 and 15 x the SM count and the automatic grid,
// each timed for a second. Returns the rate of the layout the engine
// chooses at the automatic grid.
double time_kernels(int device, int sm_count)
{
    const uint64_t midstate[8] = {0xa5c3f7e19b2d4068, 0x3e8f1a6c70d5b924, 0x92e4d8f63b17a0c5,
                                  0x6f0b8d2e4a9c57f1, 0xd17e3f9a58c206b4, 0x84a0c5e7f23b691d,
                                  0x4b6f28d1e09a7c53, 0xf5932dc8a41e60b7};
    const uint64_t w8 = 0xdeadbeef12345678, w9_base = 0x9abcdef0;
    const uint64_t zero[4] = {0, 0, 0, 0};
    PreviousKernel previous(midstate, w8, w9_base, zero);
    int resident = 0;
    const WpLayout chosen = chosen_layout(device, &resident);
    const int automatic = automatic_blocks(sm_count, resident);
    auto measure = [&](uint32_t per_launch, auto&& launch) {
        for (int i = 0; i < 2; ++i) launch(static_cast<uint32_t>(i));
        int launches = 0;
        const Clock::time_point start = Clock::now();
        while (launches < 3 || seconds_since(start) < 1.0) {
            if (!launch(static_cast<uint32_t>(launches) * per_launch)) return -1.0;
            ++launches;
        }
        return seconds_since(start) / launches;
    };
    auto search_rate = [&](const char* kb, int blocks) {
        const uint32_t per_launch = static_cast<uint32_t>(blocks) * NONCES_PER_BLOCK;
        force_layout(kb);
        CudaMiner* m = make_miner(device, blocks);
        force_layout(nullptr);
        cuda_miner_set_work(m, midstate, zero);
        const double t = measure(per_launch, [&](uint32_t base) {
            uint32_t nonce, hashes;
            return cuda_miner_scan(m, w8, w9_base, base, &nonce, &hashes) == 0 && hashes != 0;
        });
        cuda_miner_destroy(m);
        return t < 0 ? -1.0 : per_launch / t;
    };
    std::printf("grid (x %d SMs)   blocks   previous GH/s   64 KB GH/s   32 KB GH/s\n", sm_count);
    double rate_64_at_1 = 0, rate_32_at_3 = 0, chosen_rate = 0;
    const int grids[] = {sm_count, 3 * sm_count, 15 * sm_count, automatic};
    for (int g = 0; g < 4; ++g) {
        const int blocks = grids[g];
        const uint32_t per_launch = static_cast<uint32_t>(blocks) * NONCES_PER_BLOCK;
        const double t_prev = measure(per_launch, [&](uint32_t base) {
            uint32_t nonce;
            return previous.launch(blocks, base, &nonce) == 0;
        });
        const double r64 = search_rate("64", blocks), r32 = search_rate("32", blocks);
        if (t_prev < 0 || r64 < 0 || r32 < 0) {
            check(false, "timed launches of " + std::to_string(blocks) + " blocks");
            continue;
        }
        const std::string label = g == 3 ? "automatic" : std::to_string(blocks / sm_count) + " x SM";
        std::printf("%-15s %8d   %13.2f   %10.2f   %10.2f\n", label.c_str(), blocks,
                    per_launch / t_prev / 1e9, r64 / 1e9, r32 / 1e9);
        if (g == 0) rate_64_at_1 = r64;
        if (g == 1) rate_32_at_3 = r32;
        if (g == 3) chosen_rate = chosen == WpLayout::two_tables ? r64 : r32;
    }
    // What a consumer card gets with the 64 KB image (one block a
    // multiprocessor) against the 32 KB image at three.
    std::printf("64 KB at 1 block/SM %.2f GH/s, 32 KB at 3 blocks/SM %.2f GH/s: %s\n",
                rate_64_at_1 / 1e9, rate_32_at_3 / 1e9,
                rate_64_at_1 > rate_32_at_3
                    ? "the 64 KB image at 8 warps beats the 32 KB one at 24: the rule needs changing"
                    : "more resident warps win: the rule stands");
    return chosen_rate;
}

// One launch of each kernel over 4 x SM blocks with a zero target, so that
// every nonce is hashed: what ncu profiles.
int profile(int device, int sm_count)
{
    const int blocks = 4 * sm_count;
    std::mt19937_64 rng(7);
    const Job job = random_job(rng);
    const uint64_t zero[4] = {0, 0, 0, 0};
    PreviousKernel previous(job.midstate, job.w8, job.w9_base, zero);
    uint32_t nonce = 0;
    bool ok = previous.launch(blocks, 0, &nonce) == 0;
    for (const char* kb : {"64", "32"}) {
        force_layout(kb);
        CudaMiner* m = make_miner(device, blocks);
        cuda_miner_set_work(m, job.midstate, zero);
        ok = scan(m, job, 0).result == 0 && ok;
        cuda_miner_destroy(m);
    }
    force_layout(nullptr);
    std::printf("profile: %u nonces per launch of each kernel\n", blocks * NONCES_PER_BLOCK);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int device = 0;
    bool profile_only = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-d") == 0 && i + 1 < argc) {
            device = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--profile") == 0) {
            profile_only = true;
        } else {
            std::printf("usage: %s [-d DEVICE] [--profile]\n", argv[0]);
            return 2;
        }
    }
    int count = 0;
    const cudaError_t counted = cudaGetDeviceCount(&count);
    if (counted != cudaSuccess) {
        std::printf("marlvane-gpu-check: FAIL (cudaGetDeviceCount: %s)\n",
                    cudaGetErrorString(counted));
        return 1;
    }
    if (device < 0 || device >= count) {
        std::printf("marlvane-gpu-check: FAIL (no CUDA device %d of %d)\n", device, count);
        return 1;
    }
    char name[256];
    int sm_count = 0;
    uint64_t memory = 0;
    cuda_device_info(device, name, sizeof name, &sm_count, &memory);
    if (profile_only) return profile(device, sm_count);

    int clock_khz = 0, cc_major = 0, cc_minor = 0, smem_per_sm = 0;
    cudaDeviceGetAttribute(&clock_khz, cudaDevAttrClockRate, device);
    cudaDeviceGetAttribute(&cc_major, cudaDevAttrComputeCapabilityMajor, device);
    cudaDeviceGetAttribute(&cc_minor, cudaDevAttrComputeCapabilityMinor, device);
    cudaDeviceGetAttribute(&smem_per_sm, cudaDevAttrMaxSharedMemoryPerMultiprocessor, device);
    std::printf("device %d: %s, compute capability %d.%d, %d SMs at up to %d MHz, %d KB shared "
                "memory per SM, %llu MB\n",
                device, name, cc_major, cc_minor, sm_count, clock_khz / 1000, smem_per_sm / 1024,
                static_cast<unsigned long long>(memory >> 20));

    // The debug kernel and every search read the tables from constant memory.
    step("tables");
    const cudaError_t selected = cudaSetDevice(device);
    check(selected == cudaSuccess && cuda_whirlpool_init(WP_T0, WP_RC) == 0,
          std::string("tables uploaded to device ") + std::to_string(device) + " (" +
              cudaGetErrorString(selected == cudaSuccess ? cudaGetLastError() : selected) + ")");

    step("kernel figures");
    print_figures(device);

    std::mt19937_64 rng(20261209);
    step("debug kernel against the host");
    check_debug_hash(device, rng);
    for (const char* kb : {"64", "32"}) {
        step(std::string("search against the host, ") + kb + " KB layout");
        force_layout(kb);
        check_search(device, rng);
        check_handles(device, rng);
    }
    force_layout(nullptr);
    step("refused launches");
    check_refusals(device, rng);
    step("previous kernel");
    check_previous(rng);

    step("at speed (" + layout_words(chosen_layout(device)) + "), and the kernels timed");
    SmiSampler smi(device);
    const double at_speed = check_at_speed(device, sm_count, rng);
    const double rate = time_kernels(device, sm_count);
    smi.print();

    const bool pass = g_failed.empty();
    std::printf("marlvane-gpu-check: %s (%d of %d checks passed; %s layout %.2f GH/s at the "
                "automatic grid, %.2f GH/s at speed)\n",
                pass ? "PASS" : "FAIL", g_checks - static_cast<int>(g_failed.size()), g_checks,
                layout_words(chosen_layout(device)).c_str(), rate / 1e9, at_speed / 1e9);
    for (const std::string& f : g_failed) std::printf("  failed: %s\n", f.c_str());
    return pass ? 0 : 1;
}
