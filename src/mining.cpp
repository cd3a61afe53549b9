#include "mining.h"

#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../kernels/whirlpool_cuda.h"
#include "block_builder.h"
#include "mining_work.h"
#include "rig.h"
#include "rpc_client.h"
#include "shell.h"
#include "tip_watcher.h"
#include "util.h"

namespace {

constexpr double STATS_SECONDS = 2.0;
constexpr auto POLL_INTERVAL = std::chrono::seconds(5);
constexpr auto RETRY_WAIT = std::chrono::seconds(5);

// Everything a one-device session owns for its whole life.
struct Session {
    Submitter submitter;
    const TipWatcher& tips;
    CudaMiner* miner;
    const CoinbaseParts& parts;
    // Stepped whenever a job's nonces run out.
    uint32_t extra_nonce = 0;
    std::string last_prev_hash{};
    std::string last_template_failure{};
    // A node caches its template, so the job after a find often has the same
    // header: it goes on after the nonces already searched.
    std::array<uint8_t, WORK_BYTES> last_work{};
    uint32_t resume_nonce = 0;
    bool device_failed = false;
    uint64_t total_hashes = 0;
    SteadyClock::time_point start{};
};

enum class JobEnd { stopped, candidate, new_tip, exhausted, device_failed };

// Searches the job's header from next_nonce on; next_nonce is left just
// after the last nonce searched.
JobEnd scan_job(Session& s, MiningWork& w, uint32_t& next_nonce,
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
            if (!handle_candidate(s.submitter, w, nonce, -1))
                return exhausted ? JobEnd::exhausted : JobEnd::candidate;
        }

        // Kept from job to job: the rhythm of statistics survives new work.
        static SteadyClock::time_point last_stats = SteadyClock::now();
        if (seconds_since(last_stats) >= STATS_SECONDS) {
            last_stats = SteadyClock::now();
            const double elapsed = seconds_since(s.start);
            const double rate = elapsed > 0.0 ? s.total_hashes / elapsed : 0.0;
            std::printf("\r  [%s] h=%" PRIu64 " | n=%u/4G | blk=%" PRIu64 "   ",
                        hashrate_str(rate).c_str(), w.height, next_nonce, s.submitter.blocks_found);
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

void run_job(Session& s)
{
    std::printf("  [*] Requesting block template...\n");
    const SteadyClock::time_point requested_at = SteadyClock::now();
    const BlockTemplate t = s.submitter.client.getblocktemplate();
    if (!t.valid) {
        report_template_failure(s.last_template_failure, s.submitter.client.last_failure());
        wait_seconds(RETRY_WAIT);
        return;
    }
    TemplateWork tw;
    std::string why;
    if (!prepare_template(t, tw, why)) {
        report_template_failure(s.last_template_failure, why);
        wait_seconds(RETRY_WAIT);
        return;
    }
    s.last_template_failure.clear();
    if (t.previousblockhash != s.last_prev_hash) {
        s.last_prev_hash = t.previousblockhash;
        s.submitter.rejected.clear(); // refused blocks on an older parent can never come back
        std::printf("  [+] New block at height %" PRIu64 "\n", t.height);
    }
    MiningWork w;
    if (!build_work(s.parts, s.extra_nonce, tw, w)) {
        report_bad_address(s.parts.address);
        wait_seconds(RETRY_WAIT);
        return;
    }
    cuda_miner_set_work(s.miner, w.midstate, w.target);
    print_work_lines(w, t.transactions.size());
    uint8_t hash[32];
    host_pow_hash(w.header, hash);
    std::printf("  [*] CPU hash (nonce=0): %s\n", bytes_to_hex(hash, 32).c_str());

    uint32_t next_nonce = 0;
    if (s.resume_nonce != 0 && std::memcmp(w.header, s.last_work.data(), WORK_BYTES) == 0) {
        next_nonce = s.resume_nonce;
        std::printf("  [*] Same header as the last job: going on from nonce %u\n", next_nonce);
    }
    const JobEnd end = scan_job(s, w, next_nonce, requested_at);
    std::memcpy(s.last_work.data(), w.header, WORK_BYTES);
    s.resume_nonce = next_nonce;
    // Every nonce of this header is spent: the next job's coinbase differs.
    if (end == JobEnd::exhausted) {
        ++s.extra_nonce;
        s.resume_nonce = 0;
    }
    if (end == JobEnd::device_failed) s.device_failed = true;
}

// The session on one device: every job from a template of its own.
int run_session(RpcClient& client, const TipWatcher& tips, const CoinbaseParts& parts,
                CudaMiner* miner, uint32_t extra_nonce)
{
    Session s{Submitter{client}, tips, miner, parts};
    s.extra_nonce = extra_nonce;
    s.start = SteadyClock::now();
    while (g_running && !s.device_failed) run_job(s);

    std::printf("\n  [*] Shutting down...\n");
    const double elapsed = seconds_since(s.start);
    const double rate = s.total_hashes / (elapsed > 0.0 ? elapsed : 1.0);
    std::printf("  Hashes: %" PRIu64 " in %.1f s  (%s)\n", s.total_hashes, elapsed,
                hashrate_str(rate).c_str());
    std::printf("  Blocks found: %" PRIu64 "\n\n", s.submitter.blocks_found);
    return s.device_failed ? 1 : 0;
}

void destroy_all(const std::vector<RigDevice>& devices)
{
    for (const RigDevice& d : devices) cuda_miner_destroy(d.miner);
}

} // namespace

int run_miner(const std::string& rpc_url, const std::string& rpc_user,
              const std::string& rpc_password, const std::string& address,
              const std::string& coinbase_message, const std::vector<DeviceSetup>& devices,
              int32_t threads)
{
    print_banner("Solo Mining");
    for (const DeviceSetup& d : devices) print_device_line("GPU ", d.device);
    if (same_grid(devices)) {
        std::printf("  Grid:    %d blocks x %d threads\n", devices.front().blocks, threads);
    } else {
        for (const DeviceSetup& d : devices)
            std::printf("  Grid #%d: %d blocks x %d threads\n", d.device, d.blocks, threads);
    }
    std::printf("  RPC:     %s\n", rpc_url.c_str());
    std::printf("  Address: %s\n\n", address.c_str());

    // Each device's tables go up right after its handle, while its create
    // has made it this thread's current device. With several devices, one
    // that cannot mine is left out and the others go on.
    std::vector<RigDevice> ready;
    for (const DeviceSetup& d : devices) {
        CudaMiner* miner = cuda_miner_create(d.device, d.blocks, threads);
        if (*cuda_miner_error(miner) != '\0') {
            if (devices.size() == 1)
                std::printf("Error: %s\n", cuda_miner_error(miner));
            else
                std::printf("Error: GPU #%d: %s\n", d.device, cuda_miner_error(miner));
            cuda_miner_destroy(miner);
            continue;
        }
        cuda_whirlpool_init(WP_T0, WP_RC);
        ready.push_back({d, miner});
    }
    if (ready.empty()) return 1;
    if (!hash_sanity_check()) {
        destroy_all(ready);
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
        destroy_all(ready);
        return 1;
    }

    const CoinbaseParts parts{address, message, std::move(dev_fee_script)};
    // Random for each session, so that two rigs mining to one address on one
    // node search different headers.
    const uint32_t extra_nonce = std::random_device{}();
    int status = 0;
    if (devices.size() == 1) {
        status = run_session(*client, *tips, parts, ready.front().miner, extra_nonce);
        destroy_all(ready);
    } else {
        status = run_rig(*client, *tips, parts, ready, extra_nonce);
    }
    tips.reset();
    return status;
}
