// Every block the devices find, from the host's check to the node's
// verdict, on a thread of its own with a node connection of its own: the
// session and the devices never wait on a submission, however slow the
// node. Finds are taken one parent at a time, oldest first, one block of a
// parent in hand at once (the node can take only one block a height).
//
// A block the node does not answer is sent again after short pauses, then
// kept and sent again every 30 s, or as soon as the node answers again
// after failing, while its parent is the tip. Only a verdict (accepted,
// duplicate, rejected with a reason) or the chain moving past its parent
// ends it, each with a line. At a stop what is in hand is sent within a
// limit; what still has no answer is printed for the user to send.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "found_block.h"
#include "rpc_client.h"

// What became of a block on a parent, for the session.
enum class BlockFate {
    accepted, // the block is the node's new tip
    rejected, // the node knows something the session may not: a new template
    kept,     // no answer yet: the node may be down, or know of a new tip
};
// The newest block a server took: its height and when (seconds since 1970).
struct LastBlock {
    uint64_t height = 0;
    int64_t unix_s = 0;
};

struct BlockNews {
    BlockFate fate;
    std::string parent;
};

class BlockSender {
public:
    using Clock = std::chrono::steady_clock;

    // recoveries: where the other node clients report the node answering again.
    BlockSender(std::unique_ptr<RpcClient> client, const NodeContact& recoveries);
    // Ends at once: call finish() first to send what is in hand.
    ~BlockSender();
    BlockSender(const BlockSender&) = delete;
    BlockSender& operator=(const BlockSender&) = delete;

    // A device's find on the parent the session mines on.
    void found(Find f);
    // The chain moved past this parent: its finds are worth nothing now, and
    // its block is given up with a line (after the answer to a submission
    // already on its way).
    void chain_moved_past(const std::string& parent);
    // The session mines on this parent (again): finds on it are worth checking.
    void mining_on(const std::string& parent);
    // What became of blocks since the last call, in order.
    std::vector<BlockNews> news();
    // At a stop: what is in hand is checked and sent without pauses until
    // deadline (a second stop ends at once), and what is left printed.
    // Returns when all of it is done.
    void finish(Clock::time_point deadline);

    uint64_t verified() const { return verified_.load(); } // passed the host check
    uint64_t accepted() const { return accepted_.load(); }
    uint64_t rejected() const { return rejected_.load(); }
    LastBlock last_accepted() const;

private:
    struct Parent;
    void run();
    bool give_up() const;
    Parent* next_due(Clock::time_point now);
    void check_next(std::unique_lock<std::mutex>& lock, Parent& p);
    void submit(std::unique_lock<std::mutex>& lock, Parent& p);
    void leave_the_rest();
    void remember_passed(const std::string& parent);

    std::unique_ptr<RpcClient> client_;
    const NodeContact& recoveries_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::list<Parent> parents_; // oldest first
    // The last parents the chain moved past: a find on one of them, still on
    // its way from a device, is stale.
    std::deque<std::string> passed_;
    std::vector<BlockNews> news_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> finishing_{false};
    std::atomic<Clock::rep> deadline_{0};
    bool finished_ = false;
    std::condition_variable done_;
    std::atomic<uint64_t> verified_{0};
    std::atomic<uint64_t> accepted_{0};
    std::atomic<uint64_t> rejected_{0};
    LastBlock last_accepted_; // under mutex_
    std::thread thread_;
};
