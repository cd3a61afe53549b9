// Byte order, hex text, 256-bit targets, difficulty and hash-rate text.
// Every function here is total: any input gives a defined result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

void write_le32(uint8_t* p, uint32_t v);
uint32_t read_le32(const uint8_t* p);
void write_le64(uint8_t* p, uint64_t v);
uint64_t read_le64(const uint8_t* p);

// Targets are four 64-bit words, word 0 least significant.
void nbits_to_target(uint32_t bits, uint64_t out[4]);
void target_hex_to_u64(const std::string& hex, uint64_t out[4]);
double target_to_difficulty(const uint64_t target[4]);

// "%.2f %s" with the unit chosen before rounding: 999.999 gives "1000.00 H/s".
std::string hashrate_str(double rate);

std::string bytes_to_hex(const uint8_t* data, uint64_t len);
// Reads pairs of digits in either case; never fails (see util.cpp for the rules).
std::vector<uint8_t> hex_to_bytes(const std::string& hex);
