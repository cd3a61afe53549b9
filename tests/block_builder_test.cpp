// Block construction against independent oracles: OpenSSL's SHA-256, the
// published vectors, a Bech32(m) and a Base58Check encoder written here, a
// naive merkle tree, and a block parser that knows nothing of the builder.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <random>
#include <stdexcept>
#include <tuple>
#include <string>
#include <vector>

#include "block_builder.h"
#include "util.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes unhex(const std::string& s) { return hex_to_bytes(s); }
std::string hex(const Bytes& b) { return bytes_to_hex(b.data(), b.size()); }
std::string rep(const std::string& s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}
Bytes reversed(Bytes b) { return Bytes(b.rbegin(), b.rend()); }
Bytes cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes ossl_sha256(const Bytes& b)
{
    Bytes out(32);
    SHA256(b.data(), b.size(), out.data());
    return out;
}
Bytes ossl_dsha(const Bytes& b) { return ossl_sha256(ossl_sha256(b)); }

Bytes our_sha256(const Bytes& b)
{
    Bytes out(32);
    sha256(b.data(), b.size(), out.data());
    return out;
}

Bytes random_bytes(std::mt19937& rng, size_t n)
{
    Bytes b(n);
    for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// ---- SHA-256 ----

TEST(Sha256, Fips180Vectors)
{
    const std::pair<std::string, const char*> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
         "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.substr(0, 20));
        EXPECT_EQ(hex(our_sha256(Bytes(c.first.begin(), c.first.end()))), c.second);
    }
}

// Every padding boundary, and a few multi-block lengths.
TEST(Sha256, MatchesOpenSslAtEveryLength)
{
    std::mt19937 rng(4);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {1000u, 4113u, 65536u, 100003u}) lengths.push_back(n);
    for (size_t n : lengths) {
        SCOPED_TRACE(n);
        const Bytes data = random_bytes(rng, n);
        EXPECT_EQ(our_sha256(data), ossl_sha256(data));
        Bytes twice(32);
        double_sha256(data.data(), data.size(), twice.data());
        EXPECT_EQ(twice, ossl_dsha(data));
        EXPECT_EQ(twice, our_sha256(our_sha256(data)));
    }
}

