#include "session_reports.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "console.h"
#include "log_file.h"
#include "rpc_reply.h"
#include "session.h"
#include "util.h"

namespace {

constexpr double STATS_SECONDS = 2.0;
// The journal and the log take the statistics as whole lines, this often.
constexpr double LINE_STATS_SECONDS = 60.0;
// Twice a second, so that a client reading every second sees every change.
constexpr double API_PUBLISH_SECONDS = 0.5;
constexpr auto API_RATE_WINDOW = std::chrono::seconds(60);

bool due(const std::optional<Reports::Clock::time_point>& last, double seconds)
{
    return !last || seconds_since(*last) >= seconds;
}

// Whether seconds have passed since last, or since the start when never.
bool seconds_since_or_start(const Session& s, const std::optional<Reports::Clock::time_point>& last,
                            double seconds)
{
    return seconds_since(last ? *last : s.start) >= seconds;
}

uint64_t total_hashes(const Session& s)
{
    uint64_t total = 0;
    for (const Device& d : s.devices) total += d.worker->hashes();
    return total;
}

// Mining time: from the start to now, or to the devices' halt at a stop.
double mining_seconds(const Session& s)
{
    const SteadyClock::time_point end = s.halted_at ? *s.halted_at : SteadyClock::now();
    return std::chrono::duration<double>(end - s.start).count();
}

// " | shares=A/R/S": accepted, rejected and stale.
std::string shares_text(const SourceCounts& c)
{
    return " | shares=" + std::to_string(c.shares_accepted) + "/" + std::to_string(c.shares_rejected) +
           "/" + std::to_string(c.shares_stale);
}

std::string stats_text(const Session& s)
{
    const double elapsed = mining_seconds(s);
    const double rate = elapsed > 0.0 ? total_hashes(s) / elapsed : 0.0;
    const SourceCounts c = s.sources.counts();
    const uint64_t accepted = c.blocks_accepted;
    // A pool's shares, after the blocks: the rest of the line is unchanged.
    const std::string shares = s.sources.pool_status() ? shares_text(c) : "";
    char text[256];
    if (!s.several) {
        const Device& d = s.devices.front();
        std::snprintf(text, sizeof text, "  [%s] h=%" PRIu64 " | n=%u/4G | blk=%" PRIu64 "%s%s",
                      hashrate_str(rate).c_str(), s.tmpl->height, d.worker->next_nonce(), accepted,
                      shares.c_str(), d.hot ? " | paused" : "");
        return text;
    }
    std::snprintf(text, sizeof text, "  [%s] h=%" PRIu64 " | blk=%" PRIu64 "%s",
                  hashrate_str(rate).c_str(), s.tmpl->height, accepted, shares.c_str());
    std::string line = text;
    for (const Device& d : s.devices) {
        line += " | #" + std::to_string(d.setup.device) + " ";
        if (d.failed) {
            line += "failed";
            continue;
        }
        if (d.hot) line += "paused ";
        line += hashrate_str(elapsed > 0.0 ? d.worker->hashes() / elapsed : 0.0);
        const std::string health = device_health_text(d.setup.device);
        if (!health.empty()) line += " " + health;
    }
    return line;
}

const char* device_state(const Session& s, const Device& d)
{
    if (d.failed) return "failed";
    if (d.hot) return "paused";
    return s.paused || !s.tmpl ? "idle" : "mining";
}

} // namespace

void report_stats(Session& s)
{
    if (!s.tmpl) return;
    // The journal splits only at newlines: a whole line now and then, no
    // redraws; the first one as soon as a redraw would come.
    const bool journal = console_is_journal();
    const bool first = s.reports.stats_printed == 0;
    const double interval = journal && !first ? LINE_STATS_SECONDS : STATS_SECONDS;
    if (!seconds_since_or_start(s, s.reports.last_stats, interval)) return;
    s.reports.last_stats = SteadyClock::now();
    ++s.reports.stats_printed;
    const std::string text = stats_text(s);
    if (journal) {
        std::printf("%s\n", text.c_str());
        return;
    }
    std::printf("\r%s   ", text.c_str());
    std::fflush(stdout);
    if (log_active() && due(s.reports.last_logged_stats, LINE_STATS_SECONDS)) {
        s.reports.last_logged_stats = SteadyClock::now();
        log_only(text);
    }
}

