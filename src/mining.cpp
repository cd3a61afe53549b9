#include "mining.h"

#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../kernels/whirlpool_cuda.h"
#include "block_builder.h"
#include "rpc_client.h"
#include "shell.h"
#include "tip_watcher.h"
#include "util.h"

namespace {

struct MiningWork {
    uint8_t header[80];
    uint64_t midstate[8];
    uint64_t w8;
    uint64_t w9_base;
    uint64_t target[4];
    uint64_t height;
    std::string prev_hash;
    std::vector<uint8_t> coinbase_tx;
    std::vector<std::string> block_txs;
};

// The development-fee address, kept scrambled: character i is _da[i] ^ _dk[i % 16].
constexpr uint8_t _da[43] = {
    0x5a, 0xf9, 0x68, 0xf6, 0xb7, 0x49, 0xf9, 0xca, 0xd1, 0xd6, 0x99, 0x8f, 0x87, 0x7a, 0x6c,
    0xb1, 0x40, 0xf3, 0x6d, 0xa3, 0xa3, 0x44, 0xbe, 0xca, 0xdf, 0x91, 0x96, 0xda, 0xd2, 0x39,
    0x6d, 0xb3, 0x42, 0xbd, 0x26, 0xaa, 0xa8, 0x4c, 0xb6, 0x97, 0x83, 0xcd, 0x86,
};
constexpr uint8_t _dk[16] = {0x37, 0x8b, 0x1e, 0xc7, 0xc6, 0x3d, 0xcf, 0xa2,
                             0xb7, 0xa1, 0xf7, 0xee, 0xe6, 0x09, 0x1b, 0xc4};
constexpr int32_t DEV_FEE_PERCENT = 1;

constexpr double STATS_SECONDS = 2.0;
constexpr auto POLL_INTERVAL = std::chrono::seconds(5);
constexpr auto RETRY_WAIT = std::chrono::seconds(5);
// A found block whose submission got no reply is sent again after these pauses.
constexpr int SUBMIT_RETRY_SECONDS[] = {1, 2, 3, 4, 5};
constexpr double COIN = 100000000.0;

using SteadyClock = std::chrono::steady_clock;

double seconds_since(SteadyClock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - t).count() / 1e9;
}

// Signals do not cut these waits short: a stop takes effect after them.
void wait_seconds(std::chrono::seconds d)
{
    std::this_thread::sleep_for(d);
}

std::string dev_fee_address()
{
    std::string a(sizeof _da, '\0');
    for (size_t i = 0; i < sizeof _da; ++i) a[i] = static_cast<char>(_da[i] ^ _dk[i % sizeof _dk]);
    return a;
}

// h3..h0 against t3..t0, most significant first; equal meets.
bool meets_target(const uint8_t hash[32], const uint64_t target[4])
{
    for (int j = 3; j >= 0; --j) {
        const uint64_t h = read_le64(hash + 8 * j);
        if (h != target[j]) return h < target[j];
    }
    return true;
}

using Header = std::array<uint8_t, 80>;
// The header without its nonce: what one job searches.
constexpr size_t WORK_BYTES = 76;

// Everything the session owns for its whole life.
struct Session {
    RpcClient& client;
    const TipWatcher& tips;
    CudaMiner* miner;
    const std::string& address;
    const std::string& coinbase_message;
    std::vector<uint8_t> dev_fee_script;
    // Random for each session, so that two rigs mining to one address on one
    // node search different headers; stepped whenever a job's nonces run out.
    uint32_t extra_nonce = 0;
    std::string last_prev_hash{};
    std::string last_template_failure{};
    // A node caches its template, so the job after a find often has the same
    // header: it goes on after the nonces already searched, and a block the
    // node refused is never sent again.
    std::array<uint8_t, WORK_BYTES> last_work{};
    uint32_t resume_nonce = 0;
    std::set<Header> rejected{};
    bool device_failed = false;
    uint64_t blocks_found = 0;
    uint64_t total_hashes = 0;
    SteadyClock::time_point start{};
};

enum class JobEnd { stopped, candidate, new_tip, exhausted, device_failed };

// A template the node got wrong: false with the reason.
enum class BuildResult { ok, bad_address, bad_template };

