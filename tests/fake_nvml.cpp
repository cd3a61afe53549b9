// A stand-in for the driver's management library, loaded by the health
// tests in its place: a busy device and an idle one on known PCI bus ids
// with fixed sensors, and an SM clock only (other clock kinds are "not
// supported"). The idle one draws 0 mW, a reading like any other. The busy
// one is at 61 C, or at the temperature written in the file that
// MARLVANE_TEST_TEMPERATURE_FILE names, read at every call, so that a test
// can heat it and cool it down.
#include <cstdio>
#include <cstdlib>

extern "C" {

struct nvmlDevice_st;

int nvmlInit_v2() { return 0; }

namespace {
nvmlDevice_st* const BUSY = reinterpret_cast<nvmlDevice_st*>(0x1);
nvmlDevice_st* const IDLE = reinterpret_cast<nvmlDevice_st*>(0x2);

bool same(const char* a, const char* b)
{
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
} // namespace

int nvmlDeviceGetHandleByPciBusId_v2(const char* bus_id, nvmlDevice_st** device)
{
    if (same(bus_id, "0000:3B:00.0"))
        *device = BUSY;
    else if (same(bus_id, "0000:5E:00.0"))
        *device = IDLE;
    else
        return 2; // invalid argument
    return 0;
}

int nvmlDeviceGetTemperature(nvmlDevice_st* device, int sensor, unsigned* value)
{
    if (sensor != 0) return 3;
    unsigned busy = 61;
    if (const char* path = std::getenv("MARLVANE_TEST_TEMPERATURE_FILE")) {
        if (FILE* f = std::fopen(path, "r")) {
            if (std::fscanf(f, "%u", &busy) != 1) busy = 61;
            std::fclose(f);
        }
    }
    *value = device == BUSY ? busy : 0;
    return 0;
}

int nvmlDeviceGetPowerUsage(nvmlDevice_st* device, unsigned* milliwatts)
{
    *milliwatts = device == BUSY ? 285999 : 0;
    return 0;
}

int nvmlDeviceGetClockInfo(nvmlDevice_st* device, int kind, unsigned* mhz)
{
    if (kind != 1) return 3;
    *mhz = device == BUSY ? 1980 : 0;
    return 0;
}

} // extern "C"
