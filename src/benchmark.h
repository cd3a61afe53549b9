// The two activities that need no node: the device listing and the
// 30-second hash-rate benchmark.
#pragma once

#include <cstdint>
#include <vector>

#include "shell.h"

void list_devices(int count);
// All the devices at once for the same 30 seconds. 0 after the results box;
// 1 when every device failed ("Error: ..." printed for each).
int run_benchmark(const std::vector<DeviceSetup>& devices, int32_t threads);
