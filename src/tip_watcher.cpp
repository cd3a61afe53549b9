#include "tip_watcher.h"

#include <exception>

TipWatcher::TipWatcher(std::unique_ptr<RpcClient> client, std::chrono::milliseconds interval)
    : client_(std::move(client)), interval_(interval)
{
    client_->set_abort([this] { return stopping_.load(); });
    thread_ = std::thread([this] { run(); });
}

TipWatcher::~TipWatcher()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::string TipWatcher::tip_since(Clock::time_point since) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_at_ >= since ? tip_ : std::string();
}

void TipWatcher::poll_now()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        poll_now_ = true;
    }
    wake_.notify_all();
}

void TipWatcher::run()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, interval_, [this] { return stopping_.load() || poll_now_; });
            if (stopping_) return;
            poll_now_ = false;
        }
        const Clock::time_point asked = Clock::now();
        std::string tip;
        try {
            tip = client_->getbestblockhash();
        } catch (const std::exception&) {
            // A failed poll changes nothing; the next one comes after the interval.
        }
        if (tip.empty()) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        tip_ = std::move(tip);
        asked_at_ = asked;
    }
}
