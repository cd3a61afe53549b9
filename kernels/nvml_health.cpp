#include "nvml_health.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>

// The library's opaque device, under the library's own name, so that the
// calls below have exactly the types its functions are defined with.
struct nvmlDevice_st;

namespace {

// The few entry points used, as the library declares them: every call
// returns 0 on success.
using NvmlDevice = nvmlDevice_st*;
using InitFn = int (*)();
using HandleByBusIdFn = int (*)(const char*, NvmlDevice*);
using ReadFn = int (*)(NvmlDevice, unsigned*);
using ReadOfKindFn = int (*)(NvmlDevice, int, unsigned*);

constexpr int NVML_SUCCESS = 0;
constexpr int NVML_TEMPERATURE_GPU = 0;
constexpr int NVML_CLOCK_SM = 1;

struct Nvml {
    bool ready = false;
    HandleByBusIdFn handle_by_bus_id = nullptr;
    ReadOfKindFn temperature = nullptr;
    ReadFn power_mw = nullptr;
    ReadOfKindFn clock_mhz = nullptr;
};

template <typename Fn>
Fn symbol(void* library, const char* name)
{
    return reinterpret_cast<Fn>(dlsym(library, name));
}

// The library stays loaded and initialised until the process ends: the
// readings are taken every few seconds for as long as the miner runs.
Nvml load(const char* name)
{
    Nvml nvml;
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!library) return nvml;
    const InitFn init = symbol<InitFn>(library, "nvmlInit_v2");
    nvml.handle_by_bus_id = symbol<HandleByBusIdFn>(library, "nvmlDeviceGetHandleByPciBusId_v2");
    nvml.temperature = symbol<ReadOfKindFn>(library, "nvmlDeviceGetTemperature");
    nvml.power_mw = symbol<ReadFn>(library, "nvmlDeviceGetPowerUsage");
    nvml.clock_mhz = symbol<ReadOfKindFn>(library, "nvmlDeviceGetClockInfo");
    nvml.ready = init && nvml.handle_by_bus_id && init() == NVML_SUCCESS;
    if (!nvml.ready) dlclose(library);
    return nvml;
}

const Nvml& library_named(const char* name)
{
    static std::mutex mutex;
    static std::map<std::string, Nvml> loaded;
    const std::lock_guard<std::mutex> lock(mutex);
    auto it = loaded.find(name);
    if (it == loaded.end()) it = loaded.emplace(name, load(name)).first;
    return it->second;
}

} // namespace

bool nvml_read_health(const char* library, const char* pci_bus_id, WpDeviceHealth& out)
{
    const Nvml& nvml = library_named(library);
    NvmlDevice device = nullptr;
    if (!nvml.ready || nvml.handle_by_bus_id(pci_bus_id, &device) != NVML_SUCCESS) return false;
    // Each reading in two steps: the call, then its value.
    auto read = [&](auto fn, auto... kind) -> int32_t {
        unsigned value = 0;
        if (!fn) return -1;
        const int status = fn(device, kind..., &value);
        return status == NVML_SUCCESS && value <= INT32_MAX ? static_cast<int32_t>(value) : -1;
    };
    out.temperature_c = read(nvml.temperature, NVML_TEMPERATURE_GPU);
    const int32_t milliwatts = read(nvml.power_mw);
    out.power_w = milliwatts < 0 ? -1 : milliwatts / 1000;
    out.sm_clock_mhz = read(nvml.clock_mhz, NVML_CLOCK_SM);
    return true;
}
