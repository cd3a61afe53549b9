#include "api_server.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "settings.h"

namespace {

// Idle or slow clients hold a thread for at most this long, and there are
// enough threads that a crowd of them does not keep /summary waiting.
constexpr time_t CLIENT_TIMEOUT_S = 1;
constexpr size_t SERVING_THREADS = 32;
constexpr size_t MAX_BODY = 1024;

} // namespace

struct ApiServer::Impl {
    httplib::Server server;
    std::thread thread;
    std::mutex mutex;
    ApiSnapshot snapshot;

    ApiSnapshot copy()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return snapshot;
    }
};

ApiServer::ApiServer() : impl_(std::make_unique<Impl>()) {}

ApiServer::~ApiServer()
{
    if (impl_->thread.joinable()) {
        impl_->server.stop();
        impl_->thread.join();
    }
}

bool ApiServer::start(const std::string& host_port, std::string& error)
{
    std::string host;
    int port = 0;
    if (!split_host_port(host_port, host, port)) {
        error = check_api_address(host_port);
        return false;
    }

    httplib::Server& s = impl_->server;
    s.new_task_queue = [] { return new httplib::ThreadPool(SERVING_THREADS); };
    s.set_read_timeout(CLIENT_TIMEOUT_S, 0);
    s.set_write_timeout(CLIENT_TIMEOUT_S, 0);
    s.set_keep_alive_timeout(CLIENT_TIMEOUT_S);
    s.set_payload_max_length(MAX_BODY);
    Impl* impl = impl_.get();
    s.Get("/summary", [impl](const httplib::Request&, httplib::Response& res) {
        res.set_content(summary_json(impl->copy()), "application/json");
    });
    s.Get("/metrics", [impl](const httplib::Request&, httplib::Response& res) {
        res.set_content(metrics_text(impl->copy()), "text/plain; version=0.0.4");
    });
    // Read only: any other method is refused on every path.
    const auto refuse = [](const httplib::Request&, httplib::Response& res) {
        res.status = 405;
        res.set_header("Allow", "GET");
    };
    s.Post(".*", refuse);
    s.Put(".*", refuse);
    s.Patch(".*", refuse);
    s.Delete(".*", refuse);
    s.Options(".*", refuse);

    errno = 0;
    if (!s.bind_to_port(host, port)) {
        error = "cannot listen on " + host_port + (errno ? std::string(": ") + std::strerror(errno) : "");
        return false;
    }
    impl_->thread = std::thread([impl] { impl->server.listen_after_bind(); });
    return true;
}

void ApiServer::publish(ApiSnapshot snapshot)
{
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->snapshot = std::move(snapshot);
}
