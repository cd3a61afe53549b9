// The per-nonce Whirlpool code, shared by the CUDA kernel, the CPU backend
// and the host reference. The reference compression takes WP_T0 as a
// pointer; the search takes a table set (below): the lane-replicated image
// in shared memory on the GPU, two flat tables on the CPU. Words follow the
// little-endian convention: byte j of a word is bits 8j..8j+7, and table k
// of the eight-table formulation is table 0 rotated left by 8k bits.
#pragma once

#include <cstdint>

#if defined(__CUDACC__)
#define WP_FN __host__ __device__ __forceinline__
#define WP_RARE_FN __host__ __device__ __noinline__
#else
#define WP_FN inline
#define WP_RARE_FN inline
#endif
#if defined(__CUDA_ARCH__)
#define WP_UNROLL _Pragma("unroll")
#elif defined(__CUDACC__)
#define WP_UNROLL // the host pass of a .cu file never runs these on the hot path
#else
#define WP_UNROLL _Pragma("GCC unroll 16")
#endif
// The search's middle rounds stay a loop on the GPU: fully unrolled they
// need a few more registers than three blocks per multiprocessor leave (a
// spill on sm_100), and the loop is a quarter of the code. bench/kernel-stats.sh
// unrolls them (WP_UNROLL_ALL_ROUNDS) to count the loads of one nonce in the PTX.
#if defined(__CUDA_ARCH__) && !defined(WP_UNROLL_ALL_ROUNDS)
#define WP_ROUND_LOOP _Pragma("unroll 1")
#else
#define WP_ROUND_LOOP WP_UNROLL
#endif

constexpr int WP_ROUNDS = 10;
constexpr int WP_TABLE_BYTES = 256 * 8;
// Padding of the 80-byte header's second block: 0x80 after the message and
// the bit length 640 = 0x280 big-endian in the last bytes.
constexpr uint64_t WP_PAD_WORD2 = 0x0000000000000080ull;
constexpr uint64_t WP_PAD_WORD7 = 0x8002000000000000ull;

WP_FN uint64_t ROTL64(uint64_t v, int n)
{
    return n == 0 ? v : (v << n) | (v >> (64 - n));
}

WP_FN uint32_t wp_byte(uint64_t v, int j)
{
    return static_cast<uint32_t>(v >> (8 * j)) & 0xFFu;
}

// One output word of a round before key addition; a0 gives byte 0, a7 byte 7.
WP_FN uint64_t round_elt(const uint64_t* T, uint64_t a0, uint64_t a1, uint64_t a2, uint64_t a3,
                         uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7)
{
    return T[wp_byte(a0, 0)] ^ ROTL64(T[wp_byte(a1, 1)], 8) ^ ROTL64(T[wp_byte(a2, 2)], 16) ^
           ROTL64(T[wp_byte(a3, 3)], 24) ^ ROTL64(T[wp_byte(a4, 4)], 32) ^
           ROTL64(T[wp_byte(a5, 5)], 40) ^ ROTL64(T[wp_byte(a6, 6)], 48) ^
           ROTL64(T[wp_byte(a7, 7)], 56);
}

// out = rho[key](a); output word i takes byte j from a[i - j mod 8].
WP_FN void wp_rho(const uint64_t* T, const uint64_t a[8], const uint64_t key[8], uint64_t out[8])
{
    WP_UNROLL
    for (int i = 0; i < 8; ++i) {
        out[i] = key[i] ^ round_elt(T, a[i], a[(i + 7) & 7], a[(i + 6) & 7], a[(i + 5) & 7],
                                    a[(i + 4) & 7], a[(i + 3) & 7], a[(i + 2) & 7], a[(i + 1) & 7]);
    }
}

// The ten rounds of the block cipher: key schedule K and state S in step.
WP_FN void wp_cipher(const uint64_t* T, const uint64_t* RC, uint64_t K[8], uint64_t S[8])
{
    WP_UNROLL
    for (int r = 0; r < WP_ROUNDS; ++r) {
        const uint64_t c[8] = {RC[r], 0, 0, 0, 0, 0, 0, 0};
        uint64_t t[8];
        wp_rho(T, K, c, t);
        WP_UNROLL
        for (int i = 0; i < 8; ++i) K[i] = t[i];
        wp_rho(T, S, K, t);
        WP_UNROLL
        for (int i = 0; i < 8; ++i) S[i] = t[i];
    }
}

