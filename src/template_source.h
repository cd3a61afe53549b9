// The node's block templates, fetched on a thread of the source's own with
// a connection of its own: the session asks and takes the template when it
// has come, and goes on meanwhile, however slow or busy the node. The
// source owns the asking: a busy node (HTTP 503) is asked again after a
// short random wait, quietly for a while; any other failure is said, with
// its reason once, and asked again after 5 s.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "mining_work.h"
#include "rpc_client.h"

struct FetchedTemplate {
    TemplateWork work;
    SteadyClock::time_point requested_at; // when the request that brought it was sent
};

class TemplateSource {
public:
    explicit TemplateSource(std::unique_ptr<RpcClient> client);
    // Ends at once, even in the middle of a request.
    ~TemplateSource();
    TemplateSource(const TemplateSource&) = delete;
    TemplateSource& operator=(const TemplateSource&) = delete;

    // A fresh template is wanted: one whose request was sent before this
    // call is not handed over.
    void request();
    // The template that answers the latest request, once it has come.
    std::optional<FetchedTemplate> take();
    // Requests that failed one after another (a busy node's quiet retries
    // aside); 0 once a template comes.
    uint64_t failures_in_a_row() const { return failures_in_a_row_.load(); }

private:
    void run();
    // One template from the node, asking until one comes; nothing on a stop.
    std::optional<FetchedTemplate> fetch();
    // Sleeps for d, or less when the source ends: true when it slept it all.
    bool pause(std::chrono::milliseconds d);

    std::unique_ptr<RpcClient> client_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> quit_{false};
    uint64_t wanted_ = 0;  // requests made
    uint64_t fetched_ = 0; // the request the last fetch answered
    std::optional<FetchedTemplate> ready_;
    std::string last_failure_; // said once per cause
    std::atomic<uint64_t> failures_in_a_row_{0};
    std::thread thread_;
};
