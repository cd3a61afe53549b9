// The CUDA engine's view of the machine, for the GPU listing, the banner,
// --version and the sensors: the devices the runtime sees, their
// properties, and their readings through the management library. No
// device code: plain runtime calls.
#include <cuda_runtime.h>

#include <cstdio>

#include "nvml_health.h"
#include "whirlpool_cuda.h"

const char* cuda_engine_architectures(void) { return MARLVANE_CUDA_ARCHS; }

int cuda_device_count(void)
{
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess) return 0;
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

int cuda_device_health(int device, WpDeviceHealth* out)
{
    // The management library numbers devices its own way; the PCI bus id
    // names the same card to both, whatever CUDA_VISIBLE_DEVICES says.
    char bus_id[32];
    if (cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, device) != cudaSuccess) return 0;
    return nvml_read_health(NVML_LIBRARY, bus_id, *out) ? 1 : 0;
}
