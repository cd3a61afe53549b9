#include "block_notifier.h"

#include <zmq.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr char TOPIC[] = "hashblock";
constexpr char MONITOR_ENDPOINT[] = "inproc://marlvane-block-notifier";
constexpr long WAIT_MS = 100; // how often the thread looks at the stop flag
// A ping every 5 s; no traffic for 20 s closes the connection, and libzmq
// connects again until the publisher answers.
constexpr int HEARTBEAT_IVL_MS = 5000;
constexpr int HEARTBEAT_TIMEOUT_MS = 20000;

bool set_int(void* socket, int option, int value)
{
    return zmq_setsockopt(socket, option, &value, sizeof value) == 0;
}

// All frames of the next message; the first frame's bytes in first.
bool read_message(void* socket, std::string& first)
{
    bool is_first = true;
    for (int more = 1; more;) {
        zmq_msg_t part;
        zmq_msg_init(&part);
        if (zmq_msg_recv(&part, socket, 0) < 0) {
            zmq_msg_close(&part);
            return false;
        }
        if (is_first) first.assign(static_cast<const char*>(zmq_msg_data(&part)), zmq_msg_size(&part));
        is_first = false;
        more = zmq_msg_more(&part);
        zmq_msg_close(&part);
    }
    return true;
}

} // namespace

BlockNotifier::BlockNotifier(std::function<void()> on_block) : on_block_(std::move(on_block)) {}

BlockNotifier::~BlockNotifier()
{
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (socket_) zmq_socket_monitor(socket_, nullptr, 0);
    if (monitor_) zmq_close(monitor_);
    if (socket_) zmq_close(socket_);
    if (context_) zmq_ctx_term(context_);
}

bool BlockNotifier::start(const std::string& url, std::string& error)
{
    url_ = url;
    context_ = zmq_ctx_new();
    if (context_) socket_ = zmq_socket(context_, ZMQ_SUB);
    const bool made = socket_ && set_int(socket_, ZMQ_LINGER, 0) &&
                      set_int(socket_, ZMQ_HEARTBEAT_IVL, HEARTBEAT_IVL_MS) &&
                      set_int(socket_, ZMQ_HEARTBEAT_TIMEOUT, HEARTBEAT_TIMEOUT_MS) &&
                      zmq_setsockopt(socket_, ZMQ_SUBSCRIBE, TOPIC, std::strlen(TOPIC)) == 0 &&
                      zmq_socket_monitor(socket_, MONITOR_ENDPOINT,
                                         ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED) == 0;
    if (made) monitor_ = zmq_socket(context_, ZMQ_PAIR);
    if (!made || !monitor_ || !set_int(monitor_, ZMQ_LINGER, 0) ||
        zmq_connect(monitor_, MONITOR_ENDPOINT) != 0 || zmq_connect(socket_, url.c_str()) != 0) {
        error = zmq_strerror(zmq_errno());
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void BlockNotifier::run()
{
    while (!stopping_) {
        zmq_pollitem_t items[] = {{socket_, 0, ZMQ_POLLIN, 0}, {monitor_, 0, ZMQ_POLLIN, 0}};
        if (zmq_poll(items, 2, WAIT_MS) <= 0) continue;
        if (items[0].revents & ZMQ_POLLIN) receive_block();
        if (items[1].revents & ZMQ_POLLIN) receive_event();
    }
}

// A message is the topic, the block hash and a sequence number; only the
// topic matters: the tip itself is asked of the node.
void BlockNotifier::receive_block()
{
    std::string topic;
    if (read_message(socket_, topic) && topic == TOPIC) on_block_();
}

// An event is a 6-byte frame (the event as 16 bits, a value as 32) and the
// endpoint's address.
void BlockNotifier::receive_event()
{
    std::string frame;
    if (!read_message(monitor_, frame) || frame.size() < sizeof(uint16_t)) return;
    uint16_t event = 0;
    std::memcpy(&event, frame.data(), sizeof event);
    if (event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED) {
        connected_ = true;
        if (!lost_) return;
        lost_ = false;
        std::printf("  [+] ZMQ: the publisher at %s answers again\n", url_.c_str());
    } else if (event == ZMQ_EVENT_DISCONNECTED && connected_) {
        connected_ = false;
        if (lost_) return;
        lost_ = true;
        std::printf("  [!] ZMQ: lost the publisher at %s; the 5-second poll goes on until it "
                    "is back\n",
                    url_.c_str());
    }
}