BuildResult build_work(const Session& s, const BlockTemplate& t, MiningWork& w, std::string& why)
{
    w = MiningWork{};
    const std::vector<uint8_t> payout = address_to_script(s.address);
    if (payout.empty()) return BuildResult::bad_address;

    uint8_t prev_hash[32];
    if (!hash_from_rpc_hex(t.previousblockhash, prev_hash)) {
        why = "previousblockhash is not a 32-byte hash: " + t.previousblockhash.substr(0, 80);
        return BuildResult::bad_template;
    }
    const std::vector<uint8_t> commitment = hex_to_bytes(t.default_witness_commitment);
    std::vector<uint8_t> extra_nonce(EXTRA_NONCE_BYTES);
    write_le32(extra_nonce.data(), s.extra_nonce);
    w.coinbase_tx = build_coinbase_tx(t.height, t.coinbasevalue, payout, s.coinbase_message,
                                      commitment, s.dev_fee_script, DEV_FEE_PERCENT, extra_nonce);

    std::vector<std::vector<uint8_t>> leaves;
    leaves.reserve(t.transactions.size() + 1);
    leaves.emplace_back(32);
    compute_txid(w.coinbase_tx.data(), w.coinbase_tx.size(), leaves.back().data());
    for (const BlockTemplateTx& tx : t.transactions) {
        if (!tx.txid.empty()) {
            std::vector<uint8_t> leaf(32);
            if (!hash_from_rpc_hex(tx.txid, leaf.data())) {
                why = "a transaction's txid is not a 32-byte hash: " + tx.txid.substr(0, 80);
                return BuildResult::bad_template;
            }
            leaves.push_back(std::move(leaf));
        }
        if (!tx.data.empty()) w.block_txs.push_back(tx.data);
    }
    uint8_t merkle_root[32];
    compute_merkle_root(leaves, merkle_root);
    build_header(t.version, prev_hash, merkle_root, t.curtime, t.bits, 0, w.header);
    compute_midstate(w.header, w.midstate, &w.w8, &w.w9_base);

    // The node's explicit target wins over the compact bits.
    if (!t.target.empty()) {
        target_hex_to_u64(t.target, w.target);
    } else {
        nbits_to_target(t.bits, w.target);
    }
    w.height = t.height;
    w.prev_hash = t.previousblockhash;
    return BuildResult::ok;
}

SubmitResult submit_with_retries(RpcClient& client, const std::string& block_hex)
{
    SubmitResult r = client.submitblock_result(block_hex);
    const int attempts = static_cast<int>(sizeof SUBMIT_RETRY_SECONDS / sizeof SUBMIT_RETRY_SECONDS[0]);
    for (int i = 0; i < attempts && r.outcome == SubmitOutcome::no_reply; ++i) {
        std::printf("  [!] No answer from the node (%s); sending the block again in %d s (%d of %d)\n",
                    r.reason.c_str(), SUBMIT_RETRY_SECONDS[i], i + 1, attempts);
        wait_seconds(std::chrono::seconds(SUBMIT_RETRY_SECONDS[i]));
        r = client.submitblock_result(block_hex);
    }
    return r;
}

// The host re-checks the device's nonce and submits the block when it holds.
// Returns false for a false positive.
bool handle_candidate(Session& s, MiningWork& w, const BlockTemplate& t, uint32_t nonce)
{
    std::printf("\n  +=========================================+\n"
                "  |          [*] BLOCK FOUND! [*]           |\n"
                "  +=========================================+\n");
    std::printf("  Nonce: %u (0x%08x)\n", nonce, nonce);
    write_le32(w.header + 76, nonce);
    uint8_t hash[32];
    host_pow_hash(w.header, hash);
    std::printf("  PoW Hash: %s\n", bytes_to_hex(hash, 32).c_str());
    std::printf("  Hash u64: %016" PRIx64 " %016" PRIx64 " %016" PRIx64 " %016" PRIx64 "\n",
                read_le64(hash + 24), read_le64(hash + 16), read_le64(hash + 8), read_le64(hash));
    std::printf("  Target:   %016" PRIx64 " %016" PRIx64 " %016" PRIx64 " %016" PRIx64 "\n",
                w.target[3], w.target[2], w.target[1], w.target[0]);
    if (!meets_target(hash, w.target)) {
        std::printf("  [!] CPU says hash does NOT meet target!\n"
                    "  [!] GPU false positive - skipping submission.\n\n");
        return false;
    }
    std::printf("  [+] CPU verified: hash meets target\n");
    const int64_t fee = t.coinbasevalue / 100;
    const int64_t miner_share = t.coinbasevalue - fee;
    std::printf("  [*] Coinbase: %.8f MRV to miner, %.8f MRV dev fee (%zu bytes)\n",
                static_cast<double>(miner_share) / COIN, static_cast<double>(fee) / COIN,
                w.coinbase_tx.size());
    Header header;
    std::memcpy(header.data(), w.header, header.size());
    if (s.rejected.count(header) != 0) {
        std::printf("  [!] The node already refused this block: not sending it again\n");
        return true;
    }
    const std::string block_hex = serialize_block(w.header, w.coinbase_tx, w.block_txs);
    std::printf("  [*] Submitting block (%zu bytes)...\n", block_hex.size() / 2);

    const SubmitResult r = submit_with_retries(s.client, block_hex);
    if (r.outcome == SubmitOutcome::accepted) {
        ++s.blocks_found;
        std::printf("  [+] ACCEPTED! Blocks found: %" PRIu64 "\n\n", s.blocks_found);
    } else if (r.outcome == SubmitOutcome::rejected) {
        std::printf("  [!] REJECTED by node.\n  [*] (May already be stale)\n");
        std::printf("  [!] Node says: %s\n", r.reason.c_str());
        s.rejected.insert(header);
    } else {
        // Never lose a solved block silently: the user can still send it by hand.
        std::printf("  [!] Block NOT submitted: the node did not answer (%s).\n", r.reason.c_str());
        std::printf("  [*] Send it yourself with submitblock:\n%s\n", block_hex.c_str());
    }
    return true;
}

