#include "pool_source.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "../kernels/whirlpool_cuda.h"
#include "shell.h"
#include "util.h"

namespace {

using nlohmann::json;

// Waits before trying again after a failed or lost connection.
constexpr int FIRST_WAIT_S = 1;
constexpr int LONGEST_WAIT_S = 30;
// Tries that fail in a row after which another URL may serve better.
constexpr int TRIES_BEFORE_FAILOVER = 3;
// A pool that says nothing this long is connected to again.
constexpr auto SILENCE_LIMIT = std::chrono::minutes(2);
constexpr auto PUMP_WAIT = std::chrono::milliseconds(100);

} // namespace

PoolSource::PoolSource(PoolLogin login) : login_(std::move(login))
{
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

PoolSource::~PoolSource()
{
    quit_ = true;
    wake();
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

void PoolSource::wake()
{
    const uint64_t one = 1;
    if (wake_fd_ >= 0 && ::write(wake_fd_, &one, sizeof one) < 0) {
        // A full counter wakes the thread all the same.
    }
}

bool PoolSource::stopping() const
{
    if (quit_ || g_stop_at_once) return true;
    return finishing_ && SteadyClock::now().time_since_epoch().count() >= deadline_.load();
}

bool PoolSource::pause(std::chrono::milliseconds d)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, d, [this] { return quit_ || finishing_ || !serving_; });
}

void PoolSource::say_once(const std::string& kind, const std::string& text)
{
    if (said_.insert(kind).second) std::printf("%s\n", text.c_str());
}

std::optional<NewWork> PoolSource::take_work()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    std::optional<NewWork> w = std::move(work_);
    work_.reset();
    return w;
}

void PoolSource::found(Find f)
{
    const MiningWork& w = *f.work;
    uint8_t hash[32];
    host_pow_hash(header_with_nonce(w, f.nonce).data(), hash);
    if (!meets_target(hash, w.target)) {
        std::printf("\n  [!] CPU says the share does NOT meet the pool's target!\n"
                    "  [!] GPU false positive - skipping submission.\n\n");
        return;
    }
    const bool block = meets_target(hash, w.pool->network_target);
    bool sendable = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++counts_.shares_found;
        if (block) ++counts_.blocks_verified;
        // A share of a job the pool voided with a clean job still goes: the
        // pool has the last word (and counts it). One of a connection that
        // is gone cannot be sent.
        sendable = connected_ && w.parent.compare(0, connection_prefix_.size(), connection_prefix_) == 0;
        if (!sendable) ++counts_.shares_stale;
    }
    if (block) check_find(f); // the found-block box: the pool sends the block on
    if (!sendable) {
        // Only the pool holds the block's transactions: nobody else can send it.
        if (block)
            std::printf("  [!] Block at height %" PRIu64 " not sent: the connection to the pool it "
                        "was found for is gone\n",
                        w.height);
        return;
    }
    Share s{w.pool->job_id, bytes_to_hex(extranonce2_bytes(*w.pool, w.extra_nonce).data(),
                                         static_cast<uint64_t>(w.pool->extranonce2_size)),
            stratum_hex32(read_le32(w.header + 68)), stratum_hex32(f.nonce), block, w.height};
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        shares_.push_back(std::move(s));
    }
    wake();
}

void PoolSource::finish(SteadyClock::time_point deadline)
{
    deadline_ = deadline.time_since_epoch().count();
    finishing_ = true;
    wake();
    changed_.notify_all();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return finished_; });
}

SourceHealth PoolSource::health() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return health_;
}

void PoolSource::serve(bool on)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        serving_ = on;
        if (on) ++served_;
        if (on && health_ != SourceHealth::refused) health_ = SourceHealth::working;
    }
    wake();
    changed_.notify_all();
}

SourceCounts PoolSource::counts() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

std::optional<PoolStatus> PoolSource::pool_status() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return PoolStatus{login_.url, difficulty_, connected_};
}

