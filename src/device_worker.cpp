#include "device_worker.h"

#include <cstring>
#include <utility>

#include "shell.h"

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

DeviceWorker::DeviceWorker(size_t index, CudaMiner* miner, const CoinbaseParts& parts,
                           ExtraNonces extra, DeviceEvents& events)
    : index_(index), miner_(miner), parts_(parts), extra_(extra), events_(events),
      thread_(&DeviceWorker::run, this)
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
    cuda_miner_interrupt(miner_);
    if (thread_.joinable()) thread_.join();
}

void DeviceWorker::mine(std::shared_ptr<const TemplateWork> t, bool at_once)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        assigned_ = std::move(t);
        ++assignments_;
    }
    changed_.notify_one();
    if (at_once) cuda_miner_interrupt(miner_);
}

void DeviceWorker::hold(bool held)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        held_ = held;
    }
    changed_.notify_one();
    if (held) cuda_miner_interrupt(miner_);
}

void DeviceWorker::run()
{
    std::shared_ptr<const TemplateWork> tmpl;
    std::shared_ptr<const MiningWork> work;
    bool build = true; // a new template, or the header's nonces ran out
    uint64_t seen = 0;
    // A template's extra nonce goes on across templates, so that no later
    // template brings a header back; a pool's extranonce2 is the job's own.
    uint32_t extra_nonce = extra_.first;
    uint64_t extranonce2 = index_;
    bool spent = false; // the job's extranonce2 values are all searched
    uint32_t next_nonce = 0;
    while (true) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // A stop ends the search at once, even while the session is
            // still busy with the node; the thread ends when it is told to.
            changed_.wait(lock, [&] {
                return quit_ || (assigned_ && g_running && !held_ && !(spent && seen == assignments_));
            });
            if (quit_) return;
            if (seen != assignments_) {
                seen = assignments_;
                if (assigned_ != tmpl) {
                    tmpl = assigned_;
                    build = true;
                    extranonce2 = index_;
                    spent = false;
                }
            }
        }
        if (build) {
            if (tmpl->pool && extranonce2 >= extranonce2_count(*tmpl->pool)) {
                spent = true;
                continue;
            }
            auto next = std::make_shared<MiningWork>();
            build_work(parts_, tmpl->pool ? extranonce2 : extra_nonce, *tmpl, *next);
            // Only the header the device is on may go on where it is.
            if (!work || std::memcmp(work->header, next->header, WORK_BYTES) != 0) next_nonce = 0;
            work = std::move(next);
            build = false;
            cuda_miner_set_work(miner_, work->midstate, work->target);
        }

        uint32_t nonce = 0;
        uint32_t hashes = 0;
        const int found = cuda_miner_scan(miner_, work->w8, work->w9_base, next_nonce, &nonce, &hashes);
        if (found < 0) {
            events_.push({DeviceEventKind::failed, index_, work, 0, cuda_miner_error(miner_)});
            return;
        }
        hashes_ += hashes;
        const uint64_t end = uint64_t{next_nonce} + hashes;
        next_nonce = static_cast<uint32_t>(end);
        bool exhausted = end > UINT32_MAX;
        // The search goes on after a find: the session decides whether the
        // header is still worth it.
        if (found == 1) {
            events_.push({DeviceEventKind::found, index_, work, nonce, {}});
            next_nonce = nonce + 1;
            exhausted = next_nonce == 0;
        }
        // Stepped at once, so that no later template can bring this header back.
        if (exhausted) {
            if (tmpl->pool) {
                extranonce2 += extra_.step;
            } else {
                extra_nonce += extra_.step;
            }
            build = true;
        }
        next_nonce_ = next_nonce;
    }
}
