// SHA-256 and the CompactSize integers of the transaction format: the
// lowest layer of block construction, with nothing above it.
#pragma once

#include <cstdint>
#include <vector>

extern const uint32_t sha256_k[64];

void sha256_transform(uint32_t state[8], const uint8_t block[64]);
void sha256(const uint8_t* data, uint64_t len, uint8_t out[32]);
void double_sha256(const uint8_t* data, uint64_t len, uint8_t out[32]);
void push_varint(std::vector<uint8_t>& out, uint64_t value);
