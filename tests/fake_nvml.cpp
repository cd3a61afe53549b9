// A stand-in for the driver's management library, loaded by the health
// tests in its place: one device on a known PCI bus id with fixed sensors,
// and an SM clock only (other clock kinds are "not supported").
extern "C" {

struct nvmlDevice_st;

int nvmlInit_v2() { return 0; }

int nvmlDeviceGetHandleByPciBusId_v2(const char* bus_id, nvmlDevice_st** device)
{
    const char known[] = "0000:3B:00.0";
    for (unsigned i = 0; i < sizeof known; ++i) {
        if (bus_id[i] != known[i]) return 2; // invalid argument
    }
    *device = reinterpret_cast<nvmlDevice_st*>(0x1);
    return 0;
}

int nvmlDeviceGetTemperature(nvmlDevice_st*, int sensor, unsigned* value)
{
    if (sensor != 0) return 3;
    *value = 61;
    return 0;
}

int nvmlDeviceGetPowerUsage(nvmlDevice_st*, unsigned* milliwatts)
{
    *milliwatts = 285999;
    return 0;
}

int nvmlDeviceGetClockInfo(nvmlDevice_st*, int kind, unsigned* mhz)
{
    if (kind != 1) return 3;
    *mhz = 1980;
    return 0;
}

} // extern "C"
