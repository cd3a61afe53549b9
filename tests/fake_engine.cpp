// A test-only engine: an honest single-threaded search whose first find
// is replaced by a nonce that misses the target, as a faulty GPU would
// report. Linked into marlvane-test-miner only.
//
// MARLVANE_TEST_SKIM=N hashes only the first N nonces of each launch while
// reporting the whole launch covered, so that a test sees a header's 2^32
// nonces run out in a fraction of a second, as at full GPU speed.
// MARLVANE_TEST_FAIL_AFTER=N makes every launch after the first N fail for
// good, as a GPU that hits a sticky error does.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "whirlpool_core.h"
#include "whirlpool_cuda.h"

struct CudaMiner {
    uint64_t midstate[8];
    uint64_t target[4];
    int blocks;
    int threads;
    long launches;
    bool failed;
};

namespace {

bool g_lied = false;

bool hits(const CudaMiner& m, uint64_t w8, uint64_t w9_base, uint32_t nonce)
{
    return wp_try_nonce(WP_T0, WP_RC, m.midstate, w8, w9_base, nonce, m.target[3], m.target);
}

long env_number(const char* name, long otherwise)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : otherwise;
}

} // namespace

int cuda_device_count(void) { return 1; }

void cuda_device_info(int, char* name, size_t name_size, int* sm_count, uint64_t* total_mem)
{
    std::snprintf(name, name_size, "%s", "Test engine");
    *sm_count = 1;
    *total_mem = uint64_t{1} << 30;
}

int cuda_device_health(int, WpDeviceHealth*) { return 0; }

int cuda_whirlpool_init(const uint64_t*, const uint64_t*) { return 0; }

CudaMiner* cuda_miner_create(int, int blocks, int threads)
{
    return new CudaMiner{{}, {}, blocks, threads, 0, false};
}

const char* cuda_miner_error(const CudaMiner* m)
{
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
    const long fail_after = env_number("MARLVANE_TEST_FAIL_AFTER", -1);
    if (m->failed || (fail_after >= 0 && m->launches >= fail_after)) {
        m->failed = true;
        return -1;
    }
    ++m->launches;
    const uint32_t count = launch_hashes(m->blocks, m->threads);
    const uint32_t searched = static_cast<uint32_t>(env_number("MARLVANE_TEST_SKIM", count));
    for (uint32_t k = 0; k < count && k < searched; ++k) {
        if (!hits(*m, w8, w9_base, nonce_base + k)) continue;
        *nonce_out = nonce_base + k;
        if (!g_lied) {
            g_lied = true;
            uint32_t miss = nonce_base;
            while (hits(*m, w8, w9_base, miss)) ++miss;
            *nonce_out = miss;
        }
        // As the real engines count: the nonces up to the find, in launch order.
        *hashes_out = *nonce_out - nonce_base + 1;
        return 1;
    }
    *hashes_out = count;
    return 0;
}

void cuda_debug_hash(int, const uint64_t midstate[8], uint64_t w8, uint64_t w9, uint64_t out[4])
{
    uint64_t D[8];
    wp_round_block2(WP_T0, WP_RC, midstate, D, w8, w9, WP_PAD_WORD2, WP_PAD_WORD7);
    wp_fold(D, out);
}
