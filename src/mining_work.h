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

class WorkSource;

// A pool's job: the pool builds the coinbase around the extranonces and
// judges shares at its own target.
struct PoolCoinbase {
    std::string job_id;
    std::vector<uint8_t> coinb1; // up to extranonce1
    std::vector<uint8_t> extranonce1;
    int extranonce2_size = 4;
    std::vector<uint8_t> coinb2;
    double difficulty = 1.0;
    uint64_t network_target[4]; // from the job's bits: a share under it is a block
};

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
    // The tip the work builds on, as the session follows it: the node's
    // previous block hash, or a pool's run of jobs up to its next clean job.
    std::string parent;
    std::vector<uint8_t> witness_commitment; // empty where segwit is not active
    std::vector<Hash32> merkle_branch;
    // Shared by every header of the template and by the found block it makes.
    std::shared_ptr<const std::vector<std::string>> block_txs;
    // A pool's job (target is then the share target); none for a template.
    std::shared_ptr<const PoolCoinbase> pool;
    // Where the work came from: its finds go back there.
    WorkSource* origin = nullptr;
};

// False with the reason when the node got the template wrong.
bool prepare_template(const BlockTemplate& t, TemplateWork& out, std::string& why);
// The extranonce2 values a pool's job leaves room for.
uint64_t extranonce2_count(const PoolCoinbase& pool);
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
    uint64_t extra_nonce; // a pool's extranonce2, or the coinbase's 4-byte extra nonce
    std::string parent;
    std::vector<uint8_t> coinbase_tx;
    std::shared_ptr<const std::vector<std::string>> block_txs;
    std::shared_ptr<const PoolCoinbase> pool;
    WorkSource* origin = nullptr;
};

// What the coinbase pays and says, the same for every header of a session.
struct CoinbaseParts {
    std::vector<uint8_t> payout_script;
    std::string message; // already cut to fit the input script
    std::vector<uint8_t> dev_fee_script;
};

// extra_nonce: for a pool's job an extranonce2 below extranonce2_count.
void build_work(const CoinbaseParts& parts, uint64_t extra_nonce, const TemplateWork& t,
                MiningWork& w);
// A pool's extranonce2 for a value: its extranonce2_size bytes, little-endian.
std::vector<uint8_t> extranonce2_bytes(const PoolCoinbase& pool, uint64_t value);

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
// Seconds since 1970 by the wall clock: times the API and the log show.
int64_t unix_now();