TEST(PushVarint, Boundaries)
{
    const std::pair<uint64_t, const char*> cases[] = {
        {0, "00"}, {252, "fc"}, {253, "fdfd00"}, {65535, "fdffff"}, {65536, "fe00000100"},
        {4294967295ull, "feffffffff"}, {4294967296ull, "ff0000000001000000"},
        {UINT64_MAX, "ffffffffffffffffff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Bytes out = {0xAB, 0xCD};
        push_varint(out, c.first);
        EXPECT_EQ(hex(out), std::string("abcd") + c.second); // earlier bytes untouched
    }
}

// ---- Addresses: an independent encoder makes the vectors ----

const char kBech32Set[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";

uint32_t polymod(const Bytes& values)
{
    const uint32_t gen[5] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
    uint32_t c = 1;
    for (uint8_t v : values) {
        const uint32_t b = c >> 25;
        c = (c & 0x1ffffff) << 5 ^ v;
        for (int i = 0; i < 5; ++i) c ^= (b >> i & 1) ? gen[i] : 0;
    }
    return c;
}

std::string bech32_encode(const std::string& hrp, const Bytes& data, bool m)
{
    Bytes values;
    for (char c : hrp) values.push_back(static_cast<uint8_t>(c >> 5));
    values.push_back(0);
    for (char c : hrp) values.push_back(static_cast<uint8_t>(c & 31));
    values.insert(values.end(), data.begin(), data.end());
    values.insert(values.end(), 6, 0);
    const uint32_t mod = polymod(values) ^ (m ? 0x2bc830a3 : 1);
    std::string out = hrp + "1";
    for (uint8_t v : data) out += kBech32Set[v];
    for (int i = 0; i < 6; ++i) out += kBech32Set[(mod >> (5 * (5 - i))) & 31];
    return out;
}

// Regroups bytes into 5-bit values, the last one zero-padded.
Bytes to_groups(const Bytes& program)
{
    Bytes data;
    unsigned acc = 0, bits = 0;
    for (uint8_t b : program) {
        acc = (acc << 8 | b) & 0xFFFF;
        for (bits += 8; bits >= 5; bits -= 5) data.push_back((acc >> (bits - 5)) & 31);
    }
    if (bits) data.push_back((acc << (5 - bits)) & 31);
    return data;
}

std::string segwit_address(const std::string& hrp, uint8_t version, const Bytes& program, bool m)
{
    return bech32_encode(hrp, cat({version}, to_groups(program)), m);
}

const char kBase58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

std::string base58check(Bytes payload)
{
    const Bytes check = ossl_dsha(payload);
    payload.insert(payload.end(), check.begin(), check.begin() + 4);
    std::string out;
    for (Bytes num = payload; !num.empty();) { // long division by 58, most significant first
        Bytes quotient;
        unsigned rem = 0;
        for (uint8_t b : num) {
            rem = rem * 256 + b;
            if (!quotient.empty() || rem / 58) quotient.push_back(static_cast<uint8_t>(rem / 58));
            rem %= 58;
        }
        out.insert(out.begin(), kBase58[rem]);
        num = quotient;
    }
    for (size_t i = 0; i < payload.size() && payload[i] == 0; ++i) out.insert(out.begin(), '1');
    return out;
}

std::string legacy_address(uint8_t version, const Bytes& hash) { return base58check(cat({version}, hash)); }

const Bytes kProg20 = unhex("751e76e8199196d454941c45d1b3a323f1433bd6");
const Bytes kProg32 = unhex("79be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798");

TEST(Address, TestEncodersReproducePublishedVectors)
{
    EXPECT_EQ(segwit_address("bc", 0, kProg20, false), "bc1qw508d6qejxtdg4y5r3zarvary0c5xw7kv8f3t4");
    EXPECT_EQ(segwit_address("bc", 1, kProg32, true),
              "bc1p0xlxvlhemja6c4dqv22uapctqupfhlxm9h8z3k2e72q4k9hcz7vqzk5jj0");
    EXPECT_EQ(legacy_address(0x00, unhex("77bff20c60e522dfaa3350c39b030a5d004e839a")),
              "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2");
    EXPECT_EQ(legacy_address(0x05, unhex("b472a266d0bd89c13706a4132ccfb16f7c3b9fcb")),
              "3J98t1WpEZ73CNmQviecrnyiWrnqRhWNLy");
}

TEST(Address, ValidDecodeToTheirScripts)
{
    const std::string p2wpkh = "0014" + hex(kProg20), p2wsh = "0020" + hex(kProg32);
    const std::string p2tr = "5120" + hex(kProg32), p2pkh = "76a914" + hex(kProg20) + "88ac";
    const std::pair<std::string, std::string> cases[] = {
        {segwit_address("mrv", 0, kProg20, false), p2wpkh},
        {segwit_address("mrv", 0, kProg32, false), p2wsh},
        {segwit_address("mrv", 1, kProg32, true), p2tr},
        {segwit_address("tmrv", 0, kProg20, false), p2wpkh}, // the networks are not told apart
        {segwit_address("tmrv", 1, kProg32, true), p2tr},
        {segwit_address("mrv", 0, kProg20, true), p2wpkh},   // Bech32m on version 0
        {segwit_address("mrv", 1, kProg32, false), p2tr},    // Bech32 on version 1
        {bech32_encode("mrv", cat(cat({0}, to_groups(kProg20)), {31}), false), p2wpkh}, // padding unchecked
        {legacy_address(0x1C, kProg20), p2pkh},
        {legacy_address(0x12, kProg20), "a914" + hex(kProg20) + "87"},
        {base58check(cat(cat({0x1C}, kProg20), {0xEE})), p2pkh}, // a byte before the checksum is ignored
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(hex(address_to_script(c.first)), c.second);
    }
}

std::string upper(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

TEST(Address, InvalidGiveTheEmptyScript)
{
    const std::string v0 = segwit_address("mrv", 0, kProg20, false);
    std::string mixed = v0;
    mixed[9] = 'D';
    std::string bad_char = v0;
    bad_char[8] = 'b';
    const std::pair<std::string, const char*> cases[] = {
        {"", "empty"},
        {upper(v0), "upper case is not tried as Bech32 and fails Base58Check"},
        {mixed, "mixed case"},
        {bad_char, "b is not a Bech32 character"},
        {" " + v0, "no trimming"},
        {v0 + " ", "no trimming"},
        {"mrv1", "no data part"},
        {"mrv1qqqqq", "data part shorter than a checksum"},
        {bech32_encode("mrv", {}, false), "checksum only"},
        {segwit_address("mrv", 0, {}, false), "empty program"},
        {segwit_address("mrv", 0, Bytes(19, 7), false), "version 0, 19 bytes"},
        {segwit_address("mrv", 0, Bytes(21, 7), false), "version 0, 21 bytes"},
        {segwit_address("mrv", 0, Bytes(31, 7), false), "version 0, 31 bytes"},
        {segwit_address("mrv", 0, Bytes(33, 7), false), "version 0, 33 bytes"},
        {segwit_address("mrv", 1, kProg20, true), "version 1, 20 bytes"},
        {segwit_address("mrv", 1, Bytes(31, 7), true), "version 1, 31 bytes"},
        {segwit_address("mrv", 1, Bytes(33, 7), true), "version 1, 33 bytes"},
        {segwit_address("mrv", 17, kProg32, true), "version 17"},
        {segwit_address("bc", 0, kProg20, false), "another chain's prefix"},
        {legacy_address(0x00, kProg20), "version 0x00"},
        {"1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2", "a version 0x00 address of another chain"},
        {legacy_address(0x05, kProg20), "version 0x05"},
        {base58check(cat({0x1C}, Bytes(19, 7))), "payload of 24 bytes"},
        {"0" + legacy_address(0x1C, kProg20).substr(1), "0 is not Base58"},
        {"I" + legacy_address(0x1C, kProg20).substr(1), "I is not Base58"},
        {legacy_address(0x1C, kProg20).substr(0, 10) + std::string(1, '\0'), "NUL is not Base58"},
        {std::string("mrv1\0", 5) + v0.substr(4), "NUL is not Bech32"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        EXPECT_TRUE(address_to_script(c.first).empty()) << c.first;
    }
    for (uint8_t version = 2; version <= 16; ++version) {
        SCOPED_TRACE(int{version});
        EXPECT_TRUE(address_to_script(segwit_address("mrv", version, kProg32, true)).empty());
    }
}

TEST(Address, OneChangedCharacterIsRejected)
{
    const std::pair<std::string, const char*> cases[] = {
        {segwit_address("mrv", 0, kProg20, false), kBech32Set},
        {segwit_address("tmrv", 0, kProg32, false), kBech32Set},
        {segwit_address("mrv", 1, kProg32, true), kBech32Set},
        {legacy_address(0x1C, kProg20), kBase58},
        {legacy_address(0x12, kProg20), kBase58},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(address_to_script(c.first).empty()) << c.first;
        for (size_t i = 0; i < c.first.size(); ++i) {
            std::string changed = c.first;
            const char* at = std::strchr(c.second, changed[i]);
            changed[i] = at && at[1] ? at[1] : c.second[0];
            SCOPED_TRACE(changed);
            EXPECT_TRUE(address_to_script(changed).empty());
        }
    }
}

// ---- Coinbase ----

const std::string kZeros32 = rep("00", 32);
const Bytes kPayout = unhex("0014" + rep("11", 20));
const Bytes kDevFee = unhex("0014" + rep("22", 20));
const Bytes kCommitment = unhex("6a24aa21a9ed" + rep("33", 32));

TEST(Coinbase, ByteExactLayouts)
{
    const std::string input = "01" + kZeros32 + "ffffffff" "08" "03a08601" "03616263" "ffffffff";
    const std::string miner_all = "00f2052a01000000" "16" + hex(kPayout);
    const std::string miner_less = "80010b2701000000" "16" + hex(kPayout);
    const std::string fee = "80f0fa0200000000" "16" + hex(kDevFee);
    const std::string commit = "0000000000000000" "26" + hex(kCommitment);
    const std::string witness = "0120" + kZeros32;
    struct Case {
        Bytes dev_fee, commitment;
        std::string expected;
    };
    const Case cases[] = {
        {{}, {}, "02000000" + input + "01" + miner_all + "00000000"},
        {kDevFee, {}, "02000000" + input + "02" + miner_less + fee + "00000000"},
        {{}, kCommitment, "02000000" "0001" + input + "02" + miner_all + commit + witness + "00000000"},
        {kDevFee, kCommitment,
         "02000000" "0001" + input + "03" + miner_less + fee + commit + witness + "00000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const Bytes tx = build_coinbase_tx(100000, 5000000000, kPayout, "abc", c.commitment, c.dev_fee, 1);
        EXPECT_EQ(hex(tx), c.expected);
    }
}

uint64_t le64_at(const Bytes& b, size_t at)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[at + i];
    return v;
}

TEST(Coinbase, DevFeeValues)
{
    // Height 1 and no message: the output count sits at byte 48.
    struct Case {
        int64_t value;
        int32_t percent;
        bool dev_script;
        uint64_t miner;
        int64_t fee; // -1: no development-fee output
    };
    const Case cases[] = {
        {5000000000, 1, true, 4950000000, 50000000}, {12345, 1, true, 12222, 123},
        {99, 1, true, 99, 0}, // the output stays, with value 0
        {5000000000, 1, false, 5000000000, -1},      {5000000000, 0, true, 5000000000, -1},
        {5000000000, -3, true, 5000000000, -1},      {5000000000, 100, true, 0, 5000000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const Bytes dev_fee = c.dev_script ? kDevFee : Bytes{};
        const Bytes tx = build_coinbase_tx(1, c.value, kPayout, "", {}, dev_fee, c.percent);
        ASSERT_EQ(tx[41], 2); // the input script OP_1, padded to the 2-byte minimum
        EXPECT_EQ(tx[48], c.fee < 0 ? 1 : 2);
        EXPECT_EQ(le64_at(tx, 49), c.miner);
        if (c.fee >= 0) {
            EXPECT_EQ(le64_at(tx, 80), static_cast<uint64_t>(c.fee));
        }
        EXPECT_EQ(tx.size(), c.fee < 0 ? 84u : 115u);
    }
}

// The input script of a coinbase without witness whose script is under 253 bytes.
Bytes input_script(const Bytes& tx)
{
    return Bytes(tx.begin() + 42, tx.begin() + 42 + tx[41]);
}

TEST(Coinbase, InputScripts)
{
    const std::string m75(75, 'm'), m76(76, 'm'), m80(80, 'm');
    const Bytes en = unhex("0a0b0c0d");
    const std::tuple<uint64_t, std::string, Bytes, std::string> cases[] = {
        {100000, "", {}, "03a08601"},   {128, "", {}, "028000"},    {255, "", {}, "02ff00"},
        {256, "", {}, "020001"},        {8388608, "", {}, "0400008000"}, {127, "", {}, "017f"},
        {32767, "", {}, "02ff7f"},      {32768, "", {}, "03008000"}, {549755813887, "", {}, "05ffffffff7f"},
        {549755813888, "", {}, "06000000008000"}, // the 00 keeps the number positive
        // 1 to 16 are the opcodes OP_1..OP_16, as a node encodes the number;
        // alone they are padded to the 2-byte minimum.
        {1, "", {}, "5100"},            {16, "", {}, "6000"},       {17, "", {}, "0111"},
        {0, "", {}, "0000"},            {1, "", en, "51040a0b0c0d"}, {16, "abc", {}, "6003616263"},
        {100000, "abc", {}, "03a08601" "03616263"},
        {100000, "abc", en, "03a08601" "040a0b0c0d" "03616263"}, // the extra nonce right after the height
        {100000, m75, {}, "03a08601" "4b" + rep("6d", 75)},
        {100000, m76, {}, "03a08601" + rep("6d", 76)}, // from 76 bytes on, no length byte
        {100000, m80, en, "03a08601" "040a0b0c0d" + rep("6d", 80)},
    };
    for (const auto& [height, message, extra, script] : cases) {
        SCOPED_TRACE(testing::Message() << height << " " << message.size() << " " << extra.size());
        EXPECT_EQ(hex(input_script(build_coinbase_tx(height, 50, kPayout, message, {}, {}, 1, extra))), script);
    }
}

TEST(Coinbase, InputScriptLengthIsCompactSize)
{
    // Height 100000 takes 4 bytes of the script; long messages carry no length byte.
    const std::pair<size_t, std::string> cases[] = {
        {252, "fc"}, {253, "fdfd00"}, {254, "fdfe00"}, {300, "fd2c01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const Bytes tx = build_coinbase_tx(100000, 50, kPayout, std::string(c.first - 4, 'x'), {}, {}, 1);
        EXPECT_EQ(hex(tx).substr(82, c.second.size() + 8), c.second + "03a08601");
        EXPECT_EQ(tx.size(), 41 + c.second.size() / 2 + c.first + 4 + 1 + 31 + 4);
    }
}

TEST(Coinbase, TxidHashesTheStrippedSerialization)
{
    struct Case {
        uint64_t height;
        std::string message;
        Bytes commitment;
    };
    const Case cases[] = {
        {100000, "abc", kCommitment}, {1, "", kCommitment}, {100000, std::string(300, 'x'), kCommitment},
        {100000, "abc", {}},          {100000, std::string(300, 'x'), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.size());
        const Bytes tx = build_coinbase_tx(c.height, 50, kPayout, c.message, c.commitment, kDevFee, 1);
        Bytes stripped = tx;
        if (!c.commitment.empty()) { // drop marker and flag, and the 34-byte witness before the lock time
            stripped = cat(cat(Bytes(tx.begin(), tx.begin() + 4), Bytes(tx.begin() + 6, tx.end() - 38)),
                           Bytes(tx.end() - 4, tx.end()));
            EXPECT_EQ(tx.size(), stripped.size() + 36);
        }
        Bytes txid(32);
        compute_txid(tx.data(), tx.size(), txid.data());
        EXPECT_EQ(txid, ossl_dsha(stripped));
    }
}

TEST(Coinbase, FitMessageNeverSplitsACharacter)
{
    const std::string a(100, 'a'), e_acute = "\xc3\xa9", euro = "\xe2\x82\xac", smile = "\xf0\x9f\x98\x80";
    constexpr size_t M = MAX_COINBASE_MESSAGE;
    static_assert(M == 89, "100 bytes less the longest height push (6) and the extra nonce (5)");
    const std::pair<std::string, size_t> cases[] = {
        {"", 0},
        {"abc", 3},
        {a.substr(0, M), M},
        {a.substr(0, M + 1), M},
        {a + a + a, M},
        {a.substr(0, M) + e_acute, M},         // the cut falls between characters
        {a.substr(0, M - 1) + e_acute, M - 1}, // two-byte character across the cut
        {a.substr(0, M - 2) + e_acute + "b", M},
        {a.substr(0, M - 2) + euro, M - 2},    // three-byte character across the cut
        {a.substr(0, M - 3) + smile, M - 3},   // four-byte character across the cut
        {a.substr(0, M - 4) + smile + "b", M},
        {std::string(100, '\x80'), M},        // not UTF-8: cut as bytes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(fit_coinbase_message(c.first), c.first.substr(0, c.second));
    }
}

TEST(Coinbase, FittedMessageKeepsTheInputScriptWithinConsensus)
{
    const std::string smile = "\xf0\x9f\x98\x80";
    const uint64_t heights[] = {1, 16, 17, 128, 65535, 2147483648ull, 4294967295ull, 549755813887ull};
    const std::string messages[] = {"", "abc", std::string(75, 'm'), std::string(76, 'm'),
                                    std::string(89, 'm'), std::string(90, 'm'), std::string(300, 'm'),
                                    rep(smile, 40)};
    const Bytes extra_nonce(EXTRA_NONCE_BYTES, 0xff);
    size_t longest = 0;
    for (uint64_t height : heights) {
        for (const std::string& message : messages) {
            SCOPED_TRACE(testing::Message() << height << " " << message.size());
            const Bytes tx =
                build_coinbase_tx(height, 50, kPayout, fit_coinbase_message(message), {}, {}, 1, extra_nonce);
            EXPECT_GE(tx[41], 2);
            EXPECT_LE(tx[41], MAX_COINBASE_SCRIPT);
            longest = std::max<size_t>(longest, tx[41]);
        }
    }
    EXPECT_EQ(longest, MAX_COINBASE_SCRIPT); // the limit is reached, not merely kept
}

TEST(RpcHash, ReversedIntoInternalOrder)
{
    Bytes ascending(32);
    for (int i = 0; i < 32; ++i) ascending[i] = static_cast<uint8_t>(i);
    const std::string text = hex(ascending);
    const std::pair<std::string, bool> cases[] = {
        {text, true},
        {upper(text), true},
        {text.substr(0, 63), false},
        {text + "0", false},
        {"", false},
        {text.substr(0, 10) + "g" + text.substr(11), false},
        {" " + text.substr(1), false},
        {"0x" + text.substr(2), false},
        {text.substr(0, 63) + std::string(1, '\0'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Bytes out(32, 0xA5);
        EXPECT_EQ(hash_from_rpc_hex(c.first, out.data()), c.second);
        EXPECT_EQ(out, c.second ? reversed(ascending) : Bytes(32, 0xA5)); // out[0] is the last two digits
    }
}

// ---- Merkle root, header, block ----

Bytes merkle_root(const std::vector<Bytes>& leaves)
{
    Bytes out(32);
    compute_merkle_root(leaves, out.data());
    return out;
}

Bytes naive_root(std::vector<Bytes> level)
{
    if (level.empty()) return Bytes(32, 0);
    while (level.size() > 1) {
        if (level.size() % 2) level.push_back(level.back());
        std::vector<Bytes> next;
        for (size_t i = 0; i < level.size(); i += 2) next.push_back(ossl_dsha(cat(level[i], level[i + 1])));
        level = next;
    }
    return level[0];
}

TEST(Merkle, SmallTrees)
{
    std::mt19937 rng(7);
    const Bytes a = random_bytes(rng, 32), b = random_bytes(rng, 32), c = random_bytes(rng, 32);
    const auto H = [](const Bytes& l, const Bytes& r) { return ossl_dsha(cat(l, r)); };
    EXPECT_EQ(merkle_root({}), Bytes(32, 0));
    EXPECT_EQ(merkle_root({a}), a);
    EXPECT_EQ(merkle_root({a, b}), H(a, b));
    EXPECT_NE(merkle_root({b, a}), merkle_root({a, b}));
    EXPECT_EQ(merkle_root({a, b, c}), H(H(a, b), H(c, c)));
    // A short leaf never reads past its bytes: it counts as zero-filled.
    EXPECT_EQ(merkle_root({Bytes{1, 2, 3}, a}), H(cat({1, 2, 3}, Bytes(29, 0)), a));
}

TEST(Merkle, MatchesANaiveTree)
{
    std::mt19937 rng(8);
    for (size_t n = 0; n <= 40; ++n) {
        SCOPED_TRACE(n);
        std::vector<Bytes> leaves;
        for (size_t i = 0; i < n; ++i) leaves.push_back(random_bytes(rng, 32));
        EXPECT_EQ(merkle_root(leaves), naive_root(leaves));
    }
}

TEST(Merkle, CoinbaseBranchGivesTheSameRoot)
{
    // The session builds one branch per template and a root per coinbase.
    std::mt19937 rng(9);
    for (size_t n = 0; n <= 40; ++n) {
        SCOPED_TRACE(n);
        std::vector<Bytes> leaves;
        std::vector<Hash32> txs;
        for (size_t i = 0; i <= n; ++i) leaves.push_back(random_bytes(rng, 32));
        for (size_t i = 1; i <= n; ++i) {
            txs.emplace_back();
            std::copy(leaves[i].begin(), leaves[i].end(), txs.back().begin());
        }
        const std::vector<Hash32> branch = coinbase_merkle_branch(txs);
        size_t levels = 0;
        while ((size_t{1} << levels) < n + 1) ++levels;
        EXPECT_EQ(branch.size(), levels);
        Bytes root(32);
        merkle_root_from_branch(leaves[0].data(), branch, root.data());
        EXPECT_EQ(root, naive_root(leaves));
    }
}

Bytes rpc_hash(const std::string& text)
{
    Bytes out(32);
    EXPECT_TRUE(hash_from_rpc_hex(text, out.data())) << text;
    return out;
}

TEST(Merkle, BitcoinBlock100000AndItsHeader)
{
    const char* txids[] = {
        "8c14f0db3df150123e6f3dbbf30f8b955a8249b62ac1d1ff16284aefa3d06d87",
        "fff2525b8931402dd09222c50775608f75787bd2b87e56995a7bdd30f79702c4",
        "6359f0868171b1d194cbee1af2f16ea598ae8fad666d9b012c8ed2b79a236ec4",
        "e9a66845e05d5abc0ad04ec80f774a7e585c6e8db975962d069a522137b80c1d",
    };
    std::vector<Bytes> leaves;
    for (const char* t : txids) leaves.push_back(rpc_hash(t));
    const Bytes root = merkle_root(leaves);
    EXPECT_EQ(hex(reversed(root)), "f3e94742aca4b5ef85488dc37c06c3282295ffec960994b2c0d5ac2a25a95766");

    const Bytes prev = rpc_hash("000000000002d01c1fccc21636b607dfd930d31d01c3a62104612a1719011250");
    Bytes header(80);
    build_header(1, prev.data(), root.data(), 1293623863, 0x1b04864c, 274148111, header.data());
    EXPECT_EQ(hex(reversed(ossl_dsha(header))),
              "000000000003ba27aa200b1cecaad478d2b00432346c3f1f3986da1afd33e506");
}

TEST(Header, FieldsAreLittleEndianAndHashesCopied)
{
    std::mt19937 rng(9);
    const Bytes prev = random_bytes(rng, 32), root = random_bytes(rng, 32);
    Bytes header(80);
    build_header(2, prev.data(), root.data(), 0x01020304, 0x1d00ffff, 258, header.data());
    EXPECT_EQ(hex(header), "02000000" + hex(prev) + hex(root) + "04030201" "ffff001d" "02010000");
}

TEST(SerializeBlock, CountCoinbaseAndTransactions)
{
    Bytes header(80);
    for (int i = 0; i < 80; ++i) header[i] = static_cast<uint8_t>(i);
    const Bytes coinbase = build_coinbase_tx(100000, 5000000000, kPayout, "abc", kCommitment, kDevFee, 1);
    const std::pair<size_t, std::string> cases[] = {
        {0, "01"}, {1, "02"}, {251, "fc"}, {252, "fdfd00"}, {253, "fdfe00"}, {65534, "fdffff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const std::vector<std::string> txs(c.first, "0a0B"); // the node's text goes in unchanged
        const std::string block = serialize_block(header.data(), coinbase, txs);
        EXPECT_EQ(block.substr(0, 160), hex(header));
        EXPECT_EQ(block.substr(160, c.second.size()), c.second);
        EXPECT_EQ(block.substr(160 + c.second.size(), 2 * coinbase.size()), hex(coinbase));
        EXPECT_EQ(block.size(), 160 + c.second.size() + 2 * coinbase.size() + 4 * c.first);
        if (c.first) {
            EXPECT_EQ(block.substr(block.size() - 4), "0a0B");
        }
    }
}

// ---- A whole block, read back by a parser of its own ----

struct Cursor {
    const Bytes& b;
    size_t pos;

    Bytes take(uint64_t n)
    {
        if (n > b.size() - pos) throw std::out_of_range("truncated");
        pos += n;
        return Bytes(b.begin() + (pos - n), b.begin() + pos);
    }
    uint64_t varint()
    {
        const uint8_t first = take(1)[0];
        if (first < 0xfd) return first;
        const Bytes v = take(first == 0xfd ? 2 : first == 0xfe ? 4 : 8);
        uint64_t n = 0;
        for (size_t i = v.size(); i-- > 0;) n = n << 8 | v[i];
        return n;
    }
};

struct ParsedTx {
    size_t begin, end, outputs_end; // outputs_end counts from begin
    Bytes txid, wtxid;
    std::vector<Bytes> output_scripts;
    std::vector<std::vector<Bytes>> witnesses;
};

ParsedTx parse_tx(Cursor& c)
{
    ParsedTx t;
    t.begin = c.pos;
    Bytes stripped = c.take(4);
    const bool segwit = c.b.size() - c.pos >= 2 && c.b[c.pos] == 0 && c.b[c.pos + 1] == 1;
    if (segwit) c.take(2);
    const size_t body = c.pos;
    const uint64_t inputs = c.varint();
    for (uint64_t i = 0; i < inputs; ++i) {
        c.take(36);
        c.take(c.varint());
        c.take(4);
    }
    const uint64_t outputs = c.varint();
    for (uint64_t i = 0; i < outputs; ++i) {
        c.take(8);
        t.output_scripts.push_back(c.take(c.varint()));
    }
    t.outputs_end = c.pos - t.begin;
    stripped = cat(stripped, Bytes(c.b.begin() + body, c.b.begin() + c.pos));
    for (uint64_t i = 0; segwit && i < inputs; ++i) {
        t.witnesses.emplace_back();
        for (uint64_t items = c.varint(); items > 0; --items) {
            t.witnesses.back().push_back(c.take(c.varint()));
        }
    }
    stripped = cat(stripped, c.take(4));
    t.end = c.pos;
    t.txid = ossl_dsha(stripped);
    t.wtxid = ossl_dsha(Bytes(c.b.begin() + t.begin, c.b.begin() + t.end));
    return t;
}

struct TemplateTx {
    std::string data, txid, wtxid; // ids in the node's display order
};

// Legacy, segwit with one input, segwit with an empty and a filled witness,
// and legacy with a 253-byte input script.
const TemplateTx kTemplate[] = {
    {"010000000101010101010101010101010101010101010101010101010101010101010101010000000028303132333435363738393a3b3c3d3e3f404142434445464748494a4b4c4d4e4f5051525354555657ffffffff0200e1f505000000001976a914000102030405060708090a0b0c0d0e0f1011121388ac80b2e60e000000001600146465666768696a6b6c6d6e6f707172737475767700000000",
     "7f0ca99a2fd9239f62a8a3d15ce883ce54076eb8f79ce92b0fc6de6e58c1cb63",
     "7f0ca99a2fd9239f62a8a3d15ce883ce54076eb8f79ce92b0fc6de6e58c1cb63"},
    {"0200000000010102020202020202020202020202020202020202020202020202020202020202020100000000fdffffff0170c9fa02000000001600146465666768696a6b6c6d6e6f707172737475767702093000000000000000002102000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f39650c00",
     "ccf089b987b12076e5d82f9554468eb7a781c33c9fd29de8dafc440998f9e63b",
     "c532a791e1adde4e3512edc4ec3c0a4c87668a6b5391aaa68990b9499075aeab"},
    {"0200000000010203030303030303030303030303030303030303030303030303030303030303030200000000ffffffff040404040404040404040404040404040404040404040404040404040404040403000000171600140000000000000000000000000000000000000000feffffff02d204000000000000066a04010203042e1600000000000022512077777777777777777777777777777777777777777777777777777777777777770001104141414141414141414141414141414100000000",
     "5a961b376d1ffbfe5954587d34aa4ad73f89597bf06285a85b19bd3c7887650b",
     "424dcf95ff106fcf2b96ec7e7fda373108ea5c78696ead640d956341c453c598"},
    {"0100000001" + rep("05", 32) + "07000000" "fdfd00" + rep("51", 253) + "ffffffff"
     "01" "0000000000000000" "016a" "00000000",
     "eee233189a0fe32a427d1ac1985a7e61216528d3fe27ac2467c1401a52f819d6",
     "eee233189a0fe32a427d1ac1985a7e61216528d3fe27ac2467c1401a52f819d6"},
};
const std::string kDefaultWitnessCommitment =
    "6a24aa21a9ed" "1c9d580e5ebc5dffeff18efa58c55358a523d963f51b43df699b230f20d6d30d";

TEST(Block, WholeBlockFromATemplateReadsBack)
{
    const Bytes payout = address_to_script(segwit_address("mrv", 0, kProg20, false));
    const Bytes dev_fee = address_to_script(legacy_address(0x12, kProg20));
    const Bytes coinbase = build_coinbase_tx(812346, 625123456, payout, fit_coinbase_message("block test"),
                                             unhex(kDefaultWitnessCommitment), dev_fee, 1);
    std::vector<Bytes> leaves(1, Bytes(32));
    compute_txid(coinbase.data(), coinbase.size(), leaves[0].data());
    std::vector<std::string> block_txs;
    for (const TemplateTx& t : kTemplate) {
        leaves.push_back(rpc_hash(t.txid));
        block_txs.push_back(t.data);
    }
    const Bytes prev = rpc_hash("00000000000000000001b2c3d4e5f60718293a4b5c6d7e8f9fa0b1c2d3e4f506");
    const Bytes root = merkle_root(leaves);
    Bytes header(80);
    build_header(0x20000000, prev.data(), root.data(), 1700000000, 0x1d00ffff, 3054, header.data());
    const Bytes raw = unhex(serialize_block(header.data(), coinbase, block_txs));

    Cursor c{raw, 0};
    EXPECT_EQ(c.take(80), header);
    ASSERT_EQ(c.varint(), 1 + std::size(kTemplate));
    std::vector<ParsedTx> txs;
    for (size_t i = 0; i <= std::size(kTemplate); ++i) ASSERT_NO_THROW(txs.push_back(parse_tx(c)));
    EXPECT_EQ(c.pos, raw.size());

    for (size_t i = 0; i < std::size(kTemplate); ++i) {
        SCOPED_TRACE(i);
        const ParsedTx& t = txs[i + 1];
        EXPECT_EQ(hex(Bytes(raw.begin() + t.begin, raw.begin() + t.end)), kTemplate[i].data);
        EXPECT_EQ(hex(reversed(t.txid)), kTemplate[i].txid);
        EXPECT_EQ(hex(reversed(t.wtxid)), kTemplate[i].wtxid);
        Bytes txid(32);
        compute_txid(raw.data() + t.begin, t.end - t.begin, txid.data());
        EXPECT_EQ(txid, t.txid);
    }

    const ParsedTx& cb = txs[0];
    EXPECT_EQ(Bytes(raw.begin() + cb.begin, raw.begin() + cb.end), coinbase);
    EXPECT_EQ(cb.txid, leaves[0]);
    ASSERT_EQ(cb.witnesses.size(), 1u);
    EXPECT_EQ(cb.witnesses[0], std::vector<Bytes>(1, Bytes(32, 0))); // the witness reserved value
    ASSERT_EQ(cb.output_scripts.size(), 3u);
    EXPECT_EQ(cb.output_scripts[0], payout);
    EXPECT_EQ(cb.output_scripts[1], dev_fee);

    // The commitment, rebuilt from the template's wtxids; the coinbase counts as zero.
    std::vector<Bytes> wtxids(1, Bytes(32, 0)), txids;
    for (const TemplateTx& t : kTemplate) wtxids.push_back(reversed(unhex(t.wtxid)));
    for (const ParsedTx& t : txs) txids.push_back(t.txid);
    const Bytes commitment = ossl_dsha(cat(naive_root(wtxids), Bytes(32, 0)));
    EXPECT_EQ(hex(cb.output_scripts[2]), "6a24aa21a9ed" + hex(commitment));
    EXPECT_EQ(Bytes(header.begin() + 36, header.begin() + 68), naive_root(txids));
}

TEST(ComputeTxid, MalformedInputIsHashedAsGiven)
{
    const Bytes tx = unhex(kTemplate[2].data);
    Cursor c{tx, 0};
    const size_t outputs_end = parse_tx(c).outputs_end;
    // Every cut that leaves no room for a lock time after the outputs.
    for (size_t len = 0; len < outputs_end + 4; ++len) {
        SCOPED_TRACE(len);
        const Bytes cut(tx.begin(), tx.begin() + len);
        Bytes txid(32);
        compute_txid(cut.data(), cut.size(), txid.data());
        EXPECT_EQ(txid, ossl_dsha(cut));
    }
    const Bytes nine_byte_count = unhex("020000000001ff0100000000000000" + rep("00", 60));
    Bytes txid(32);
    compute_txid(nine_byte_count.data(), nine_byte_count.size(), txid.data());
    EXPECT_EQ(txid, ossl_dsha(nine_byte_count));
}

// Damaged segwit transactions: any that still parse whole must keep their id,
// the rest only must not be read past their end.
TEST(ComputeTxid, DamagedTransactions)
{
    std::mt19937 rng(10);
    int parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes tx = unhex(kTemplate[1 + round % 2].data);
        for (int flips = 1 + rng() % 3; flips > 0; --flips) {
            tx[6 + rng() % (tx.size() - 6)] = static_cast<uint8_t>(rng());
        }
        tx.resize(tx.size() - rng() % 8);
        Bytes txid(32);
        compute_txid(tx.data(), tx.size(), txid.data());
        Cursor c{tx, 0};
        try {
            const ParsedTx t = parse_tx(c);
            if (t.end == tx.size()) {
                EXPECT_EQ(txid, t.txid) << hex(tx);
                ++parsed;
            }
        } catch (const std::out_of_range&) {
        }
    }
    EXPECT_GT(parsed, 100);
}

} // namespace
