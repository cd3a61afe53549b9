#include "api_server.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "dashboard_assets.h"
#include "settings.h"

namespace {

// A connection that sends nothing this long is closed. Slow clients cost a
// connection each, never a thread: the server is event-driven, one thread
// for every connection, so no crowd of them keeps /summary waiting.
constexpr unsigned CLIENT_TIMEOUT_S = 10;

struct Reply {
    unsigned status = MHD_HTTP_NOT_FOUND;
    std::string type;
    std::string body;
};

// What the server's thread reads: the last snapshot published.
struct Documents {
    std::mutex mutex;
    ApiSnapshot snapshot;
    RateHistory history;

    ApiSnapshot copy()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return snapshot;
    }

    std::string history_document()
    {
        std::vector<RateSample> samples;
        std::vector<int> ids;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            samples = history.samples();
            for (const ApiDevice& d : snapshot.devices) ids.push_back(d.id);
        }
        return history_json(samples, ids);
    }

    // Read only: GET (and HEAD) of the documents and the page, nothing else.
    Reply answer(const std::string& method, const std::string& path)
    {
        Reply r;
        if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD) {
            r.status = MHD_HTTP_METHOD_NOT_ALLOWED;
        } else if (path == "/summary") {
            r = {MHD_HTTP_OK, "application/json", summary_json(copy())};
        } else if (path == "/metrics") {
            r = {MHD_HTTP_OK, "text/plain; version=0.0.4", metrics_text(copy())};
        } else if (path == "/history") {
            r = {MHD_HTTP_OK, "application/json", history_document()};
        } else if (path == "/") {
            r = {MHD_HTTP_OK, "text/html; charset=utf-8", std::string(dashboard_html())};
        } else if (path == "/chart.js") {
            r = {MHD_HTTP_OK, "application/javascript", std::string(chart_js())};
        }
        return r;
    }
};

MHD_Result handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t*, void**)
{
    const Reply r = static_cast<Documents*>(cls)->answer(method, url);
    // The whole answer at the first call: a request's body is never read.
    MHD_Response* response =
        MHD_create_response_from_buffer(r.body.size(), const_cast<char*>(r.body.data()),
                                        MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    if (!r.type.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.type.c_str());
    if (r.status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(response, "Allow", "GET");
    const MHD_Result queued = MHD_queue_response(connection, r.status, response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

struct ApiServer::Impl {
    MHD_Daemon* daemon = nullptr;
    Documents documents;
};

ApiServer::ApiServer() : impl_(std::make_unique<Impl>()) {}

ApiServer::~ApiServer()
{
    if (impl_->daemon) MHD_stop_daemon(impl_->daemon);
}

bool ApiServer::start(const std::string& host_port, std::string& error)
{
    std::string host;
    int port = 0;
    if (!split_host_port(host_port, host, port)) {
        error = check_api_address(host_port);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (lookup != 0 || !found) {
        error = "cannot listen on " + host_port + ": " + gai_strerror(lookup);
        return false;
    }
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL;
    if (found->ai_family == AF_INET6) flags |= MHD_USE_IPv6;
    errno = 0;
    impl_->daemon = MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, handle,
                                     &impl_->documents, MHD_OPTION_SOCK_ADDR, found->ai_addr,
                                     MHD_OPTION_CONNECTION_TIMEOUT, CLIENT_TIMEOUT_S, MHD_OPTION_END);
    const int start_errno = errno;
    freeaddrinfo(found);
    if (!impl_->daemon) {
        error = "cannot listen on " + host_port +
                (start_errno ? std::string(": ") + std::strerror(start_errno) : "");
        return false;
    }
    return true;
}

void ApiServer::publish(ApiSnapshot snapshot)
{
    Documents& d = impl_->documents;
    const std::lock_guard<std::mutex> lock(d.mutex);
    d.snapshot = std::move(snapshot);
}

void ApiServer::record(RateSample sample)
{
    Documents& d = impl_->documents;
    const std::lock_guard<std::mutex> lock(d.mutex);
    d.history.add(std::move(sample));
}
