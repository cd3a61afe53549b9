#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "util.h"

namespace {

using Words = std::vector<uint64_t>;

Words words(const uint64_t t[4])
{
    return Words(t, t + 4);
}

TEST(Util, Le32RoundTripIsHostIndependent)
{
    uint8_t b[4];
    write_le32(b, 0x12345678);
    EXPECT_EQ(b[0], 0x78);
    EXPECT_EQ(b[1], 0x56);
    EXPECT_EQ(b[2], 0x34);
    EXPECT_EQ(b[3], 0x12);
    EXPECT_EQ(read_le32(b), 0x12345678u);
}

TEST(Util, NbitsToTarget)
{
    struct Case {
        uint32_t bits;
        Words target;
    };
    const Case cases[] = {
        {0x1d00ffff, {0, 0, 0, 0x00000000FFFF0000}},
        {0x03123456, {0x123456, 0, 0, 0}},
        {0x01123456, {0x12, 0, 0, 0}},
        {0x02123456, {0x1234, 0, 0, 0}},
        {0x00123456, {0, 0, 0, 0}},
        {0x04123456, {0x12345600, 0, 0, 0}},
        {0x0a123456, {0x5600000000000000, 0x1234, 0, 0}}, // straddles words 0 and 1
        {0x20123456, {0, 0, 0, 0x1234560000000000}},
        {0x207fffff, {0, 0, 0, 0x7fffff0000000000}},
        {0x21010000, {0, 0, 0, 0}},  // exponent 33: zero, even though it would fit
        {0x1d800000, {0, 0, 0, 0}},  // sign bit
        {0x1dffffff, {0, 0, 0, 0}},  // sign bit with a mantissa
        {0x1d000000, {0, 0, 0, 0}},  // zero mantissa
        {0xff7fffff, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.bits);
        uint64_t t[4] = {1, 2, 3, 4};
        nbits_to_target(c.bits, t);
        EXPECT_EQ(words(t), c.target);
    }
}

TEST(Util, TargetToDifficulty)
{
    const uint64_t zero[4] = {0, 0, 0, 0};
    const uint64_t one[4] = {0, 0, 0, 0x00000001FFFE0000};
    const uint64_t two[4] = {0, 0, 0, 0x00000000FFFF0000};
    const uint64_t easy[4] = {0, 0, 0, 0x7fffff0000000000};
    EXPECT_EQ(target_to_difficulty(zero), 0.0);
    EXPECT_DOUBLE_EQ(target_to_difficulty(one), 1.0);
    EXPECT_DOUBLE_EQ(target_to_difficulty(two), 2.0);
    EXPECT_NEAR(target_to_difficulty(easy), 9.313084747813849e-10, 1e-22);
}

TEST(Util, HashrateStr)
{
    const std::pair<double, const char*> cases[] = {
        {0.0, "0.00 H/s"},          {-5.0, "-5.00 H/s"},         {999.0, "999.00 H/s"},
        {999.994, "999.99 H/s"},    {999.999, "1000.00 H/s"},    {1000.0, "1.00 KH/s"},
        {1.5e9, "1.50 GH/s"},       {1.0e12, "1.00 TH/s"},       {1.0e15, "1000.00 TH/s"},
        {2.5e15, "2500.00 TH/s"},   {44040192.0, "44.04 MH/s"},
    };
    for (const auto& c : cases) EXPECT_EQ(hashrate_str(c.first), c.second) << c.first;
    // The 64-byte buffer cuts what does not fit.
    EXPECT_EQ(hashrate_str(1e300).size(), 63u);
}

TEST(Util, BytesToHex)
{
    const uint8_t b[] = {0x00, 0x0A, 0xFF};
    EXPECT_EQ(bytes_to_hex(b, 3), "000aff");
    EXPECT_EQ(bytes_to_hex(b, 0), "");
}

TEST(Util, HexToBytes)
{
    const std::pair<std::string, std::vector<uint8_t>> cases[] = {
        {"", {}},
        {"a", {}},
        {"abc", {0xAB}},             // trailing odd digit ignored
        {"0A0b", {0x0A, 0x0B}},
        {"zz", {0x00}},               // no digit at all
        {"1z", {0x01}},               // stops at the bad second digit
        {"z1", {0x00}},
        {"FFff", {0xFF, 0xFF}},
        {std::string("\0" "1", 2), {0x00}},
    };
    for (const auto& c : cases) EXPECT_EQ(hex_to_bytes(c.first), c.second) << c.first;
}

TEST(Util, HexRoundTrip)
{
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(hex_to_bytes(bytes_to_hex(all.data(), all.size())), all);
}

TEST(Util, TargetHexToU64)
{
    struct Case {
        std::string hex;
        Words target;
    };
    const std::string full =
        "00000000ffff0000000000000000000000000000000000000000000000000000";
    const std::string ordered =
        "0123456789abcdef" "fedcba9876543210" "0011223344556677" "8899aabbccddeeff";
    const Case cases[] = {
        {"", {0, 0, 0, 0}},
        {"ff", {0xFF, 0, 0, 0}},
        {"0100", {0x100, 0, 0, 0}},
        {full, {0, 0, 0, 0x00000000FFFF0000}},
        {ordered, {0x8899aabbccddeeff, 0x0011223344556677, 0xfedcba9876543210, 0x0123456789abcdef}},
        {ordered + "ff", {0x8899aabbccddeeff, 0x0011223344556677, 0xfedcba9876543210,
                          0x0123456789abcdef}}, // only the first 64 digits count
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        uint64_t t[4] = {9, 9, 9, 9};
        target_hex_to_u64(c.hex, t);
        EXPECT_EQ(words(t), c.target);
    }
}

TEST(Util, BitsAndHexTargetsAgree)
{
    for (uint32_t bits : {0x1d00ffffu, 0x1b0404cbu, 0x207fffffu, 0x170f48e4u}) {
        uint64_t from_bits[4], from_hex[4];
        nbits_to_target(bits, from_bits);
        char hex[65];
        std::snprintf(hex, sizeof hex, "%016lx%016lx%016lx%016lx",
                      static_cast<unsigned long>(from_bits[3]), static_cast<unsigned long>(from_bits[2]),
                      static_cast<unsigned long>(from_bits[1]), static_cast<unsigned long>(from_bits[0]));
        target_hex_to_u64(hex, from_hex);
        EXPECT_EQ(words(from_bits), words(from_hex)) << std::hex << bits;
    }
}

} // namespace
