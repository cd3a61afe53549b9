// One device on a thread of its own. It mines the template it was last
// given, on a header of its own (its own extra nonce in the coinbase), and
// when a header's nonces run out it goes straight on with the next extra
// nonce of its sequence: it never waits for anyone while it has a
// template. It reports finds and its own failure as events, prints nothing
// and never talks to the node; the session's thread does both.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "../kernels/whirlpool_cuda.h"
#include "mining_work.h"

enum class DeviceEventKind { found, failed };

struct DeviceEvent {
    DeviceEventKind kind;
    size_t device_index; // the worker's place in the session
    // found: the header the nonce was found on, never changed once searched.
    std::shared_ptr<const MiningWork> work;
    uint32_t nonce = 0; // found: the nonce the device reported
    std::string error;  // failed: the engine's words
};

class DeviceEvents {
public:
    void push(DeviceEvent event);
    // The oldest event, or false when none came within the wait.
    bool pop(DeviceEvent& event, std::chrono::milliseconds wait);

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<DeviceEvent> events_;
};

// The extra nonces of one device: first, first + step, first + 2 step ...
// Device i of n starts at base + i and steps by n, so that no two devices
// ever build the same coinbase.
struct ExtraNonces {
    uint32_t first;
    uint32_t step;
};

class DeviceWorker {
public:
    // Takes the handle, which must be able to mine, and starts idle.
    DeviceWorker(size_t index, CudaMiner* miner, const CoinbaseParts& parts, ExtraNonces extra,
                 DeviceEvents& events);
    ~DeviceWorker();
    DeviceWorker(const DeviceWorker&) = delete;
    DeviceWorker& operator=(const DeviceWorker&) = delete;

    // The template to mine from now on. at_once cuts the launch in progress
    // short (a new tip, a pool's clean job); otherwise the device takes it
    // after that launch (a pool's job that does not void the last one). A
    // template that gives the header the device is on (the node's cached
    // template again) goes on where it is; any other header starts at nonce
    // 0. Null pauses the device until the next template. A pool's job starts
    // the device's extranonce2 values afresh: device i of n takes i, i + n ...
    // within the job's extranonce2 size, then waits for the next job.
    void mine(std::shared_ptr<const TemplateWork> t, bool at_once = true);
    // A held device launches nothing (the launch in progress is cut short)
    // and keeps its work: released, it goes on where it was.
    void hold(bool held);
    // Ends the launch in progress and the thread; the count is final after
    // it, and every find is in the events.
    void stop();
    // Nonces searched since the start, as the engine counts them.
    uint64_t hashes() const { return hashes_.load(); }
    // The next nonce of the header being searched.
    uint32_t next_nonce() const { return next_nonce_.load(); }

private:
    void run();

    const size_t index_;
    CudaMiner* const miner_;
    const CoinbaseParts& parts_;
    const ExtraNonces extra_;
    DeviceEvents& events_;
    std::atomic<uint64_t> hashes_{0};
    std::atomic<uint32_t> next_nonce_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<const TemplateWork> assigned_;
    uint64_t assignments_ = 0; // how many times mine() was called
    bool quit_ = false;
    bool held_ = false;
    std::thread thread_;
};
