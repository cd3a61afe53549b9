#include "mining.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../kernels/whirlpool_cuda.h"
#include "api_server.h"
#include "block_builder.h"
#include "block_notifier.h"
#include "device_worker.h"
#include "log_file.h"
#include "mining_work.h"
#include "rpc_client.h"
#include "shell.h"
#include "tip_watcher.h"
#include "util.h"

namespace {

constexpr double STATS_SECONDS = 2.0;
constexpr double LOG_STATS_SECONDS = 60.0;
constexpr int32_t TEMP_HYSTERESIS = 5;
constexpr double API_PUBLISH_SECONDS = 1.0;
constexpr int API_RATE_SECONDS = 60;
constexpr auto POLL_INTERVAL = std::chrono::seconds(5);
constexpr auto RETRY_WAIT = std::chrono::seconds(5);
// How long the session waits for a device's event before it looks at the
// clock, the tip and the stop flag again.
constexpr auto EVENT_WAIT = std::chrono::milliseconds(100);
// Past this age a template is replaced by a fresh one (new transactions).
constexpr double TEMPLATE_REFRESH_SECONDS = 30.0;
// At a stop, the finds still in hand are sent within this, all together.
constexpr auto FINAL_SUBMIT_LIMIT = std::chrono::seconds(3);
// A node whose work queue is full answers HTTP 503. At a new tip every rig
// on the node asks at once, so a busy node is asked again after a short
// random wait, and is called a failure only once it has been busy this long.
constexpr int BUSY_STATUS = 503;
constexpr int BUSY_RETRY_MIN_MS = 200;
constexpr int BUSY_RETRY_MAX_MS = 1000;
constexpr auto BUSY_QUIET_LIMIT = std::chrono::seconds(5);

struct Device {
    DeviceSetup setup;
    std::string name;
    std::unique_ptr<DeviceWorker> worker;
    bool failed = false;
    bool hot = false; // held at the temperature limit until it cools down
};

// A checked find whose sending a stop cut short: it is sent again at the end.
struct HeldFind {
    std::shared_ptr<const MiningWork> work;
    uint32_t nonce;
    size_t device_index;
    bool sent; // the node may have it, without a word back
};

// One session for any number of devices: each mines on a thread of its own
// and never waits for the node, while this thread alone talks to the node,
// checks and submits what they find, and prints. One device is a session
// of one, with the texts a single device has always had.
struct Session {
    RpcClient& client;
    const TipWatcher& tips;
    // Several devices were asked for: the texts name each of them.
    bool several;
    // Declared before the devices that push into it, so that it outlives them.
    DeviceEvents events{};
    std::vector<Device> devices{};
    size_t alive = 0;
    // The newest template the devices were given.
    std::shared_ptr<const TemplateWork> tmpl{};
    bool need_template = true;
    // The devices wait for a template on a new tip.
    bool paused = false;
    SteadyClock::time_point template_requested_at{};
    SteadyClock::time_point next_request_at{};
    std::string last_prev_hash{};
    std::string last_template_failure{};
    // Since when the node has answered every template request with 503, and
    // whether the last request was such a quiet retry.
    std::optional<SteadyClock::time_point> busy_since{};
    bool busy_retry = false;
    std::minstd_rand busy_jitter{std::random_device{}()};
    // Parents the chain has moved past, as far as the session knows: a find
    // on one of them is dropped, since the node would only call it stale.
    // A template on one of them says otherwise and takes it out again.
    std::set<std::string> passed_parents{};
    // Every find handled on the current parent: a block is sent at most once.
    std::set<Header> handled{};
    std::vector<HeldFind> held{};
    // A block is being sent: a stop lets it finish within the final limit.
    bool submitting = false;
    // When this thread first saw the stop.
    std::optional<SteadyClock::time_point> stopped_at{};
    // Degrees C at which a device stops launching (0: none); it goes on at
    // TEMP_HYSTERESIS below.
    int32_t temp_limit = 0;
    // The monitoring API, when asked for, and what it needs beyond the above.
    ApiServer* api = nullptr;
    std::string node_url{};
    SteadyClock::time_point last_published{};
    std::optional<SteadyClock::time_point> last_template_at{};
    uint64_t blocks_verified = 0;
    uint64_t blocks_rejected = 0;
    // Each device's hash count over the last minute, for the API's rates.
    std::deque<std::pair<SteadyClock::time_point, std::vector<uint64_t>>> rate_samples{};
    uint64_t blocks_found = 0;
    SteadyClock::time_point start{};
    SteadyClock::time_point last_stats{};
    SteadyClock::time_point last_logged_stats{};

