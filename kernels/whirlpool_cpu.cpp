// CPU backend of the engine: one "device", the processor, running the
// kernel's per-nonce code on every hardware thread. For tests of a rig,
// MARLVANE_CPU_DEVICES=N presents the hardware threads as N devices, each
// with its share of them, and MARLVANE_CPU_FAIL=D:N[,D:N...] makes device D
// fail for good after N launches, as a GPU that hits a sticky error does.
// A scan emulates one launch exactly: the same nonces in the same slice
// order, the same found protocol and early stop, the same hash count and the
// same refusals. The per-nonce code reads two flat tables here; the GPU's
// lane-replicated image of the same tables is exercised on the host by the
// tests.
#include "whirlpool_cuda.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine_common.h"
#include "whirlpool_image.h"

struct CudaMiner {
    uint64_t midstate[8];
    uint64_t target[4];
    int device;
    int blocks;
    int threads;
    // The nonce-independent part of the hash, remade when the job changes,
    // from the tables as they were uploaded.
    WpJob job;
    bool job_ready;
    uint64_t job_w8;
    uint64_t job_w9_base;
    WpFlatTables tables;
    // Read at create: the device's share of the hardware threads, and the
    // launch after which a test wants it to fail (-1: never).
    int workers;
    long fail_after;
    long launches;
    int failed_launches; // in a row
    std::string error;
    // Set by cuda_miner_interrupt from another thread; the scan that
    // notices it clears it.
    std::atomic<bool> interrupted{false};
};

namespace {

// The image of the device's constant memory, filled by cuda_whirlpool_init;
// handles on other threads take their copy under the lock.
std::mutex g_tables_mutex;
bool g_tables_uploaded = false;
uint64_t g_T0[256];
uint64_t g_RC[10];

int hardware_threads()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
}

int env_number(const char* name, int otherwise)
{
    const char* text = std::getenv(name);
    return text && *text ? static_cast<int>(std::strtol(text, nullptr, 10)) : otherwise;
}

int device_count()
{
    return std::max(1, env_number("MARLVANE_CPU_DEVICES", 1));
}

// Device d's share of the hardware threads: at least one.
int device_threads(int device)
{
    const int total = hardware_threads();
    const int count = device_count();
    const int share = static_cast<int>(int64_t{total} * (device + 1) / count -
                                       int64_t{total} * device / count);
    return std::max(1, share);
}

// The launch after which a device fails for good, from "D:N[,D:N...]"; -1 for none.
long failing_launch(int device)
{
    const char* text = std::getenv("MARLVANE_CPU_FAIL");
    while (text && *text) {
        char* end = nullptr;
        const long failing = std::strtol(text, &end, 10);
        if (*end != ':') return -1;
        const long launch = std::strtol(end + 1, &end, 10);
        if (failing == device) return launch;
        text = *end == ',' ? end + 1 : nullptr;
    }
    return -1;
}

std::string processor_name()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 10, "model name") != 0) continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) break;
        const size_t start = line.find_first_not_of(' ', colon + 1);
        if (start != std::string::npos) return line.substr(start);
        break;
    }
    return "CPU";
}

// GPU threads a worker takes at a time, all at one step k.
constexpr uint32_t CHUNK_THREADS = 512;

// Every worker reads the flag at every nonce and takes chunks from the
// counter: each has a cache line of its own, or the writes beside them
// (the launching thread's stack, the counter) would bounce it between cores.
struct LaunchResult {
    alignas(64) std::atomic<uint32_t> found{0};
    uint32_t nonce = 0;
    alignas(64) std::atomic<uint32_t> next_chunk{0};
};

// The launch as chunks of GPU threads at one step k, in order: step k of
// every thread before step k+1 of any, so the grid sweeps one contiguous
// slice of stride nonces at a time. Workers take the next chunk as they
// finish one, so a worker the system holds back delays no other.
struct LaunchShape {
    uint64_t grid;     // GPU threads
    uint32_t stride;   // as the device computes it, 32-bit
    uint64_t per_step; // chunks in one step
    uint64_t chunks;
};

