// The search kernel as it was before the lane-replicated image: one 2 KB
// table in shared memory, every lookup rotated on its own, the job in one
// __constant__ symbol and launch bounds of four 256-thread blocks per
// multiprocessor. Kept only so that the GPU check can measure the new
// kernel against it in the same process on the same card; the program
// never runs it.
#pragma once

#include <cuda_runtime.h>

#include "whirlpool_core.h"
#include "whirlpool_cuda.h"

namespace previous {

constexpr int MIN_BLOCKS_PER_SM = 4;

__constant__ uint64_t d_T0[256];
__constant__ WpJob d_job;

__device__ __noinline__ bool last_round_meets(const uint64_t* T, const WpJob& job, uint64_t s0,
                                              uint64_t s1, uint64_t s2, uint64_t s3,
                                              uint64_t s4, uint64_t s5, uint64_t s6,
                                              uint64_t s7, uint32_t nonce, uint64_t t3,
                                              const uint64_t* target)
{
    const uint64_t state[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    uint64_t D[8];
    wp_rho(T, state, job.round_key[WP_ROUNDS - 1], D);
    for (int i = 0; i < 8; ++i) D[i] ^= job.feed[i];
    D[1] ^= static_cast<uint64_t>(nonce) << 32;
    return wp_meets_target(D, t3, target);
}

__device__ __forceinline__ bool try_nonce_fast(const uint64_t* T, const WpJob& job,
                                               uint32_t nonce, uint64_t t3,
                                               const uint64_t* target)
{
    uint64_t a[8], b[8];
    const uint32_t x = job.nonce_mask ^ nonce;
#pragma unroll
    for (int i = 0; i < 8; ++i) a[i] = job.s1[i];
    a[5] ^= ROTL64(T[x & 0xFFu], 32);
    a[6] ^= ROTL64(T[(x >> 8) & 0xFFu], 40);
    a[7] ^= ROTL64(T[(x >> 16) & 0xFFu], 48);
    a[0] ^= ROTL64(T[x >> 24], 56);

#pragma unroll
    for (int i = 0; i < 8; ++i) {
        uint64_t v = job.s2[i];
#pragma unroll
        for (int j = 0; j < 8; ++j) {
            const int src = (i - j) & 7;
            if (wp_varies_after_round1(src)) v ^= wp_lookup(T, a[src], j);
        }
        b[i] = v;
    }

#pragma unroll
    for (int r = 2; r < WP_ROUNDS - 1; r += 2) {
        wp_rho(T, b, job.round_key[r], a);
        if (r + 1 < WP_ROUNDS - 1) wp_rho(T, a, job.round_key[r + 1], b);
    }
    const uint64_t* k = job.round_key[WP_ROUNDS - 1];
    const uint64_t d3 = k[3] ^ job.feed[3] ^
                        round_elt(T, a[3], a[2], a[1], a[0], a[7], a[6], a[5], a[4]);
    const uint64_t d7 = k[7] ^ job.feed[7] ^
                        round_elt(T, a[7], a[6], a[5], a[4], a[3], a[2], a[1], a[0]);
    const uint64_t h3 = d3 ^ d7;
    if (h3 != t3) return h3 < t3;
    return last_round_meets(T, job, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], nonce, t3,
                            target);
}

__global__ void __launch_bounds__(WP_MAX_THREADS, MIN_BLOCKS_PER_SM)
    previous_mine_kernel(const uint64_t* __restrict__ target, uint32_t nonce_base,
                         volatile uint32_t* nonce_out, volatile uint32_t* found)
{
    extern __shared__ uint64_t sT0[];
    for (unsigned i = threadIdx.x; i < 256; i += blockDim.x) sT0[i] = d_T0[i];
    __syncthreads();

    const uint32_t gid = blockIdx.x * blockDim.x + threadIdx.x;
    const uint32_t stride = gridDim.x * blockDim.x;
    uint32_t nonce = nonce_base + gid;
    const uint64_t t3 = __ldg(target + 3);

#pragma unroll 1
    for (int k = 0; k < WP_NONCES_PER_THREAD; ++k) {
        if (*found) return;
        if (try_nonce_fast(sT0, d_job, nonce, t3, target)) {
            if (atomicCAS_system(const_cast<unsigned*>(found), 0u, 1u) == 0u) *nonce_out = nonce;
            return;
        }
        nonce += stride;
    }
}

} // namespace previous
