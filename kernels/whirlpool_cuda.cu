// CUDA backend of the engine: the search and debug kernels and the device
// miner. Every launch, allocation and copy of the program lives here.
#include "whirlpool_cuda.h"

#include <cuda_runtime.h>

#include <cstdio>
#include <cstring>

#include "engine_common.h"
#include "whirlpool_core.h"

__constant__ uint64_t d_T0[256];
__constant__ uint64_t d_RC[10];
// The nonce-independent part of the current job: every thread reads the
// same address, which constant memory broadcasts.
__constant__ WpJob d_job;

struct CudaMiner {
    uint64_t* d_midstate;
    uint64_t* d_target;
    uint32_t* d_nonce;
    uint32_t* d_found;
    int device;
    int blocks;
    int threads;
    // The host's copy of the job, to make d_job from when w8 or w9_base change.
    uint64_t midstate[8];
    bool job_uploaded;
    uint64_t job_w8;
    uint64_t job_w9_base;
};

namespace {

// The tables as uploaded, so that the job constants are made from the same ones.
uint64_t h_T0[256];
uint64_t h_RC[10];

__device__ __forceinline__ void load_T0(uint64_t* sT0)
{
    for (unsigned i = threadIdx.x; i < 256; i += blockDim.x) sT0[i] = d_T0[i];
    __syncthreads();
}

} // namespace

__global__ void __launch_bounds__(WP_MAX_THREADS, WP_MIN_BLOCKS_PER_SM)
    whirlpool_mine_kernel(const uint64_t* __restrict__ midstate, uint64_t w8, uint64_t w9_base,
                          const uint64_t* __restrict__ target, uint32_t nonce_base,
                          volatile uint32_t* nonce_out, volatile uint32_t* found)
{
    extern __shared__ uint64_t sT0[];
    load_T0(sT0);

    const uint32_t gid = blockIdx.x * blockDim.x + threadIdx.x;
    const uint32_t stride = gridDim.x * blockDim.x;
    uint32_t nonce = nonce_base + gid;

    // midstate, w8 and w9_base reach the search through d_job, made from them.
    (void)midstate;
    (void)w8;
    (void)w9_base;
    const uint64_t t3 = __ldg(target + 3);

#pragma unroll 1
    for (int k = 0; k < WP_NONCES_PER_THREAD; ++k) {
        if (*found) return;
        if (wp_try_nonce_fast(sT0, d_job, nonce, t3, target)) {
            // Several threads may hit in one launch; the first swap reports.
            if (atomicCAS_system(const_cast<unsigned*>(found), 0u, 1u) == 0u) *nonce_out = nonce;
            return;
        }
        nonce += stride;
    }
}

__global__ void whirlpool_debug_kernel(const uint64_t* midstate, uint64_t w8, uint64_t w9,
                                       uint64_t* out)
{
    extern __shared__ uint64_t sT0[];
    load_T0(sT0);
    uint64_t ms[8];
    for (int i = 0; i < 8; ++i) ms[i] = midstate[i];
    uint64_t D[8];
    wp_round_block2(sT0, d_RC, ms, D, w8, w9, WP_PAD_WORD2, WP_PAD_WORD7);
    wp_fold(D, out);
}

int cuda_device_count(void)
{
    int count = 0;
    cudaGetDeviceCount(&count);
    return count;
}

void cuda_device_info(int device, char* name, size_t name_size, int* sm_count,
                      uint64_t* total_mem)
{
    cudaDeviceProp prop{};
    if (cudaGetDeviceProperties(&prop, device) != cudaSuccess) {
        if (name_size > 0) name[0] = '\0';
        *sm_count = 0;
        *total_mem = 0;
        return;
    }
    std::snprintf(name, name_size, "%s", prop.name);
    *sm_count = prop.multiProcessorCount;
    *total_mem = prop.totalGlobalMem;
}

int cuda_whirlpool_init(const uint64_t* t0, const uint64_t* rc)
{
    std::memcpy(h_T0, t0, sizeof h_T0);
    std::memcpy(h_RC, rc, sizeof h_RC);
    if (cudaMemcpyToSymbol(d_T0, t0, sizeof d_T0, 0, cudaMemcpyHostToDevice) != cudaSuccess)
        return -1;
    if (cudaMemcpyToSymbol(d_RC, rc, sizeof d_RC, 0, cudaMemcpyHostToDevice) != cudaSuccess)
        return -1;
    return 0;
}

