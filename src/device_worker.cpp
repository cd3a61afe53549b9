#include "device_worker.h"

#include <utility>

void DeviceEvents::push(DeviceEvent event)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
    }
    ready_.notify_one();
}

bool DeviceEvents::pop(DeviceEvent& event, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, wait, [&] { return !events_.empty(); })) return false;
    event = std::move(events_.front());
    events_.pop_front();
    return true;
}

DeviceWorker::DeviceWorker(size_t index, CudaMiner* miner, DeviceEvents& events)
    : index_(index), miner_(miner), events_(events), thread_(&DeviceWorker::run, this)
{
}

DeviceWorker::~DeviceWorker()
{
    stop();
    cuda_miner_destroy(miner_);
}

void DeviceWorker::stop()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void DeviceWorker::assign(std::shared_ptr<const DeviceJob> job)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        job_ = std::move(job);
    }
    changed_.notify_one();
}

void DeviceWorker::run()
{
    std::shared_ptr<const DeviceJob> current;
    uint32_t next_nonce = 0;
    while (true) {
        std::shared_ptr<const DeviceJob> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return quit_ || job_; });
            if (quit_) return;
            job = job_;
        }
        if (job != current) {
            current = job;
            cuda_miner_set_work(miner_, job->work.midstate, job->work.target);
            next_nonce = job->start_nonce;
        }
        if (!search(job, next_nonce)) return;
    }
}

bool DeviceWorker::search(const std::shared_ptr<const DeviceJob>& job, uint32_t& next_nonce)
{
    const MiningWork& w = job->work;
    uint32_t nonce = 0;
    uint32_t hashes = 0;
    const int found = cuda_miner_scan(miner_, w.w8, w.w9_base, next_nonce, &nonce, &hashes);
    if (found < 0) {
        events_.push({DeviceEventKind::failed, index_, job, 0, cuda_miner_error(miner_)});
        return false;
    }
    hashes_ += hashes;
    const uint64_t end = uint64_t{next_nonce} + hashes;
    next_nonce = static_cast<uint32_t>(end);
    bool exhausted = end > UINT32_MAX;
    // The search goes on after a find: the session decides whether the
    // header is still worth it.
    if (found == 1) {
        events_.push({DeviceEventKind::found, index_, job, nonce, {}});
        next_nonce = nonce + 1;
        exhausted = next_nonce == 0;
    }
    if (exhausted) {
        events_.push({DeviceEventKind::exhausted, index_, job, 0, {}});
        // Idle until new work, unless it has come already.
        const std::lock_guard<std::mutex> lock(mutex_);
        if (job_ == job) job_.reset();
    }
    return true;
}
