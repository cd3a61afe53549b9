// The link to the node: JSON-RPC 1.0 over HTTP with basic authentication,
// and the four node operations the miner uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "rpc_reply.h"

// What call() throws when the abort check gave the request up.
struct RpcAborted : std::runtime_error {
    RpcAborted() : std::runtime_error("RPC: stopped") {}
};

// What call() throws for an error reply with a message: "RPC error: <message>".
struct RpcError : std::runtime_error {
    RpcError(long error_code, const std::string& message)
        : std::runtime_error("RPC error: " + message), code(error_code)
    {
    }
    long code;
};

// Whether the node answers at all, as the clients that share it see it: a
// request that reaches a working node after one that did not is a recovery,
// the moment to send again what got no answer.
class NodeContact {
public:
    void answered()
    {
        if (down_.exchange(false)) recoveries_.fetch_add(1);
    }
    void failed() { down_.store(true); }
    uint64_t recoveries() const { return recoveries_.load(); }

private:
    std::atomic<bool> down_{false};
    std::atomic<uint64_t> recoveries_{0};
};

class RpcClient {
public:
    // Throws std::runtime_error("curl_easy_init failed").
    RpcClient(const std::string& url, const std::string& user, const std::string& password);
    ~RpcClient();
    RpcClient(const RpcClient&) = delete;
    RpcClient& operator=(const RpcClient&) = delete;

    // The raw reply body. Throws std::runtime_error "RPC: <libcurl's text>" on
    // transport failure, "RPC error: <message>" on an error reply and
    // RpcAborted when the abort check said so.
    std::string call(const std::string& method, const std::string& params);

    BlockTemplate getblocktemplate();        // never throws: failures give valid == false
    std::string getbestblockhash();          // throws like call()
    int32_t getblockcount();                 // throws like call()
    bool submitblock(const std::string& hex); // never throws: true when accepted
    SubmitResult submitblock_result(const std::string& hex); // never throws

    // A request gives up within about 50 ms of should_abort() turning true
    // (asked from the calling thread while the request waits), and one made
    // while it is true is not sent. For a client whose owner must be able to
    // stop at once, whatever the node is doing.
    void set_abort(std::function<bool()> should_abort) { abort_ = std::move(should_abort); }

    // The user and password come from the node's cookie file instead, read
    // before the first request and again after an HTTP 401 (a restarted node
    // writes a new one). A file that cannot be read, or is not USER:PASSWORD,
    // fails the request with its path in the reason.
    void use_cookie(const std::string& path);

    // Every request tells contact whether the node answered; with
    // failures_count false, only its answers count (a client whose own
    // failures must not look like the node's).
    void report_to(NodeContact* contact, bool failures_count)
    {
        contact_ = contact;
        failures_count_ = failures_count;
    }

    // Why the last operation that failed failed, in words for the user; and
    // the HTTP status of the last reply (0 when none came).
    const std::string& last_failure() const { return last_failure_; }
    long last_http_status() const { return last_http_status_; }

private:
    std::string transfer(const std::string& method, const std::string& params);
    bool read_cookie();

    struct Curl;
    std::string url_;
    std::string user_;
    std::string password_;
    std::unique_ptr<Curl> curl_;
    std::string last_failure_;
    long last_http_status_ = 0;
    std::function<bool()> abort_;
    std::string cookie_path_;
    bool cookie_read_ = false;
    NodeContact* contact_ = nullptr;
    bool failures_count_ = true;
};
