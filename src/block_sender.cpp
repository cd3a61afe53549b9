#include "block_sender.h"

#include <cinttypes>
#include <cstdio>
#include <deque>
#include <iterator>
#include <optional>
#include <set>
#include <utility>

#include "log_file.h"
#include "shell.h"

namespace {

// A block the node did not answer is sent again after these pauses...
constexpr int RETRY_SECONDS[] = {1, 2, 3, 4, 5};
// ...and then kept, and sent again this often, or as soon as the node
// answers again after failing.
constexpr auto KEPT_RESEND = std::chrono::seconds(30);
// How often an idle sender looks at the node's recoveries.
constexpr auto IDLE_WAIT = std::chrono::milliseconds(100);
// Finds held behind a parent's block; only one block a height can enter
// the chain, so more are only counted.
constexpr size_t UNCHECKED_LIMIT = 64;
// Passed parents remembered: those a find can still be on its way from.
constexpr size_t PASSED_KEPT = 8;

void say_given_up(const std::string& hex, uint64_t height, bool sent)
{
    if (sent) {
        std::printf("  [!] Block at height %" PRIu64
                    " given up: the chain moved on before the node answered\n",
                    height);
    } else {
        std::printf("  [!] Block at height %" PRIu64 " not sent: the chain moved on\n", height);
    }
    log_only("Block " + hex + ": given up, the chain moved on");
}

void print_unsent_block(const std::string& hex, const std::string& why)
{
    std::printf("  [!] Block NOT submitted: %s.\n  [*] Send it yourself with submitblock:\n%s\n",
                why.c_str(), hex.c_str());
    log_only("Block " + hex + ": not sent, " + why);
}

} // namespace

// Everything found on one parent.
struct BlockSender::Parent {
    // One block, from its host check to the node's verdict.
    struct Pending {
        std::string hex;
        size_t attempts = 0; // submissions made
        bool kept = false;
        Clock::time_point due{};
        uint64_t recoveries = 0; // the node's recoveries when it was last sent
    };

    std::string hash;
    uint64_t height = 0;
    std::deque<Find> unchecked;
    size_t more = 0; // finds past the bound of unchecked
    std::set<Header> handled; // a header is checked and sent once
    std::optional<Pending> block;
    bool busy = false;   // the sender works on it with the lock released
    bool passed = false; // the chain moved past it meanwhile
    bool unsent = false; // at a stop: its block was printed, the rest only counted
};

BlockSender::BlockSender(std::unique_ptr<RpcClient> client, const NodeContact& recoveries)
    : client_(std::move(client)), recoveries_(recoveries)
{
    client_->set_abort([this] { return give_up(); });
    thread_ = std::thread([this] { run(); });
}

BlockSender::~BlockSender()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    done_.notify_all();
    if (thread_.joinable()) thread_.join();
}

// What ends a submission on its way: a second stop, the end of the stop's
// limit, or the sender's end.
bool BlockSender::give_up() const
{
    if (g_stop_at_once.load()) return true;
    if (finishing_.load() && Clock::now().time_since_epoch().count() >= deadline_.load()) return true;
    return quit_.load();
}

void BlockSender::found(Find f)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& passed : passed_) {
            if (passed == f.work->parent) return;
        }
        Parent* parent = nullptr;
        for (Parent& p : parents_) {
            if (p.hash == f.work->parent && !p.passed) parent = &p;
        }
        if (!parent) {
            parents_.emplace_back();
            parent = &parents_.back();
            parent->hash = f.work->parent;
            parent->height = f.work->height;
        }
        if (parent->unchecked.size() >= UNCHECKED_LIMIT) {
            ++parent->more;
            return;
        }
        parent->unchecked.push_back(std::move(f));
    }
    wake_.notify_all();
}

void BlockSender::chain_moved_past(const std::string& parent)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    remember_passed(parent);
    for (auto it = parents_.begin(); it != parents_.end();) {
        if (it->hash != parent || it->passed) {
            ++it;
            continue;
        }
        // The answer to a submission on its way still counts.
        if (it->busy) {
            it->passed = true;
            ++it;
            continue;
        }
        if (it->block) say_given_up(it->block->hex, it->height, it->block->attempts > 0);
        it = parents_.erase(it);
    }
}

void BlockSender::remember_passed(const std::string& parent)
{
    for (const std::string& passed : passed_) {
        if (passed == parent) return;
    }
    passed_.push_back(parent);
    if (passed_.size() > PASSED_KEPT) passed_.pop_front();
}

void BlockSender::mining_on(const std::string& parent)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = passed_.begin(); it != passed_.end();)
        it = *it == parent ? passed_.erase(it) : std::next(it);
}

std::vector<BlockNews> BlockSender::news()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(news_, {});
}

LastBlock BlockSender::last_accepted() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return last_accepted_;
}

void BlockSender::finish(Clock::time_point deadline)
{
    deadline_ = deadline.time_since_epoch().count();
    finishing_ = true;
    wake_.notify_all();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return finished_; });
    }
    thread_.join();
}

// The oldest parent with work to do now: a block due, or a find to check.
BlockSender::Parent* BlockSender::next_due(Clock::time_point now)
{
    for (Parent& p : parents_) {
        if (p.busy || p.passed || p.unsent) continue;
        if (!p.block) {
            if (!p.unchecked.empty()) return &p;
            continue;
        }
        const Parent::Pending& b = *p.block;
        if (finishing_ || now >= b.due || (b.kept && recoveries_.recoveries() != b.recoveries)) return &p;
    }
    return nullptr;
}