// One Miyaguchi-Preneel compression of block m into chaining value H.
WP_FN void wp_compress(const uint64_t* T, const uint64_t* RC, uint64_t H[8], const uint64_t m[8])
{
    uint64_t K[8], S[8];
    WP_UNROLL
    for (int i = 0; i < 8; ++i) {
        K[i] = H[i];
        S[i] = H[i] ^ m[i];
    }
    wp_cipher(T, RC, K, S);
    WP_UNROLL
    for (int i = 0; i < 8; ++i) H[i] ^= S[i] ^ m[i];
}

// Digest of a header from its midstate: the second block has only words
// 0, 1, 2 and 7 non-zero.
WP_FN void wp_round_block2(const uint64_t* T, const uint64_t* RC, const uint64_t midstate[8],
                           uint64_t out[8], uint64_t m0, uint64_t m1, uint64_t m2, uint64_t m7)
{
    const uint64_t m[8] = {m0, m1, m2, 0, 0, 0, 0, m7};
    WP_UNROLL
    for (int i = 0; i < 8; ++i) out[i] = midstate[i];
    wp_compress(T, RC, out, m);
}

// Folded value h_j = D[j] ^ D[j+4] against the target, most significant word
// first; the lower words are folded and read only on a tie. t3 is passed in
// because the kernel keeps it in a register.
WP_FN bool wp_meets_target(const uint64_t D[8], uint64_t t3, const uint64_t* target)
{
    const uint64_t h3 = D[3] ^ D[7];
    if (h3 != t3) return h3 < t3;
    const uint64_t h2 = D[2] ^ D[6];
    const uint64_t t2 = target[2];
    if (h2 != t2) return h2 < t2;
    const uint64_t h1 = D[1] ^ D[5];
    const uint64_t t1 = target[1];
    if (h1 != t1) return h1 < t1;
    return (D[0] ^ D[4]) <= target[0];
}

// Everything one nonce costs: the second compression and the target test.
WP_FN bool wp_try_nonce(const uint64_t* T, const uint64_t* RC, const uint64_t midstate[8],
                        uint64_t w8, uint64_t w9_base, uint32_t nonce, uint64_t t3,
                        const uint64_t* target)
{
    uint64_t D[8];
    const uint64_t w9 = (static_cast<uint64_t>(nonce) << 32) | w9_base;
    wp_round_block2(T, RC, midstate, D, w8, w9, WP_PAD_WORD2, WP_PAD_WORD7);
    return wp_meets_target(D, t3, target);
}

// Everything about one job that does not depend on the nonce. The nonce is
// the upper half of word 1 of the second block, so in the first round it
// reaches only four lookups (byte j of state word 1 feeds output word j+1),
// and in the second round only output bytes from state words 0, 5, 6 and 7
// vary. The key schedule depends on the midstate alone.
struct WpJob {
    uint64_t round_key[WP_ROUNDS][8]; // K1..K10
    uint64_t s1[8];      // round 1: words 1..4 whole, words 0, 5, 6, 7 less their nonce lookup
    uint64_t s2[8];      // round 2: the key and the lookups from words 1..4
    uint64_t feed[8];    // midstate ^ block with nonce 0: the feed-forward
    uint32_t nonce_mask; // upper half of the first state's word 1 before the nonce
};

WP_FN uint64_t wp_lookup(const uint64_t* T, uint64_t word, int j)
{
    return ROTL64(T[wp_byte(word, j)], 8 * j);
}

// Round-2 output word i takes byte j from state word (i - j) mod 8.
WP_FN bool wp_varies_after_round1(int word)
{
    return word == 0 || word >= 5;
}

