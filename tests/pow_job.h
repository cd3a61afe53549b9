// A random header as the engine's tests and the GPU check use it, and the
// host's proof-of-work value of it with a nonce: the reference the device
// is held to. Header-only, so the check program needs no test library.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <random>

#include "util.h"
#include "whirlpool_cuda.h"

struct Job {
    uint8_t header[80];
    uint64_t midstate[8];
    uint64_t w8;
    uint64_t w9_base;
};

// Words h0..h3 of a folded hash, as targets are held.
using PowValue = std::array<uint64_t, 4>;

inline Job random_job(std::mt19937_64& rng)
{
    Job j;
    for (uint8_t& b : j.header) b = static_cast<uint8_t>(rng());
    compute_midstate(j.header, j.midstate, &j.w8, &j.w9_base);
    return j;
}

inline PowValue host_value(const Job& job, uint32_t nonce)
{
    uint8_t header[80];
    std::memcpy(header, job.header, 80);
    write_le32(header + 76, nonce);
    uint8_t x[32];
    host_pow_hash(header, x);
    return {read_le64(x), read_le64(x + 8), read_le64(x + 16), read_le64(x + 24)};
}

// a < b as 256-bit numbers, h3 most significant.
inline bool less_256(const PowValue& a, const PowValue& b)
{
    for (int j = 3; j >= 0; --j) {
        if (a[j] != b[j]) return a[j] < b[j];
    }
    return false;
}

// The value one below v: a target nothing above v meets.
inline PowValue minus_one(PowValue v)
{
    for (int j = 0; j < 4 && v[j]-- == 0; ++j) {
    }
    return v;
}
