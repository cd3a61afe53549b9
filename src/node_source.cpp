#include "node_source.h"

#include <exception>

namespace {

constexpr auto POLL_INTERVAL = std::chrono::seconds(5);
// Failed template requests in a row after which another URL may serve better.
constexpr uint64_t FAILURES_BEFORE_FAILOVER = 3;

// failures_count: whether its failures say the node is down (a block's
// submission may fail for its own reasons).
std::unique_ptr<RpcClient> node_client(const NodeLogin& login, NodeContact& contact,
                                       bool failures_count)
{
    auto client = std::make_unique<RpcClient>(login.url, login.user, login.password);
    if (!login.cookie_file.empty()) client->use_cookie(login.cookie_file);
    client->report_to(&contact, failures_count);
    return client;
}

} // namespace

std::unique_ptr<NodeSource> NodeSource::open(const NodeLogin& login, std::string& error)
{
    std::unique_ptr<NodeSource> s(new NodeSource());
    s->url_ = login.url;
    try {
        s->tips_ = std::make_unique<TipWatcher>(node_client(login, s->contact_, true), POLL_INTERVAL);
        s->templates_ = std::make_unique<TemplateSource>(node_client(login, s->contact_, true));
        s->sender_ = std::make_unique<BlockSender>(node_client(login, s->contact_, false), s->contact_);
    } catch (const std::exception& e) {
        error = std::string("cannot create the node client: ") + e.what();
        return nullptr;
    }
    if (!login.zmq.empty()) {
        TipWatcher* tips = s->tips_.get();
        s->notifier_ = std::make_unique<BlockNotifier>([tips] { tips->poll_now(); });
        std::string why;
        if (!s->notifier_->start(login.zmq, why)) {
            error = "cannot subscribe to " + login.zmq + ": " + why;
            return nullptr;
        }
    }
    return s;
}

void NodeSource::want_work()
{
    templates_->request();
}

std::optional<NewWork> NodeSource::take_work()
{
    std::optional<FetchedTemplate> t = templates_->take();
    if (!t) return std::nullopt;
    NewWork w{std::move(t->work), t->requested_at, true};
    w.work.origin = this;
    return w;
}

std::string NodeSource::tip_since(SteadyClock::time_point since) const
{
    return tips_->tip_since(since);
}

void NodeSource::found(Find f)
{
    sender_->found(std::move(f));
}

void NodeSource::chain_moved_past(const std::string& parent)
{
    sender_->chain_moved_past(parent);
}

void NodeSource::mining_on(const std::string& parent)
{
    sender_->mining_on(parent);
}

std::vector<BlockNews> NodeSource::news()
{
    return sender_->news();
}

void NodeSource::finish(SteadyClock::time_point deadline)
{
    sender_->finish(deadline);
}

SourceHealth NodeSource::health() const
{
    return templates_->failures_in_a_row() >= FAILURES_BEFORE_FAILOVER ? SourceHealth::failing
                                                                       : SourceHealth::working;
}

void NodeSource::serve(bool on)
{
    if (on) want_work();
}

SourceCounts NodeSource::counts() const
{
    SourceCounts c;
    c.blocks_verified = sender_->verified();
    c.blocks_accepted = sender_->accepted();
    c.blocks_rejected = sender_->rejected();
    c.last_block = sender_->last_accepted();
    return c;
}
