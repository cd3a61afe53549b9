// The host proof-of-work reference against independent oracles: the tables
// rebuilt from the standard's mini-boxes, the ISO test vectors, and OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine_common.h"
#include "util.h"
#include "whirlpool_image.h"
#include "whirlpool_cuda.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Whirlpool-512 of any message, built on host_wp_round: the padding is a
// 0x80 byte, zeros, and the 256-bit big-endian bit length.
Bytes whirlpool(const Bytes& msg)
{
    Bytes padded = msg;
    padded.push_back(0x80);
    while (padded.size() % 64 != 32) padded.push_back(0);
    const uint64_t bits = uint64_t{msg.size()} * 8;
    for (int i = 0; i < 24; ++i) padded.push_back(0);
    for (int i = 7; i >= 0; --i) padded.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    uint64_t H[8] = {};
    for (size_t off = 0; off < padded.size(); off += 64) {
        uint64_t m[8];
        for (int i = 0; i < 8; ++i) m[i] = read_le64(&padded[off + 8 * i]);
        host_wp_round(H, m);
    }
    Bytes out(64);
    for (int i = 0; i < 8; ++i) write_le64(&out[8 * i], H[i]);
    return out;
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

std::string hex(const Bytes& b)
{
    return bytes_to_hex(b.data(), b.size());
}

class OpenSslWhirlpool {
public:
    OpenSslWhirlpool()
        : legacy_(OSSL_PROVIDER_load(nullptr, "legacy")),
          default_(OSSL_PROVIDER_load(nullptr, "default")),
          md_(EVP_get_digestbyname("whirlpool")), ctx_(EVP_MD_CTX_new())
    {
    }
    ~OpenSslWhirlpool()
    {
        EVP_MD_CTX_free(ctx_);
        if (default_) OSSL_PROVIDER_unload(default_);
        if (legacy_) OSSL_PROVIDER_unload(legacy_);
    }
    bool available() const { return md_ != nullptr; }
    Bytes digest(const uint8_t* data, size_t len)
    {
        Bytes out(64);
        unsigned int n = 0;
        EVP_DigestInit_ex(ctx_, md_, nullptr);
        EVP_DigestUpdate(ctx_, data, len);
        EVP_DigestFinal_ex(ctx_, out.data(), &n);
        out.resize(n);
        return out;
    }

private:
    OSSL_PROVIDER* legacy_;
    OSSL_PROVIDER* default_;
    const EVP_MD* md_;
    EVP_MD_CTX* ctx_;
};

Bytes fold(const Bytes& digest)
{
    Bytes x(32);
    for (int i = 0; i < 32; ++i) x[i] = digest[i] ^ digest[i + 32];
    return x;
}

Bytes pow_hash(const uint8_t header[80])
{
    Bytes x(32);
    host_pow_hash(header, x.data());
    return x;
}

TEST(WhirlpoolTables, MatchTheStandardsConstruction)
{
    // S-box from the E, E^-1 and R mini-boxes of the final Whirlpool.
    const uint8_t E[16] = {1, 11, 9, 12, 13, 6, 15, 3, 14, 8, 7, 4, 10, 2, 5, 0};
    const uint8_t R[16] = {7, 12, 11, 13, 14, 4, 9, 15, 6, 3, 8, 10, 2, 5, 1, 0};
    uint8_t Ei[16];
    for (int i = 0; i < 16; ++i) Ei[E[i]] = static_cast<uint8_t>(i);
    uint8_t S[256];
    for (int u = 0; u < 256; ++u) {
        const uint8_t a = E[u >> 4], b = Ei[u & 15], r = R[a ^ b];
        S[u] = static_cast<uint8_t>(E[a ^ r] << 4 | Ei[b ^ r]);
    }
    auto gf_mul = [](unsigned a, unsigned b) {
        unsigned p = 0;
        for (; b; b >>= 1) {
            if (b & 1) p ^= a;
            a <<= 1;
            if (a & 0x100) a ^= 0x11D;
        }
        return static_cast<uint64_t>(p);
    };
    const unsigned row[8] = {1, 1, 4, 1, 8, 5, 2, 9};
    for (int x = 0; x < 256; ++x) {
        uint64_t w = 0;
        for (int j = 0; j < 8; ++j) w |= gf_mul(S[x], row[j]) << (8 * j);
        ASSERT_EQ(WP_T0[x], w) << x;
    }
    for (int r = 0; r < 10; ++r) {
        uint64_t w = 0;
        for (int j = 0; j < 8; ++j) w |= uint64_t{S[8 * r + j]} << (8 * j);
        ASSERT_EQ(WP_RC[r], w) << r;
    }
    EXPECT_EQ(WP_T0[0x00], 0xD83078C018601818u);
    EXPECT_EQ(WP_T0[0x01], 0x2646AF05238C2323u);
    EXPECT_EQ(WP_T0[0x80], 0x5B33F1CC97669797u);
    EXPECT_EQ(WP_T0[0xFF], 0xC211A44486228686u);
    EXPECT_EQ(WP_RC[0], 0x4F01B887E8C62318u);
    EXPECT_EQ(WP_RC[9], 0x33835AAD07BF2DCAu);
}

TEST(Whirlpool, IsoVectors)
{
    const std::pair<std::string, const char*> vectors[] = {
        {"", "19fa61d75522a4669b44e39c1d2e1726c530232130d407f89afee0964997f7a7"
             "3e83be698b288febcf88e3e03c4f0757ea8964e59b63d93708b138cc42a66eb3"},
        {"a", "8aca2602792aec6f11a67206531fb7d7f0dff59413145e6973c45001d0087b42"
              "d11bc645413aeff63a42391a39145a591a92200d560195e53b478584fdae231a"},
        {"abc", "4e2448a4c6f486bb16b6562c73b4020bf3043e3a731bce721ae1b303d97e6d4c"
                "7181eebdb6c57e277d0e34957114cbd6c797fc9d95d8b582d225292076d4eef5"},
        {"message digest",
         "378c84a4126e2dc6e56dcc7458377aac838d00032230f53ce1f5700c0ffb4d3b"
         "8421557659ef55c106b4b52ac5a4aaa692ed920052838f3362e86dbd37a8903e"},
        {"abcdefghijklmnopqrstuvwxyz",
         "f1d754662636ffe92c82ebb9212a484a8d38631ead4238f5442ee13b8054e41b"
         "08bf2a9251c30b6a0b8aae86177ab4a6f68f673e7207865d5d9819a3dba4eb3b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "dc37e008cf9ee69bf11f00ed9aba26901dd7c28cdec066cc6af42e40f82f3a1e"
         "08eba26629129d8fb7cb57211b9281a65517cc879d7b962142c65f5a7af01467"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890"
         "1234567890",
         "466ef18babb0154d25b9d38a6414f5c08784372bccb204d6549c4afadb601429"
         "4d5bd8df2a6c44e538cd047b2681a51a2c60481e88c5a20b2c2a80cf3a9a083b"},
        {"abcdbcdecdefdefgefghfghighijhijk",
         "2a987ea40f917061f5d6f0a0e4644f488a7a5a52deee656207c562f988e95c69"
         "16bdc8031bc5be1b7b947639fe050b56939baaa0adff9ae6745b7b181c3be3fd"},
        {std::string(1000000, 'a'),
         "0c99005beb57eff50a7cf005560ddf5d29057fd86b20bfd62deca0f1ccea4af5"
         "1fc15490eddc47af32bb2b66c34ff9ad8c6008ad677f77126953b226e4ed8b01"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.first.substr(0, 20));
        EXPECT_EQ(hex(whirlpool(text(v.first))), v.second);
    }
}

TEST(PowHash, KnownHeaders)
{
    struct Case {
        uint8_t fill;
        uint32_t nonce;
        const char* x;
    };
    const Case cases[] = {
        {0x00, 0, "829d0b00f746ef2907cead38ab4e8320dd98440f9351eba05b33057406e115ae"},
        {0x00, 1, "9cc7998054edc78fa471b3e90a7751c7bdc566644f9f1ca00e6d34d96eeb5f4b"},
        {0xAB, 0, "999fa94f9306479a23f7c0e0e93a559176728575ed3dffa9f654245e2132c5d4"},
        {0xAB, 1, "07027199ac3b5dabee156dfa7abb9e8565b8cce86105491fadb14e442e11fee0"},
    };
    for (const Case& c : cases) {
        uint8_t header[80];
        std::memset(header, c.fill, sizeof header);
        write_le32(header + 76, c.nonce);
        EXPECT_EQ(hex(pow_hash(header)), c.x) << int(c.fill) << " " << c.nonce;
    }
}

TEST(PowHash, EqualsFoldedOpenSslWhirlpool)
{
    OpenSslWhirlpool ossl;
    ASSERT_TRUE(ossl.available()) << "OpenSSL's legacy provider has no whirlpool";
    std::mt19937_64 rng(20261208);
    for (int i = 0; i < 5000; ++i) {
        uint8_t header[80];
        for (uint8_t& b : header) b = static_cast<uint8_t>(rng());
        ASSERT_EQ(hex(pow_hash(header)), hex(fold(ossl.digest(header, 80)))) << i;
    }
}

TEST(PowHash, FullHashAgreesWithOpenSslOnEveryLength)
{
    OpenSslWhirlpool ossl;
    ASSERT_TRUE(ossl.available());
    std::mt19937_64 rng(7);
    for (size_t len = 0; len <= 300; ++len) {
        Bytes msg(len);
        for (uint8_t& b : msg) b = static_cast<uint8_t>(rng());
        ASSERT_EQ(hex(whirlpool(msg)), hex(ossl.digest(msg.data(), msg.size()))) << len;
    }
}

TEST(Midstate, CoversOnlyTheFirstBlock)
{
    std::mt19937_64 rng(11);
    uint8_t header[80];
    for (uint8_t& b : header) b = static_cast<uint8_t>(rng());
    uint64_t base[8], w8, w9_base;
    compute_midstate(header, base, &w8, &w9_base);
    EXPECT_EQ(w8, read_le64(header + 64));
    EXPECT_EQ(w9_base, uint64_t{read_le32(header + 72)});

    for (int pos = 64; pos < 80; ++pos) {
        uint8_t changed[80];
        std::memcpy(changed, header, 80);
        changed[pos] ^= 0x5A;
        uint64_t m[8], c8, c9;
        compute_midstate(changed, m, &c8, &c9);
        EXPECT_EQ(std::memcmp(m, base, sizeof m), 0) << pos;
        if (pos >= 76) {
            EXPECT_EQ(c9, w9_base) << "the nonce never reaches w9_base";
        }
    }
    for (int pos : {0, 35, 63}) {
        uint8_t changed[80];
        std::memcpy(changed, header, 80);
        changed[pos] ^= 1;
        uint64_t m[8], c8, c9;
        compute_midstate(changed, m, &c8, &c9);
        EXPECT_NE(std::memcmp(m, base, sizeof m), 0) << pos;
    }
}

// A random header's midstate and tail words, and the folded value h0..h3
// of a random nonce computed from them with the plain second compression.
struct SecondBlock {
    uint8_t header[80];
    uint64_t midstate[8], w8, w9_base;
    uint32_t nonce;
    uint64_t h[4];
};

SecondBlock random_second_block(std::mt19937_64& rng)
{
    SecondBlock s;
    for (uint8_t& b : s.header) b = static_cast<uint8_t>(rng());
    compute_midstate(s.header, s.midstate, &s.w8, &s.w9_base);
    s.nonce = static_cast<uint32_t>(rng());
    uint64_t D[8];
    wp_round_block2(WP_T0, WP_RC, s.midstate, D, s.w8, uint64_t{s.nonce} << 32 | s.w9_base,
                    WP_PAD_WORD2, WP_PAD_WORD7);
    wp_fold(D, s.h);
    return s;
}

TEST(Midstate, SecondBlockFromMidstateEqualsFullHash)
{
    std::mt19937_64 rng(12);
    for (int i = 0; i < 200; ++i) {
        SecondBlock s = random_second_block(rng);
        write_le32(s.header + 76, s.nonce);
        const Bytes x = pow_hash(s.header);
        for (int j = 0; j < 4; ++j) ASSERT_EQ(s.h[j], read_le64(&x[8 * j])) << i;
    }
}

// The GPU's table image, built on the host by the kernel's own fill.
template <WpLayout L>
std::vector<uint64_t> lane_image()
{
    std::vector<uint64_t> image(wp_image_slots(L), 0);
    for (uint32_t e = 0; e < 256; ++e) wp_fill_image_entry<L>(image.data(), e, WP_T0[e]);
    return image;
}

// The search's trimmed path, which skips the work that does not depend on
// the nonce, against the plain compression, ties in the top word included:
// once with the CPU's flat tables and once through each GPU image's indexing
// for every lane of a warp.
TEST(FastPath, AgreesWithTheFullCompression)
{
    WpFlatTables flat;
    wp_make_flat_tables(WP_T0, flat);
    const std::vector<uint64_t> wide = lane_image<WpLayout::two_tables>();
    const std::vector<uint64_t> narrow = lane_image<WpLayout::one_table>();
    std::mt19937_64 rng(13);
    for (int i = 0; i < 320; ++i) {
        SCOPED_TRACE(i);
        const SecondBlock s = random_second_block(rng);
        WpJob job;
        wp_prepare_job(WP_T0, WP_RC, s.midstate, s.w8, s.w9_base, job);
        const uint32_t lane_offset = wp_lane_offset(static_cast<uint32_t>(i) % 32);
        const WpLaneTables<WpLayout::two_tables> wide_lanes{wide.data(), lane_offset};
        const WpLaneTables<WpLayout::one_table> narrow_lanes{narrow.data(), lane_offset};
        auto agree = [&](const uint64_t t[4]) {
            const bool expected =
                wp_try_nonce(WP_T0, WP_RC, s.midstate, s.w8, s.w9_base, s.nonce, t[3], t);
            return wp_try_nonce_fast(flat, job, s.nonce, t[3], t) == expected &&
                   wp_try_nonce_fast(wide_lanes, job, s.nonce, t[3], t) == expected &&
                   wp_try_nonce_fast(narrow_lanes, job, s.nonce, t[3], t) == expected;
        };
        // Targets around the value: below, equal, above, in every word.
        for (int word = 0; word < 4; ++word) {
            for (int delta : {-1, 0, 1}) {
                uint64_t t[4] = {s.h[0], s.h[1], s.h[2], s.h[3]};
                t[word] += static_cast<uint64_t>(delta);
                ASSERT_TRUE(agree(t)) << "word " << word << " delta " << delta;
            }
        }
        const uint64_t random_target[4] = {rng(), rng(), rng(), rng()};
        ASSERT_TRUE(agree(random_target));
    }
}

// The host's stand-in for the GPU's byte permute, against its definition:
// result byte k is byte (selector nibble k) of the eight bytes y:x.
TEST(LaneImage, BytePermuteSelectsBytesOfBothWords)
{
    struct Row {
        uint32_t x, y, selector, expected;
    };
    const Row rows[] = {
        {0x03020100, 0x07060504, 0x3210, 0x03020100}, // x unchanged
        {0x03020100, 0x07060504, 0x7654, 0x07060504}, // y unchanged
        {0x03020100, 0x07060504, 0x0123, 0x00010203}, // x reversed
        {0x03020100, 0x07060504, 0x1076, 0x01000706}, // the low half of a rotation by 16
        {0xAABBCCDD, 0x00000078, 0x5514, 0x0000CC78}, // byte 1 of x over a lane offset
        {0xAABBCCDD, 0x00000078, 0x5534, 0x0000AA78}, // byte 3 of x over a lane offset
    };
    for (const Row& r : rows) {
        EXPECT_EQ(wp_byte_perm(r.x, r.y, r.selector), r.expected) << std::hex << r.selector;
    }
}

// The image's address function over every table, entry and lane, from every
// byte position that reads that table: the lane's own bank pair, an address
// no other entry of the lane shares, inside the image, holding the entry
// rotated as its table is.
template <WpLayout L>
void every_lookup_hits_its_lanes_bank_pair_and_its_entry()
{
    const std::vector<uint64_t> image = lane_image<L>();
    const int tables = wp_image_tables(L);
    std::mt19937_64 rng(14);
    for (uint32_t lane = 0; lane < 32; ++lane) {
        SCOPED_TRACE(lane);
        const uint32_t lane_offset = wp_lane_offset(lane);
        std::vector<int> owner(wp_image_slots(L), -1);
        for (int table = 0; table < tables; ++table) {
            for (uint32_t entry = 0; entry < 256; ++entry) {
                const uint64_t expected = ROTL64(WP_T0[entry], 8 * table);
                for (int j = table; j < 8; j += tables) {
                    // The other bytes of the word must not matter.
                    const uint64_t noise = rng() & ~(uint64_t{0xFF} << (8 * j));
                    const uint64_t word = noise | uint64_t{entry} << (8 * j);
                    const uint32_t offset = wp_image_offset<L>(word, j, lane_offset);
                    ASSERT_EQ(offset % 8, 0u);
                    ASSERT_LT(offset, static_cast<uint32_t>(wp_image_bytes(L)));
                    const uint32_t slot = offset / 8;
                    ASSERT_EQ(slot % 16, lane % 16) << "bank pair of table " << table
                                                    << " entry " << entry << " byte " << j;
                    ASSERT_EQ(image[slot], expected) << "table " << table << " entry " << entry;
                    const int key = table * 256 + static_cast<int>(entry);
                    ASSERT_TRUE(owner[slot] == -1 || owner[slot] == key)
                        << "entries " << owner[slot] << " and " << key << " share slot " << slot;
                    owner[slot] = key;
                }
            }
        }
    }
}

TEST(LaneImage, EveryLookupHitsItsLanesBankPairAndItsEntry)
{
    every_lookup_hits_its_lanes_bank_pair_and_its_entry<WpLayout::two_tables>();
    every_lookup_hits_its_lanes_bank_pair_and_its_entry<WpLayout::one_table>();
}

// A half-warp's 16 lanes read 16 distinct bank pairs whatever their entries,
// which is what makes a warp-wide lookup two wavefronts.
template <WpLayout L>
void a_half_warp_never_shares_a_bank_pair()
{
    std::mt19937_64 rng(15);
    for (int trial = 0; trial < 2000; ++trial) {
        const int j = trial % 8;
        for (uint32_t half = 0; half < 2; ++half) {
            unsigned pairs = 0;
            for (uint32_t lane = 16 * half; lane < 16 * half + 16; ++lane) {
                const uint32_t offset = wp_image_offset<L>(rng(), j, wp_lane_offset(lane));
                pairs |= 1u << (offset / 8 % 16);
            }
            ASSERT_EQ(pairs, 0xFFFFu) << "trial " << trial;
        }
    }
}

TEST(LaneImage, AHalfWarpNeverSharesABankPair)
{
    a_half_warp_never_shares_a_bank_pair<WpLayout::two_tables>();
    a_half_warp_never_shares_a_bank_pair<WpLayout::one_table>();
}

// The layout a device runs: the 64 KB image wherever a block of it fits, the
// 32 KB one only where none does, and MARLVANE_LAYOUT overrides the rule.
TEST(LaneImage, LayoutIsTheLargerImageWhereverItFits)
{
    struct Row {
        int two, one;
        const char* forced;
        WpLayout expected;
    };
    const WpLayout T = WpLayout::two_tables, O = WpLayout::one_table;
    const Row rows[] = {
        {3, 3, nullptr, T}, // H100: both fit three blocks
        {1, 3, nullptr, T}, // about 100 KB of shared memory (sm_86, sm_89, sm_120)
        {2, 3, nullptr, T}, // sm_80
        {0, 1, nullptr, O}, // the 64 KB image does not fit (64 KB a block on sm_75)
        {0, 0, nullptr, T}, // neither fits: the create refuses the device
        {3, 3, "32", O}, {1, 3, "64", T}, {0, 2, "64", T}, {1, 3, "", T}, {0, 3, "48", O},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(pick_layout(r.two, r.one, r.forced), r.expected)
            << r.two << " " << r.one << " " << (r.forced ? r.forced : "unset");
    }
}

// The automatic grid: 16 blocks a multiprocessor, rounded to whole waves of
// the blocks a multiprocessor holds.
TEST(AutomaticGrid, WholeWavesNearestSixteenAMultiprocessor)
{
    struct Row {
        int sms, resident, blocks;
    };
    const Row rows[] = {
        {132, 0, 2112},  // no limit known (CPU engine): 16 a multiprocessor
        {132, 3, 1980},  // H100, 3 resident: 5 waves of 396, not 5.33
        {132, 1, 2112},  // one block a multiprocessor: 16 waves
        {84, 2, 1344},   // 16 is already whole
        {84, 6, 1512},   // 2.67 waves round to 3
        {84, 5, 1260},   // 3.2 waves round to 3
        {84, 7, 1176},   // 2.29 waves round to 2
        {46, 32, 1472},  // more than 16 resident: one wave
        {1, 33, 33},
    };
    for (const Row& r : rows)
        EXPECT_EQ(automatic_blocks(r.sms, r.resident), r.blocks) << r.sms << " x " << r.resident;
}

TEST(TargetTest, ComparesFromTheMostSignificantWord)
{
    // D chosen so that the folded words are h = {h0, h1, h2, h3} (upper half zero).
    auto meets = [](std::vector<uint64_t> h, std::vector<uint64_t> t) {
        const uint64_t D[8] = {h[0], h[1], h[2], h[3], 0, 0, 0, 0};
        return wp_meets_target(D, t[3], t.data());
    };
    const std::vector<uint64_t> t = {5, 6, 7, 8};
    EXPECT_TRUE(meets({5, 6, 7, 8}, t)) << "equal meets";
    EXPECT_FALSE(meets({6, 6, 7, 8}, t)) << "one more fails";
    EXPECT_TRUE(meets({4, 6, 7, 8}, t));
    EXPECT_TRUE(meets({~0ull, ~0ull, ~0ull, 7}, t)) << "h3 below decides";
    EXPECT_FALSE(meets({0, 0, 0, 9}, t)) << "h3 above decides";
    EXPECT_FALSE(meets({0, 0, 8, 8}, t)) << "tie in h3, h2 above";
    EXPECT_TRUE(meets({~0ull, 5, 7, 8}, t)) << "tie down to h1, h1 below";
    const std::vector<uint64_t> zero = {0, 0, 0, 0};
    EXPECT_TRUE(meets({0, 0, 0, 0}, zero));
    EXPECT_FALSE(meets({1, 0, 0, 0}, zero));
    const uint64_t folded_halves[8] = {1, 2, 3, 4, 1, 2, 3, 4}; // folds to zero
    EXPECT_TRUE(wp_meets_target(folded_halves, 0, zero.data()));
}

} // namespace
