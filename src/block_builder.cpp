#include "block_builder.h"

#include <array>
#include <cstring>

#include "util.h"

const uint32_t sha256_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

const uint32_t sha256_init[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

uint32_t read_be32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void write_be32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void write_be64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

uint32_t rotr(uint32_t x, int n)
{
    return x >> n | x << (32 - n);
}

void write_digest(const uint32_t state[8], uint8_t out[32])
{
    for (int i = 0; i < 8; ++i) write_be32(out + 4 * i, state[i]);
}

// SHA-256 of a 32-byte digest: always exactly one padded block.
void second_pass(const uint8_t first[32], uint8_t out[32])
{
    uint8_t block[64] = {};
    std::memcpy(block, first, 32);
    block[32] = 0x80;
    write_be64(block + 56, 256);
    uint32_t state[8];
    std::memcpy(state, sha256_init, sizeof state);
    sha256_transform(state, block);
    write_digest(state, out);
}

} // namespace

void sha256_transform(uint32_t state[8], const uint8_t block[64])
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = read_be32(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                            sha256_k[i] + w[i];
        const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

void sha256(const uint8_t* data, uint64_t len, uint8_t out[32])
{
    uint32_t state[8];
    std::memcpy(state, sha256_init, sizeof state);
    const uint64_t whole = len - len % 64;
    for (uint64_t off = 0; off < whole; off += 64) sha256_transform(state, data + off);

    uint8_t block[64] = {};
    const size_t rest = static_cast<size_t>(len - whole);
    if (rest > 0) std::memcpy(block, data + whole, rest);
    block[rest] = 0x80;
    if (rest >= 56) { // no room for the length: it goes into a block of its own
        sha256_transform(state, block);
        std::memset(block, 0, sizeof block);
    }
    write_be64(block + 56, len * 8);
    sha256_transform(state, block);
    write_digest(state, out);
}

void double_sha256(const uint8_t* data, uint64_t len, uint8_t out[32])
{
    uint8_t first[32];
    sha256(data, len, first);
    second_pass(first, out);
}

void push_varint(std::vector<uint8_t>& out, uint64_t value)
{
    uint8_t buf[8];
    size_t width;
    if (value <= 0xFC) {
        out.push_back(static_cast<uint8_t>(value));
        return;
    }
    if (value <= 0xFFFF) {
        out.push_back(0xFD);
        width = 2;
    } else if (value <= 0xFFFFFFFF) {
        out.push_back(0xFE);
        width = 4;
    } else {
        out.push_back(0xFF);
        width = 8;
    }
    write_le64(buf, value);
    out.insert(out.end(), buf, buf + width);
}

// ---- Payout addresses ----

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

// ---- Coinbase ----

std::vector<uint8_t> build_coinbase_tx(uint64_t height, int64_t value,
                                       const std::vector<uint8_t>& payout_script,
                                       const std::string& message,
                                       const std::vector<uint8_t>& witness_commitment,
                                       const std::vector<uint8_t>& dev_fee_script,
                                       int32_t dev_fee_percent)
{
    const bool has_fee = !dev_fee_script.empty() && dev_fee_percent > 0;
    const bool has_witness = !witness_commitment.empty();
    // Split so the product stays in range for any fee that itself fits in 64 bits;
    // the result is (percent * value) / 100 truncated toward zero.
    const int64_t fee = has_fee ? value / 100 * dev_fee_percent + value % 100 * dev_fee_percent / 100 : 0;

    std::vector<uint8_t> script_sig;
    std::vector<uint8_t> height_bytes;
    for (uint64_t h = height; h != 0; h >>= 8) height_bytes.push_back(static_cast<uint8_t>(h & 0xFF));
    // A set top bit would make the script number negative.
    if (!height_bytes.empty() && (height_bytes.back() & 0x80)) height_bytes.push_back(0x00);
    script_sig.push_back(static_cast<uint8_t>(height_bytes.size()));
    script_sig.insert(script_sig.end(), height_bytes.begin(), height_bytes.end());
    if (!message.empty() && message.size() <= 75) script_sig.push_back(static_cast<uint8_t>(message.size()));
    script_sig.insert(script_sig.end(), message.begin(), message.end());

    std::vector<uint8_t> tx;
    uint8_t word[8];
    auto put_le32 = [&](uint32_t v) {
        write_le32(word, v);
        tx.insert(tx.end(), word, word + 4);
    };
    auto put_output = [&](int64_t amount, const std::vector<uint8_t>& script) {
        write_le64(word, static_cast<uint64_t>(amount));
        tx.insert(tx.end(), word, word + 8);
        push_varint(tx, script.size());
        tx.insert(tx.end(), script.begin(), script.end());
    };

    put_le32(2);
    if (has_witness) tx.insert(tx.end(), {0x00, 0x01});
    tx.push_back(1);
    tx.insert(tx.end(), 32, 0x00);
    put_le32(0xFFFFFFFF);
    push_varint(tx, script_sig.size());
    tx.insert(tx.end(), script_sig.begin(), script_sig.end());
    put_le32(0xFFFFFFFF);

    tx.push_back(static_cast<uint8_t>(1 + has_fee + has_witness));
    put_output(value - fee, payout_script);
    if (has_fee) put_output(fee, dev_fee_script);
    if (has_witness) {
        put_output(0, witness_commitment);
        // One item: the 32 zero bytes of the witness reserved value the commitment assumes.
        tx.insert(tx.end(), {0x01, 0x20});
        tx.insert(tx.end(), 32, 0x00);
    }
    put_le32(0);
    return tx;
}

namespace {

// Bounds-checked reader over a serialized transaction; every read reports
// whether the bytes were there.
struct TxReader {
    const uint8_t* data;
    uint64_t len;
    uint64_t pos;

    bool skip(uint64_t n)
    {
        if (n > len - pos) return false;
        pos += n;
        return true;
    }

    // CompactSize in its 1-, 3- or 5-byte form; the 9-byte form is refused.
    bool compact_size(uint64_t& value)
    {
        if (pos >= len) return false;
        const uint8_t first = data[pos++];
        if (first < 0xFD) {
            value = first;
            return true;
        }
        if (first == 0xFD && len - pos >= 2) {
            value = uint64_t{data[pos]} | uint64_t{data[pos + 1]} << 8;
            pos += 2;
            return true;
        }
        if (first == 0xFE && len - pos >= 4) {
            value = read_le32(data + pos);
            pos += 4;
            return true;
        }
        return false;
    }

    // Copies a run of bytes just read (from start to pos) into out.
    void copy_since(uint64_t start, std::vector<uint8_t>& out) const
    {
        out.insert(out.end(), data + start, data + pos);
    }
};

// Appends inputs or outputs (count, then each one unchanged) to stripped.
bool copy_items(TxReader& r, std::vector<uint8_t>& stripped, uint64_t fixed_before, uint64_t fixed_after)
{
    uint64_t count;
    if (!r.compact_size(count)) return false;
    push_varint(stripped, count);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t start = r.pos;
        uint64_t script_len;
        if (!r.skip(fixed_before) || !r.compact_size(script_len) || !r.skip(script_len) ||
            !r.skip(fixed_after)) {
            return false;
        }
        r.copy_since(start, stripped);
    }
    return true;
}

} // namespace

