// address_to_script: any text gives the empty script or one of the five
// payout shapes; an address that the harness's own encoder makes from the
// input's bytes decodes back to its program.
#include <cstdint>
#include <string>
#include <vector>

#include "block_builder.h"
#include "fuzz_check.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool has_shape(const Bytes& s)
{
    auto is = [&](std::initializer_list<uint8_t> head, size_t body, std::initializer_list<uint8_t> tail) {
        if (s.size() != head.size() + body + tail.size()) return false;
        return std::equal(head.begin(), head.end(), s.begin()) &&
               std::equal(tail.begin(), tail.end(), s.end() - tail.size());
    };
    return is({0x00, 0x14}, 20, {}) || is({0x00, 0x20}, 32, {}) || is({0x51, 0x20}, 32, {}) ||
           is({0x76, 0xA9, 0x14}, 20, {0x88, 0xAC}) || is({0xA9, 0x14}, 20, {0x87});
}

uint32_t polymod(const std::vector<uint8_t>& values)
{
    static const uint32_t gen[5] = {0x3B6A57B2, 0x26508E6D, 0x1EA119FA, 0x3D4233DD, 0x2A1462B3};
    uint32_t chk = 1;
    for (uint8_t v : values) {
        const uint32_t top = chk >> 25;
        chk = ((chk & 0x1FFFFFF) << 5) ^ v;
        for (int i = 0; i < 5; ++i)
            if ((top >> i) & 1) chk ^= gen[i];
    }
    return chk;
}

std::string bech32(const std::string& hrp, uint8_t version, const Bytes& program, bool m)
{
    static const char charset[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
    std::vector<uint8_t> data = {version};
    uint32_t acc = 0;
    int bits = 0;
    for (uint8_t b : program) {
        acc = acc << 8 | b;
        bits += 8;
        while (bits >= 5) data.push_back((acc >> (bits -= 5)) & 31);
    }
    if (bits) data.push_back((acc << (5 - bits)) & 31);
    std::vector<uint8_t> values;
    for (char c : hrp) values.push_back(static_cast<uint8_t>(c) >> 5);
    values.push_back(0);
    for (char c : hrp) values.push_back(c & 31);
    values.insert(values.end(), data.begin(), data.end());
    values.insert(values.end(), 6, 0);
    const uint32_t pm = polymod(values) ^ (m ? 0x2BC830A3 : 1);
    std::string out = hrp + "1";
    for (uint8_t d : data) out += charset[d];
    for (int i = 0; i < 6; ++i) out += charset[(pm >> (5 * (5 - i))) & 31];
    return out;
}

std::string base58check(uint8_t version, const Bytes& hash)
{
    static const char alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
    Bytes payload = {version};
    payload.insert(payload.end(), hash.begin(), hash.end());
    uint8_t check[32];
    double_sha256(payload.data(), payload.size(), check);
    payload.insert(payload.end(), check, check + 4);
    std::string digits;
    Bytes n = payload;
    while (!n.empty()) {
        int rem = 0;
        Bytes q;
        for (uint8_t b : n) {
            const int cur = rem * 256 + b;
            if (!q.empty() || cur / 58) q.push_back(static_cast<uint8_t>(cur / 58));
            rem = cur % 58;
        }
        digits += alphabet[rem];
        n = q;
    }
    for (size_t i = 0; i < payload.size() && payload[i] == 0; ++i) digits += '1';
    return std::string(digits.rbegin(), digits.rend());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Bytes script = address_to_script(text);
    FUZZ_CHECK(script.empty() || has_shape(script));

    if (size < 33) return 0;
    const uint8_t choice = data[0];
    const Bytes program(data + 1, data + ((choice & 1) ? 33 : 21));
    const bool testnet = choice & 2;
    const bool m = choice & 4;
    Bytes expected;
    std::string address;
    switch ((choice >> 3) % 4) {
    case 0: // witness version 0, 20 or 32 bytes
        address = bech32(testnet ? "tmrv" : "mrv", 0, program, m);
        expected = {0x00, static_cast<uint8_t>(program.size())};
        break;
    case 1: // witness version 1, 32 bytes
        if (program.size() != 32) return 0;
        address = bech32(testnet ? "tmrv" : "mrv", 1, program, m);
        expected = {0x51, 0x20};
        break;
    default: { // Base58Check: public-key hash or script hash
        const Bytes hash(program.begin(), program.begin() + 20);
        const bool p2sh = (choice >> 3) % 4 == 3;
        address = base58check(p2sh ? 0x12 : 0x1C, hash);
        expected = p2sh ? Bytes{0xA9, 0x14} : Bytes{0x76, 0xA9, 0x14};
        expected.insert(expected.end(), hash.begin(), hash.end());
        if (p2sh) expected.push_back(0x87);
        else expected.insert(expected.end(), {0x88, 0xAC});
        FUZZ_CHECK(address_to_script(address) == expected);
        return 0;
    }
    }
    expected.insert(expected.end(), program.begin(), program.end());
    FUZZ_CHECK(address_to_script(address) == expected);
    return 0;
}
