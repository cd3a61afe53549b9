// The search kernel's resource figures on a device, for the GPU check; the
// miner itself never needs them. No CUDA type appears here.
#pragma once

#include <string>

#include "whirlpool_image.h"

struct WpKernelFigures {
    int registers;            // per thread
    int local_bytes;          // per thread: spills and stack
    int dynamic_shared_bytes; // per block, as launched
    int blocks_per_sm;        // resident blocks of `threads` threads, from the occupancy API
};

// "" with the figures of the layout's kernel filled in, or why they could not be had.
std::string wp_search_kernel_figures(int device, WpLayout layout, int threads,
                                     WpKernelFigures& out);
