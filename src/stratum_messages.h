// Stratum v1 as a pool speaks it: one JSON-RPC message a line. Reading and
// writing the messages only; the connection and the client's policy are
// elsewhere. Every reader says why a message does not decode rather than
// trusting the pool.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "block_builder.h"

// A line longer than this is no message: the pool is not speaking Stratum.
constexpr size_t STRATUM_MAX_LINE = 64 * 1024;

struct StratumMessage {
    enum class Kind { response, call, invalid };
    Kind kind = Kind::invalid;
    // response: the id of the request it answers, its result and error.
    uint64_t id = 0;
    nlohmann::json result;
    nlohmann::json error;
    // call: a notification or a request from the pool.
    std::string method;
    nlohmann::json params;
    nlohmann::json call_id; // null for a notification
    std::string problem;    // invalid: why, in words for the user
};

// One line as it came, without its newline.
StratumMessage parse_stratum_line(const std::string& line);
// A request of ours, newline included.
std::string stratum_request(uint64_t id, const std::string& method, const nlohmann::json& params);

// A job as mining.notify gives it, decoded.
struct PoolJob {
    std::string job_id;
    uint8_t prev_hash[32]; // internal order
    std::vector<uint8_t> coinb1;
    std::vector<uint8_t> coinb2;
    std::vector<Hash32> merkle_branch; // internal order, as sent
    int32_t version = 0;
    uint32_t bits = 0;
    uint32_t ntime = 0;
    bool clean = false;
};
// False, with why, when a field is missing, of the wrong type or does not decode.
bool parse_notify(const nlohmann::json& params, PoolJob& job, std::string& why);

// mining.subscribe's result: [subscriptions, extranonce1, extranonce2_size].
bool parse_subscribe_result(const nlohmann::json& result, std::vector<uint8_t>& extranonce1,
                            int& extranonce2_size, std::string& why);
// mining.set_extranonce's params: [extranonce1, extranonce2_size].
bool parse_set_extranonce(const nlohmann::json& params, std::vector<uint8_t>& extranonce1,
                          int& extranonce2_size, std::string& why);
// mining.set_difficulty's params: [difficulty], a positive number.
bool parse_difficulty(const nlohmann::json& params, double& difficulty, std::string& why);

// The pool's word on a request (a share, an authorization): accepted, or
// not with the reason it gave; stale when the reason says the job is gone.
struct PoolVerdict {
    bool accepted = false;
    bool stale = false;
    std::string reason;
};
PoolVerdict parse_verdict(const StratumMessage& reply);

// Share target of a difficulty: difficulty 1 is 0x00000000FFFF followed by
// 26 zero bytes, as pool servers of Bitcoin-format chains have it. A
// difficulty at or below 0 gives the largest target.
void difficulty_to_target(double difficulty, uint64_t out[4]);
// The previous hash as Stratum sends it (eight 4-byte words, each
// byte-swapped) into internal order; false unless 64 hex digits.
bool stratum_prev_hash(const std::string& hex, uint8_t out[32]);
// A 32-bit field as Stratum writes it: eight hex digits, most significant first.
std::string stratum_hex32(uint32_t value);
// The height a job's coinbase script begins with (BIP 34), or 0 when the
// first part of the coinbase does not show one.
uint64_t coinbase_height(const std::vector<uint8_t>& coinb1);
