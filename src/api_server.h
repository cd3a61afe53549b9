// The read-only monitoring API: GET /summary (JSON), GET /metrics
// (Prometheus), GET /history (the last day's rates, JSON) and the dashboard
// at GET / (with the Chart.js it draws with at /chart.js), served on
// threads of its own from what the session last published, so that no
// request can slow a device or the node traffic.
#pragma once

#include <memory>
#include <string>

#include "api_snapshot.h"
#include "rate_history.h"

class ApiServer {
public:
    ApiServer();
    ~ApiServer(); // stops serving and joins its threads
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Binds "HOST:PORT" and starts serving. False, with the reason, when the
    // text is not HOST:PORT or the address cannot be bound.
    bool start(const std::string& host_port, std::string& error);
    void publish(ApiSnapshot snapshot);
    // A minute's rates for /history.
    void record(RateSample sample);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
