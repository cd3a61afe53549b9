// CUDA backend of the engine: the search and debug kernels and the device
// miner. Every launch, allocation and copy of the program lives here.
//
// Device state is per handle or per device, never per process: the job and
// the target travel with each launch as a kernel parameter, each handle owns
// its result buffer, and the tables are uploaded to the constant memory of
// each device that cuda_whirlpool_init is called on. Handles on different
// devices, or driven from different host threads, do not interfere.
#include "whirlpool_cuda.h"

#include <cuda_runtime.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engine_common.h"
#include "search_kernel_figures.h"
#include "whirlpool_image.h"

__constant__ uint64_t d_T0[256];
__constant__ uint64_t d_RC[10];

// What a launch searches for: the nonce-independent part of the job and the
// target. Passed by value with every launch.
struct WpSearch {
    WpJob job;
    uint64_t target[4];
};

// The found flag and the winning nonce, reset together and read together.
struct WpResult {
    uint32_t found;
    uint32_t nonce;
};

struct CudaMiner {
    WpResult* d_result;
    int device;
    int blocks;
    int threads;
    WpLayout layout;
    uint64_t midstate[8];
    WpSearch search;
    // The job in search was made for these tail words.
    bool job_ready;
    uint64_t job_w8;
    uint64_t job_w9_base;
    std::string error;
    // Set by cuda_miner_interrupt from another thread. A GPU launch lasts
    // milliseconds and is left to finish; the next one does not start.
    std::atomic<bool> interrupted{false};
    int failed_launches = 0; // in a row
};

namespace {

// The tables as uploaded to each device, so that the job constants of a
// handle are made from the very tables its device holds.
struct DeviceTables {
    bool uploaded = false;
    uint64_t t0[256];
    uint64_t rc[10];
};
std::mutex g_tables_mutex;
std::vector<DeviceTables> g_tables;

std::string cuda_failure(const char* what, cudaError_t err)
{
    std::string text = std::string(what) + " failed: " + cudaGetErrorString(err);
    if (err == cudaErrorNoKernelImageForDevice || err == cudaErrorInvalidDeviceFunction)
        text += " (rebuild with -DCMAKE_CUDA_ARCHITECTURES for this GPU)";
    return text;
}

// A fault that the context keeps (illegal address, device lost, a kernel
// killed by the watchdog) comes back from every later call; a refused
// launch does not, once read.
bool error_is_sticky()
{
    cudaGetLastError();
    return cudaDeviceSynchronize() != cudaSuccess;
}

// The handle cannot go on: every later scan returns -1 at once.
int stop(CudaMiner* m, std::string why, uint32_t* hashes_out)
{
    m->error = std::move(why);
    *hashes_out = 0;
    return -1;
}

__device__ __forceinline__ void load_T0(uint64_t* sT0)
{
    for (unsigned i = threadIdx.x; i < 256; i += blockDim.x) sT0[i] = d_T0[i];
    __syncthreads();
}

// Each thread fills whole entries of the image; wp_fill_image_entry orders
// its stores so that neighbouring threads write distinct bank pairs.
template <WpLayout L>
__device__ __forceinline__ void load_image(uint64_t* image)
{
    for (unsigned e = threadIdx.x; e < 256; e += blockDim.x)
        wp_fill_image_entry<L>(image, e, d_T0[e]);
    __syncthreads();
}

} // namespace

