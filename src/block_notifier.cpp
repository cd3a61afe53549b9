#include "block_notifier.h"

#include <zmq.h>

#include <cstring>

namespace {

constexpr char TOPIC[] = "hashblock";
constexpr long WAIT_MS = 100; // how often the thread looks at the stop flag

} // namespace

BlockNotifier::BlockNotifier(std::function<void()> on_block) : on_block_(std::move(on_block)) {}

BlockNotifier::~BlockNotifier()
{
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (socket_) zmq_close(socket_);
    if (context_) zmq_ctx_term(context_);
}

bool BlockNotifier::start(const std::string& url, std::string& error)
{
    context_ = zmq_ctx_new();
    if (context_) socket_ = zmq_socket(context_, ZMQ_SUB);
    const int linger = 0;
    if (!socket_ || zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger) != 0 ||
        zmq_setsockopt(socket_, ZMQ_SUBSCRIBE, TOPIC, std::strlen(TOPIC)) != 0 ||
        zmq_connect(socket_, url.c_str()) != 0) {
        error = zmq_strerror(zmq_errno());
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void BlockNotifier::run()
{
    while (!stopping_) {
        zmq_pollitem_t item{socket_, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, WAIT_MS) <= 0 || !(item.revents & ZMQ_POLLIN)) continue;
        // A message is the topic, the block hash and a sequence number; only
        // the topic matters: the tip itself is asked of the node.
        bool is_block = false;
        bool first = true;
        int more = 1;
        while (more) {
            zmq_msg_t part;
            zmq_msg_init(&part);
            if (zmq_msg_recv(&part, socket_, 0) < 0) {
                zmq_msg_close(&part);
                break;
            }
            if (first) {
                is_block = zmq_msg_size(&part) == std::strlen(TOPIC) &&
                           std::memcmp(zmq_msg_data(&part), TOPIC, std::strlen(TOPIC)) == 0;
                first = false;
            }
            more = zmq_msg_more(&part);
            zmq_msg_close(&part);
        }
        if (is_block) on_block_();
    }
}
