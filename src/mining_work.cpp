#include "mining_work.h"

#include <cstdio>
#include <cstring>

#include "../kernels/whirlpool_cuda.h"
#include "block_builder.h"
#include "util.h"

namespace {

// The development-fee address, kept scrambled: character i is _da[i] ^ _dk[i % 16].
constexpr uint8_t _da[43] = {
    0x5a, 0xf9, 0x68, 0xf6, 0xb7, 0x49, 0xf9, 0xca, 0xd1, 0xd6, 0x99, 0x8f, 0x87, 0x7a, 0x6c,
    0xb1, 0x40, 0xf3, 0x6d, 0xa3, 0xa3, 0x44, 0xbe, 0xca, 0xdf, 0x91, 0x96, 0xda, 0xd2, 0x39,
    0x6d, 0xb3, 0x42, 0xbd, 0x26, 0xaa, 0xa8, 0x4c, 0xb6, 0x97, 0x83, 0xcd, 0x86,
};
constexpr uint8_t _dk[16] = {0x37, 0x8b, 0x1e, 0xc7, 0xc6, 0x3d, 0xcf, 0xa2,
                             0xb7, 0xa1, 0xf7, 0xee, 0xe6, 0x09, 0x1b, 0xc4};

// Bitcoin Core offers the commitment only where segwit is active; a block
// that carries one anywhere else is refused as "unexpected-witness".
bool segwit_active(const std::vector<std::string>& rules)
{
    for (const std::string& rule : rules) {
        if (rule == "segwit" || rule == "!segwit") return true;
    }
    return false;
}

} // namespace

double seconds_since(SteadyClock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - t).count() / 1e9;
}

int64_t unix_now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string dev_fee_address()
{
    std::string a(sizeof _da, '\0');
    for (size_t i = 0; i < sizeof _da; ++i) a[i] = static_cast<char>(_da[i] ^ _dk[i % sizeof _dk]);
    return a;
}

bool prepare_template(const BlockTemplate& t, TemplateWork& out, std::string& why)
{
    out = TemplateWork{};
    if (!hash_from_rpc_hex(t.previousblockhash, out.prev_hash)) {
        why = "previousblockhash is not a 32-byte hash: " + t.previousblockhash.substr(0, 80);
        return false;
    }
    std::vector<Hash32> tx_leaves;
    tx_leaves.reserve(t.transactions.size());
    auto block_txs = std::make_shared<std::vector<std::string>>();
    for (const BlockTemplateTx& tx : t.transactions) {
        if (!tx.txid.empty()) {
            tx_leaves.emplace_back();
            if (!hash_from_rpc_hex(tx.txid, tx_leaves.back().data())) {
                why = "a transaction's txid is not a 32-byte hash: " + tx.txid.substr(0, 80);
                return false;
            }
        }
        if (!tx.data.empty()) block_txs->push_back(tx.data);
    }
    out.merkle_branch = coinbase_merkle_branch(tx_leaves);
    out.block_txs = std::move(block_txs);
    if (segwit_active(t.rules)) out.witness_commitment = hex_to_bytes(t.default_witness_commitment);
    // The node's explicit target wins over the compact bits.
    if (!t.target.empty()) {
        target_hex_to_u64(t.target, out.target);
    } else {
        nbits_to_target(t.bits, out.target);
    }
    out.version = t.version;
    out.curtime = t.curtime;
    out.bits = t.bits;
    out.height = t.height;
    out.coinbase_value = t.coinbasevalue;
    out.transactions = t.transactions.size();
    out.parent = t.previousblockhash;
    return true;
}

bool same_work(const TemplateWork& a, const TemplateWork& b)
{
    return a.version == b.version && std::memcmp(a.prev_hash, b.prev_hash, 32) == 0 &&
           a.curtime == b.curtime && a.bits == b.bits && a.height == b.height &&
           a.coinbase_value == b.coinbase_value &&
           std::memcmp(a.target, b.target, sizeof a.target) == 0 &&
           a.witness_commitment == b.witness_commitment && a.merkle_branch == b.merkle_branch &&
           a.parent == b.parent && a.pool == b.pool && a.origin == b.origin &&
           *a.block_txs == *b.block_txs;
}

uint64_t extranonce2_count(const PoolCoinbase& pool)
{
    return pool.extranonce2_size >= 8 ? ~uint64_t{0} : uint64_t{1} << (8 * pool.extranonce2_size);
}

std::vector<uint8_t> extranonce2_bytes(const PoolCoinbase& pool, uint64_t value)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(pool.extranonce2_size));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

void build_work(const CoinbaseParts& parts, uint64_t extra_nonce_value, const TemplateWork& t,
                MiningWork& w)
{
    w = MiningWork{};
    if (t.pool) {
        const PoolCoinbase& pool = *t.pool;
        const std::vector<uint8_t> extranonce2 = extranonce2_bytes(pool, extra_nonce_value);
        w.coinbase_tx = pool.coinb1;
        w.coinbase_tx.insert(w.coinbase_tx.end(), pool.extranonce1.begin(), pool.extranonce1.end());
        w.coinbase_tx.insert(w.coinbase_tx.end(), extranonce2.begin(), extranonce2.end());
        w.coinbase_tx.insert(w.coinbase_tx.end(), pool.coinb2.begin(), pool.coinb2.end());
    } else {
        std::vector<uint8_t> extra_nonce(EXTRA_NONCE_BYTES);
        write_le32(extra_nonce.data(), static_cast<uint32_t>(extra_nonce_value));
        w.coinbase_tx = build_coinbase_tx(t.height, t.coinbase_value, parts.payout_script,
                                          parts.message, t.witness_commitment, parts.dev_fee_script,
                                          DEV_FEE_PERCENT, extra_nonce);
    }
    uint8_t txid[32];
    compute_txid(w.coinbase_tx.data(), w.coinbase_tx.size(), txid);
    uint8_t merkle_root[32];
    merkle_root_from_branch(txid, t.merkle_branch, merkle_root);
    build_header(t.version, t.prev_hash, merkle_root, t.curtime, t.bits, 0, w.header);
    compute_midstate(w.header, w.midstate, &w.w8, &w.w9_base);
    std::memcpy(w.target, t.target, sizeof w.target);
    w.height = t.height;
    w.coinbase_value = t.coinbase_value;
    w.extra_nonce = extra_nonce_value;
    w.parent = t.parent;
    w.block_txs = t.block_txs;
    w.pool = t.pool;
    w.origin = t.origin;
}

Header header_with_nonce(const MiningWork& w, uint32_t nonce)
{
    Header header;
    std::memcpy(header.data(), w.header, header.size());
    write_le32(header.data() + WORK_BYTES, nonce);
    return header;
}

bool hash_sanity_check()
{
    std::printf("  [*] Running hash sanity check...\n");
    uint8_t header[80];
    std::memset(header, 0xAB, sizeof header);
    uint8_t hash0[32], hash1[32];
    write_le32(header + 76, 0);
    host_pow_hash(header, hash0);
    std::printf("  [*] CPU hash (nonce=0): %s\n", bytes_to_hex(hash0, 32).c_str());
    write_le32(header + 76, 1);
    host_pow_hash(header, hash1);
    std::printf("  [*] CPU hash (nonce=1): %s\n", bytes_to_hex(hash1, 32).c_str());
    if (std::memcmp(hash0, hash1, 32) == 0) {
        std::printf("  [!] FATAL: nonce not changing hash!\n");
        return false;
    }
    std::printf("  [+] Sanity check passed\n\n");
    return true;
}
