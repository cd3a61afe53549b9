// A device's find: the host's check of it, with the found-block box, and
// the block it makes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mining_work.h"

struct Find {
    // The header the nonce was found on, never changed once searched.
    std::shared_ptr<const MiningWork> work;
    uint32_t nonce = 0;
    int device = -1; // the device that found it, named only among several
};

// Whether a folded hash (h3..h0, little-endian words) meets a target
// (t3..t0); equal meets.
bool meets_target(const uint8_t hash[32], const uint64_t target[4]);
// Prints the found-block box and checks the find on the host: true when
// the hash meets the target.
bool check_find(const Find& f);
// The whole block as hexadecimal text, for submitblock.
std::string found_block_hex(const Find& f);
