// Host-side pieces that both device backends share.
#pragma once

#include <cstdint>

// Prints the three-line kernel error report, once per process.
void report_kernel_error_once(const char* error_text);

// Nonces one launch covers, in 32-bit arithmetic as the callers count them.
inline uint32_t launch_hashes(int blocks, int threads)
{
    return static_cast<uint32_t>(threads) * static_cast<uint32_t>(blocks) * 128u;
}
