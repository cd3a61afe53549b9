// The node as a source of work: templates from its own thread, the tip
// polled (and pushed over ZMQ when asked for), blocks sent by the block
// sender. Each on a connection of its own, with the same login.
#pragma once

#include <memory>
#include <string>

#include "block_notifier.h"
#include "block_sender.h"
#include "rpc_client.h"
#include "template_source.h"
#include "tip_watcher.h"
#include "work_source.h"

struct NodeLogin {
    std::string url;
    std::string user;
    std::string password;
    std::string cookie_file; // wins over user and password when named
    std::string zmq;         // the node's hashblock publisher, or empty
};

class NodeSource : public WorkSource {
public:
    // Null, with why, when a client or the ZMQ subscription cannot be made.
    static std::unique_ptr<NodeSource> open(const NodeLogin& login, std::string& error);

    void want_work() override;
    std::optional<NewWork> take_work() override;
    std::string tip_since(SteadyClock::time_point since) const override;
    void found(Find f) override;
    void chain_moved_past(const std::string& parent) override;
    void mining_on(const std::string& parent) override;
    std::vector<BlockNews> news() override;
    void finish(SteadyClock::time_point deadline) override;
    SourceHealth health() const override;
    void serve(bool on) override;
    SourceCounts counts() const override;
    std::optional<PoolStatus> pool_status() const override { return std::nullopt; }
    const std::string& url() const override { return url_; }

private:
    NodeSource() = default;

    std::string url_;
    // Declared before its users, so that it outlives them.
    NodeContact contact_;
    std::unique_ptr<TipWatcher> tips_;
    std::unique_ptr<TemplateSource> templates_;
    std::unique_ptr<BlockSender> sender_;
    // After the tip watcher, which it wakes.
    std::unique_ptr<BlockNotifier> notifier_;
};