LaunchShape launch_shape(const CudaMiner& m)
{
    LaunchShape s;
    // Thread indices and the stride are 32-bit on the device and wrap there too.
    s.grid = uint64_t{static_cast<uint32_t>(m.blocks)} * static_cast<uint32_t>(m.threads);
    s.stride = static_cast<uint32_t>(s.grid);
    s.per_step = (s.grid + CHUNK_THREADS - 1) / CHUNK_THREADS;
    s.chunks = s.per_step * WP_NONCES_PER_THREAD;
    return s;
}

// The nonces of the first `taken` chunks: a prefix of the launch, since a
// chunk once taken is always searched to its end (unless a nonce is found).
uint32_t chunk_nonces(const LaunchShape& s, uint64_t taken)
{
    return static_cast<uint32_t>(taken / s.per_step * s.grid + taken % s.per_step * CHUNK_THREADS);
}

void run_chunks(CudaMiner& m, const LaunchShape& shape, uint32_t nonce_base, LaunchResult& result)
{
    const WpJob job = m.job;
    const WpFlatTables& tables = m.tables;
    const uint64_t t3 = m.target[3];
    while (true) {
        // An interrupt is seen before a chunk is taken, never inside one.
        if (m.interrupted.load(std::memory_order_relaxed)) return;
        const uint64_t c = result.next_chunk.fetch_add(1, std::memory_order_relaxed);
        if (c >= shape.chunks || result.found.load(std::memory_order_relaxed)) return;
        const uint32_t k = static_cast<uint32_t>(c / shape.per_step);
        const uint64_t gid_begin = (c % shape.per_step) * CHUNK_THREADS;
        const uint64_t gid_end = std::min<uint64_t>(gid_begin + CHUNK_THREADS, shape.grid);
        const uint32_t slice = nonce_base + k * shape.stride;
        for (uint64_t gid = gid_begin; gid < gid_end; ++gid) {
            if (result.found.load(std::memory_order_relaxed)) return;
            const uint32_t nonce = slice + static_cast<uint32_t>(gid);
            if (!wp_try_nonce_fast(tables, job, nonce, t3, m.target)) continue;
            uint32_t expected = 0;
            if (result.found.compare_exchange_strong(expected, 1)) result.nonce = nonce;
            return;
        }
    }
}

} // namespace

const char* cuda_engine_architectures(void) { return ""; }

int cuda_device_count(void)
{
    return device_count();
}

// The flat tables hold what the 64 KB image does; no block limit applies.
int cuda_search_layout(int, int, int* resident_blocks)
{
    *resident_blocks = 0;
    return static_cast<int>(WpLayout::two_tables);
}

void cuda_device_info(int device, char* name, size_t name_size, int* sm_count,
                      uint64_t* total_mem)
{
    if (device < 0 || device >= device_count()) {
        if (name_size > 0) name[0] = '\0';
        *sm_count = 0;
        *total_mem = 0;
        return;
    }
    std::snprintf(name, name_size, "%s", processor_name().c_str());
    *sm_count = device_threads(device);
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    *total_mem = pages > 0 && page_size > 0
                     ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size)
                     : 0;
}

int cuda_device_health(int, WpDeviceHealth*)
{
    return 0;
}

int cuda_whirlpool_init(const uint64_t* t0, const uint64_t* rc)
{
    const std::lock_guard<std::mutex> lock(g_tables_mutex);
    std::memcpy(g_T0, t0, sizeof g_T0);
    std::memcpy(g_RC, rc, sizeof g_RC);
    g_tables_uploaded = true;
    return 0;
}