void report_snapshot(Session& s)
{
    if (!s.api || !due(s.reports.last_published, API_PUBLISH_SECONDS)) return;
    const SteadyClock::time_point now = SteadyClock::now();
    s.reports.last_published = now;
    std::vector<uint64_t> hashes;
    for (const Device& d : s.devices) hashes.push_back(d.worker->hashes());
    auto& samples = s.reports.rate_samples;
    samples.emplace_back(now, hashes);
    while (samples.size() > 1 && now - samples.front().first > API_RATE_WINDOW) samples.pop_front();
    const auto& oldest = samples.front();
    const double span = std::chrono::duration<double>(now - oldest.first).count();

    ApiSnapshot a;
    a.version = PROGRAM_VERSION;
    a.uptime_s = seconds_since(s.start);
    a.height = s.tmpl ? s.tmpl->height : 0;
    const SourceCounts c = s.sources.counts();
    a.blocks_found = c.blocks_verified;
    a.blocks_accepted = c.blocks_accepted;
    a.blocks_rejected = c.blocks_rejected;
    a.last_block_height = c.last_block.height;
    a.last_block_unix = c.last_block.unix_s;
    a.node_url = url_without_credentials(s.sources.url());
    if (const std::optional<PoolStatus> pool = s.sources.pool_status()) {
        ApiPool p;
        p.url = url_without_credentials(pool->url);
        p.difficulty = pool->difficulty;
        p.connected = pool->connected;
        p.shares_accepted = c.shares_accepted;
        p.shares_rejected = c.shares_rejected;
        p.shares_stale = c.shares_stale;
        a.pool = std::move(p);
    }
    if (s.template_received_at) a.last_template_s = seconds_since(*s.template_received_at);
    for (size_t i = 0; i < s.devices.size(); ++i) {
        const Device& d = s.devices[i];
        ApiDevice ad;
        ad.id = d.setup.device;
        ad.name = d.name;
        ad.hashes = hashes[i];
        ad.hashrate = span > 0 ? (hashes[i] - oldest.second[i]) / span : 0.0;
        ad.state = device_state(s, d);
        const DeviceReadings r = read_device(d.setup.device);
        ad.temp_c = r.temperature_c;
        ad.power_w = r.power_w;
        ad.sm_clock_mhz = r.sm_clock_mhz;
        a.hashes += ad.hashes;
        a.hashrate += ad.hashrate;
        a.devices.push_back(std::move(ad));
    }
    // The dashboard's curves: a sample a minute, the first a minute in.
    if (seconds_since_or_start(s, s.reports.last_history, HISTORY_INTERVAL_S)) {
        s.reports.last_history = now;
        RateSample sample{unix_now(), a.hashrate, {}};
        for (const ApiDevice& d : a.devices) sample.devices.push_back(d.hashrate);
        s.api->record(std::move(sample));
    }
    s.api->publish(std::move(a));
}

void print_summary(const Session& s)
{
    std::printf("\n  [*] Shutting down...\n");
    const double elapsed = mining_seconds(s);
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
    const SourceCounts c = s.sources.counts();
    if (c.shares_found > 0) {
        std::printf("  Shares: %" PRIu64 " found, %" PRIu64 " accepted, %" PRIu64 " rejected, %" PRIu64
                    " stale\n",
                    c.shares_found, c.shares_accepted, c.shares_rejected, c.shares_stale);
    }
    std::printf("  Blocks found: %" PRIu64 "\n\n", c.blocks_accepted);
}
