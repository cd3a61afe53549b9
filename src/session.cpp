#include "session.h"

#include <malloc.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "log_file.h"
#include "temperature_guard.h"
#include "util.h"

namespace {

// How long the loop waits for a device's event before it sees to its
// other duties again.
constexpr auto EVENT_WAIT = std::chrono::milliseconds(100);
// The duties that read the devices' sensors or the log's path.
constexpr double CHORE_SECONDS = 1.0;
// How often the allocator gives back the pages its threads have freed: the
// templates and blocks of a tip come and go in sizes that differ every
// time, and without it the arenas keep their high-water marks for months.
constexpr double TRIM_SECONDS = 60.0;
// Past this age a template is replaced by a fresh one (new transactions).
constexpr double TEMPLATE_REFRESH_SECONDS = 30.0;
// At a stop, the blocks still in hand are sent within this, all together.
constexpr auto FINAL_SUBMIT_LIMIT = std::chrono::seconds(3);

void mine_all(Session& s, const std::shared_ptr<const TemplateWork>& t, bool at_once = true)
{
    for (Device& d : s.devices) {
        if (!d.failed) d.worker->mine(t, at_once);
    }
}

void ask_for_template(Session& s)
{
    s.asked_at = SteadyClock::now();
    s.template_wanted = true;
    s.sources.want_work();
}

// No work is worth searching: the devices wait for new work.
void pause_devices(Session& s)
{
    mine_all(s, nullptr);
    s.paused = true;
}

// The chain moved past the parent: work on it is worth nothing, so the
// devices wait for the template on the new tip rather than search it.
void leave_parent(Session& s)
{
    s.sources.chain_moved_past(s.parent);
    pause_devices(s);
    ask_for_template(s);
}

// Whether the node's tip has moved past the parent. Only a poll sent after
// the template was asked for can tell.
bool tip_moved_past_parent(const Session& s)
{
    if (s.paused || s.parent.empty()) return false;
    const std::string tip = s.sources.tip_since(s.template_requested_at);
    return !tip.empty() && tip != s.parent;
}

void print_work_lines(const TemplateWork& t)
{
    if (t.pool) {
        std::printf("  [*] Mining height %" PRIu64 " | pool job %s | share diff %g\n", t.height,
                    t.pool->job_id.c_str(), t.pool->difficulty);
    } else {
        std::printf("  [*] Mining height %" PRIu64 " | diff %.4f | %zu txns\n", t.height,
                    target_to_difficulty(t.target), t.transactions);
    }
    std::printf("  [*] Target: %016" PRIx64 "%016" PRIx64 "%016" PRIx64 "%016" PRIx64 "\n",
                t.target[3], t.target[2], t.target[1], t.target[0]);
}

void take_template(Session& s)
{
    std::optional<NewWork> fetched = s.sources.take_work();
    if (!fetched) return;
    s.template_wanted = false;
    s.template_received_at = SteadyClock::now();
    s.template_requested_at = fetched->requested_at;
    const TemplateWork& t = fetched->work;
    s.sources.mining_on(t.parent);
    if (t.parent != s.parent) {
        if (!s.parent.empty()) s.sources.chain_moved_past(s.parent);
        s.parent = t.parent;
        if (std::memcmp(t.prev_hash, s.prev_hash, sizeof s.prev_hash) != 0)
            std::printf("  [+] New block at height %" PRIu64 "\n", t.height);
        std::memcpy(s.prev_hash, t.prev_hash, sizeof s.prev_hash);
    }
    // A node caches its template until its tip or mempool changes: the
    // same one again changes nothing.
    if (s.tmpl && !s.paused && same_work(*s.tmpl, t)) return;
    const bool at_once = fetched->at_once || s.paused || !s.tmpl;
    s.tmpl = std::make_shared<const TemplateWork>(std::move(fetched->work));
    s.paused = false;
    print_work_lines(*s.tmpl);
    mine_all(s, s.tmpl, at_once);
}

// A pool that is gone takes its jobs with it: the devices wait for the
// next job, from it or from the next URL.
void check_source(Session& s)
{
    if (!s.sources.tick()) {
        s.no_source = true;
        return;
    }
    if (s.paused || !s.tmpl || s.sources.health() == SourceHealth::working) return;
    pause_devices(s);
}

void handle_event(Session& s, const DeviceEvent& e)
{
    if (e.kind == DeviceEventKind::failed) {
        Device& d = s.devices[e.device_index];
        std::printf("\n");
        print_device_error(s.several, d.setup.device, e.error);
        d.failed = true;
        --s.alive;
        return;
    }
    // A find on a passed parent would only be called stale.
    if (s.paused || e.work->parent != s.parent) return;
    s.sources.found({e.work, e.nonce, s.found_by(e.device_index)});
}

void handle_news(Session& s)
{
    for (const BlockNews& n : s.sources.news()) {
        switch (n.fate) {
        case BlockFate::accepted:
            // Our own block is the new tip.
            if (!s.paused && n.parent == s.parent) leave_parent(s);
            break;
        case BlockFate::rejected:
        case BlockFate::kept:
            // The node may know of a tip or transactions that we do not.
            ask_for_template(s);
            break;
        }
    }
}

void check_tip(Session& s)
{
    if (!tip_moved_past_parent(s)) return;
    std::printf("\n  [*] New block on chain, refreshing...\n");
    leave_parent(s);
}

// The devices halt, and every find they reported is handed on; the sender
// sends what it holds within the final limit, a second stop at once.
void finish(Session& s, SteadyClock::time_point stopped_at)
{
    for (Device& d : s.devices) d.worker->stop();
    s.halted_at = SteadyClock::now();
    if (tip_moved_past_parent(s)) {
        s.sources.chain_moved_past(s.parent);
        s.paused = true;
    }
    DeviceEvent e;
    while (s.events.pop(e, std::chrono::milliseconds(0))) handle_event(s, e);
    s.sources.finish(stopped_at + FINAL_SUBMIT_LIMIT);
}

} // namespace

void print_device_error(bool several, int device, const std::string& error)
{
    if (several)
        std::printf("Error: GPU #%d: %s\n", device, error.c_str());
    else
        std::printf("Error: %s\n", error.c_str());
}

int run_session(Session& s)
{
    s.start = SteadyClock::now();
    SteadyClock::time_point last_chores = s.start;
    SteadyClock::time_point last_trim = s.start;
    report_unwatched_devices(s.temp_limit, s.devices);
    report_snapshot(s);
    ask_for_template(s);
    while (g_running && s.alive > 0 && !s.no_source) {
        check_source(s);
        take_template(s);
        DeviceEvent e;
        if (s.events.pop(e, EVENT_WAIT)) {
            do handle_event(s, e);
            while (s.events.pop(e, std::chrono::milliseconds(0)));
        }
        handle_news(s);
        check_tip(s);
        if (seconds_since(last_chores) >= CHORE_SECONDS) {
            last_chores = SteadyClock::now();
            apply_temperature_limit(s.temp_limit, s.devices);
            log_maintain();
        }
        if (seconds_since(last_trim) >= TRIM_SECONDS) {
            last_trim = SteadyClock::now();
            malloc_trim(0);
        }
        if (g_running && s.alive > 0) report_stats(s);
        report_snapshot(s);
        // A refresh never cuts short a request still on its way.
        if (!s.template_wanted && seconds_since(s.asked_at) >= TEMPLATE_REFRESH_SECONDS)
            ask_for_template(s);
    }
    finish(s, SteadyClock::now());
    print_summary(s);
    return s.alive == 0 || s.no_source ? 1 : 0;
}