CudaMiner* cuda_miner_create(int device, int blocks, int threads)
{
    CudaMiner* m = new CudaMiner{};
    m->device = device;
    m->blocks = blocks;
    m->threads = threads;
    m->workers = device_threads(device);
    m->fail_after = failing_launch(device);
    if (device < 0 || device >= device_count())
        m->error = "there is no device " + std::to_string(device) +
                   (device_count() == 1 ? " (the CPU is device 0)"
                                        : " (the CPU is devices 0 to " +
                                              std::to_string(device_count() - 1) + ")");
    else
        m->error = launch_size_error(blocks, threads);
    return m;
}

const char* cuda_miner_error(const CudaMiner* m)
{
    return m->error.c_str();
}

void cuda_miner_destroy(CudaMiner* m)
{
    delete m;
}

void cuda_miner_set_work(CudaMiner* m, const uint64_t midstate[8], const uint64_t target[4])
{
    std::memcpy(m->midstate, midstate, sizeof m->midstate);
    std::memcpy(m->target, target, sizeof m->target);
    m->job_ready = false;
}

int cuda_miner_scan(CudaMiner* m, uint64_t w8, uint64_t w9_base, uint32_t nonce_base,
                    uint32_t* nonce_out, uint32_t* hashes_out)
{
    *hashes_out = 0;
    if (!m->error.empty()) return -1;
    if (m->fail_after >= 0 && m->launches >= m->fail_after) {
        m->error = "an illegal memory access was encountered (injected into CPU device " +
                   std::to_string(m->device) + ")";
        return -1;
    }
    ++m->launches;
    // The limits the CUDA runtime enforces on this kernel's launches.
    if (m->threads < 1 || m->threads > WP_MAX_THREADS || m->blocks < 1) {
        m->error = failed_launch(m->failed_launches, "invalid configuration argument");
        return m->error.empty() ? 0 : -1;
    }
    m->failed_launches = 0;
    if (!m->job_ready || m->job_w8 != w8 || m->job_w9_base != w9_base) {
        uint64_t rc[10];
        {
            const std::lock_guard<std::mutex> lock(g_tables_mutex);
            if (!g_tables_uploaded) {
                m->error = "the tables were not uploaded to device 0";
                return -1;
            }
            wp_make_flat_tables(g_T0, m->tables);
            std::memcpy(rc, g_RC, sizeof rc);
        }
        wp_prepare_job(m->tables.t[0], rc, m->midstate, w8, w9_base, m->job);
        m->job_ready = true;
        m->job_w8 = w8;
        m->job_w9_base = w9_base;
    }
    const LaunchShape shape = launch_shape(*m);
    const uint32_t workers =
        static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(m->workers), shape.grid));
    LaunchResult result;
    auto work = [&] { run_chunks(*m, shape, nonce_base, result); };
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    for (uint32_t w = 1; w < workers; ++w) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();

    if (result.found.load() == 0) {
        const uint64_t taken = std::min<uint64_t>(result.next_chunk.load(), shape.chunks);
        if (taken < shape.chunks) {
            m->interrupted = false;
            *hashes_out = chunk_nonces(shape, taken);
            return 0;
        }
        *hashes_out = launch_hashes(m->blocks, m->threads);
        return 0;
    }
    *nonce_out = result.nonce;
    *hashes_out = result.nonce - nonce_base + 1;
    return 1;
}

void cuda_miner_interrupt(CudaMiner* m)
{
    m->interrupted = true;
}

void cuda_debug_hash(int, const uint64_t midstate[8], uint64_t w8, uint64_t w9, uint64_t out[4])
{
    uint64_t T0[256], RC[10];
    {
        const std::lock_guard<std::mutex> lock(g_tables_mutex);
        std::memcpy(T0, g_T0, sizeof T0);
        std::memcpy(RC, g_RC, sizeof RC);
    }
    uint64_t D[8];
    wp_round_block2(T0, RC, midstate, D, w8, w9, WP_PAD_WORD2, WP_PAD_WORD7);
    wp_fold(D, out);
}
