// What a mining session makes of a template: what every header on it
// shares, and the header each device searches.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "block_builder.h"
#include "rpc_client.h"

// What every header on one template shares, made once per template: only
// the coinbase (with its extra nonce) and the merkle root differ between
// headers.
struct TemplateWork {
    int32_t version;
    uint8_t prev_hash[32];
    uint32_t curtime;
    uint32_t bits;
    uint64_t height;
    int64_t coinbase_value;
    uint64_t target[4];
    size_t transactions; // the template's entries, as the node listed them
    std::string prev_hash_hex;
    std::vector<uint8_t> witness_commitment; // empty where segwit is not active
    std::vector<Hash32> merkle_branch;
    // Shared by every header of the template and by the found block it makes.
    std::shared_ptr<const std::vector<std::string>> block_txs;
};

// False with the reason when the node got the template wrong.
bool prepare_template(const BlockTemplate& t, TemplateWork& out, std::string& why);
// True when the two give the same headers and blocks: a node's cached
// template fetched again.
bool same_work(const TemplateWork& a, const TemplateWork& b);

// One header to search, with everything needed to submit it once solved.
struct MiningWork {
    uint8_t header[80]; // nonce 0
    uint64_t midstate[8];
    uint64_t w8;
    uint64_t w9_base;
    uint64_t target[4];
    uint64_t height;
    int64_t coinbase_value;
    uint32_t extra_nonce;
    std::string prev_hash;
    std::vector<uint8_t> coinbase_tx;
    std::shared_ptr<const std::vector<std::string>> block_txs;
};

// What the coinbase pays and says, the same for every header of a session.
struct CoinbaseParts {
    std::vector<uint8_t> payout_script;
    std::string message; // already cut to fit the input script
    std::vector<uint8_t> dev_fee_script;
};

void build_work(const CoinbaseParts& parts, uint32_t extra_nonce, const TemplateWork& t,
                MiningWork& w);

using Header = std::array<uint8_t, 80>;
// The header without its nonce: what one search covers.
constexpr size_t WORK_BYTES = 76;
// The work's header with the nonce in it.
Header header_with_nonce(const MiningWork& w, uint32_t nonce);

// The proof of work must change with the nonce, or every search is meaningless.
bool hash_sanity_check();
std::string dev_fee_address();
constexpr int32_t DEV_FEE_PERCENT = 1;

using SteadyClock = std::chrono::steady_clock;
double seconds_since(SteadyClock::time_point t);
