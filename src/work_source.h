// Where a session's work comes from and its finds go: the node (templates
// over JSON-RPC, blocks with submitblock) or a pool (jobs over Stratum,
// shares with mining.submit). The session drives every source alike; each
// talks to its server on threads of its own, so that no call here waits on
// the network.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "block_sender.h"
#include "found_block.h"
#include "mining_work.h"

// New work for the devices.
struct NewWork {
    TemplateWork work;
    // When the request that brought it went out: a tip seen after this is news.
    SteadyClock::time_point requested_at{};
    // The last work is void (a pool's clean job): the devices change at once.
    bool at_once = true;
};

// What a source has counted since the start.
struct SourceCounts {
    uint64_t blocks_verified = 0; // blocks checked on the host: found
    uint64_t blocks_accepted = 0;
    uint64_t blocks_rejected = 0;
    // Shares that passed the host check: each is accepted, rejected or stale
    // in the end (stale: the pool said so, or its connection was lost first).
    uint64_t shares_found = 0;
    uint64_t shares_accepted = 0;
    uint64_t shares_rejected = 0;
    uint64_t shares_stale = 0;
    LastBlock last_block; // the newest block accepted, none when height is 0
};

// A pool as the API shows it.
struct PoolStatus {
    std::string url;
    double difficulty = 0;
    bool connected = false;
};

enum class SourceHealth {
    working,    // it has work, or is asking for it
    lost,       // a pool whose connection is gone: its jobs are void
    failing,    // tried and failed several times: another URL may serve better
    refused,    // the pool refused the worker: this URL cannot serve
};

class WorkSource {
public:
    virtual ~WorkSource() = default;

    // Fresh work is wanted (a new tip, a verdict that may mean the node
    // knows better, a template grown old). A pool sends its jobs unasked.
    virtual void want_work() = 0;
    virtual std::optional<NewWork> take_work() = 0;
    // The tip from a look at the chain made at or after since; empty when
    // there is none (a pool tells of new tips with its clean jobs).
    virtual std::string tip_since(SteadyClock::time_point since) const = 0;

    virtual void found(Find f) = 0;
    virtual void chain_moved_past(const std::string& parent) = 0;
    virtual void mining_on(const std::string& parent) = 0;
    virtual std::vector<BlockNews> news() = 0;
    // At a stop: sends what is in hand until deadline, prints what is left.
    virtual void finish(SteadyClock::time_point deadline) = 0;

    virtual SourceHealth health() const = 0;
    // Starts asking again after failing, or (with false) stops asking: a
    // pool that is not the one mined on gives its connection up.
    virtual void serve(bool on) = 0;
    virtual SourceCounts counts() const = 0;
    virtual std::optional<PoolStatus> pool_status() const = 0;
    virtual const std::string& url() const = 0;
};
