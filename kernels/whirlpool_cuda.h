// The proof-of-work engine as the rest of the program sees it: the host
// reference hash, device enumeration and the device miner. Two backends
// implement the device functions under the same names: the CUDA one and a
// CPU one that emulates a launch faithfully. No CUDA type appears here.
#pragma once

#include <cstddef>
#include <cstdint>

// Nonces each device thread tries per launch, and the kernel's launch bounds:
// a launch of more threads per block than WP_MAX_THREADS is refused. The
// registers of three blocks of 256 threads fill a multiprocessor.
constexpr int WP_NONCES_PER_THREAD = 128;
constexpr int WP_MAX_THREADS = 256;
constexpr int WP_MIN_BLOCKS_PER_SM = 3;

// Nonces one launch covers, in 32-bit arithmetic as the callers count them.
inline uint32_t launch_hashes(int blocks, int threads)
{
    return static_cast<uint32_t>(threads) * static_cast<uint32_t>(blocks) *
           static_cast<uint32_t>(WP_NONCES_PER_THREAD);
}

// The grid when none is set: about 16 blocks a multiprocessor, rounded to
// whole waves of resident_blocks a multiprocessor (the nearest multiple, at
// least one wave), so that the last wave of a launch is not part-empty.
// resident_blocks 0 (no such limit) gives exactly 16 a multiprocessor.
inline int automatic_blocks(int sm_count, int resident_blocks)
{
    constexpr int PER_SM = 16;
    if (resident_blocks <= 0) return PER_SM * sm_count;
    const int waves = (2 * PER_SM + resident_blocks) / (2 * resident_blocks);
    return (waves > 0 ? waves : 1) * resident_blocks * sm_count;
}

extern "C" {

// Whirlpool table C0 and the ten round constants, as little-endian words.
extern const uint64_t WP_T0[256];
extern const uint64_t WP_RC[10];

// One Whirlpool compression of an eight-word block into the chaining value.
void host_wp_round(uint64_t state[8], const uint64_t block[8]);
// Chaining value after header bytes 0..63, bytes 64..71 as w8 and bytes
// 72..75 as w9_base (nonce half zero).
void compute_midstate(const uint8_t header[80], uint64_t midstate[8], uint64_t* w8,
                      uint64_t* w9_base);
// Whirlpool-512 of the header with the digest's two halves XORed together.
void host_pow_hash(const uint8_t header[80], uint8_t out[32]);

int cuda_device_count(void);
// The GPU architectures the engine carries code for, as "75 80 90"; "" for
// an engine that runs on the CPU.
const char* cuda_engine_architectures(void);
// The table image the search keeps in each block's shared memory on a
// device, for blocks of `threads` threads: a WpLayout (whirlpool_image.h),
// chosen as cuda_miner_create chooses it. *resident_blocks receives how many
// such blocks a multiprocessor holds, or 0 where the backend has no such
// limit (the CPU engine, which reads T0 and R8 from its caches).
int cuda_search_layout(int device, int threads, int* resident_blocks);
void cuda_device_info(int device, char* name, size_t name_size, int* sm_count,
                      uint64_t* total_mem);

// A device's sensors as the driver's management library reads them; a
// reading the library does not give is -1.
struct WpDeviceHealth {
    int32_t temperature_c;
    int32_t power_w;
    int32_t sm_clock_mhz;
};
// 1 with the readings; 0 when there are none to be had (no management
// library, a device it does not know, or a backend without sensors).
int cuda_device_health(int device, struct WpDeviceHealth* out);

struct CudaMiner;

// Uploads the tables to the current device, the one the last
// cuda_miner_create on this thread selected: 0, or -1 when an upload failed.
int cuda_whirlpool_init(const uint64_t* t0, const uint64_t* rc);
// Never null. A handle that cannot mine (its device or allocations failed,
// or a launch would cover 2^32 nonces or more) says why in cuda_miner_error.
CudaMiner* cuda_miner_create(int device, int blocks, int threads);
// "" while the handle is usable; otherwise why not, in words with the CUDA text.
const char* cuda_miner_error(const CudaMiner* miner);
void cuda_miner_destroy(CudaMiner* miner);
void cuda_miner_set_work(CudaMiner* miner, const uint64_t midstate[8], const uint64_t target[4]);
// One launch over 128 x blocks x threads consecutive nonces from nonce_base.
// Returns 1 with *nonce_out set when a nonce met the target, and *hashes_out
// = *nonce_out - nonce_base + 1, the nonces up to the find in launch order;
// 0 with *hashes_out = the whole launch (32-bit) when none did, with the
// nonces covered (a prefix of the launch in launch order) when it was
// interrupted, or with 0 when the launch failed but a later one may succeed
// (reported once); -1 with *hashes_out = 0 when the handle cannot go on
// (cuda_miner_error says why), and at once on every later call.
int cuda_miner_scan(CudaMiner* miner, uint64_t w8, uint64_t w9_base, uint32_t nonce_base,
                    uint32_t* nonce_out, uint32_t* hashes_out);
// Ends the launch in progress early, or the next one when none is running;
// the one call that may come from another thread than the scans. For a stop
// or new work: the CPU backend ends a launch within milliseconds; the CUDA
// backend lets a GPU launch (milliseconds long) finish and ends the next
// before it starts.
void cuda_miner_interrupt(CudaMiner* miner);
// The device's folded value h0..h3 of one header, for checks against the host.
void cuda_debug_hash(int device, const uint64_t midstate[8], uint64_t w8, uint64_t w9,
                     uint64_t out[4]);

} // extern "C"
