#include "template_source.h"

#include <cstdio>
#include <random>
#include <string>

#include "shell.h"

namespace {

constexpr auto RETRY_WAIT = std::chrono::seconds(5);
// A node whose work queue is full answers HTTP 503. At a new tip every rig
// on the node asks at once, so a busy node is asked again after a short
// random wait, and is called a failure only once it has been busy this long.
constexpr int BUSY_STATUS = 503;
constexpr int BUSY_RETRY_MIN_MS = 200;
constexpr int BUSY_RETRY_MAX_MS = 1000;
constexpr auto BUSY_QUIET_LIMIT = std::chrono::seconds(5);

void report_template_failure(std::string& last_failure, const std::string& why)
{
    std::printf("  [!] Invalid template, retrying...\n");
    // Said once per cause, so a node that stays down does not flood the screen.
    if (why != last_failure) std::printf("  [!] Reason: %s\n", why.c_str());
    last_failure = why;
}

} // namespace

TemplateSource::TemplateSource(std::unique_ptr<RpcClient> client) : client_(std::move(client))
{
    // A stop gives a template request up at once: nobody would mine on it.
    client_->set_abort([this] { return quit_.load() || !g_running.load(); });
    thread_ = std::thread([this] { run(); });
}

TemplateSource::~TemplateSource()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void TemplateSource::request()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++wanted_;
        ready_.reset();
    }
    wake_.notify_all();
}

std::optional<FetchedTemplate> TemplateSource::take()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    std::optional<FetchedTemplate> t = std::move(ready_);
    ready_.reset();
    return t;
}

bool TemplateSource::pause(std::chrono::milliseconds d)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, d, [this] { return quit_.load() || !g_running.load(); });
}

void TemplateSource::run()
{
    while (true) {
        uint64_t answering = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return quit_.load() || wanted_ != fetched_; });
            if (quit_) return;
            answering = wanted_;
        }
        std::optional<FetchedTemplate> t = fetch();
        if (!t) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        fetched_ = answering;
        // A request made while this one was on its way wants a fresher one.
        if (wanted_ == answering) ready_ = std::move(t);
    }
}

std::optional<FetchedTemplate> TemplateSource::fetch()
{
    std::minstd_rand jitter{std::random_device{}()};
    // Since when the node has answered every request with 503.
    bool busy = false;
    SteadyClock::time_point busy_since{};
    bool announced = false;
    while (!quit_ && g_running) {
        if (!announced) std::printf("  [*] Requesting block template...\n");
        announced = true;
        FetchedTemplate fetched;
        fetched.requested_at = SteadyClock::now();
        const BlockTemplate t = client_->getblocktemplate();
        if (quit_ || !g_running) break;
        const SteadyClock::time_point now = SteadyClock::now();
        if (t.valid || client_->last_http_status() != BUSY_STATUS) {
            busy = false;
        } else {
            if (!busy) busy_since = now;
            busy = true;
            if (now - busy_since <= BUSY_QUIET_LIMIT) {
                std::uniform_int_distribution<int> wait_ms(BUSY_RETRY_MIN_MS, BUSY_RETRY_MAX_MS);
                if (!pause(std::chrono::milliseconds(wait_ms(jitter)))) break;
                continue;
            }
        }
        std::string why = client_->last_failure();
        if (t.valid && prepare_template(t, fetched.work, why)) {
            last_failure_.clear();
            failures_in_a_row_ = 0;
            return fetched;
        }
        ++failures_in_a_row_;
        report_template_failure(last_failure_, why);
        if (!pause(RETRY_WAIT)) break;
        announced = false;
    }
    return std::nullopt;
}