// Searches the job's header from next_nonce on; next_nonce is left just
// after the last nonce searched.
JobEnd scan_job(Session& s, MiningWork& w, const BlockTemplate& t, uint32_t& next_nonce,
                SteadyClock::time_point requested_at)
{
    while (g_running) {
        uint32_t nonce = 0;
        uint32_t hashes = 0;
        const int found = cuda_miner_scan(s.miner, w.w8, w.w9_base, next_nonce, &nonce, &hashes);
        if (found < 0) {
            std::printf("\nError: %s\n", cuda_miner_error(s.miner));
            return JobEnd::device_failed;
        }
        s.total_hashes += hashes;
        const uint64_t end = uint64_t{next_nonce} + hashes;
        next_nonce = static_cast<uint32_t>(end);
        bool exhausted = end > UINT32_MAX;
        bool candidate = false;
        if (found == 1) {
            candidate = true;
            next_nonce = nonce + 1;
            exhausted = next_nonce == 0;
            if (!handle_candidate(s, w, t, nonce)) return exhausted ? JobEnd::exhausted : JobEnd::candidate;
        }

        // Kept from job to job: the rhythm of statistics survives new work.
        static SteadyClock::time_point last_stats = SteadyClock::now();
        if (seconds_since(last_stats) >= STATS_SECONDS) {
            last_stats = SteadyClock::now();
            const double elapsed = seconds_since(s.start);
            const double rate = elapsed > 0.0 ? s.total_hashes / elapsed : 0.0;
            std::printf("\r  [%s] h=%" PRIu64 " | n=%u/4G | blk=%" PRIu64 "   ",
                        hashrate_str(rate).c_str(), w.height, next_nonce, s.blocks_found);
            std::fflush(stdout);
        }
        // Only a poll sent after this job's template was asked for can tell
        // that the chain moved past it.
        const std::string tip = s.tips.tip_since(requested_at);
        if (!tip.empty() && tip != s.last_prev_hash) {
            std::printf("\n  [*] New block on chain, refreshing...\n");
            return JobEnd::new_tip;
        }
        if (exhausted) {
            std::printf("\n  [*] Nonce space exhausted\n");
            return JobEnd::exhausted;
        }
        if (candidate) return JobEnd::candidate;
    }
    return JobEnd::stopped;
}

void report_template_failure(Session& s, const std::string& why)
{
    std::printf("  [!] Invalid template, retrying...\n");
    // Said once per cause, so a node that stays down does not flood the screen.
    if (why != s.last_template_failure) std::printf("  [!] Reason: %s\n", why.c_str());
    s.last_template_failure = why;
}

