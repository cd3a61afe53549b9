// Host-side pieces that both device backends share.
#pragma once

#include <cstdint>
#include <string>

#include "whirlpool_core.h"

// Prints the three-line kernel error report, once per process.
void report_kernel_error_once(const char* error_text);
// Why a grid of blocks x threads cannot be launched as one search, or ""
// when it can: the 32-bit nonces of a launch must not reach 2^32, or some
// would be tried twice (and exactly 2^32 would make the stride 0). Grids the
// runtime refuses anyway (no blocks, too many threads) are left to it.
std::string launch_size_error(int blocks, int threads);

// The image layout a device runs, from the blocks of the search kernel that
// a multiprocessor holds with each: the one that keeps more warps resident,
// the 64 KB one on a tie (it needs fewer instructions a nonce). forced, the
// MARLVANE_LAYOUT setting ("64" or "32"; anything else is no setting),
// overrides the rule, so that both can be timed on one card.
WpLayout pick_layout(int blocks_two_tables, int blocks_one_table, const char* forced);