    // The device as the found-block box names it: only among several.
    int found_by(size_t i) const { return several ? devices[i].setup.device : -1; }
};

SteadyClock::time_point final_deadline(Session& s)
{
    if (!s.stopped_at) s.stopped_at = SteadyClock::now();
    return *s.stopped_at + FINAL_SUBMIT_LIMIT;
}

// What ends the session's node requests at a stop: a second stop at once;
// a template request at once; a submission, which carries a solved block,
// only when the final limit is over.
bool give_up(Session& s)
{
    if (g_stop_at_once) return true;
    if (g_running) return false;
    return !s.submitting || SteadyClock::now() >= final_deadline(s);
}

void print_device_error(bool several, int device, const std::string& error)
{
    if (several)
        std::printf("Error: GPU #%d: %s\n", device, error.c_str());
    else
        std::printf("Error: %s\n", error.c_str());
}

void mine_all(Session& s, const std::shared_ptr<const TemplateWork>& t)
{
    for (Device& d : s.devices) {
        if (!d.failed) d.worker->mine(t);
    }
}

// Work on a passed parent is worth nothing: the devices wait for the
// template on the new tip rather than search it.
void pause_for_new_tip(Session& s, const std::string& passed_parent)
{
    s.passed_parents.insert(passed_parent);
    mine_all(s, nullptr);
    s.paused = true;
    s.need_template = true;
    s.next_request_at = SteadyClock::now();
}

// A busy node's answer within the quiet limit: asked again soon, unsaid.
bool retry_busy_node(Session& s, SteadyClock::time_point now)
{
    if (s.client.last_http_status() != BUSY_STATUS) {
        s.busy_since.reset();
        return false;
    }
    if (!s.busy_since) s.busy_since = now;
    if (now - *s.busy_since > BUSY_QUIET_LIMIT) return false;
    std::uniform_int_distribution<int> wait_ms(BUSY_RETRY_MIN_MS, BUSY_RETRY_MAX_MS);
    s.next_request_at = now + std::chrono::milliseconds(wait_ms(s.busy_jitter));
    return true;
}

void fetch_template(Session& s)
{
    const bool announced = !s.busy_retry;
    if (announced) std::printf("  [*] Requesting block template...\n");
    const SteadyClock::time_point requested_at = SteadyClock::now();
    const BlockTemplate t = s.client.getblocktemplate();
    if (!g_running) return;
    if (t.valid) s.busy_since.reset();
    s.busy_retry = !t.valid && retry_busy_node(s, SteadyClock::now());
    if (s.busy_retry) return;
    TemplateWork prepared;
    std::string why = s.client.last_failure();
    if (!t.valid || !prepare_template(t, prepared, why)) {
        // The devices go on with the template they have, unless the tip moved.
        if (!announced) std::printf("  [*] Requesting block template...\n");
        report_template_failure(s.last_template_failure, why);
        s.next_request_at = SteadyClock::now() + RETRY_WAIT;
        return;
    }
    s.last_template_failure.clear();
    s.last_template_at = SteadyClock::now();
    s.template_requested_at = requested_at;
    s.need_template = false;
    s.passed_parents.erase(t.previousblockhash);
    if (t.previousblockhash != s.last_prev_hash) {
        if (!s.last_prev_hash.empty()) s.passed_parents.insert(s.last_prev_hash);
        s.last_prev_hash = t.previousblockhash;
        s.handled.clear(); // blocks on an older parent can never come back
        std::printf("  [+] New block at height %" PRIu64 "\n", t.height);
    }
    // A node caches its template until its tip or mempool changes: the
    // same one again changes nothing.
    if (s.tmpl && !s.paused && same_work(*s.tmpl, prepared)) return;
    s.tmpl = std::make_shared<const TemplateWork>(std::move(prepared));
    s.paused = false;
    print_work_lines(*s.tmpl);
    mine_all(s, s.tmpl);
}

// Whether a find is still worth checking: not on a passed parent, not
// handled before.
bool worth_checking(Session& s, const MiningWork& w, uint32_t nonce)
{
    if (s.passed_parents.count(w.prev_hash) != 0) return false;
    return s.handled.insert(header_with_nonce(w, nonce)).second;
}

void handle_find(Session& s, const DeviceEvent& e)
{
    const MiningWork& w = *e.work;
    if (!worth_checking(s, w, e.nonce) || !check_find(w, e.nonce, s.found_by(e.device_index)))
        return;
    ++s.blocks_verified;
    s.submitting = true;
    const Sent sent = send_block(s.client, found_block_hex(w, e.nonce), true, s.blocks_found);
    s.submitting = false;
    switch (sent) {
    case Sent::accepted:
        // Our own block is the new tip.
        pause_for_new_tip(s, w.prev_hash);
        return;
    case Sent::rejected:
        ++s.blocks_rejected;
        [[fallthrough]];
    case Sent::unanswered:
        // The node may know of a tip or transactions that we do not.
        s.need_template = true;
        return;
    case Sent::stopped:
        s.held.push_back({e.work, e.nonce, e.device_index, true});
        return;
    }
}

void handle_failure(Session& s, const DeviceEvent& e)
{
    Device& d = s.devices[e.device_index];
    std::printf("\n");
    print_device_error(s.several, d.setup.device, e.error);
    d.failed = true;
    --s.alive;
}

void check_tip(Session& s)
{
    if (s.paused || s.last_prev_hash.empty()) return;
    // Only a poll sent after the template was asked for can tell that the
    // chain moved past it.
    const std::string tip = s.tips.tip_since(s.template_requested_at);
    if (tip.empty() || tip == s.last_prev_hash) return;
    std::printf("\n  [*] New block on chain, refreshing...\n");
    pause_for_new_tip(s, s.last_prev_hash);
}

uint64_t total_hashes(const Session& s)
{
    uint64_t total = 0;
    for (const Device& d : s.devices) total += d.worker->hashes();
    return total;
}

// The statistics line as drawn over itself; the log gets it once a minute.
void show_stats(Session& s, const std::string& text)
{
    std::printf("\r%s   ", text.c_str());
    std::fflush(stdout);
    if (log_active() && seconds_since(s.last_logged_stats) >= LOG_STATS_SECONDS) {
        s.last_logged_stats = SteadyClock::now();
        log_only(text);
    }
}

void print_stats(Session& s)
{
    s.last_stats = SteadyClock::now();
    const double elapsed = seconds_since(s.start);
    const double rate = elapsed > 0.0 ? total_hashes(s) / elapsed : 0.0;
    char text[256];
    if (!s.several) {
        std::snprintf(text, sizeof text, "  [%s] h=%" PRIu64 " | n=%u/4G | blk=%" PRIu64 "%s",
                      hashrate_str(rate).c_str(), s.tmpl->height,
                      s.devices.front().worker->next_nonce(), s.blocks_found,
                      s.devices.front().hot ? " | paused" : "");
        show_stats(s, text);
        return;
    }
    std::string per_device;
    for (const Device& d : s.devices) {
        per_device += " | #" + std::to_string(d.setup.device) + " ";
        if (d.failed) {
            per_device += "failed";
            continue;
        }
        if (d.hot) per_device += "paused ";
        per_device += hashrate_str(elapsed > 0.0 ? d.worker->hashes() / elapsed : 0.0);
        const std::string health = device_health_text(d.setup.device);
        if (!health.empty()) per_device += " " + health;
    }
    std::snprintf(text, sizeof text, "  [%s] h=%" PRIu64 " | blk=%" PRIu64,
                  hashrate_str(rate).c_str(), s.tmpl->height, s.blocks_found);
    show_stats(s, text + per_device);
}

// A device at the limit stops launching; at TEMP_HYSTERESIS below it goes on.
void check_temperatures(Session& s)
{
    if (s.temp_limit <= 0) return;
    for (Device& d : s.devices) {
        WpDeviceHealth h{};
        if (d.failed || cuda_device_health(d.setup.device, &h) == 0 || h.temperature_c < 0)
            continue;
        const bool hot = d.hot ? h.temperature_c > s.temp_limit - TEMP_HYSTERESIS
                               : h.temperature_c >= s.temp_limit;
        if (hot == d.hot) continue;
        d.hot = hot;
        d.worker->hold(hot);
        std::printf(hot ? "\n  [!] GPU #%d at %d C: paused\n" : "\n  [+] GPU #%d at %d C: resumed\n",
                    d.setup.device, h.temperature_c);
    }
}

const char* device_state(const Session& s, const Device& d)
{
    if (d.failed) return "failed";
    if (d.hot) return "paused";
    return s.paused || !s.tmpl ? "idle" : "mining";
}

// The API's copy of the session's figures, rates over the last minute.
void publish_snapshot(Session& s)
{
    const SteadyClock::time_point now = SteadyClock::now();
    s.last_published = now;
    std::vector<uint64_t> hashes;
    for (const Device& d : s.devices) hashes.push_back(d.worker->hashes());
    s.rate_samples.emplace_back(now, hashes);
    while (s.rate_samples.size() > 1 &&
           now - s.rate_samples.front().first > std::chrono::seconds(API_RATE_SECONDS))
        s.rate_samples.pop_front();
    const auto& oldest = s.rate_samples.front();
    const double span = std::chrono::duration<double>(now - oldest.first).count();

    ApiSnapshot a;
    a.version = PROGRAM_VERSION;
    a.uptime_s = seconds_since(s.start);
    a.height = s.tmpl ? s.tmpl->height : 0;
    a.blocks_found = s.blocks_verified;
    a.blocks_accepted = s.blocks_found;
    a.blocks_rejected = s.blocks_rejected;
    a.node_url = s.node_url;
    if (s.last_template_at) a.last_template_s = seconds_since(*s.last_template_at);
    for (size_t i = 0; i < s.devices.size(); ++i) {
        const Device& d = s.devices[i];
        ApiDevice ad;
        ad.id = d.setup.device;
        ad.name = d.name;
        ad.hashes = hashes[i];
        ad.hashrate = span > 0 ? (hashes[i] - oldest.second[i]) / span : 0.0;
        ad.state = device_state(s, d);
        WpDeviceHealth h{};
        if (cuda_device_health(d.setup.device, &h) != 0) {
            if (h.temperature_c >= 0) ad.temp_c = h.temperature_c;
            if (h.power_w >= 0) ad.power_w = h.power_w;
            if (h.sm_clock_mhz >= 0) ad.sm_clock_mhz = h.sm_clock_mhz;
        }
        a.hashes += ad.hashes;
        a.hashrate += ad.hashrate;
        a.devices.push_back(std::move(ad));
    }
    s.api->publish(std::move(a));
}

// Said once at the start: a limit that cannot be applied is no limit.
void report_unwatched_devices(const Session& s)
{
    if (s.temp_limit <= 0) return;
    for (const Device& d : s.devices) {
        WpDeviceHealth h{};
        if (cuda_device_health(d.setup.device, &h) != 0 && h.temperature_c >= 0) continue;
        std::printf("  [!] GPU #%d has no temperature reading: the limit of %d C cannot be "
                    "applied to it\n",
                    d.setup.device, s.temp_limit);
    }
}

// A find in hand at a stop: sent within the final limit, else printed.
// True when the node gave its verdict.
bool send_at_stop(Session& s, const HeldFind& f)
{
    const std::string hex = found_block_hex(*f.work, f.nonce);
    if (give_up(s)) {
        print_unsent_block(hex, f.sent ? "the miner was stopped before the node answered"
                                       : "the miner was stopped before it could send it");
        return false;
    }
    switch (send_block(s.client, hex, false, s.blocks_found)) {
    case Sent::accepted:
        s.passed_parents.insert(f.work->prev_hash);
        return true;
    case Sent::rejected:
        return true;
    case Sent::stopped:
        print_unsent_block(hex, "the miner was stopped before the node answered");
        return false;
    case Sent::unanswered:
        return false;
    }
    return false;
}

// The devices stop, and every find they reported, queued or cut short, is
// checked and sent within a short limit; a second stop gives up at once.
// What cannot be sent is printed, one block per height: the others of that
// height are only counted, since only one of them can enter the chain.
void finish(Session& s)
{
    for (Device& d : s.devices) d.worker->stop();
    if (!s.paused && !s.last_prev_hash.empty()) {
        const std::string tip = s.tips.tip_since(s.template_requested_at);
        if (!tip.empty() && tip != s.last_prev_hash) s.passed_parents.insert(s.last_prev_hash);
    }
    s.submitting = true;
    std::vector<HeldFind> finds = std::move(s.held); // checked already
    const size_t checked = finds.size();
    DeviceEvent e;
    while (s.events.pop(e, std::chrono::milliseconds(0))) {
        if (e.kind == DeviceEventKind::failed)
            handle_failure(s, e);
        else
            finds.push_back({e.work, e.nonce, e.device_index, false});
    }
    struct Unsent {
        uint64_t height;
        size_t more;
    };
    std::map<std::string, Unsent> unsent; // by parent
    for (size_t i = 0; i < finds.size(); ++i) {
        const HeldFind& f = finds[i];
        const std::string& parent = f.work->prev_hash;
        if (s.passed_parents.count(parent) != 0) continue;
        const auto printed = unsent.find(parent);
        if (printed != unsent.end()) {
            ++printed->second.more;
            continue;
        }
        if (i >= checked && (!worth_checking(s, *f.work, f.nonce) ||
                             !check_find(*f.work, f.nonce, s.found_by(f.device_index))))
            continue;
        if (!send_at_stop(s, f)) unsent[parent] = {f.work->height, 0};
    }
    for (const auto& u : unsent) {
        if (u.second.more == 0) continue;
        std::printf("  [!] Also not sent: %zu more finds at height %" PRIu64
                    " (only one block per height can enter the chain)\n",
                    u.second.more, u.second.height);
    }
}

void print_summary(const Session& s)
{
    std::printf("\n  [*] Shutting down...\n");
    const double elapsed = seconds_since(s.start);
    const double seconds = elapsed > 0.0 ? elapsed : 1.0;
    const uint64_t total = total_hashes(s);
    std::printf("  Hashes: %" PRIu64 " in %.1f s  (%s)\n", total, elapsed,
                hashrate_str(total / seconds).c_str());
    if (s.several) {
        for (const Device& d : s.devices) {
            const uint64_t hashes = d.worker->hashes();
            std::printf("    GPU #%d: %" PRIu64 " hashes  (%s)%s\n", d.setup.device, hashes,
                        hashrate_str(hashes / seconds).c_str(), d.failed ? ", failed" : "");
        }
    }
    std::printf("  Blocks found: %" PRIu64 "\n\n", s.blocks_found);
}

// Runs until a stop or until every device has failed; returns the status.
int run_session(Session& s)
{
    s.start = SteadyClock::now();
    s.last_stats = s.start;
    s.client.set_abort([&s] { return give_up(s); });
    report_unwatched_devices(s);
    while (g_running && s.alive > 0) {
        if (s.need_template && SteadyClock::now() >= s.next_request_at) fetch_template(s);
        DeviceEvent e;
        if (g_running && s.events.pop(e, EVENT_WAIT)) {
            if (e.kind == DeviceEventKind::found)
                handle_find(s, e);
            else
                handle_failure(s, e);
        }
        if (g_running && s.tmpl && seconds_since(s.last_stats) >= STATS_SECONDS) {
            check_temperatures(s);
            print_stats(s);
        }
        check_tip(s);
        if (!s.need_template && seconds_since(s.template_requested_at) >= TEMPLATE_REFRESH_SECONDS)
            s.need_template = true;
        if (s.api && seconds_since(s.last_published) >= API_PUBLISH_SECONDS) publish_snapshot(s);
    }
    finish(s);
    s.client.set_abort(nullptr);
    print_summary(s);
    return s.alive == 0 ? 1 : 0;
}

} // namespace