void run_job(Session& s)
{
    std::printf("  [*] Requesting block template...\n");
    const SteadyClock::time_point requested_at = SteadyClock::now();
    const BlockTemplate t = s.client.getblocktemplate();
    if (!t.valid) {
        report_template_failure(s, s.client.last_failure());
        wait_seconds(RETRY_WAIT);
        return;
    }
    MiningWork w;
    std::string why;
    const BuildResult built = build_work(s, t, w, why);
    if (built == BuildResult::bad_template) {
        report_template_failure(s, why);
        wait_seconds(RETRY_WAIT);
        return;
    }
    s.last_template_failure.clear();
    if (t.previousblockhash != s.last_prev_hash) {
        s.last_prev_hash = t.previousblockhash;
        s.rejected.clear(); // refused blocks on an older parent can never come back
        std::printf("  [+] New block at height %" PRIu64 "\n", t.height);
    }
    if (built == BuildResult::bad_address) {
        std::printf("  [!] Cannot decode address: %s\n", s.address.c_str());
        std::printf("  [!] Failed to build block header\n");
        wait_seconds(RETRY_WAIT);
        return;
    }
    cuda_miner_set_work(s.miner, w.midstate, w.target);
    std::printf("  [*] Mining height %" PRIu64 " | diff %.4f | %zu txns\n", w.height,
                target_to_difficulty(w.target), t.transactions.size());
    std::printf("  [*] Target: %016" PRIx64 "%016" PRIx64 "%016" PRIx64 "%016" PRIx64 "\n",
                w.target[3], w.target[2], w.target[1], w.target[0]);
    uint8_t hash[32];
    host_pow_hash(w.header, hash);
    std::printf("  [*] CPU hash (nonce=0): %s\n", bytes_to_hex(hash, 32).c_str());

    uint32_t next_nonce = 0;
    if (s.resume_nonce != 0 && std::memcmp(w.header, s.last_work.data(), WORK_BYTES) == 0) {
        next_nonce = s.resume_nonce;
        std::printf("  [*] Same header as the last job: going on from nonce %u\n", next_nonce);
    }
    const JobEnd end = scan_job(s, w, t, next_nonce, requested_at);
    std::memcpy(s.last_work.data(), w.header, WORK_BYTES);
    s.resume_nonce = next_nonce;
    // Every nonce of this header is spent: the next job's coinbase differs.
    if (end == JobEnd::exhausted) {
        ++s.extra_nonce;
        s.resume_nonce = 0;
    }
    if (end == JobEnd::device_failed) s.device_failed = true;
}

// The proof of work must change with the nonce, or every search is meaningless.
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

} // namespace

int run_miner(const std::string& rpc_url, const std::string& rpc_user,
              const std::string& rpc_password, const std::string& address,
              const std::string& coinbase_message, int32_t device, int32_t blocks,
              int32_t threads)
{
    print_banner("Solo Mining");
    print_device_line("GPU ", device);
    std::printf("  Grid:    %d blocks x %d threads\n", blocks, threads);
    std::printf("  RPC:     %s\n", rpc_url.c_str());
    std::printf("  Address: %s\n\n", address.c_str());

    CudaMiner* miner = cuda_miner_create(device, blocks, threads);
    if (*cuda_miner_error(miner) != '\0') {
        std::printf("Error: %s\n", cuda_miner_error(miner));
        cuda_miner_destroy(miner);
        return 1;
    }
    cuda_whirlpool_init(WP_T0, WP_RC);
    if (!hash_sanity_check()) {
        cuda_miner_destroy(miner);
        return 0;
    }

    std::vector<uint8_t> dev_fee_script = address_to_script(dev_fee_address());
    if (dev_fee_script.empty()) {
        std::printf("  [!] WARNING: Dev fee address decode failed\n");
    } else {
        std::printf("  [*] Dev fee: 1%% per block (%zu-byte script)\n", dev_fee_script.size());
    }
    const std::string message = fit_coinbase_message(coinbase_message);
    if (message.size() < coinbase_message.size()) {
        std::printf("  [!] Coinbase message cut to %zu of %zu bytes: a coinbase input script "
                    "holds at most %zu bytes, %zu of them for the message\n",
                    message.size(), coinbase_message.size(), MAX_COINBASE_SCRIPT,
                    MAX_COINBASE_MESSAGE);
    }

    std::unique_ptr<RpcClient> client;
    std::unique_ptr<TipWatcher> tips;
    try {
        client = std::make_unique<RpcClient>(rpc_url, rpc_user, rpc_password);
        tips = std::make_unique<TipWatcher>(rpc_url, rpc_user, rpc_password, POLL_INTERVAL);
    } catch (const std::exception& e) {
        std::printf("Error: cannot create the node client: %s\n", e.what());
        cuda_miner_destroy(miner);
        return 1;
    }

    Session s{*client, *tips, miner, address, message, std::move(dev_fee_script)};
    s.extra_nonce = std::random_device{}();
    s.start = SteadyClock::now();
    while (g_running && !s.device_failed) run_job(s);

    std::printf("\n  [*] Shutting down...\n");
    const double elapsed = seconds_since(s.start);
    const double rate = s.total_hashes / (elapsed > 0.0 ? elapsed : 1.0);
    std::printf("  Hashes: %" PRIu64 " in %.1f s  (%s)\n", s.total_hashes, elapsed,
                hashrate_str(rate).c_str());
    std::printf("  Blocks found: %" PRIu64 "\n\n", s.blocks_found);
    tips.reset();
    cuda_miner_destroy(miner);
    return s.device_failed ? 1 : 0;
}
