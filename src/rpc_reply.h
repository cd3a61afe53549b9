// The node's replies as the miner reads them, apart from the transport.
// Replies are never parsed into a tree: members are picked out of the raw
// text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct BlockTemplateTx {
    std::string data; // the transaction in hex, copied into the block as is
    std::string txid; // display order; may be empty
};

struct BlockTemplate {
    std::string previousblockhash;
    std::string bits_hex;
    std::string target;
    std::string default_witness_commitment;
    int32_t version = 0;
    uint32_t curtime = 0;
    uint32_t bits = 0;
    uint64_t height = 0;
    int64_t coinbasevalue = 0;
    std::vector<std::string> rules; // the soft forks the node enforces: "csv", "!segwit" ...
    std::vector<BlockTemplateTx> transactions;
    bool valid = false;
};

enum class SubmitOutcome {
    accepted, // null, or "duplicate": the node has the block
    rejected, // the node's verdict against the block
    no_reply, // no verdict reached us: worth sending the same block again
    aborted,  // the client's owner gave the request up
};

struct SubmitResult {
    SubmitOutcome outcome = SubmitOutcome::no_reply;
    std::string reason; // the node's answer, or what went wrong in transport
};

// The value text of the first member named key anywhere in json, or empty:
// the first "key" followed by ':' (a "key" that is a value does not count;
// nesting is not understood).
std::string json_get_string(const std::string& json, const std::string& key);

// The strings of the array that is the value of the first member named key
// (JSON escapes are not interpreted); empty when there is no such array.
std::vector<std::string> json_get_strings(const std::string& json, const std::string& key);

// A node's cookie file: USER:PASSWORD on its first line. False when it is not.
bool parse_cookie(const std::string& text, std::string& user, std::string& password);

BlockTemplate parse_block_template(const std::string& reply);
// Why a reply gave no usable template, for the user.
std::string template_failure(const std::string& reply, long http_status);
// The node's verdict on a block. An error that judges nothing (a node
// warming up, still downloading, or failing inside), or an HTTP 5xx without
// a JSON-RPC error, is no reply: the same block is worth sending again.
SubmitResult parse_submitblock_reply(const std::string& reply, long http_status = 200);

// The JSON-RPC error codes that say the node could not judge the request:
// warming up (-28), downloading blocks (-10), an internal error (-32603).
bool is_no_verdict_code(long code);

// The URL as it may be shown to others: without a user or password in it.
std::string url_without_credentials(const std::string& url);

// A reply's JSON-RPC error: present when its "error" member is not null.
struct RpcErrorMember {
    bool present = false;
    long code = 0;
    std::string message;
};
RpcErrorMember rpc_error_member(std::string_view reply);