int run_miner(const RunSettings& settings, const std::vector<DeviceSetup>& devices)
{
    const int32_t threads = settings.threads;
    const std::string& rpc_url = settings.rpc_url;
    const std::string& address = settings.address;
    const std::string& coinbase_message = settings.coinbase;
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
    std::vector<std::pair<DeviceSetup, CudaMiner*>> ready;
    auto destroy_ready = [&] {
        for (auto& r : ready) cuda_miner_destroy(r.second);
    };
    for (const DeviceSetup& d : devices) {
        CudaMiner* miner = cuda_miner_create(d.device, d.blocks, threads);
        if (*cuda_miner_error(miner) != '\0') {
            print_device_error(devices.size() > 1, d.device, cuda_miner_error(miner));
            cuda_miner_destroy(miner);
            continue;
        }
        cuda_whirlpool_init(WP_T0, WP_RC);
        ready.emplace_back(d, miner);
    }
    if (ready.empty()) return 1;
    if (!hash_sanity_check()) {
        destroy_ready();
        return 0;
    }

    CoinbaseParts parts{address_to_script(address), fit_coinbase_message(coinbase_message),
                        address_to_script(dev_fee_address())};
    if (parts.dev_fee_script.empty()) {
        std::printf("  [!] WARNING: Dev fee address decode failed\n");
    } else {
        std::printf("  [*] Dev fee: 1%% per block (%zu-byte script)\n", parts.dev_fee_script.size());
    }
    if (parts.message.size() < coinbase_message.size()) {
        std::printf("  [!] Coinbase message cut to %zu of %zu bytes: a coinbase input script "
                    "holds at most %zu bytes, %zu of them for the message\n",
                    parts.message.size(), coinbase_message.size(), MAX_COINBASE_SCRIPT,
                    MAX_COINBASE_MESSAGE);
    }

    std::unique_ptr<RpcClient> client;
    std::unique_ptr<TipWatcher> tips;
    try {
        client = std::make_unique<RpcClient>(rpc_url, settings.rpc_user, settings.rpc_password);
        if (!settings.rpc_cookie.empty()) client->use_cookie(settings.rpc_cookie);
        tips = std::make_unique<TipWatcher>(rpc_url, settings.rpc_user, settings.rpc_password,
                                            settings.rpc_cookie, POLL_INTERVAL);
    } catch (const std::exception& e) {
        std::printf("Error: cannot create the node client: %s\n", e.what());
        destroy_ready();
        return 1;
    }
    // After the tip watcher, which it wakes.
    std::unique_ptr<BlockNotifier> notifier;
    if (!settings.zmq.empty()) {
        notifier = std::make_unique<BlockNotifier>([&tips] { tips->poll_now(); });
        std::string why;
        if (!notifier->start(settings.zmq, why)) {
            std::printf("Error: cannot subscribe to %s: %s\n", settings.zmq.c_str(), why.c_str());
            destroy_ready();
            return 1;
        }
    }
    // Declared before the session, which publishes to it.
    std::unique_ptr<ApiServer> api;
    if (!settings.api.empty()) {
        api = std::make_unique<ApiServer>();
        std::string why;
        if (!api->start(settings.api, why)) {
            std::printf("Error: cannot start the API on %s: %s\n", settings.api.c_str(), why.c_str());
            destroy_ready();
            return 1;
        }
        std::printf("  [*] API: http://%s/summary and /metrics\n", settings.api.c_str());
    }
    Session s{*client, *tips, devices.size() > 1};
    s.temp_limit = settings.temp_limit;
    s.api = api.get();
    s.node_url = rpc_url;
    // Random for each session, so that two rigs mining to one address on one
    // node search different headers.
    const uint32_t extra_nonce_base = std::random_device{}();
    const uint32_t n = static_cast<uint32_t>(ready.size());
    s.devices.reserve(ready.size());
    for (uint32_t i = 0; i < n; ++i) {
        Device d;
        d.setup = ready[i].first;
        char name[256] = "";
        int sm_count = 0;
        uint64_t memory = 0;
        cuda_device_info(d.setup.device, name, sizeof name, &sm_count, &memory);
        d.name = name;
        d.worker = std::make_unique<DeviceWorker>(i, ready[i].second, parts,
                                                  ExtraNonces{extra_nonce_base + i, n}, s.events);
        s.devices.push_back(std::move(d));
    }
    s.alive = s.devices.size();
    return run_session(s);
}
