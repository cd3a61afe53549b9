#include "stratum_connection.h"

#include <curl/curl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

#include "settings.h"
#include "stratum_messages.h"

namespace {

constexpr long CONNECT_TIMEOUT_S = 10;
constexpr size_t READ_CHUNK = 16384;
const std::string TCP_SCHEME = "stratum+tcp://";
const std::string SSL_SCHEME = "stratum+ssl://";

int abort_check(void* give_up, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return (*static_cast<const std::function<bool()>*>(give_up))() ? 1 : 0;
}

} // namespace

struct StratumConnection::Curl {
    CURL* easy = nullptr;
    curl_socket_t socket = CURL_SOCKET_BAD;
    ~Curl()
    {
        if (easy) curl_easy_cleanup(easy);
    }
};

StratumConnection::StratumConnection() = default;
StratumConnection::~StratumConnection() = default;

std::string StratumConnection::open(const std::string& url, const std::string& ca_file,
                                    const std::function<bool()>& give_up)
{
    close();
    const bool tls = url.compare(0, SSL_SCHEME.size(), SSL_SCHEME) == 0;
    if (!is_pool_url(url)) return "not a stratum+tcp:// or stratum+ssl:// URL";
    // libcurl connects to an http(s) URL and stops there; the path is never sent.
    const std::string target = (tls ? "https://" : "http://") + url.substr(TCP_SCHEME.size());
    auto c = std::make_unique<Curl>();
    c->easy = curl_easy_init();
    if (!c->easy) return "curl_easy_init failed";
    curl_easy_setopt(c->easy, CURLOPT_URL, target.c_str());
    curl_easy_setopt(c->easy, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(c->easy, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT_S);
    curl_easy_setopt(c->easy, CURLOPT_NOSIGNAL, 1L);
    // Through a proxy, a tunnel: the pool's protocol is not HTTP.
    curl_easy_setopt(c->easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
    if (tls && !ca_file.empty()) curl_easy_setopt(c->easy, CURLOPT_CAINFO, ca_file.c_str());
    curl_easy_setopt(c->easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c->easy, CURLOPT_XFERINFOFUNCTION, abort_check);
    curl_easy_setopt(c->easy, CURLOPT_XFERINFODATA, &give_up);
    const CURLcode rc = curl_easy_perform(c->easy);
    curl_easy_setopt(c->easy, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(c->easy, CURLOPT_NOPROGRESS, 1L);
    if (rc != CURLE_OK) return curl_easy_strerror(rc);
    if (curl_easy_getinfo(c->easy, CURLINFO_ACTIVESOCKET, &c->socket) != CURLE_OK ||
        c->socket == CURL_SOCKET_BAD)
        return "no socket after connecting";
    curl_ = std::move(c);
    return "";
}

void StratumConnection::close()
{
    curl_.reset();
    out_.clear();
    in_.clear();
    dropping_ = false;
}

void StratumConnection::send(std::string line)
{
    out_ += line;
}

std::string StratumConnection::pump(int wake_fd, std::chrono::milliseconds wait,
                                    std::vector<std::string>& lines)
{
    if (!curl_) return "not connected";
    pollfd fds[2] = {{curl_->socket, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0},
                     {wake_fd, POLLIN, 0}};
    ::poll(fds, wake_fd >= 0 ? 2 : 1, static_cast<int>(wait.count()));
    if (wake_fd >= 0 && (fds[1].revents & POLLIN)) {
        uint64_t count = 0;
        if (::read(wake_fd, &count, sizeof count) < 0) count = 0;
    }
    while (!out_.empty()) {
        size_t sent = 0;
        const CURLcode rc = curl_easy_send(curl_->easy, out_.data(), out_.size(), &sent);
        if (rc == CURLE_AGAIN) break;
        if (rc != CURLE_OK) return curl_easy_strerror(rc);
        out_.erase(0, sent);
    }
    // TLS may hold data the socket no longer shows: read until libcurl says again.
    char buffer[READ_CHUNK];
    while (true) {
        size_t got = 0;
        const CURLcode rc = curl_easy_recv(curl_->easy, buffer, sizeof buffer, &got);
        if (rc == CURLE_AGAIN) break;
        if (rc != CURLE_OK) return curl_easy_strerror(rc);
        if (got == 0) return "the pool closed the connection";
        for (size_t i = 0; i < got; ++i) {
            const char ch = buffer[i];
            if (ch == '\n') {
                if (!dropping_) {
                    if (!in_.empty() && in_.back() == '\r') in_.pop_back();
                    lines.push_back(std::move(in_));
                }
                in_.clear();
                dropping_ = false;
            } else if (!dropping_) {
                in_ += ch;
                if (in_.size() > STRATUM_MAX_LINE) {
                    lines.push_back(std::move(in_)); // read as the overlong line it is
                    in_.clear();
                    dropping_ = true;
                }
            }
        }
    }
    return "";
}