void PoolSource::run()
{
    int failed_tries = 0;
    int wait_s = 0;
    uint64_t serial = 0;
    uint64_t served = served_;
    while (!quit_ && !finishing_) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return quit_ || finishing_ || serving_; });
        }
        if (quit_ || finishing_) break;
        if (served != served_) {
            served = served_;
            failed_tries = 0;
            wait_s = 0;
        }
        if (wait_s > 0 && !pause(std::chrono::seconds(wait_s))) continue;
        const std::string failure = connection_.open(
            login_.url, login_.ca_file, [this] { return quit_ || finishing_ || !serving_; });
        bool authorized = false;
        std::string why = failure;
        if (failure.empty()) {
            Connection c;
            c.serial = ++serial;
            why = serve_connection(c);
            authorized = c.authorized;
            connection_.close();
            std::lock_guard<std::mutex> lock(mutex_);
            connected_ = false;
            // Shares sent and not answered cannot be counted any more.
            for (const auto& r : c.requests)
                if (r.second.kind == Request::Kind::submit) ++counts_.shares_stale;
            if (c.refused) {
                health_ = SourceHealth::refused;
                serving_ = false;
                continue;
            }
        }
        if (quit_ || finishing_ || !serving_) continue;
        failed_tries = authorized ? 0 : failed_tries + 1;
        wait_s = authorized || wait_s == 0 ? FIRST_WAIT_S : std::min(2 * wait_s, LONGEST_WAIT_S);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            health_ = failed_tries >= TRIES_BEFORE_FAILOVER ? SourceHealth::failing : SourceHealth::lost;
            work_.reset();
        }
        if (failure.empty()) {
            std::printf("  [!] Lost the pool at %s: %s; connecting again in %d s\n", login_.url.c_str(),
                        why.c_str(), wait_s);
        } else {
            std::printf("  [!] Cannot reach the pool at %s: %s; trying again in %d s\n", login_.url.c_str(),
                        why.c_str(), wait_s);
        }
    }
    size_t unsent = 0;
    bool block = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
        unsent = shares_.size();
        for (const Share& s : shares_) block = block || s.block;
        counts_.shares_stale += unsent;
        shares_.clear();
    }
    // The pool holds the block's transactions: without it nothing can be sent.
    if (unsent > 0 && !quit_)
        std::printf("  [!] %zu shares not sent%s: the pool at %s was not connected\n", unsent,
                    block ? ", one of them a block" : "", login_.url.c_str());
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

std::string PoolSource::serve_connection(Connection& c)
{
    c.last_heard = SteadyClock::now();
    send(c, Request::Kind::subscribe, "mining.subscribe",
         json::array({std::string("marlvane-miner/") + PROGRAM_VERSION}));
    send(c, Request::Kind::authorize, "mining.authorize", json::array({login_.worker, login_.password}));
    send(c, Request::Kind::extranonce_subscribe, "mining.extranonce.subscribe", json::array());
    while (!quit_ && serving_ && !c.refused) {
        // At a stop: the shares in hand go, their answers are awaited.
        if (finishing_) {
            const bool answered = std::none_of(c.requests.begin(), c.requests.end(), [](const auto& r) {
                return r.second.kind == Request::Kind::submit;
            });
            std::lock_guard<std::mutex> lock(mutex_);
            if ((answered && shares_.empty()) || stopping()) return "the miner stopped";
        }
        std::deque<Share> shares;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            shares.swap(shares_);
        }
        for (const Share& s : shares) {
            send(c, Request::Kind::submit, "mining.submit",
                 json::array({login_.worker, s.job_id, s.extranonce2, s.ntime, s.nonce}), s.block,
                 s.height);
        }
        std::vector<std::string> lines;
        const std::string why = connection_.pump(wake_fd_, PUMP_WAIT, lines);
        if (!lines.empty()) c.last_heard = SteadyClock::now();
        for (const std::string& line : lines) handle_line(c, line);
        if (!why.empty()) return why;
        if (SteadyClock::now() - c.last_heard > SILENCE_LIMIT) return "it said nothing for 2 minutes";
    }
    return "the miner stopped";
}

void PoolSource::send(Connection& c, Request::Kind kind, const std::string& method,
                      const nlohmann::json& params, bool block, uint64_t height)
{
    const uint64_t id = next_id_++;
    c.requests[id] = Request{kind, block, height};
    connection_.send(stratum_request(id, method, params));
}
