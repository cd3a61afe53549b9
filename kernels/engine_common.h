// Host-side pieces that both device backends share.
#pragma once

#include <cstdint>
#include <string>

#include "whirlpool_image.h"

// Prints the three-line kernel error report, once per process.
void report_kernel_error_once(const char* error_text);
// A launch that failed while the handle could go on. Launches that fail
// this many times in a row mean a device that can never search: the
// handle then fails for good (its worker reports the device failed) rather
// than spin without hashing.
constexpr int WP_FAILED_LAUNCH_LIMIT = 10;
// Reports the error once and counts the failure in in_a_row (a good launch
// sets it back to 0). Returns "" while the handle may go on, else why not.
std::string failed_launch(int& in_a_row, const char* error_text);
// Why a grid of blocks x threads cannot be launched as one search, or ""
// when it can: the 32-bit nonces of a launch must not reach 2^32, or some
// would be tried twice (and exactly 2^32 would make the stride 0). Grids the
// runtime refuses anyway (no blocks, too many threads) are left to it.
std::string launch_size_error(int blocks, int threads);

// The image layout a device runs, from the blocks of the search kernel that
// a multiprocessor holds with each: the 64 KB one wherever one block or more
// fits (it needs far fewer instructions a nonce), else the 32 KB one. forced,
// the MARLVANE_LAYOUT setting ("64" or "32"; anything else is no setting),
// overrides the rule, so that both can be timed on one card.
WpLayout pick_layout(int blocks_two_tables, int blocks_one_table, const char* forced);