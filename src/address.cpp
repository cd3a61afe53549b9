#include "address.h"

#include <cstring>

#include "sha256.h"

namespace {

constexpr char bech32_charset[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr char base58_alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
const uint32_t bech32_generator[5] = {0x3B6A57B2, 0x26508E6D, 0x1EA119FA, 0x3D4233DD, 0x2A1462B3};
constexpr uint32_t bech32_residue = 1;
constexpr uint32_t bech32m_residue = 0x2BC830A3;

// Index of c in the first n characters of set, or -1; a NUL in the address
// must not match the set's terminator.
int index_in(const char* set, size_t n, char c)
{
    const void* hit = std::memchr(set, c, n);
    return hit ? static_cast<int>(static_cast<const char*>(hit) - set) : -1;
}

uint32_t bech32_polymod_step(uint32_t chk, uint32_t value)
{
    const uint32_t top = chk >> 25;
    chk = ((chk & 0x1FFFFFF) << 5) ^ value;
    for (int i = 0; i < 5; ++i)
        if ((top >> i) & 1) chk ^= bech32_generator[i];
    return chk;
}

std::vector<uint8_t> witness_script(uint8_t opcode, const std::vector<uint8_t>& program)
{
    std::vector<uint8_t> script(2 + program.size());
    script[0] = opcode;
    script[1] = static_cast<uint8_t>(program.size());
    std::memcpy(script.data() + 2, program.data(), program.size());
    return script;
}

// Empty when the text is not a segwit address this chain pays to.
std::vector<uint8_t> decode_bech32(const std::string& address)
{
    const size_t sep = address.rfind('1');
    if (sep == std::string::npos || sep == 0) return {};
    if (address.size() - sep - 1 < 6) return {};

    std::vector<uint8_t> values;
    values.reserve(address.size() - sep - 1);
    for (size_t i = sep + 1; i < address.size(); ++i) {
        const int v = index_in(bech32_charset, 32, address[i]);
        if (v < 0) return {};
        values.push_back(static_cast<uint8_t>(v));
    }

    uint32_t chk = 1;
    for (size_t i = 0; i < sep; ++i) chk = bech32_polymod_step(chk, static_cast<uint8_t>(address[i]) >> 5);
    chk = bech32_polymod_step(chk, 0);
    for (size_t i = 0; i < sep; ++i) chk = bech32_polymod_step(chk, static_cast<uint8_t>(address[i]) & 31);
    for (uint8_t v : values) chk = bech32_polymod_step(chk, v);
    // Either checksum is taken for any witness version.
    if (chk != bech32_residue && chk != bech32m_residue) return {};

    values.resize(values.size() - 6);
    if (values.empty()) return {};
    const uint8_t version = values[0];
    std::vector<uint8_t> program;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 1; i < values.size(); ++i) {
        acc = ((acc << 5) | values[i]) & 0xFFF;
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            program.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    // Left-over padding bits are dropped unchecked.

    if (version == 0 && (program.size() == 20 || program.size() == 32)) return witness_script(0x00, program);
    if (version == 1 && program.size() == 32) return witness_script(0x51, program);
    return {};
}

std::vector<uint8_t> decode_base58check(const std::string& address)
{
    if (address.empty()) return {};
    std::vector<uint8_t> num; // least significant byte first
    for (char ch : address) {
        const int v = index_in(base58_alphabet, 58, ch);
        if (v < 0) return {};
        uint32_t carry = static_cast<uint32_t>(v);
        for (uint8_t& b : num) {
            carry += uint32_t{b} * 58;
            b = static_cast<uint8_t>(carry & 0xFF);
            carry >>= 8;
        }
        for (; carry != 0; carry >>= 8) num.push_back(static_cast<uint8_t>(carry & 0xFF));
    }
    for (size_t i = 0; i < address.size() && address[i] == '1'; ++i) num.push_back(0);
    const std::vector<uint8_t> payload(num.rbegin(), num.rend());
    if (payload.size() < 25) return {};

    uint8_t check[32];
    double_sha256(payload.data(), payload.size() - 4, check);
    if (std::memcmp(check, payload.data() + payload.size() - 4, 4) != 0) return {};

    const uint8_t* hash = payload.data() + 1;
    std::vector<uint8_t> script;
    if (payload[0] == 0x1C) {
        script = {0x76, 0xA9, 0x14};
        script.insert(script.end(), hash, hash + 20);
        script.insert(script.end(), {0x88, 0xAC});
    } else if (payload[0] == 0x12) {
        script = {0xA9, 0x14};
        script.insert(script.end(), hash, hash + 20);
        script.push_back(0x87);
    }
    return script;
}

} // namespace

std::vector<uint8_t> address_to_script(const std::string& address)
{
    if (address.compare(0, 4, "mrv1") == 0 || address.compare(0, 5, "tmrv1") == 0) {
        std::vector<uint8_t> script = decode_bech32(address);
        if (!script.empty()) return script;
    }
    return decode_base58check(address);
}
