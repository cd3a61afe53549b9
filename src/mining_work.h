// What a mining session does with a template, whatever drives the devices:
// the work built from it, the host's check of a device's find and the
// block's submission.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "block_builder.h"
#include "rpc_client.h"

// What every job on one template shares, made once per template: only the
// coinbase (with its extra nonce) and the merkle root differ between jobs.
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
    std::vector<uint8_t> witness_commitment;
    std::vector<Hash32> merkle_branch;
    // Shared by every job of the template and by the found block it makes.
    std::shared_ptr<const std::vector<std::string>> block_txs;
};

// False with the reason when the node got the template wrong.
bool prepare_template(const BlockTemplate& t, TemplateWork& out, std::string& why);

// One header to search, with everything needed to submit it once solved.
struct MiningWork {
    uint8_t header[80];
    uint64_t midstate[8];
    uint64_t w8;
    uint64_t w9_base;
    uint64_t target[4];
    uint64_t height;
    int64_t coinbase_value;
    std::string prev_hash;
    std::vector<uint8_t> coinbase_tx;
    std::shared_ptr<const std::vector<std::string>> block_txs;
};

// What the coinbase pays and says, the same for every job of a session.
struct CoinbaseParts {
    std::string address;
    std::string message; // already cut to fit the input script
    std::vector<uint8_t> dev_fee_script;
};

// False when the payout address cannot be decoded.
bool build_work(const CoinbaseParts& parts, uint32_t extra_nonce, const TemplateWork& t,
                MiningWork& w);

using Header = std::array<uint8_t, 80>;
// The header without its nonce: what one job searches.
constexpr size_t WORK_BYTES = 76;

// The node and what the session knows of its verdicts.
struct Submitter {
    RpcClient& client;
    // A node caches its template, so a refused header can come back: it is
    // never sent again. Cleared when the parent changes.
    std::set<Header> rejected{};
    uint64_t blocks_found = 0;
};

// Prints the find, checks it on the host and submits the block when it
// holds; device >= 0 names the device that found it. Returns false for a
// false positive.
bool handle_candidate(Submitter& s, MiningWork& w, uint32_t nonce, int device);

// "  [!] Invalid template, retrying...", with the reason once per cause.
void report_template_failure(std::string& last_failure, const std::string& why);
// The two lines of a payout address that cannot be decoded.
void report_bad_address(const std::string& address);
// "  [*] Mining height ..." and "  [*] Target: ...".
void print_work_lines(const MiningWork& w, size_t transactions);

// The proof of work must change with the nonce, or every search is meaningless.
bool hash_sanity_check();
std::string dev_fee_address();
constexpr int32_t DEV_FEE_PERCENT = 1;

using SteadyClock = std::chrono::steady_clock;
double seconds_since(SteadyClock::time_point t);
// Signals do not cut these waits short: a stop takes effect after them.
void wait_seconds(std::chrono::seconds d);
