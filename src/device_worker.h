// One device of a rig on a thread of its own: it searches whatever job it
// was last given and reports finds, a header's end and its own failure as
// events. It prints nothing and never talks to the node; the session's
// thread does both for every device.
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

// A job as handed to a device; never changed once handed over, so that an
// event can carry the very job its find belongs to.
struct DeviceJob {
    uint64_t id; // distinct for every job of the session
    MiningWork work;
    uint32_t start_nonce;
};

enum class DeviceEventKind { found, exhausted, failed };

struct DeviceEvent {
    DeviceEventKind kind;
    size_t device_index; // the worker's place in the rig
    std::shared_ptr<const DeviceJob> job;
    uint32_t nonce = 0;  // found: the nonce the device reported
    std::string error;   // failed: the engine's words
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

class DeviceWorker {
public:
    // Takes the handle, which must be able to mine, and starts idle.
    DeviceWorker(size_t index, CudaMiner* miner, DeviceEvents& events);
    ~DeviceWorker();
    DeviceWorker(const DeviceWorker&) = delete;
    DeviceWorker& operator=(const DeviceWorker&) = delete;

    // The next launch searches this job; null leaves the device idle.
    void assign(std::shared_ptr<const DeviceJob> job);
    // Ends the launch in progress and the thread; the count is final after it.
    void stop();
    // Nonces searched since the start, as the engine counts them.
    uint64_t hashes() const { return hashes_.load(); }

private:
    void run();
    // One launch of the job from next_nonce; false when the device failed.
    bool search(const std::shared_ptr<const DeviceJob>& job, uint32_t& next_nonce);

    const size_t index_;
    CudaMiner* const miner_;
    DeviceEvents& events_;
    std::atomic<uint64_t> hashes_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<const DeviceJob> job_;
    bool quit_ = false;
    std::thread thread_;
};