WP_FN void wp_prepare_job(const uint64_t* T, const uint64_t* RC, const uint64_t midstate[8],
                          uint64_t w8, uint64_t w9_base, WpJob& job)
{
    const uint64_t m[8] = {w8, w9_base, WP_PAD_WORD2, 0, 0, 0, 0, WP_PAD_WORD7};
    uint64_t K[8], S[8];
    for (int i = 0; i < 8; ++i) {
        K[i] = midstate[i];
        S[i] = midstate[i] ^ m[i];
        job.feed[i] = S[i];
    }
    for (int r = 0; r < WP_ROUNDS; ++r) {
        const uint64_t c[8] = {RC[r], 0, 0, 0, 0, 0, 0, 0};
        uint64_t t[8];
        wp_rho(T, K, c, t);
        for (int i = 0; i < 8; ++i) K[i] = job.round_key[r][i] = t[i];
    }
    job.nonce_mask = static_cast<uint32_t>(S[1] >> 32);
    for (int i = 0; i < 8; ++i) {
        job.s1[i] = job.round_key[0][i];
        for (int j = 0; j < 8; ++j) {
            const int src = (i - j) & 7;
            if (src != 1 || j < 4) job.s1[i] ^= wp_lookup(T, S[src], j);
        }
    }
    for (int i = 0; i < 8; ++i) {
        job.s2[i] = job.round_key[1][i];
        for (int j = 0; j < 8; ++j) {
            const int src = (i - j) & 7;
            if (!wp_varies_after_round1(src)) job.s2[i] ^= wp_lookup(T, job.s1[src], j);
        }
    }
}

// A table set provides entry(word, j), the entry that lookup j of a round
// word reads at byte j of word, and says whether it holds R8 = T0 rotated
// left by 8 beside T0. Rotations distribute over XOR and a rotation by 32 is
// a register swap on the GPU, so a round word XOR over j of ROTL(T0[b_j], 8j)
// shares its rotations between lookups:
//   with R8:    g0 ^ ROTL(g2, 32) ^ ROTL(g1 ^ ROTL(g3, 32), 16),
//               g_k = T0[b_2k] ^ R8[b_2k+1]  (lookup j reads R8 when j is odd);
//               one rotation by 16 a word;
//   T0 alone:   u0 ^ ROTL(u1, 8) ^ ROTL(u2, 16) ^ ROTL(u3, 24),
//               u_k = T0[b_k] ^ ROTL(T0[b_k+4], 32);  three rotations a word.

// The CPU's table set: T0 and R8 as two plain 2 KB arrays.
struct WpFlatTables {
    static constexpr bool with_r8 = true;
    uint64_t t[2][256];
    WP_FN uint64_t entry(uint64_t word, int j) const { return t[j & 1][wp_byte(word, j)]; }
};

WP_FN void wp_make_flat_tables(const uint64_t* T0, WpFlatTables& tables)
{
    for (int e = 0; e < 256; ++e) {
        tables.t[0][e] = T0[e];
        tables.t[1][e] = ROTL64(T0[e], 8);
    }
}

// ROTL(T0[byte j of word], 8j) from a table set.
template <class Tables>
WP_FN uint64_t wp_rotated_entry(const Tables& T, uint64_t word, int j)
{
    return ROTL64(T.entry(word, j), Tables::with_r8 ? 8 * (j & 6) : 8 * j);
}

// Output word i of a round before key addition, over the lookups j whose
// bit is set in used (all eight unless the caller knows some are fixed):
// byte j comes from a[(i - j) mod 8].
template <class Tables>
WP_FN uint64_t wp_round_word(const Tables& T, const uint64_t a[8], int i, unsigned used = 0xFFu)
{
    uint64_t g[4] = {0, 0, 0, 0};
    WP_UNROLL
    for (int j = 0; j < 8; ++j) {
        if (!(used >> j & 1u)) continue;
        const uint64_t e = T.entry(a[(i - j) & 7], j);
        if (Tables::with_r8)
            g[j >> 1] ^= e;
        else
            g[j & 3] ^= j < 4 ? e : ROTL64(e, 32);
    }
    if (Tables::with_r8) return g[0] ^ ROTL64(g[2], 32) ^ ROTL64(g[1] ^ ROTL64(g[3], 32), 16);
    return g[0] ^ ROTL64(g[1], 8) ^ ROTL64(g[2], 16) ^ ROTL64(g[3], 24);
}

