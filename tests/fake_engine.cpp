// A test-only engine: an honest single-threaded search whose first find
// is replaced by a nonce that misses the target, as a faulty GPU would
// report. Linked into marlvane-test-miner only.
//
// MARLVANE_TEST_SKIM=N hashes only the first N nonces of each launch while
// reporting the whole launch covered, so that a test sees a header's 2^32
// nonces run out in a fraction of a second, as at full GPU speed.
// MARLVANE_TEST_RATE=R makes every launch last as long as it would on a
// device hashing R nonces a second, paced on the running total so that
// short launches keep the rate; a device left idle does not catch up
// afterwards. MARLVANE_TEST_DEVICES=N presents N such devices.
// MARLVANE_TEST_FAIL_AFTER=N makes every launch after the first N fail for
// good, as a GPU that hits a sticky error does. MARLVANE_TEST_LAUNCH_ERROR=D
// makes every launch of device D fail as a launch the runtime refuses does,
// the handle staying usable, as on a card that cannot run the kernel at all.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "engine_common.h"
#include "nvml_health.h"
#include "whirlpool_image.h"
#include "whirlpool_cuda.h"

namespace {

using Clock = std::chrono::steady_clock;

// A launch that starts later than this after the last one ended was
// preceded by an idle device: the pace starts afresh instead of catching up.
constexpr auto IDLE_GAP = std::chrono::milliseconds(20);

long env_number(const char* name, long otherwise)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : otherwise;
}

std::atomic<bool> g_lied{false};

} // namespace

struct CudaMiner {
    uint64_t midstate[8];
    uint64_t target[4];
    int blocks;
    int threads;
    long launches;
    bool failed;
    bool refused; // every launch fails
    int failed_launches; // in a row
    std::string error;
    // Read once at create.
    long fail_after;
    long skim;
    double rate;
    // When the last paced launch is due to end.
    Clock::time_point due;
    std::mutex mutex;
    std::condition_variable woken;
    bool interrupted;
};

namespace {

bool hits(const CudaMiner& m, uint64_t w8, uint64_t w9_base, uint32_t nonce)
{
    return wp_try_nonce(WP_T0, WP_RC, m.midstate, w8, w9_base, nonce, m.target[3], m.target);
}

// Waits out a launch of `count` nonces at the handle's rate. Returns the
// nonces covered: all of them, or fewer when interrupted.
uint32_t pace(CudaMiner& m, uint32_t count)
{
    const Clock::time_point now = Clock::now();
    const Clock::time_point start = now - m.due > IDLE_GAP ? now : m.due;
    const auto length = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(count / m.rate));
    m.due = start + length;
    std::unique_lock<std::mutex> lock(m.mutex);
    if (!m.woken.wait_until(lock, m.due, [&] { return m.interrupted; })) return count;
    m.interrupted = false;
    const Clock::time_point stopped = std::max(Clock::now(), start);
    m.due = stopped;
    const double covered = std::chrono::duration<double>(stopped - start).count() * m.rate;
    return covered < count ? static_cast<uint32_t>(covered) : count;
}

bool take_interrupt(CudaMiner& m)
{
    const std::lock_guard<std::mutex> lock(m.mutex);
    const bool was = m.interrupted;
    m.interrupted = false;
    return was;
}

} // namespace

const char* cuda_engine_architectures(void) { return ""; }

int cuda_device_count(void) { return static_cast<int>(env_number("MARLVANE_TEST_DEVICES", 1)); }

int cuda_search_layout(int, int, int* resident_blocks)
{
    *resident_blocks = 0;
    return static_cast<int>(WpLayout::two_tables);
}

void cuda_device_info(int, char* name, size_t name_size, int* sm_count, uint64_t* total_mem)
{
    std::snprintf(name, name_size, "%s", "Test engine");
    *sm_count = 1;
    *total_mem = uint64_t{1} << 30;
}

// Sensors through the management library MARLVANE_TEST_NVML names (the
// tests' stand-in), device i on the stand-in's i-th bus id; none without it.
int cuda_device_health(int device, WpDeviceHealth* out)
{
    static const char* const BUS_IDS[] = {"0000:3B:00.0", "0000:5E:00.0"};
    const char* library = std::getenv("MARLVANE_TEST_NVML");
    if (!library || device < 0 || device >= 2) return 0;
    return nvml_read_health(library, BUS_IDS[device], *out) ? 1 : 0;
}

int cuda_whirlpool_init(const uint64_t*, const uint64_t*) { return 0; }

CudaMiner* cuda_miner_create(int device, int blocks, int threads)
{
    CudaMiner* m = new CudaMiner{};
    m->refused = env_number("MARLVANE_TEST_LAUNCH_ERROR", -1) == device;
    m->blocks = blocks;
    m->threads = threads;
    m->fail_after = env_number("MARLVANE_TEST_FAIL_AFTER", -1);
    m->skim = env_number("MARLVANE_TEST_SKIM", -1);
    m->rate = static_cast<double>(env_number("MARLVANE_TEST_RATE", 0));
    return m;
}

const char* cuda_miner_error(const CudaMiner* m)
{
    if (!m->error.empty()) return m->error.c_str();
    return m->failed ? "an illegal memory access was encountered (test engine)" : "";
}

void cuda_miner_destroy(CudaMiner* m) { delete m; }

void cuda_miner_set_work(CudaMiner* m, const uint64_t midstate[8], const uint64_t target[4])
{
    std::memcpy(m->midstate, midstate, sizeof m->midstate);
    std::memcpy(m->target, target, sizeof m->target);
}

int cuda_miner_scan(CudaMiner* m, uint64_t w8, uint64_t w9_base, uint32_t nonce_base,
                    uint32_t* nonce_out, uint32_t* hashes_out)
{
    *hashes_out = 0;
    if (m->failed || (m->fail_after >= 0 && m->launches >= m->fail_after)) {
        m->failed = true;
        return -1;
    }
    ++m->launches;
    if (m->refused) {
        m->error = failed_launch(m->failed_launches, "too many resources requested for launch");
        m->failed = !m->error.empty();
        return m->failed ? -1 : 0;
    }
    if (take_interrupt(*m)) return 0;
    const uint32_t count = launch_hashes(m->blocks, m->threads);
    const uint32_t searched = m->skim >= 0 ? static_cast<uint32_t>(m->skim) : count;
    for (uint32_t k = 0; k < count && k < searched; ++k) {
        if (!hits(*m, w8, w9_base, nonce_base + k)) continue;
        *nonce_out = nonce_base + k;
        if (!g_lied.exchange(true)) {
            uint32_t miss = nonce_base;
            while (hits(*m, w8, w9_base, miss)) ++miss;
            *nonce_out = miss;
        }
        // As the real engines count: the nonces up to the find, in launch order.
        *hashes_out = *nonce_out - nonce_base + 1;
        if (m->rate > 0) pace(*m, *hashes_out);
        return 1;
    }
    *hashes_out = m->rate > 0 ? pace(*m, count) : count;
    return 0;
}

void cuda_miner_interrupt(CudaMiner* m)
{
    {
        const std::lock_guard<std::mutex> lock(m->mutex);
        m->interrupted = true;
    }
    m->woken.notify_all();
}

void cuda_debug_hash(int, const uint64_t midstate[8], uint64_t w8, uint64_t w9, uint64_t out[4])
{
    uint64_t D[8];
    wp_round_block2(WP_T0, WP_RC, midstate, D, w8, w9, WP_PAD_WORD2, WP_PAD_WORD7);
    wp_fold(D, out);
}
