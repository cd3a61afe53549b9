// A pool's connection: libcurl's connect-only mode resolves the name,
// speaks TLS (stratum+ssl) and goes through a proxy; this class only moves
// lines of text over it, never blocking longer than asked to.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class StratumConnection {
public:
    StratumConnection();
    ~StratumConnection();
    StratumConnection(const StratumConnection&) = delete;
    StratumConnection& operator=(const StratumConnection&) = delete;

    // Connects; for stratum+ssl the pool's certificate is checked against
    // ca_file, or the system's authorities when it is empty. "" or why not.
    // give_up is asked about once a second while connecting.
    std::string open(const std::string& url, const std::string& ca_file,
                     const std::function<bool()>& give_up);
    void close();
    // Queues a line (with its newline) to be sent by the next pump.
    void send(std::string line);
    // Waits up to wait for the pool or for wake_fd to be readable, sends
    // what is queued and appends the complete lines that came, without
    // their newlines. A line past the longest a message may be comes as that
    // many bytes of it, and the rest of it is dropped. "" while the
    // connection lasts, else why it ended.
    std::string pump(int wake_fd, std::chrono::milliseconds wait, std::vector<std::string>& lines);

private:
    struct Curl;
    std::unique_ptr<Curl> curl_;
    std::string out_;
    std::string in_;
    bool dropping_ = false; // the rest of an overlong line
};
