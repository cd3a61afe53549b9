// The read-only monitoring API: GET /summary (JSON) and GET /metrics
// (Prometheus), served on threads of its own from the last snapshot the
// session published, so that no request can slow a device or the node
// traffic.
#pragma once

#include <memory>
#include <string>

#include "api_snapshot.h"

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

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
