// What the pool says, and what it becomes: replies matched to their
// requests (subscription, authorization, share verdicts), the pool's calls
// (jobs, difficulty, extranonce, messages), and a job turned into work for
// the devices. All of it on the pool source's I/O thread.
#include "pool_source.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "shell.h"
#include "util.h"

namespace {

using nlohmann::json;

// A rejection reason is said again after this long at the earliest.
constexpr auto REJECTION_QUIET = std::chrono::seconds(10);

} // namespace

void PoolSource::handle_line(Connection& c, const std::string& line)
{
    const StratumMessage m = parse_stratum_line(line);
    switch (m.kind) {
    case StratumMessage::Kind::invalid:
        say_once("line:" + m.problem, "  [!] The pool at " + login_.url + " sent " + m.problem + "; ignored");
        return;
    case StratumMessage::Kind::response:
        handle_reply(c, m);
        return;
    case StratumMessage::Kind::call:
        handle_call(c, m);
        return;
    }
}

void PoolSource::handle_reply(Connection& c, const StratumMessage& m)
{
    const auto it = c.requests.find(m.id);
    if (it == c.requests.end()) {
        say_once("reply", "  [!] The pool at " + login_.url + " answered a request never sent; ignored");
        return;
    }
    const Request r = it->second;
    c.requests.erase(it);
    std::string why;
    switch (r.kind) {
    case Request::Kind::subscribe:
        if (!parse_subscribe_result(m.result, c.extranonce1, c.extranonce2_size, why)) {
            say_once("subscribe:" + why, "  [!] The pool at " + login_.url + " gave a subscription that "
                                         "does not decode (" + why + ")");
            return;
        }
        c.subscribed = true;
        return;
    case Request::Kind::authorize: {
        const PoolVerdict v = parse_verdict(m);
        if (v.accepted) {
            c.authorized = true;
            std::printf("  [+] Pool %s: worker %s authorized\n", login_.url.c_str(), login_.worker.c_str());
            return;
        }
        std::printf("Error: the pool refused worker %s: %s\n", login_.worker.c_str(), v.reason.c_str());
        c.refused = true;
        return;
    }
    case Request::Kind::extranonce_subscribe:
        return; // a pool that does not know it says so; nothing changes
    case Request::Kind::submit:
        count_verdict(r, parse_verdict(m));
        return;
    }
}

void PoolSource::count_verdict(const Request& r, const PoolVerdict& v)
{
    uint64_t blocks = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (v.accepted) {
            ++counts_.shares_accepted;
            if (r.block) {
                blocks = ++counts_.blocks_accepted;
                counts_.last_block = {r.height, unix_now()};
            }
        } else if (v.stale) {
            ++counts_.shares_stale;
        } else {
            ++counts_.shares_rejected;
            if (r.block) ++counts_.blocks_rejected;
        }
    }
    if (blocks > 0) std::printf("  [+] ACCEPTED! Blocks found: %" PRIu64 "\n\n", blocks);
    if (v.accepted) return;
    const SteadyClock::time_point now = SteadyClock::now();
    const auto said = rejections_said_.find(v.reason);
    if (said != rejections_said_.end() && now - said->second < REJECTION_QUIET) return;
    rejections_said_[v.reason] = now;
    std::printf("  [!] Share %s by the pool: %s\n", v.stale ? "stale" : "rejected", v.reason.c_str());
}

void PoolSource::handle_call(Connection& c, const StratumMessage& m)
{
    std::string why;
    if (m.method == "mining.notify") {
        PoolJob job;
        if (!c.subscribed) {
            say_once("early-job", "  [!] The pool at " + login_.url + " sent a job before the subscription; skipped");
        } else if (!parse_notify(m.params, job, why)) {
            say_once("job:" + why, "  [!] Pool job skipped: " + why);
        } else {
            take_job(c, job);
        }
    } else if (m.method == "mining.set_difficulty") {
        if (parse_difficulty(m.params, c.difficulty, why)) return;
        say_once("difficulty:" + why, "  [!] The pool at " + login_.url + ": " + why + "; ignored");
    } else if (m.method == "mining.set_extranonce") {
        if (parse_set_extranonce(m.params, c.next_extranonce1, c.next_extranonce2_size, why)) return;
        say_once("extranonce:" + why, "  [!] The pool at " + login_.url + ": " + why + "; ignored");
    } else if (m.method == "client.show_message") {
        if (m.params.is_array() && !m.params.empty() && m.params[0].is_string())
            std::printf("  [*] The pool says: %s\n", m.params[0].get<std::string>().c_str());
    } else if (m.method == "client.get_version") {
        if (!m.call_id.is_null()) {
            const json reply = {{"id", m.call_id}, {"result", std::string("marlvane-miner/") + PROGRAM_VERSION},
                                {"error", nullptr}};
            connection_.send(reply.dump() + "\n");
        }
    } else {
        say_once("method:" + m.method, "  [!] The pool at " + login_.url + " sent the unknown method " +
                                           m.method + "; ignored");
        if (!m.call_id.is_null()) {
            const json reply = {{"id", m.call_id}, {"result", nullptr},
                                {"error", json::array({-3, "Method not found", nullptr})}};
            connection_.send(reply.dump() + "\n");
        }
    }
}

void PoolSource::take_job(Connection& c, const PoolJob& job)
{
    if (!c.next_extranonce1.empty()) {
        c.extranonce1 = std::move(c.next_extranonce1);
        c.extranonce2_size = c.next_extranonce2_size;
        c.next_extranonce1.clear();
    }
    auto pool = std::make_shared<PoolCoinbase>();
    pool->job_id = job.job_id;
    pool->coinb1 = job.coinb1;
    pool->extranonce1 = c.extranonce1;
    pool->extranonce2_size = c.extranonce2_size;
    pool->coinb2 = job.coinb2;
    pool->difficulty = c.difficulty;
    nbits_to_target(job.bits, pool->network_target);

    NewWork w;
    TemplateWork& t = w.work;
    t.version = job.version;
    std::memcpy(t.prev_hash, job.prev_hash, 32);
    t.curtime = job.ntime;
    t.bits = job.bits;
    t.height = coinbase_height(job.coinb1);
    t.coinbase_value = 0;
    difficulty_to_target(c.difficulty, t.target);
    t.transactions = 0;
    t.merkle_branch = job.merkle_branch;
    t.block_txs = std::make_shared<const std::vector<std::string>>();
    t.origin = this;
    // A clean job voids the ones before it, and so does a new connection.
    const bool first = c.clean_jobs == 0;
    if (job.clean || first) ++c.clean_jobs;
    const std::string prefix = login_.url + "#" + std::to_string(c.serial) + "#";
    t.parent = prefix + std::to_string(c.clean_jobs);
    t.pool = std::move(pool);
    w.requested_at = SteadyClock::now();
    w.at_once = job.clean || first;
    const std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    health_ = SourceHealth::working;
    connection_prefix_ = prefix;
    difficulty_ = c.difficulty;
    // Jobs not yet taken are folded into the newest: it voids them if any did.
    if (work_ && work_->at_once) w.at_once = true;
    work_ = std::move(w);
}
