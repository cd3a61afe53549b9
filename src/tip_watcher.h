// The node's chain tip, polled beside the search on a connection of its
// own, so that a slow node never holds the device idle: the search only
// reads the newest answer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "rpc_client.h"

class TipWatcher {
public:
    using Clock = std::chrono::steady_clock;

    // Polls every interval, the first one interval after the start, on a
    // connection of its own.
    TipWatcher(std::unique_ptr<RpcClient> client, std::chrono::milliseconds interval);
    // Stops at once, even in the middle of a slow request.
    ~TipWatcher();
    TipWatcher(const TipWatcher&) = delete;
    TipWatcher& operator=(const TipWatcher&) = delete;

    // The tip from the newest answered poll that was sent at or after since;
    // empty when there is none yet. A failed or empty answer changes nothing.
    std::string tip_since(Clock::time_point since) const;
    // Polls at once (the node said a block came), then every interval again.
    void poll_now();

private:
    void run();

    std::unique_ptr<RpcClient> client_;
    const std::chrono::milliseconds interval_;
    std::atomic<bool> stopping_{false};
    bool poll_now_ = false;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::string tip_;
    Clock::time_point asked_at_{};
    std::thread thread_;
};
