// The node's new-block notifications over ZMQ (its -zmqpubhashblock
// publisher): each "hashblock" message calls back at once, on a thread of
// the notifier's own, so that a new tip is acted on without waiting for the
// next poll. The polls go on beside it for a missed message or a node
// without ZMQ. Heartbeats tell a dead connection (the node's host gone, a
// NAT that dropped it) from a quiet one: its loss is said once, and so is
// its return.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class BlockNotifier {
public:
    explicit BlockNotifier(std::function<void()> on_block);
    ~BlockNotifier(); // stops within 100 ms and joins its thread
    BlockNotifier(const BlockNotifier&) = delete;
    BlockNotifier& operator=(const BlockNotifier&) = delete;

    // Subscribes to url (tcp://HOST:PORT). False, with the reason, when the
    // URL is refused; a publisher that is not there yet is waited for.
    bool start(const std::string& url, std::string& error);

private:
    void run();
    void receive_block();
    void receive_event();

    std::function<void()> on_block_;
    std::string url_;
    void* context_ = nullptr;
    void* socket_ = nullptr;
    void* monitor_ = nullptr; // the socket's connection events
    bool connected_ = false;
    bool lost_ = false; // said to be lost, not yet said to be back
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
