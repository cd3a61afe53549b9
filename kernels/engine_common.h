// Host-side pieces that both device backends share.
#pragma once

#include <cstdint>

// Prints the three-line kernel error report, once per process.
void report_kernel_error_once(const char* error_text);
