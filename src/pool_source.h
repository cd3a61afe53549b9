// A pool as a source of work: a Stratum v1 client on a thread of its own.
// It subscribes and authorizes, turns the pool's jobs into work for the
// devices, and sends every share as it comes (mining.submit), matching the
// replies by id. A lost connection is tried again after 1, 2, 4 ... 30 s;
// a pool that says nothing for 2 minutes is connected to again. Whatever a
// pool sends, it gets a clear line, never a crash or a hang.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "stratum_connection.h"
#include "stratum_messages.h"
#include "work_source.h"

struct PoolLogin {
    std::string url;
    std::string worker;
    std::string password;
    std::string ca_file; // trusted authorities for stratum+ssl; empty: the system's
};

class PoolSource : public WorkSource {
public:
    // Starts connecting at once.
    explicit PoolSource(PoolLogin login);
    ~PoolSource() override;

    void want_work() override {}
    std::optional<NewWork> take_work() override;
    std::string tip_since(SteadyClock::time_point) const override { return ""; }
    void found(Find f) override;
    void chain_moved_past(const std::string&) override {}
    void mining_on(const std::string&) override {}
    std::vector<BlockNews> news() override { return {}; }
    void finish(SteadyClock::time_point deadline) override;
    SourceHealth health() const override;
    void serve(bool on) override;
    SourceCounts counts() const override;
    std::optional<PoolStatus> pool_status() const override;
    const std::string& url() const override { return login_.url; }

private:
    // What a request of ours was, for its reply.
    struct Request {
        enum class Kind { subscribe, authorize, extranonce_subscribe, submit } kind;
        bool block = false; // a share that meets the network target
        uint64_t height = 0;
    };
    // A share waiting for the I/O thread.
    struct Share {
        std::string job_id;
        std::string extranonce2;
        std::string ntime;
        std::string nonce;
        bool block;
        uint64_t height;
    };
    // What a connection learns; reset with each new one.
    struct Connection {
        uint64_t serial = 0;
        std::vector<uint8_t> extranonce1;
        int extranonce2_size = 0;
        bool subscribed = false;
        bool authorized = false;
        bool refused = false;
        // What mining.set_difficulty and mining.set_extranonce said, for
        // the jobs from the next notify on.
        double difficulty = 1.0;
        std::vector<uint8_t> next_extranonce1;
        int next_extranonce2_size = 0;
        uint64_t clean_jobs = 0;
        std::map<uint64_t, Request> requests;
        SteadyClock::time_point last_heard{};
    };

    void run();
    // One connection from the first request to its end: why it ended.
    std::string serve_connection(Connection& c);
    void send(Connection& c, Request::Kind kind, const std::string& method,
              const nlohmann::json& params, bool block = false, uint64_t height = 0);
    void handle_line(Connection& c, const std::string& line);
    void handle_reply(Connection& c, const StratumMessage& m);
    void handle_call(Connection& c, const StratumMessage& m);
    void take_job(Connection& c, const PoolJob& job);
    void count_verdict(const Request& r, const PoolVerdict& v);
    bool pause(std::chrono::milliseconds d);
    bool stopping() const;
    // A line said once per kind for as long as the source lives.
    void say_once(const std::string& kind, const std::string& text);
    void wake();

    const PoolLogin login_;
    StratumConnection connection_;
    int wake_fd_ = -1;
    uint64_t next_id_ = 1;
    std::set<std::string> said_;
    std::map<std::string, SteadyClock::time_point> rejections_said_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> serving_{true};
    std::atomic<uint64_t> served_{0}; // calls of serve(true): each starts the tries afresh
    std::atomic<bool> finishing_{false};
    std::atomic<SteadyClock::rep> deadline_{0};
    bool finished_ = false;
    // Shared with the session's thread, under mutex_.
    SourceHealth health_ = SourceHealth::working;
    bool connected_ = false;
    // What the parents of this connection's jobs begin with: a share of an
    // earlier connection's job has another extranonce1, and no pool takes it.
    std::string connection_prefix_;
    double difficulty_ = 0;
    std::optional<NewWork> work_;
    std::deque<Share> shares_;
    SourceCounts counts_;
    std::thread thread_;
};