// Built for both layouts on every architecture; each handle launches the one
// its device holds more warps of.
template <WpLayout L>
__global__ void __launch_bounds__(WP_MAX_THREADS, WP_MIN_BLOCKS_PER_SM)
    whirlpool_mine_kernel(const __grid_constant__ WpSearch search, uint32_t nonce_base,
                          WpResult* result)
{
    extern __shared__ uint64_t image[];
    load_image<L>(image);
    const WpLaneTables<L> tables{image, wp_lane_offset(threadIdx.x)};

    const uint32_t gid = blockIdx.x * blockDim.x + threadIdx.x;
    const uint32_t stride = gridDim.x * blockDim.x;
    uint32_t nonce = nonce_base + gid;
    const uint64_t t3 = search.target[3];
    volatile uint32_t* found = &result->found;

#pragma unroll 1
    for (int k = 0; k < WP_NONCES_PER_THREAD; ++k) {
        if (*found) return;
        if (wp_try_nonce_fast(tables, search.job, nonce, t3, search.target)) {
            // Several threads may hit in one launch; the first swap reports.
            if (atomicCAS_system(&result->found, 0u, 1u) == 0u)
                *static_cast<volatile uint32_t*>(&result->nonce) = nonce;
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

namespace {

using SearchKernel = void (*)(WpSearch, uint32_t, WpResult*);

SearchKernel search_kernel(WpLayout layout)
{
    return layout == WpLayout::two_tables ? whirlpool_mine_kernel<WpLayout::two_tables>
                                          : whirlpool_mine_kernel<WpLayout::one_table>;
}

// The 64 KB image is over the 48 KB a block gets without asking, and three
// blocks need the largest shared-memory share of the multiprocessor. Set
// per device, on the current one.
cudaError_t prepare_search_kernel(WpLayout layout)
{
    cudaError_t err = cudaFuncSetAttribute(search_kernel(layout),
                                           cudaFuncAttributeMaxDynamicSharedMemorySize,
                                           wp_image_bytes(layout));
    if (err != cudaSuccess) return err;
    return cudaFuncSetAttribute(search_kernel(layout),
                                cudaFuncAttributePreferredSharedMemoryCarveout,
                                cudaSharedmemCarveoutMaxShared);
}

// Resident blocks of `threads` threads with the layout's image, on the
// current device.
cudaError_t resident_blocks(WpLayout layout, int threads, int& blocks)
{
    cudaError_t err = prepare_search_kernel(layout);
    if (err != cudaSuccess) return err;
    return cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, search_kernel(layout), threads,
                                                         wp_image_bytes(layout));
}

// The layout the current device runs, with its resident blocks. A layout
// the device refuses (a 64 KB block over its limit) counts as 0 blocks.
cudaError_t choose_layout(int threads, WpLayout& layout, int& blocks)
{
    int two = 0, one = 0;
    const cudaError_t two_err = resident_blocks(WpLayout::two_tables, threads, two);
    const cudaError_t one_err = resident_blocks(WpLayout::one_table, threads, one);
    cudaGetLastError(); // a refused attribute is not this handle's fault
    if (two_err != cudaSuccess && one_err != cudaSuccess) return one_err;
    if (two_err != cudaSuccess) two = 0;
    if (one_err != cudaSuccess) one = 0;
    layout = pick_layout(two, one, std::getenv("MARLVANE_LAYOUT"));
    blocks = layout == WpLayout::two_tables ? two : one;
    return cudaSuccess;
}

} // namespace

std::string wp_search_kernel_figures(int device, WpLayout layout, int threads,
                                     WpKernelFigures& out)
{
    cudaError_t err = cudaSetDevice(device);
    if (err != cudaSuccess) return cuda_failure("cudaSetDevice", err);
    int blocks = 0;
    err = resident_blocks(layout, threads, blocks);
    if (err != cudaSuccess) return cuda_failure("the occupancy query", err);
    cudaFuncAttributes attributes{};
    err = cudaFuncGetAttributes(&attributes, search_kernel(layout));
    if (err != cudaSuccess) return cuda_failure("cudaFuncGetAttributes", err);
    out.registers = attributes.numRegs;
    out.local_bytes = static_cast<int>(attributes.localSizeBytes);
    out.dynamic_shared_bytes = wp_image_bytes(layout);
    out.blocks_per_sm = blocks;
    return "";
}

int cuda_search_layout(int device, int threads, int* resident)
{
    WpLayout layout = WpLayout::two_tables;
    int blocks = 0;
    if (cudaSetDevice(device) != cudaSuccess || choose_layout(threads, layout, blocks) != cudaSuccess)
        blocks = 0;
    *resident = blocks;
    return static_cast<int>(layout);
}

int cuda_whirlpool_init(const uint64_t* t0, const uint64_t* rc)
{
    int device = 0;
    if (cudaGetDevice(&device) != cudaSuccess) return -1;
    if (cudaMemcpyToSymbol(d_T0, t0, sizeof d_T0, 0, cudaMemcpyHostToDevice) != cudaSuccess)
        return -1;
    if (cudaMemcpyToSymbol(d_RC, rc, sizeof d_RC, 0, cudaMemcpyHostToDevice) != cudaSuccess)
        return -1;
    const std::lock_guard<std::mutex> lock(g_tables_mutex);
    if (g_tables.size() <= static_cast<size_t>(device)) g_tables.resize(device + 1);
    DeviceTables& tables = g_tables[device];
    std::memcpy(tables.t0, t0, sizeof tables.t0);
    std::memcpy(tables.rc, rc, sizeof tables.rc);
    tables.uploaded = true;
    return 0;
}

CudaMiner* cuda_miner_create(int device, int blocks, int threads)
{
    CudaMiner* m = new CudaMiner{};
    m->device = device;
    m->blocks = blocks;
    m->threads = threads;
    m->error = launch_size_error(blocks, threads);
    if (!m->error.empty()) return m;

    cudaError_t err = cudaSetDevice(device);
    if (err != cudaSuccess) {
        m->error = cuda_failure(("cudaSetDevice(" + std::to_string(device) + ")").c_str(), err);
        return m;
    }
    int resident = 0;
    err = choose_layout(threads, m->layout, resident);
    if (err != cudaSuccess) {
        m->error = cuda_failure("the occupancy query", err);
        return m;
    }
    // Every launch would fail: said now, not as a device that never hashes.
    if (resident == 0) {
        m->error = "no block of " + std::to_string(threads) + " threads with the " +
                   std::to_string(wp_image_bytes(m->layout) / 1024) +
                   " KB table image fits a multiprocessor of device " + std::to_string(device) +
                   " (try fewer threads with -T, or unset MARLVANE_LAYOUT)";
        return m;
    }
    err = cudaMalloc(reinterpret_cast<void**>(&m->d_result), sizeof(WpResult));
    if (err != cudaSuccess) {
        m->d_result = nullptr;
        m->error = cuda_failure("cudaMalloc", err);
    }
    return m;
}

const char* cuda_miner_error(const CudaMiner* m)
{
    return m->error.c_str();
}

void cuda_miner_destroy(CudaMiner* m)
{
    if (!m) return;
    if (m->d_result && cudaSetDevice(m->device) == cudaSuccess) cudaFree(m->d_result);
    delete m;
}

void cuda_miner_set_work(CudaMiner* m, const uint64_t midstate[8], const uint64_t target[4])
{
    std::memcpy(m->midstate, midstate, sizeof m->midstate);
    std::memcpy(m->search.target, target, sizeof m->search.target);
    m->job_ready = false;
}

int cuda_miner_scan(CudaMiner* m, uint64_t w8, uint64_t w9_base, uint32_t nonce_base,
                    uint32_t* nonce_out, uint32_t* hashes_out)
{
    *hashes_out = 0;
    if (!m->error.empty()) return -1;
    if (m->interrupted.exchange(false)) return 0;
    cudaError_t err = cudaSetDevice(m->device);
    if (err != cudaSuccess) return stop(m, cuda_failure("cudaSetDevice", err), hashes_out);

    if (!m->job_ready || m->job_w8 != w8 || m->job_w9_base != w9_base) {
        DeviceTables tables;
        {
            const std::lock_guard<std::mutex> lock(g_tables_mutex);
            if (static_cast<size_t>(m->device) < g_tables.size()) tables = g_tables[m->device];
        }
        if (!tables.uploaded) {
            return stop(m, "the tables were not uploaded to device " + std::to_string(m->device),
                        hashes_out);
        }
        wp_prepare_job(tables.t0, tables.rc, m->midstate, w8, w9_base, m->search.job);
        m->job_ready = true;
        m->job_w8 = w8;
        m->job_w9_base = w9_base;
    }

    // A flag left set would end the launch at once and report the old nonce.
    err = cudaMemset(m->d_result, 0, sizeof(WpResult));
    if (err != cudaSuccess)
        return stop(m, cuda_failure("resetting the found flag", err), hashes_out);

    cudaGetLastError(); // so that the check below sees this launch alone
    search_kernel(m->layout)<<<m->blocks, m->threads, wp_image_bytes(m->layout)>>>(
        m->search, nonce_base, m->d_result);
    // A launch the runtime refuses outright never reaches the synchronisation.
    err = cudaGetLastError();
    if (err == cudaSuccess) err = cudaDeviceSynchronize();
    if (err != cudaSuccess) {
        if (error_is_sticky()) return stop(m, cudaGetErrorString(err), hashes_out);
        std::string why = failed_launch(m->failed_launches, cudaGetErrorString(err));
        return why.empty() ? 0 : stop(m, std::move(why), hashes_out);
    }
    m->failed_launches = 0;

    WpResult result{0, 0};
    err = cudaMemcpy(&result, m->d_result, sizeof result, cudaMemcpyDeviceToHost);
    if (err != cudaSuccess) return stop(m, cuda_failure("reading the result", err), hashes_out);
    if (result.found == 0) {
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

void cuda_debug_hash(int device, const uint64_t midstate[8], uint64_t w8, uint64_t w9,
                     uint64_t out[4])
{
    // A failure anywhere leaves zeros, which no header's value equals by chance.
    std::memset(out, 0, 4 * sizeof(uint64_t));
    if (cudaSetDevice(device) != cudaSuccess) return;
    uint64_t* d_mid = nullptr;
    uint64_t* d_out = nullptr;
    uint64_t result[4];
    if (cudaMalloc(reinterpret_cast<void**>(&d_mid), 8 * sizeof(uint64_t)) == cudaSuccess &&
        cudaMalloc(reinterpret_cast<void**>(&d_out), 4 * sizeof(uint64_t)) == cudaSuccess &&
        cudaMemcpy(d_mid, midstate, 8 * sizeof(uint64_t), cudaMemcpyHostToDevice) == cudaSuccess) {
        whirlpool_debug_kernel<<<1, 1, WP_TABLE_BYTES>>>(d_mid, w8, w9, d_out);
        if (cudaGetLastError() == cudaSuccess && cudaDeviceSynchronize() == cudaSuccess &&
            cudaMemcpy(result, d_out, sizeof result, cudaMemcpyDeviceToHost) == cudaSuccess)
            std::memcpy(out, result, sizeof result);
    }
    cudaFree(d_mid);
    cudaFree(d_out);
}
