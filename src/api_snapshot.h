// What the monitoring API shows: a plain copy of the session's figures,
// made by the session thread and read by the API's threads, and the two
// documents written from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ApiDevice {
    int id = 0;
    std::string name;
    double hashrate = 0; // H/s over the last minute
    uint64_t hashes = 0;
    std::string state = "idle"; // mining, paused (temperature), idle or failed
    std::optional<int> temp_c;
    std::optional<int> power_w;
    std::optional<int> sm_clock_mhz;
};

// The pool mined for, when the work comes from one.
struct ApiPool {
    std::string url;
    double difficulty = 0; // of the shares it takes now
    bool connected = false;
    uint64_t shares_accepted = 0;
    uint64_t shares_rejected = 0;
    uint64_t shares_stale = 0;
};

struct ApiSnapshot {
    std::string version;
    double uptime_s = 0;
    uint64_t height = 0;
    double hashrate = 0; // H/s over the last minute, every device
    uint64_t hashes = 0;
    uint64_t blocks_found = 0; // verified on the host and sent
    uint64_t blocks_accepted = 0;
    uint64_t blocks_rejected = 0;
    uint64_t last_block_height = 0; // the newest block accepted; 0: none yet
    int64_t last_block_unix = 0;
    std::string node_url;
    std::optional<double> last_template_s; // since the last good template
    std::optional<ApiPool> pool;
    std::vector<ApiDevice> devices;
};

// GET /summary: one JSON object.
std::string summary_json(const ApiSnapshot& s);
// GET /metrics: Prometheus's text format.
std::string metrics_text(const ApiSnapshot& s);
