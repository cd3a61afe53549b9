#include "api_snapshot.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace {

template <class T>
nlohmann::json or_null(const std::optional<T>& v)
{
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

} // namespace

std::string summary_json(const ApiSnapshot& s)
{
    nlohmann::json devices = nlohmann::json::array();
    for (const ApiDevice& d : s.devices) {
        devices.push_back({{"id", d.id},
                           {"name", d.name},
                           {"hashrate", d.hashrate},
                           {"hashes", d.hashes},
                           {"state", d.state},
                           {"temp_c", or_null(d.temp_c)},
                           {"power_w", or_null(d.power_w)},
                           {"sm_clock_mhz", or_null(d.sm_clock_mhz)}});
    }
    nlohmann::json doc = {
        {"version", s.version},
        {"uptime_s", s.uptime_s},
        {"height", s.height},
        {"hashrate", s.hashrate},
        {"hashes", s.hashes},
        {"blocks",
         {{"found", s.blocks_found},
          {"accepted", s.blocks_accepted},
          {"rejected", s.blocks_rejected},
          {"last_height", s.last_block_height ? nlohmann::json(s.last_block_height) : nlohmann::json(nullptr)},
          {"last_time", s.last_block_height ? nlohmann::json(s.last_block_unix) : nlohmann::json(nullptr)}}},
        {"node", {{"url", s.node_url}, {"last_template_s", or_null(s.last_template_s)}}},
        {"devices", devices},
    };
    if (s.pool) {
        doc["pool"] = {{"url", s.pool->url},
                       {"difficulty", s.pool->difficulty},
                       {"connected", s.pool->connected},
                       {"shares",
                        {{"accepted", s.pool->shares_accepted},
                         {"rejected", s.pool->shares_rejected},
                         {"stale", s.pool->shares_stale}}}};
    }
    // Replacement characters for any bytes that are not UTF-8 (a device name).
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string metrics_text(const ApiSnapshot& s)
{
    std::string out;
    char line[256];
    auto add = [&](const char* fmt, auto... args) {
        std::snprintf(line, sizeof line, fmt, args...);
        out += line;
    };
    out += "# HELP marlvane_hashes_total Nonces searched since the start.\n"
           "# TYPE marlvane_hashes_total counter\n";
    for (const ApiDevice& d : s.devices)
        add("marlvane_hashes_total{device=\"%d\"} %llu\n", d.id,
            static_cast<unsigned long long>(d.hashes));
    out += "# HELP marlvane_hashrate Hashes a second over the last minute.\n"
           "# TYPE marlvane_hashrate gauge\n";
    for (const ApiDevice& d : s.devices) add("marlvane_hashrate{device=\"%d\"} %.1f\n", d.id, d.hashrate);
    out += "# HELP marlvane_blocks_total Blocks found, and the node's verdicts on them.\n"
           "# TYPE marlvane_blocks_total counter\n";
    add("marlvane_blocks_total{result=\"found\"} %llu\n", static_cast<unsigned long long>(s.blocks_found));
    add("marlvane_blocks_total{result=\"accepted\"} %llu\n",
        static_cast<unsigned long long>(s.blocks_accepted));
    add("marlvane_blocks_total{result=\"rejected\"} %llu\n",
        static_cast<unsigned long long>(s.blocks_rejected));
    out += "# HELP marlvane_height Height of the block being mined.\n"
           "# TYPE marlvane_height gauge\n";
    add("marlvane_height %llu\n", static_cast<unsigned long long>(s.height));
    out += "# HELP marlvane_template_age_seconds Seconds since the node last gave a template.\n"
           "# TYPE marlvane_template_age_seconds gauge\n";
    if (s.last_template_s) add("marlvane_template_age_seconds %.1f\n", *s.last_template_s);
    if (s.pool) {
        out += "# HELP marlvane_shares_total The pool's verdicts on the shares sent.\n"
               "# TYPE marlvane_shares_total counter\n";
        add("marlvane_shares_total{result=\"accepted\"} %llu\n",
            static_cast<unsigned long long>(s.pool->shares_accepted));
        add("marlvane_shares_total{result=\"rejected\"} %llu\n",
            static_cast<unsigned long long>(s.pool->shares_rejected));
        add("marlvane_shares_total{result=\"stale\"} %llu\n",
            static_cast<unsigned long long>(s.pool->shares_stale));
        out += "# HELP marlvane_pool_difficulty Difficulty of the shares the pool takes.\n"
               "# TYPE marlvane_pool_difficulty gauge\n";
        add("marlvane_pool_difficulty %g\n", s.pool->difficulty);
    }
    // A device without a reading has no sample, as Prometheus expects.
    out += "# HELP marlvane_device_temperature_celsius GPU temperature.\n"
           "# TYPE marlvane_device_temperature_celsius gauge\n";
    for (const ApiDevice& d : s.devices)
        if (d.temp_c) add("marlvane_device_temperature_celsius{device=\"%d\"} %d\n", d.id, *d.temp_c);
    out += "# HELP marlvane_device_power_watts GPU power draw.\n"
           "# TYPE marlvane_device_power_watts gauge\n";
    for (const ApiDevice& d : s.devices)
        if (d.power_w) add("marlvane_device_power_watts{device=\"%d\"} %d\n", d.id, *d.power_w);
    out += "# HELP marlvane_device_up 1 while the device mines, 0 otherwise.\n"
           "# TYPE marlvane_device_up gauge\n";
    for (const ApiDevice& d : s.devices)
        add("marlvane_device_up{device=\"%d\"} %d\n", d.id, d.state == "mining" ? 1 : 0);
    return out;
}
