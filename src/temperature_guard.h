// The temperature limit: a device at the limit stops launching, and goes
// on once it has cooled by the hysteresis.
#pragma once

#include <cstdint>
#include <vector>

struct Device;

// Said once at the start: a limit that cannot be applied is no limit.
void report_unwatched_devices(int32_t limit, const std::vector<Device>& devices);
// Reads each device's temperature and holds or releases it, with a line.
void apply_temperature_limit(int32_t limit, std::vector<Device>& devices);
