// Device sensors through the driver's management library, loaded at run
// time: the library ships with the NVIDIA driver, not with the toolkit, so
// nothing links against it and a machine without it simply has no readings.
#pragma once

#include "whirlpool_cuda.h"

// Reads one device, named by its PCI bus id as the CUDA runtime gives it
// ("0000:3B:00.0"), through the library the loader finds under the given
// name. Returns false when the library, its functions or the device are not
// there; the first successful load is kept for the life of the process.
bool nvml_read_health(const char* library, const char* pci_bus_id, WpDeviceHealth& out);

// The driver's library as the NVIDIA driver installs it.
constexpr const char* NVML_LIBRARY = "libnvidia-ml.so.1";