template <class Tables>
WP_FN void wp_rho_tables(const Tables& T, const uint64_t a[8], const uint64_t key[8],
                         uint64_t out[8])
{
    WP_UNROLL
    for (int i = 0; i < 8; ++i) out[i] = key[i] ^ wp_round_word(T, a, i);
}

// A tie in the top word, about once in 2^64 nonces: the rest of the last
// round decides, folded word by folded word from h2 down, each made only
// when the words above it tie. Kept out of line so the search loop stays
// small. The state comes by value: an array would live in local memory on
// the GPU.
template <class Tables>
WP_RARE_FN bool wp_last_round_meets(const Tables T, const WpJob& job, uint64_t s0, uint64_t s1,
                                    uint64_t s2, uint64_t s3, uint64_t s4, uint64_t s5,
                                    uint64_t s6, uint64_t s7, uint32_t nonce,
                                    const uint64_t* target)
{
    const uint64_t state[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    const uint64_t* k = job.round_key[WP_ROUNDS - 1];
    WP_UNROLL
    for (int j = 2; j >= 0; --j) {
        uint64_t low = k[j] ^ job.feed[j] ^ wp_round_word(T, state, j);
        const uint64_t high = k[j + 4] ^ job.feed[j + 4] ^ wp_round_word(T, state, j + 4);
        if (j == 1) low ^= static_cast<uint64_t>(nonce) << 32; // the feed-forward's nonce
        const uint64_t h = low ^ high;
        if (h != target[j]) return h < target[j];
    }
    return true; // equal to the target, which meets it
}

// Lookups j of round 2 that depend on the nonce: those from words 0, 5, 6, 7.
WP_FN unsigned wp_round2_varying(int i)
{
    unsigned used = 0;
    WP_UNROLL
    for (int j = 0; j < 8; ++j) {
        if (wp_varies_after_round1((i - j) & 7)) used |= 1u << j;
    }
    return used;
}

// The folded value of one nonce meets the target: only h3 = D[3] ^ D[7] is
// computed unless it ties with t3, so the last round needs words 3 and 7.
template <class Tables>
WP_FN bool wp_try_nonce_fast(const Tables& T, const WpJob& job, uint32_t nonce, uint64_t t3,
                             const uint64_t* target)
{
    uint64_t a[8], b[8];
    // Round 1: the nonce is bytes 4..7 of state word 1, which feed words 5, 6, 7, 0.
    const uint64_t x = static_cast<uint64_t>(job.nonce_mask ^ nonce) << 32;
    WP_UNROLL
    for (int i = 0; i < 8; ++i) a[i] = job.s1[i];
    a[5] ^= wp_rotated_entry(T, x, 4);
    a[6] ^= wp_rotated_entry(T, x, 5);
    a[7] ^= wp_rotated_entry(T, x, 6);
    a[0] ^= wp_rotated_entry(T, x, 7);

    WP_UNROLL
    for (int i = 0; i < 8; ++i) b[i] = job.s2[i] ^ wp_round_word(T, a, i, wp_round2_varying(i));

    // Rounds 3..8 in pairs, then round 9: the state ends in a.
    WP_ROUND_LOOP
    for (int r = 2; r < WP_ROUNDS - 2; r += 2) {
        wp_rho_tables(T, b, job.round_key[r], a);
        wp_rho_tables(T, a, job.round_key[r + 1], b);
    }
    wp_rho_tables(T, b, job.round_key[WP_ROUNDS - 2], a);
    const uint64_t* k = job.round_key[WP_ROUNDS - 1];
    const uint64_t d3 = k[3] ^ job.feed[3] ^ wp_round_word(T, a, 3);
    const uint64_t d7 = k[7] ^ job.feed[7] ^ wp_round_word(T, a, 7);
    const uint64_t h3 = d3 ^ d7;
    if (h3 != t3) return h3 < t3;
    return wp_last_round_meets(T, job, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], nonce,
                               target);
}

// The 32-byte proof-of-work value as words h0..h3.
WP_FN void wp_fold(const uint64_t D[8], uint64_t out[4])
{
    for (int j = 0; j < 4; ++j) out[j] = D[j] ^ D[j + 4];
}