void BlockSender::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        if (finishing_ && give_up()) break;
        Parent* p = next_due(Clock::now());
        if (!p) {
            if (finishing_) break;
            wake_.wait_for(lock, IDLE_WAIT);
            continue;
        }
        if (p->block) {
            submit(lock, *p);
        } else {
            check_next(lock, *p);
        }
        // Parents done with: their block accepted, or the chain moved on.
        for (auto it = parents_.begin(); it != parents_.end();)
            it = !it->busy && it->passed ? parents_.erase(it) : std::next(it);
    }
    if (!quit_) leave_the_rest();
    finished_ = true;
    done_.notify_all();
}

void BlockSender::check_next(std::unique_lock<std::mutex>& lock, Parent& p)
{
    const Find f = std::move(p.unchecked.front());
    p.unchecked.pop_front();
    if (!p.handled.insert(header_with_nonce(*f.work, f.nonce)).second) return;
    p.busy = true;
    lock.unlock();
    const bool good = check_find(f);
    std::string hex = good ? found_block_hex(f) : "";
    lock.lock();
    p.busy = false;
    if (!good) return;
    ++verified_;
    if (p.passed) {
        say_given_up(hex, p.height, false);
        return;
    }
    Parent::Pending b;
    b.hex = std::move(hex);
    b.due = Clock::now();
    p.block = std::move(b);
}

void BlockSender::submit(std::unique_lock<std::mutex>& lock, Parent& p)
{
    Parent::Pending& b = *p.block;
    if (b.attempts == 0) std::printf("  [*] Submitting block (%zu bytes)...\n", b.hex.size() / 2);
    ++b.attempts;
    b.recoveries = recoveries_.recoveries();
    p.busy = true;
    const std::string hex = b.hex;
    lock.unlock();
    const SubmitResult r = client_->submitblock_result(hex);
    lock.lock();
    p.busy = false;
    // The log keeps every block with the node's word on it.
    const bool said = !r.reason.empty() && r.reason != "null";
    switch (r.outcome) {
    case SubmitOutcome::accepted:
        std::printf("  [+] ACCEPTED! Blocks found: %" PRIu64 "\n\n", ++accepted_);
        log_only("Block " + hex + ": accepted" + (said ? " (" + r.reason + ")" : ""));
        news_.push_back({BlockFate::accepted, p.hash});
        last_accepted_ = {p.height, unix_now()};
        // The other finds on its parent can only be stale now.
        p.block.reset();
        p.unchecked.clear();
        p.passed = true;
        remember_passed(p.hash);
        return;
    case SubmitOutcome::rejected:
        ++rejected_;
        std::printf("  [!] REJECTED by node.\n  [*] (May already be stale)\n  [!] Node says: %s\n",
                    r.reason.c_str());
        log_only("Block " + hex + ": rejected (" + r.reason + ")");
        news_.push_back({BlockFate::rejected, p.hash});
        p.block.reset();
        return;
    case SubmitOutcome::aborted:
        return; // a stop: what is left is printed
    case SubmitOutcome::no_reply:
        break;
    }
    if (p.passed) {
        say_given_up(hex, p.height, true);
        p.block.reset();
        return;
    }
    if (finishing_) {
        print_unsent_block(hex, "the node did not answer (" + r.reason + ")");
        p.unsent = true;
        return;
    }
    if (b.attempts <= std::size(RETRY_SECONDS)) {
        const int pause = RETRY_SECONDS[b.attempts - 1];
        std::printf("  [!] No answer from the node (%s); sending the block again in %d s (%zu of %zu)\n",
                    r.reason.c_str(), pause, b.attempts, std::size(RETRY_SECONDS));
        b.due = Clock::now() + std::chrono::seconds(pause);
        return;
    }
    b.due = Clock::now() + KEPT_RESEND;
    if (b.kept) return;
    b.kept = true;
    std::printf("  [!] No answer from the node (%s): the block at height %" PRIu64
                " is kept, and sent again every 30 s or as soon as the node answers again, while "
                "its parent is the tip\n",
                r.reason.c_str(), p.height);
    log_only("Block " + hex + ": no answer (" + r.reason + "), kept");
    news_.push_back({BlockFate::kept, p.hash});
}

// At the end of a stop's limit: every block still without a verdict is
// printed, one a height, the finds behind it only counted.
void BlockSender::leave_the_rest()
{
    for (Parent& p : parents_) {
        if (p.passed) continue;
        while (!p.block && !p.unsent && !p.unchecked.empty()) {
            const Find f = std::move(p.unchecked.front());
            p.unchecked.pop_front();
            if (!p.handled.insert(header_with_nonce(*f.work, f.nonce)).second || !check_find(f))
                continue;
            ++verified_;
            print_unsent_block(found_block_hex(f), "the miner was stopped before it could send it");
            p.unsent = true;
        }
        if (p.block && !p.unsent) {
            print_unsent_block(p.block->hex, p.block->attempts > 0
                                                 ? "the miner was stopped before the node answered"
                                                 : "the miner was stopped before it could send it");
            p.unsent = true;
        }
        const size_t more = p.unchecked.size() + p.more;
        if (p.unsent && more > 0)
            std::printf("  [!] Also not sent: %zu more finds at height %" PRIu64
                        " (only one block per height can enter the chain)\n",
                        more, p.height);
    }
    parents_.clear();
}
