#include "rig.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "device_worker.h"
#include "util.h"

namespace {

constexpr double STATS_SECONDS = 2.0;
constexpr auto RETRY_WAIT = std::chrono::seconds(5);
constexpr auto EVENT_WAIT = std::chrono::milliseconds(100);
// Past this age a device that runs out of nonces brings a fresh template
// (new transactions) instead of a new extra nonce on the old one.
constexpr double TEMPLATE_REFRESH_SECONDS = 30.0;

struct Device {
    DeviceSetup setup;
    std::unique_ptr<DeviceWorker> worker;
    // Device i of n uses the extra nonces base + i + n * k, k = 0, 1, 2 ...:
    // no two devices ever build the same coinbase.
    uint32_t extra_step = 0;
    std::shared_ptr<const DeviceJob> job;
    bool failed = false;
};

struct Rig {
    RpcClient& client;
    const TipWatcher& tips;
    const CoinbaseParts& parts;
    uint32_t extra_nonce_base;
    std::vector<Device> devices{};
    DeviceEvents events{};
    Submitter submitter;
    TemplateWork tmpl{};
    bool have_template = false;
    bool need_template = true;
    SteadyClock::time_point template_requested_at{};
    std::string last_prev_hash{};
    std::string last_template_failure{};
    // Parents the chain has moved past, as far as the session knows: a find
    // on one of them is dropped, since the node would only call it stale.
    // A template on one of them says otherwise and takes it out again.
    std::set<std::string> passed_parents{};
    // Every block sent on the current parent: a device put back on a header
    // it searched before finds the same nonces again.
    std::set<Header> sent{};
    uint64_t next_job_id = 1;
    size_t alive = 0;
    SteadyClock::time_point start{};
    SteadyClock::time_point last_stats{};
};

uint32_t extra_nonce_of(const Rig& r, size_t i)
{
    const uint32_t n = static_cast<uint32_t>(r.devices.size());
    return r.extra_nonce_base + static_cast<uint32_t>(i) + n * r.devices[i].extra_step;
}

// New work for device i from the current template, unless its header
// would not change: then it goes on where it is. False when the payout
// address cannot be decoded (said already).
bool assign_work(Rig& r, size_t i, bool& printed)
{
    Device& d = r.devices[i];
    if (d.failed) return true;
    MiningWork w;
    if (!build_work(r.parts, extra_nonce_of(r, i), r.tmpl, w)) {
        report_bad_address(r.parts.address);
        return false;
    }
    if (d.job && std::memcmp(d.job->work.header, w.header, WORK_BYTES) == 0) return true;
    if (!printed) {
        print_work_lines(w, r.tmpl.transactions);
        printed = true;
    }
    d.job = std::make_shared<const DeviceJob>(DeviceJob{r.next_job_id++, std::move(w), 0});
    d.worker->assign(d.job);
    return true;
}

void pause_all(Rig& r)
{
    for (Device& d : r.devices) {
        if (d.failed) continue;
        d.job.reset();
        d.worker->assign(nullptr);
    }
}

void fetch_template(Rig& r)
{
    std::printf("  [*] Requesting block template...\n");
    r.template_requested_at = SteadyClock::now();
    const BlockTemplate t = r.client.getblocktemplate();
    if (!t.valid) {
        report_template_failure(r.last_template_failure, r.client.last_failure());
        wait_seconds(RETRY_WAIT);
        return;
    }
    TemplateWork prepared;
    std::string why;
    if (!prepare_template(t, prepared, why)) {
        // A template the node got wrong: no device mines it.
        report_template_failure(r.last_template_failure, why);
        pause_all(r);
        r.have_template = false;
        wait_seconds(RETRY_WAIT);
        return;
    }
    r.tmpl = std::move(prepared);
    r.have_template = true;
    r.passed_parents.erase(t.previousblockhash);
    if (t.previousblockhash != r.last_prev_hash) {
        if (!r.last_prev_hash.empty()) r.passed_parents.insert(r.last_prev_hash);
        r.last_prev_hash = t.previousblockhash;
        r.submitter.rejected.clear(); // refused blocks on an older parent can never come back
        r.sent.clear();
        std::printf("  [+] New block at height %" PRIu64 "\n", t.height);
    }
    bool printed = false;
    for (size_t i = 0; i < r.devices.size(); ++i) {
        if (!assign_work(r, i, printed)) {
            pause_all(r);
            r.have_template = false;
            wait_seconds(RETRY_WAIT);
            return;
        }
    }
    r.last_template_failure.clear();
    r.need_template = false;
}

void handle_event(Rig& r, DeviceEvent& e)
{
    Device& d = r.devices[e.device_index];
    switch (e.kind) {
    case DeviceEventKind::found: {
        if (r.passed_parents.count(e.job->work.prev_hash) != 0) return;
        MiningWork w = e.job->work;
        Header header;
        std::memcpy(header.data(), w.header, WORK_BYTES);
        write_le32(header.data() + WORK_BYTES, e.nonce);
        if (!r.sent.insert(header).second) return;
        const uint64_t accepted = r.submitter.blocks_found;
        if (!handle_candidate(r.submitter, w, e.nonce, d.setup.device)) return;
        // Our own block is the new tip: the other devices' finds on its
        // parent would only be refused.
        if (r.submitter.blocks_found != accepted) r.passed_parents.insert(w.prev_hash);
        r.need_template = true;
        return;
    }
    case DeviceEventKind::exhausted: {
        if (e.job != d.job) return; // it has new work already
        ++d.extra_step;
        d.job.reset();
        if (r.need_template || !r.have_template) return;
        if (seconds_since(r.template_requested_at) >= TEMPLATE_REFRESH_SECONDS) {
            r.need_template = true;
            return;
        }
        bool printed = true; // one device's new coinbase is not worth a line
        if (!assign_work(r, e.device_index, printed)) r.need_template = true;
        return;
    }
    case DeviceEventKind::failed:
        std::printf("\nError: GPU #%d: %s\n", d.setup.device, e.error.c_str());
        d.failed = true;
        d.job.reset();
        --r.alive;
        return;
    }
}

void print_stats(Rig& r)
{
    r.last_stats = SteadyClock::now();
    const double elapsed = seconds_since(r.start);
    uint64_t total = 0;
    std::string per_device;
    for (const Device& d : r.devices) {
        const uint64_t hashes = d.worker->hashes();
        total += hashes;
        per_device += " | #" + std::to_string(d.setup.device) + " ";
        if (d.failed) {
            per_device += "failed";
            continue;
        }
        per_device += hashrate_str(elapsed > 0.0 ? hashes / elapsed : 0.0);
        const std::string health = device_health_text(d.setup.device);
        if (!health.empty()) per_device += " " + health;
    }
    const double rate = elapsed > 0.0 ? total / elapsed : 0.0;
    std::printf("\r  [%s] h=%" PRIu64 " | blk=%" PRIu64 "%s   ", hashrate_str(rate).c_str(),
                r.tmpl.height, r.submitter.blocks_found, per_device.c_str());
    std::fflush(stdout);
}

void check_tip(Rig& r)
{
    if (r.need_template) return;
    // Only a poll sent after the template was asked for can tell that the
    // chain moved past it.
    const std::string tip = r.tips.tip_since(r.template_requested_at);
    if (tip.empty() || tip == r.last_prev_hash) return;
    std::printf("\n  [*] New block on chain, refreshing...\n");
    // The work on the old parent is worth nothing now: the devices wait
    // for the new template rather than search it.
    r.passed_parents.insert(r.last_prev_hash);
    pause_all(r);
    r.need_template = true;
}

void print_summary(const Rig& r)
{
    std::printf("\n  [*] Shutting down...\n");
    const double elapsed = seconds_since(r.start);
    const double seconds = elapsed > 0.0 ? elapsed : 1.0;
    uint64_t total = 0;
    for (const Device& d : r.devices) total += d.worker->hashes();
    std::printf("  Hashes: %" PRIu64 " in %.1f s  (%s)\n", total, elapsed,
                hashrate_str(total / seconds).c_str());
    for (const Device& d : r.devices) {
        const uint64_t hashes = d.worker->hashes();
        std::printf("    GPU #%d: %" PRIu64 " hashes  (%s)%s\n", d.setup.device, hashes,
                    hashrate_str(hashes / seconds).c_str(), d.failed ? ", failed" : "");
    }
    std::printf("  Blocks found: %" PRIu64 "\n\n", r.submitter.blocks_found);
}

} // namespace