CudaMiner* cuda_miner_create(int device, int blocks, int threads)
{
    cudaSetDevice(device);
    CudaMiner* m = new CudaMiner{};
    m->device = device;
    m->blocks = blocks;
    m->threads = threads;
    cudaMalloc(reinterpret_cast<void**>(&m->d_midstate), 8 * sizeof(uint64_t));
    cudaMalloc(reinterpret_cast<void**>(&m->d_target), 4 * sizeof(uint64_t));
    cudaMalloc(reinterpret_cast<void**>(&m->d_nonce), sizeof(uint32_t));
    cudaMalloc(reinterpret_cast<void**>(&m->d_found), sizeof(uint32_t));
    return m;
}

const char* cuda_miner_error(const CudaMiner*)
{
    return "";
}

void cuda_miner_destroy(CudaMiner* m)
{
    if (!m) return;
    cudaSetDevice(m->device);
    cudaFree(m->d_midstate);
    cudaFree(m->d_target);
    cudaFree(m->d_nonce);
    cudaFree(m->d_found);
    delete m;
}

void cuda_miner_set_work(CudaMiner* m, const uint64_t midstate[8], const uint64_t target[4])
{
    cudaSetDevice(m->device);
    cudaMemcpy(m->d_midstate, midstate, 8 * sizeof(uint64_t), cudaMemcpyHostToDevice);
    std::memcpy(m->midstate, midstate, sizeof m->midstate);
    m->job_uploaded = false;
    cudaMemcpy(m->d_target, target, 4 * sizeof(uint64_t), cudaMemcpyHostToDevice);
    const uint32_t zero = 0;
    cudaMemcpy(m->d_found, &zero, sizeof zero, cudaMemcpyHostToDevice);
}

int cuda_miner_scan(CudaMiner* m, uint64_t w8, uint64_t w9_base, uint32_t nonce_base,
                    uint32_t* nonce_out, uint32_t* hashes_out)
{
    cudaSetDevice(m->device);
    const uint32_t zero = 0;
    cudaMemcpy(m->d_found, &zero, sizeof zero, cudaMemcpyHostToDevice);

    // d_job is per device and shared by handles: remade when the work changes.
    static const CudaMiner* job_owner = nullptr;
    if (!m->job_uploaded || job_owner != m || m->job_w8 != w8 || m->job_w9_base != w9_base) {
        WpJob job;
        wp_prepare_job(h_T0, h_RC, m->midstate, w8, w9_base, job);
        cudaMemcpyToSymbol(d_job, &job, sizeof job, 0, cudaMemcpyHostToDevice);
        m->job_uploaded = true;
        m->job_w8 = w8;
        m->job_w9_base = w9_base;
        job_owner = m;
    }

    cudaGetLastError(); // so that the check below sees this launch alone
    whirlpool_mine_kernel<<<m->blocks, m->threads, WP_TABLE_BYTES>>>(
        m->d_midstate, w8, w9_base, m->d_target, nonce_base, m->d_nonce, m->d_found);
    // A launch the runtime refuses outright never reaches the synchronisation.
    cudaError_t err = cudaGetLastError();
    if (err == cudaSuccess) err = cudaDeviceSynchronize();
    if (err != cudaSuccess) {
        report_kernel_error_once(cudaGetErrorString(err));
        *hashes_out = 0;
        return 0;
    }
    *hashes_out = launch_hashes(m->blocks, m->threads);

    uint32_t found = 0;
    cudaMemcpy(&found, m->d_found, sizeof found, cudaMemcpyDeviceToHost);
    if (found == 0) return 0;
    cudaMemcpy(nonce_out, m->d_nonce, sizeof *nonce_out, cudaMemcpyDeviceToHost);
    return 1;
}

void cuda_debug_hash(int device, const uint64_t midstate[8], uint64_t w8, uint64_t w9,
                     uint64_t out[4])
{
    cudaSetDevice(device);
    uint64_t* d_mid = nullptr;
    uint64_t* d_out = nullptr;
    cudaMalloc(reinterpret_cast<void**>(&d_mid), 8 * sizeof(uint64_t));
    cudaMalloc(reinterpret_cast<void**>(&d_out), 4 * sizeof(uint64_t));
    cudaMemcpy(d_mid, midstate, 8 * sizeof(uint64_t), cudaMemcpyHostToDevice);
    whirlpool_debug_kernel<<<1, 1, WP_TABLE_BYTES>>>(d_mid, w8, w9, d_out);
    cudaDeviceSynchronize();
    cudaMemcpy(out, d_out, 4 * sizeof(uint64_t), cudaMemcpyDeviceToHost);
    cudaFree(d_mid);
    cudaFree(d_out);
}
