#include "util.h"

#include <cstdio>
#include <cstdlib>

void write_le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t read_le32(const uint8_t* p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void write_le64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t read_le64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

namespace {

void target_from_le_bytes(const uint8_t le[32], uint64_t out[4])
{
    for (int j = 0; j < 4; ++j) out[j] = read_le64(le + 8 * j);
}

} // namespace

void nbits_to_target(uint32_t bits, uint64_t out[4])
{
    for (int j = 0; j < 4; ++j) out[j] = 0;
    if (bits & 0x800000u) return; // negative compact values mean zero
    const uint32_t e = bits >> 24;
    const uint32_t m = bits & 0x7FFFFFu;
    if (e <= 3) {
        out[0] = m >> (8 * (3 - e));
        return;
    }
    if (e > 32) return; // no overflow signal: the target simply stays zero
    uint8_t le[32] = {};
    for (uint32_t i = 0; i < 3; ++i) {
        const uint32_t pos = e - 3 + i;
        if (pos < 32) le[pos] = static_cast<uint8_t>(m >> (8 * i));
    }
    target_from_le_bytes(le, out);
}

void target_hex_to_u64(const std::string& hex, uint64_t out[4])
{
    std::vector<uint8_t> b = hex_to_bytes(hex);
    if (b.size() < 32) b.insert(b.begin(), 32 - b.size(), 0); // a short text is the low end
    uint8_t le[32];
    for (int k = 0; k < 32; ++k) le[k] = b[31 - k];
    target_from_le_bytes(le, out);
}

double target_to_difficulty(const uint64_t target[4])
{
    const double two64 = 18446744073709551616.0;
    double d = static_cast<double>(target[3]);
    d = d * two64 + static_cast<double>(target[2]);
    d = d * two64 + static_cast<double>(target[1]);
    d = d * two64 + static_cast<double>(target[0]);
    if (d == 0.0) return 0.0;
    // 0x1FFFE * 2^208: the chain's difficulty-1 target is twice Bitcoin's.
    return 5.391907058202262e67 / d;
}

std::string hashrate_str(double rate)
{
    static const char* const units[] = {"H/s", "KH/s", "MH/s", "GH/s", "TH/s"};
    int index = 0;
    while (rate >= 1000.0 && index < 4) {
        rate /= 1000.0;
        ++index;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f %s", rate, units[index]);
    return buf;
}

std::string bytes_to_hex(const uint8_t* data, uint64_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.resize(2 * len);
    for (uint64_t i = 0; i < len; ++i) {
        s[2 * i] = digits[data[i] >> 4];
        s[2 * i + 1] = digits[data[i] & 15];
    }
    return s;
}

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

// Each pair converts like strtoul base 16 of the two characters: a bad first
// digit gives 0, a bad second digit gives the first digit's value. A "0x"
// pair is therefore 0, and whitespace or a sign before a digit is accepted
// exactly as strtoul accepts it.
std::vector<uint8_t> hex_to_bytes(const std::string& hex)
{
    std::vector<uint8_t> out;
    if (hex.size() < 2) return out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = hex_digit(hex[i]);
        const int lo = hex_digit(hex[i + 1]);
        if (hi >= 0 && lo >= 0) {
            out.push_back(static_cast<uint8_t>(hi << 4 | lo));
            continue;
        }
        const char pair[3] = {hex[i], hex[i + 1], '\0'};
        out.push_back(static_cast<uint8_t>(std::strtoul(pair, nullptr, 16)));
    }
    return out;
}
