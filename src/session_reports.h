// What a mining session tells: the statistics line (a redraw on a screen,
// a whole line a minute in the journal, once a minute in the log), the
// summary at the end, and the monitoring API's snapshot.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

struct Session;

// The reports' own clocks and samples.
struct Reports {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> last_stats{};
    uint64_t stats_printed = 0;
    std::optional<Clock::time_point> last_logged_stats{};
    std::optional<Clock::time_point> last_published{};
    std::optional<Clock::time_point> last_history{};
    // Each device's hash count over the last minute, for the API's rates.
    std::deque<std::pair<Clock::time_point, std::vector<uint64_t>>> rate_samples{};
};

// The statistics line when it is due (every 2 s; once a minute in the journal).
void report_stats(Session& s);
// The snapshot when it is due (twice a second), from the start, and a
// sample of the rates for the history once a minute.
void report_snapshot(Session& s);
// "  [*] Shutting down..." and the figures of the whole session.
void print_summary(const Session& s);