void compute_txid(const uint8_t* tx, uint64_t len, uint8_t out[32])
{
    if (len <= 6 || tx[4] != 0x00 || tx[5] != 0x01) {
        double_sha256(tx, len, out);
        return;
    }
    std::vector<uint8_t> stripped(tx, tx + 4);
    stripped.reserve(len);
    TxReader r{tx, len, 6};
    const bool parsed = copy_items(r, stripped, 36, 4) && copy_items(r, stripped, 8, 0) && len - r.pos >= 4;
    // Truncated or malformed data cannot be stripped: its id is the hash of the bytes as given.
    if (!parsed) {
        double_sha256(tx, len, out);
        return;
    }
    stripped.insert(stripped.end(), tx + len - 4, tx + len);
    double_sha256(stripped.data(), stripped.size(), out);
}

std::string fit_coinbase_message(const std::string& message)
{
    if (message.size() <= MAX_COINBASE_MESSAGE) return message;
    size_t cut = MAX_COINBASE_MESSAGE;
    // Back up over continuation bytes to the start of the character being cut;
    // a character has at most three of them, more is not UTF-8 and is cut as bytes.
    for (int backed = 0; backed < 3 && (static_cast<uint8_t>(message[cut]) & 0xC0) == 0x80; ++backed) --cut;
    if ((static_cast<uint8_t>(message[cut]) & 0xC0) == 0x80) cut = MAX_COINBASE_MESSAGE;
    return message.substr(0, cut);
}

