#include "source_list.h"

#include <cstdio>

#include "rpc_reply.h"

namespace {

constexpr auto FIRST_URL_AGAIN = std::chrono::minutes(5);

// A node's URL may carry its login: the lines show it without.
std::string shown(const std::string& url)
{
    return url_without_credentials(url);
}

} // namespace

SourceList::SourceList(std::vector<std::string> urls, Opener open)
    : urls_(std::move(urls)), open_(std::move(open)), sources_(urls_.size()), refused_(urls_.size(), false)
{
}

bool SourceList::start(std::string& error)
{
    last_probe_ = SteadyClock::now();
    sources_[0] = open_(urls_[0], error);
    return sources_[0] != nullptr;
}

WorkSource* SourceList::source(size_t i)
{
    if (!sources_[i]) {
        std::string why;
        sources_[i] = open_(urls_[i], why);
        if (!sources_[i]) {
            std::printf("  [!] Cannot use %s: %s\n", shown(urls_[i]).c_str(), why.c_str());
            refused_[i] = true;
        }
    }
    return sources_[i].get();
}

std::optional<size_t> SourceList::next_candidate() const
{
    for (size_t step = 1; step < urls_.size(); ++step) {
        const size_t i = (current_ + step) % urls_.size();
        if (!refused_[i]) return i;
    }
    return std::nullopt;
}

void SourceList::switch_to(size_t i, const std::string& why)
{
    // A pool not mined on gives its connection up; a node keeps sending
    // the blocks it holds.
    if (sources_[current_] && sources_[current_]->pool_status()) sources_[current_]->serve(false);
    current_ = i;
    if (i == 0) {
        std::printf("  [+] Back to %s: %s\n", shown(urls_[i]).c_str(), why.c_str());
    } else {
        std::printf("  [!] Mining on %s instead: %s\n", shown(urls_[i]).c_str(), why.c_str());
    }
    WorkSource* s = source(i);
    if (!s) return; // the next tick moves on
    s->serve(true);
    s->want_work();
    last_probe_ = SteadyClock::now();
}

bool SourceList::tick()
{
    WorkSource* current = source(current_);
    const SourceHealth h = current ? current->health() : SourceHealth::refused;
    if (h == SourceHealth::refused || h == SourceHealth::failing) {
        if (h == SourceHealth::refused) refused_[current_] = true;
        const std::optional<size_t> next = next_candidate();
        if (!next) {
            // One URL left: a failing one keeps trying, a refusing one is the end.
            return h != SourceHealth::refused;
        }
        switch_to(*next, shown(urls_[current_]) +
                             (h == SourceHealth::refused ? " cannot be used" : " failed 3 tries in a row"));
        return true;
    }
    probe_first();
    return true;
}

// Every 5 minutes away from the first URL, it is asked for work again.
void SourceList::probe_first()
{
    if (current_ == 0 || refused_[0]) return;
    if (!probing_) {
        if (SteadyClock::now() - last_probe_ < FIRST_URL_AGAIN) return;
        WorkSource* first = source(0);
        if (!first) return;
        probing_ = true;
        last_probe_ = SteadyClock::now();
        first->serve(true);
        first->want_work();
        return;
    }
    WorkSource* first = sources_[0].get();
    std::optional<NewWork> w = first->take_work();
    if (w) {
        probing_ = false;
        first_work_ = std::move(w);
        switch_to(0, "it answers again");
        return;
    }
    const SourceHealth h = first->health();
    if (h == SourceHealth::failing || h == SourceHealth::refused) {
        probing_ = false;
        last_probe_ = SteadyClock::now();
        if (first->pool_status()) first->serve(false);
    }
}

void SourceList::want_work()
{
    if (WorkSource* s = source(current_)) s->want_work();
}

std::optional<NewWork> SourceList::take_work()
{
    if (first_work_ && current_ == 0) {
        std::optional<NewWork> w = std::move(first_work_);
        first_work_.reset();
        return w;
    }
    WorkSource* s = source(current_);
    return s ? s->take_work() : std::nullopt;
}

std::string SourceList::tip_since(SteadyClock::time_point since) const
{
    const WorkSource* s = sources_[current_].get();
    return s ? s->tip_since(since) : "";
}

void SourceList::found(Find f)
{
    WorkSource* origin = f.work->origin;
    if (origin) origin->found(std::move(f));
}

void SourceList::chain_moved_past(const std::string& parent)
{
    for (auto& s : sources_)
        if (s) s->chain_moved_past(parent);
}

void SourceList::mining_on(const std::string& parent)
{
    for (auto& s : sources_)
        if (s) s->mining_on(parent);
}

std::vector<BlockNews> SourceList::news()
{
    std::vector<BlockNews> all;
    for (auto& s : sources_) {
        if (!s) continue;
        for (BlockNews& n : s->news()) all.push_back(std::move(n));
    }
    return all;
}

void SourceList::finish(SteadyClock::time_point deadline)
{
    for (auto& s : sources_)
        if (s) s->finish(deadline);
}

SourceHealth SourceList::health() const
{
    const WorkSource* s = sources_[current_].get();
    return s ? s->health() : SourceHealth::refused;
}

SourceCounts SourceList::counts() const
{
    SourceCounts total;
    for (const auto& s : sources_) {
        if (!s) continue;
        const SourceCounts c = s->counts();
        total.blocks_verified += c.blocks_verified;
        total.blocks_accepted += c.blocks_accepted;
        total.blocks_rejected += c.blocks_rejected;
        total.shares_found += c.shares_found;
        total.shares_accepted += c.shares_accepted;
        total.shares_rejected += c.shares_rejected;
        total.shares_stale += c.shares_stale;
        if (c.last_block.unix_s > total.last_block.unix_s) total.last_block = c.last_block;
    }
    return total;
}

std::optional<PoolStatus> SourceList::pool_status() const
{
    const WorkSource* s = sources_[current_].get();
    return s ? s->pool_status() : std::nullopt;
}

const std::string& SourceList::url() const
{
    return urls_[current_];
}
