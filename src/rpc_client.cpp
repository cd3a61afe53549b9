#include "rpc_client.h"

#include <curl/curl.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace {

constexpr long TOTAL_TIMEOUT_S = 30;
constexpr long CONNECT_TIMEOUT_S = 10;
// How often a request in flight looks at its abort check.
constexpr int ABORT_POLL_MS = 50;

size_t write_cb(char* data, size_t size, size_t nmemb, void* out)
{
    static_cast<std::string*>(out)->append(data, size * nmemb);
    return size * nmemb;
}

} // namespace

// The easy handle, driven through a multi handle of its own so that a
// request can be given up between two short waits; libcurl keeps the
// connections in the multi handle between calls.
struct RpcClient::Curl {
    CURL* easy;
    CURLM* multi;
    Curl() : easy(curl_easy_init()), multi(curl_multi_init())
    {
        if (!easy || !multi) {
            curl_easy_cleanup(easy);
            curl_multi_cleanup(multi);
            throw std::runtime_error("curl_easy_init failed");
        }
    }
    ~Curl()
    {
        curl_multi_cleanup(multi);
        curl_easy_cleanup(easy);
    }
    Curl(const Curl&) = delete;
    Curl& operator=(const Curl&) = delete;

    // The transfer set up on the easy handle, to its end or until
    // should_abort() says so (then RpcAborted).
    CURLcode perform(const std::function<bool()>& should_abort)
    {
        curl_multi_add_handle(multi, easy);
        CURLcode result = CURLE_OK;
        bool aborted = false;
        for (bool done = false; !done;) {
            if (should_abort && should_abort()) {
                aborted = true;
                break;
            }
            int running = 0;
            const CURLMcode mc = curl_multi_perform(multi, &running);
            if (mc != CURLM_OK) {
                curl_multi_remove_handle(multi, easy);
                throw std::runtime_error(std::string("RPC: ") + curl_multi_strerror(mc));
            }
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                result = msg->data.result;
                done = true;
            }
            if (!done) curl_multi_poll(multi, nullptr, 0, ABORT_POLL_MS, nullptr);
        }
        curl_multi_remove_handle(multi, easy);
        if (aborted) throw RpcAborted();
        return result;
    }
};

RpcClient::RpcClient(const std::string& url, const std::string& user, const std::string& password)
    : url_(url), user_(user), password_(password), curl_(std::make_unique<Curl>())
{
}

RpcClient::~RpcClient() = default;

void RpcClient::use_cookie(const std::string& path)
{
    cookie_path_ = path;
    cookie_read_ = false;
}

// True when the credentials changed. Throws with the file's path when it
// cannot be read or is not USER:PASSWORD.
bool RpcClient::read_cookie()
{
    std::ifstream in(cookie_path_, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    if (!in) throw std::runtime_error("RPC: cannot read the cookie file " + cookie_path_);
    std::string user, password;
    if (!parse_cookie(text.str(), user, password))
        throw std::runtime_error("RPC: the cookie file " + cookie_path_ + " is not USER:PASSWORD");
    cookie_read_ = true;
    const bool changed = user != user_ || password != password_;
    user_ = user;
    password_ = password;
    return changed;
}

std::string RpcClient::call(const std::string& method, const std::string& params)
{
    if (!cookie_path_.empty() && !cookie_read_) read_cookie();
    std::string response;
    try {
        response = transfer(method, params);
        // A restarted node writes a new cookie: read it again and ask once more.
        if (last_http_status_ == 401 && !cookie_path_.empty() && read_cookie())
            response = transfer(method, params);
    } catch (const RpcAborted&) {
        throw;
    } catch (const std::exception&) {
        if (contact_ && failures_count_) contact_->failed();
        throw;
    }

    const RpcErrorMember error = rpc_error_member(response);
    const bool working = error.present ? !is_no_verdict_code(error.code) : last_http_status_ < 500;
    if (contact_ && working) contact_->answered();
    if (contact_ && !working && failures_count_) contact_->failed();
    if (!error.present || error.message.empty()) return response;
    throw RpcError(error.code, error.message);
}

std::string RpcClient::transfer(const std::string& method, const std::string& params)
{
    const std::string body =
        "{\"jsonrpc\":\"1.0\",\"id\":\"m\",\"method\":\"" + method + "\",\"params\":" + params + "}";
    const std::string credentials = user_ + ":" + password_;
    std::string response;
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");

    CURL* easy = curl_->easy;
    curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(easy, CURLOPT_USERPWD, credentials.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, write_cb);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, TOTAL_TIMEOUT_S);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT_S);
    // Clients live on more than one thread: timeouts must not use signals.
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // No option and no header list outlives its request, however it ends.
    struct RequestScope {
        CURL* easy;
        curl_slist* headers;
        ~RequestScope()
        {
            curl_slist_free_all(headers);
            curl_easy_reset(easy);
        }
    } scope{easy, headers};
    last_http_status_ = 0;
    const CURLcode rc = curl_->perform(abort_);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &last_http_status_);

    if (rc != CURLE_OK) throw std::runtime_error(std::string("RPC: ") + curl_easy_strerror(rc));
    return response;
}

BlockTemplate RpcClient::getblocktemplate()
{
    try {
        const std::string reply = call("getblocktemplate", "[{\"rules\":[\"segwit\"]}]");
        BlockTemplate t = parse_block_template(reply);
        if (!t.valid) last_failure_ = template_failure(reply, last_http_status_);
        return t;
    } catch (const std::exception& e) {
        last_failure_ = e.what();
        return BlockTemplate{};
    }
}

std::string RpcClient::getbestblockhash()
{
    return json_get_string(call("getbestblockhash", "[]"), "result");
}

int32_t RpcClient::getblockcount()
{
    const std::string count = json_get_string(call("getblockcount", "[]"), "result");
    return count.empty() ? 0 : static_cast<int32_t>(std::strtoll(count.c_str(), nullptr, 0));
}

SubmitResult RpcClient::submitblock_result(const std::string& hex)
{
    SubmitResult result;
    try {
        const std::string reply = call("submitblock", "[\"" + hex + "\"]");
        result = parse_submitblock_reply(reply, last_http_status_);
        if (result.outcome == SubmitOutcome::no_reply && last_http_status_ != 0 &&
            last_http_status_ < 500)
            result.reason += " (HTTP " + std::to_string(last_http_status_) + ")";
    } catch (const RpcAborted& e) {
        result = {SubmitOutcome::aborted, e.what()};
    } catch (const RpcError& e) {
        // An error reply is the node's verdict, unless it says the node
        // could not judge the block at all.
        result = {is_no_verdict_code(e.code) ? SubmitOutcome::no_reply : SubmitOutcome::rejected,
                  e.what()};
    } catch (const std::exception& e) {
        result = {SubmitOutcome::no_reply, e.what()}; // no reply reached us
    }
    if (result.outcome != SubmitOutcome::accepted) last_failure_ = result.reason;
    return result;
}

bool RpcClient::submitblock(const std::string& hex)
{
    return submitblock_result(hex).outcome == SubmitOutcome::accepted;
}
