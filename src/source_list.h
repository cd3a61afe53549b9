// The URLs a session may take work from, in the order given (-o, or the
// configuration's url lines): the first that serves is mined on. A pool
// that fails three tries in a row, or refuses the worker, is left for the
// next URL; every 5 minutes the first is tried again, and taken back as
// soon as it gives work. A node (http://) may stand in the list too.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "work_source.h"

class SourceList : public WorkSource {
public:
    using Opener = std::function<std::unique_ptr<WorkSource>(const std::string& url, std::string& error)>;

    SourceList(std::vector<std::string> urls, Opener open);
    // Opens the first URL's source: false, with why, when it cannot be.
    bool start(std::string& error);
    // Sees to the failover; called at least once a second. False once no
    // URL can serve (each pool refused the worker).
    bool tick();

    void want_work() override;
    std::optional<NewWork> take_work() override;
    std::string tip_since(SteadyClock::time_point since) const override;
    void found(Find f) override;
    void chain_moved_past(const std::string& parent) override;
    void mining_on(const std::string& parent) override;
    std::vector<BlockNews> news() override;
    void finish(SteadyClock::time_point deadline) override;
    SourceHealth health() const override;
    void serve(bool) override {}
    SourceCounts counts() const override;
    std::optional<PoolStatus> pool_status() const override;
    const std::string& url() const override;

private:
    // The source of URL i, opened on first use; null when it cannot be.
    WorkSource* source(size_t i);
    // The next URL after the current one that may serve, or none.
    std::optional<size_t> next_candidate() const;
    void switch_to(size_t i, const std::string& why);
    void probe_first();

    std::vector<std::string> urls_;
    Opener open_;
    std::vector<std::unique_ptr<WorkSource>> sources_;
    std::vector<bool> refused_;
    size_t current_ = 0;
    bool probing_ = false;
    SteadyClock::time_point last_probe_{};
    std::optional<NewWork> first_work_; // the probe's work, handed on after the switch
};
