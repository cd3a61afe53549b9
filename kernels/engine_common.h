// Host-side pieces that both device backends share.
#pragma once

#include <cstdint>
#include <string>

// Prints the three-line kernel error report, once per process.
void report_kernel_error_once(const char* error_text);
// Why a grid of blocks x threads cannot be launched as one search, or ""
// when it can: the 32-bit nonces of a launch must not reach 2^32, or some
// would be tried twice (and exactly 2^32 would make the stride 0). Grids the
// runtime refuses anyway (no blocks, too many threads) are left to it.
std::string launch_size_error(int blocks, int threads);
