#include "block_builder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "sha256.h"
#include "util.h"

std::vector<uint8_t> height_script(uint64_t height)
{
    // A node checks the script against its own encoding of the height as a
    // number, which makes 1 to 16 the opcodes OP_1 to OP_16, not pushes.
    if (height >= 1 && height <= 16) return {static_cast<uint8_t>(0x50 + height)};
    std::vector<uint8_t> number;
    for (uint64_t h = height; h != 0; h >>= 8) number.push_back(static_cast<uint8_t>(h & 0xFF));
    // A set top bit would make the script number negative.
    if (!number.empty() && (number.back() & 0x80)) number.push_back(0x00);
    std::vector<uint8_t> script{static_cast<uint8_t>(number.size())};
    script.insert(script.end(), number.begin(), number.end());
    return script;
}

std::vector<uint8_t> build_coinbase_tx(uint64_t height, int64_t value,
                                       const std::vector<uint8_t>& payout_script,
                                       const std::string& message,
                                       const std::vector<uint8_t>& witness_commitment,
                                       const std::vector<uint8_t>& dev_fee_script,
                                       int32_t dev_fee_percent,
                                       const std::vector<uint8_t>& extra_nonce)
{
    const bool has_fee = !dev_fee_script.empty() && dev_fee_percent > 0;
    const bool has_witness = !witness_commitment.empty();
    // Split so the product stays in range for any fee that itself fits in 64 bits;
    // the result is (percent * value) / 100 truncated toward zero.
    const int64_t fee = has_fee ? value / 100 * dev_fee_percent + value % 100 * dev_fee_percent / 100 : 0;

    std::vector<uint8_t> script_sig = height_script(height);
    if (!extra_nonce.empty()) {
        script_sig.push_back(static_cast<uint8_t>(extra_nonce.size()));
        script_sig.insert(script_sig.end(), extra_nonce.begin(), extra_nonce.end());
    }
    if (!message.empty() && message.size() <= 75) script_sig.push_back(static_cast<uint8_t>(message.size()));
    script_sig.insert(script_sig.end(), message.begin(), message.end());
    // Consensus wants at least 2 bytes; a small height alone is a single opcode.
    if (script_sig.size() < MIN_COINBASE_SCRIPT) script_sig.push_back(0x00);

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
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    const std::vector<uint8_t> bytes = hex_to_bytes(hex);
    for (int i = 0; i < 32; ++i) out[i] = bytes[31 - i];
    return true;
}

namespace {

using Hash = Hash32;

Hash merkle_parent(const Hash& left, const Hash& right)
{
    uint8_t pair[64];
    std::memcpy(pair, left.data(), 32);
    std::memcpy(pair + 32, right.data(), 32);
    Hash parent;
    double_sha256(pair, sizeof pair, parent.data());
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

std::vector<Hash32> coinbase_merkle_branch(const std::vector<Hash32>& tx_leaves)
{
    // Level 0 is the coinbase, unknown here, then the transactions. Only
    // entry 0 of each level depends on the coinbase; its sibling never does.
    std::vector<Hash> level(tx_leaves.size() + 1);
    std::copy(tx_leaves.begin(), tx_leaves.end(), level.begin() + 1);
    std::vector<Hash32> branch;
    while (level.size() > 1) {
        branch.push_back(level[1]);
        const size_t n = level.size();
        for (size_t i = 2; i < n; i += 2) {
            // An odd level pairs its last entry with itself.
            const Hash& right = i + 1 < n ? level[i + 1] : level[i];
            level[i / 2] = merkle_parent(level[i], right);
        }
        level.resize((n + 1) / 2);
    }
    return branch;
}

void merkle_root_from_branch(const uint8_t coinbase_txid[32], const std::vector<Hash32>& branch,
                             uint8_t out[32])
{
    Hash h;
    std::memcpy(h.data(), coinbase_txid, 32);
    for (const Hash& sibling : branch) h = merkle_parent(h, sibling);
    std::memcpy(out, h.data(), 32);
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