bool hash_from_rpc_hex(const std::string& hex, uint8_t out[32])
{
    if (hex.size() != 64) return false;
    for (char c : hex)
        if (index_in("0123456789abcdefABCDEF", 22, c) < 0) return false;
    const std::vector<uint8_t> bytes = hex_to_bytes(hex);
    for (int i = 0; i < 32; ++i) out[i] = bytes[31 - i];
    return true;
}

// ---- Merkle root, header, block ----

namespace {

using Hash = std::array<uint8_t, 32>;

Hash merkle_parent(const Hash& left, const Hash& right)
{
    uint8_t block[64];
    std::memcpy(block, left.data(), 32);
    std::memcpy(block + 32, right.data(), 32);
    // The padding of a 64-byte message: 0x80, zeros, the length 512 bits.
    uint8_t final_block[64] = {0x80};
    write_be64(final_block + 56, 512);

    uint32_t state[8];
    std::memcpy(state, sha256_init, sizeof state);
    sha256_transform(state, block);
    sha256_transform(state, final_block);
    uint8_t first[32];
    write_digest(state, first);
    Hash parent;
    second_pass(first, parent.data());
    return parent;
}

} // namespace

void compute_merkle_root(const std::vector<std::vector<uint8_t>>& leaves, uint8_t out[32])
{
    std::vector<Hash> level(leaves.size(), Hash{});
    // A leaf is its first 32 bytes, zero-filled when shorter: never read past it.
    for (size_t i = 0; i < leaves.size(); ++i)
        std::memcpy(level[i].data(), leaves[i].data(), leaves[i].size() < 32 ? leaves[i].size() : 32);
    if (level.empty()) level.push_back(Hash{});

    while (level.size() > 1) {
        const size_t n = level.size();
        for (size_t i = 0; i < n; i += 2) {
            // An odd level pairs its last entry with itself.
            const Hash& right = i + 1 < n ? level[i + 1] : level[i];
            level[i / 2] = merkle_parent(level[i], right);
        }
        level.resize((n + 1) / 2);
    }
    std::memcpy(out, level[0].data(), 32);
}

void build_header(int32_t version, const uint8_t prev_hash[32], const uint8_t merkle_root[32],
                  uint32_t time, uint32_t bits, uint32_t nonce, uint8_t out[80])
{
    write_le32(out, static_cast<uint32_t>(version));
    std::memcpy(out + 4, prev_hash, 32);
    std::memcpy(out + 36, merkle_root, 32);
    write_le32(out + 68, time);
    write_le32(out + 72, bits);
    write_le32(out + 76, nonce);
}

std::string serialize_block(const uint8_t header[80], const std::vector<uint8_t>& coinbase_tx,
                            const std::vector<std::string>& block_txs)
{
    // One byte below 253, else FD and two bytes; a block within the weight
    // limit never reaches 65536 transactions.
    std::vector<uint8_t> count;
    push_varint(count, block_txs.size() + 1);

    std::string block = bytes_to_hex(header, 80);
    block += bytes_to_hex(count.data(), count.size());
    block += bytes_to_hex(coinbase_tx.data(), coinbase_tx.size());
    for (const std::string& tx : block_txs) block += tx;
    return block;
}
