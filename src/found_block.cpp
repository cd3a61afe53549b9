#include "found_block.h"

#include <cinttypes>
#include <cstdio>

#include "../kernels/whirlpool_cuda.h"
#include "block_builder.h"
#include "util.h"

namespace {

constexpr double COIN = 100000000.0;

} // namespace

bool meets_target(const uint8_t hash[32], const uint64_t target[4])
{
    // Most significant word first.
    for (int j = 3; j >= 0; --j) {
        const uint64_t h = read_le64(hash + 8 * j);
        if (h != target[j]) return h < target[j];
    }
    return true;
}

bool check_find(const Find& f)
{
    const MiningWork& w = *f.work;
    // A pool's share is a block where it meets the network's target.
    const uint64_t* target = w.pool ? w.pool->network_target : w.target;
    // One print for the whole box: other threads print too.
    std::string box = "\n  +=========================================+\n"
                      "  |          [*] BLOCK FOUND! [*]           |\n"
                      "  +=========================================+\n";
    char line[256];
    if (f.device >= 0) {
        std::snprintf(line, sizeof line, "  Found by: GPU #%d\n", f.device);
        box += line;
    }
    std::snprintf(line, sizeof line, "  Nonce: %u (0x%08x)\n", f.nonce, f.nonce);
    box += line;
    const Header header = header_with_nonce(w, f.nonce);
    uint8_t hash[32];
    host_pow_hash(header.data(), hash);
    box += "  PoW Hash: " + bytes_to_hex(hash, 32) + "\n";
    std::snprintf(line, sizeof line,
                  "  Hash u64: %016" PRIx64 " %016" PRIx64 " %016" PRIx64 " %016" PRIx64 "\n"
                  "  Target:   %016" PRIx64 " %016" PRIx64 " %016" PRIx64 " %016" PRIx64 "\n",
                  read_le64(hash + 24), read_le64(hash + 16), read_le64(hash + 8), read_le64(hash),
                  target[3], target[2], target[1], target[0]);
    box += line;
    if (!meets_target(hash, target)) {
        box += "  [!] CPU says hash does NOT meet target!\n"
               "  [!] GPU false positive - skipping submission.\n\n";
        std::fputs(box.c_str(), stdout);
        return false;
    }
    if (w.pool) {
        box += "  [+] CPU verified: hash meets target\n"
               "  [*] A share at the network's target: the pool sends the block\n";
        std::fputs(box.c_str(), stdout);
        return true;
    }
    const int64_t fee = w.coinbase_value / 100;
    const int64_t miner_share = w.coinbase_value - fee;
    std::snprintf(line, sizeof line,
                  "  [+] CPU verified: hash meets target\n"
                  "  [*] Coinbase: %.8f MRV to miner, %.8f MRV dev fee (%zu bytes)\n",
                  static_cast<double>(miner_share) / COIN, static_cast<double>(fee) / COIN,
                  w.coinbase_tx.size());
    box += line;
    std::fputs(box.c_str(), stdout);
    return true;
}

std::string found_block_hex(const Find& f)
{
    const MiningWork& w = *f.work;
    return serialize_block(header_with_nonce(w, f.nonce).data(), w.coinbase_tx, *w.block_txs);
}
