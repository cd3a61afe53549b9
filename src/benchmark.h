// The two activities that need no node: the device listing and the
// 30-second hash-rate benchmark.
#pragma once

void list_devices(int count);
// 0 after the results box; 1 when the device failed ("Error: ..." printed).
int run_benchmark(int device, int blocks, int threads);