int run_rig(RpcClient& client, const TipWatcher& tips, const CoinbaseParts& parts,
            const std::vector<RigDevice>& devices, uint32_t extra_nonce_base)
{
    Rig r{client, tips, parts, extra_nonce_base, {}, {}, Submitter{client}};
    r.devices.reserve(devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        Device d;
        d.setup = devices[i].setup;
        d.worker = std::make_unique<DeviceWorker>(i, devices[i].miner, r.events);
        r.devices.push_back(std::move(d));
    }
    r.alive = r.devices.size();
    r.start = SteadyClock::now();
    r.last_stats = r.start;

    while (g_running && r.alive > 0) {
        if (r.need_template) {
            fetch_template(r);
            continue;
        }
        DeviceEvent e;
        if (r.events.pop(e, EVENT_WAIT)) handle_event(r, e);
        // A device without work means the template is spent for it.
        for (const Device& d : r.devices) {
            if (!d.failed && !d.job && !r.need_template) r.need_template = true;
        }
        if (seconds_since(r.last_stats) >= STATS_SECONDS) print_stats(r);
        check_tip(r);
    }
    // The devices stop before the summary counts their hashes.
    for (Device& d : r.devices) d.worker->stop();
    print_summary(r);
    const bool all_failed = r.alive == 0;
    r.devices.clear();
    return all_failed ? 1 : 0;
}
