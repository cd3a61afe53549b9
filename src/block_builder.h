// Block assembly: the coinbase with its development fee and witness
// commitment, the merkle root, the header and the serialised block. Hashes
// are held in internal order (the order SHA-256 writes them); the node
// shows them reversed. Hashing and addresses are the layers below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "address.h"
#include "sha256.h"

// The height as the first item of the coinbase input script: the script
// number a node compares with its own (OP_0, OP_1..OP_16, else a push).
std::vector<uint8_t> height_script(uint64_t height);
// The input script is the height, the extra nonce as one push (none when
// empty), then the message.
std::vector<uint8_t> build_coinbase_tx(uint64_t height, int64_t value,
                                       const std::vector<uint8_t>& payout_script,
                                       const std::string& message,
                                       const std::vector<uint8_t>& witness_commitment,
                                       const std::vector<uint8_t>& dev_fee_script,
                                       int32_t dev_fee_percent,
                                       const std::vector<uint8_t>& extra_nonce = {});
// Double SHA-256 of the transaction without marker, flag and witness.
void compute_txid(const uint8_t* tx, uint64_t len, uint8_t out[32]);

// Consensus allows a coinbase input script of 2 to 100 bytes.
constexpr size_t MIN_COINBASE_SCRIPT = 2;
constexpr size_t MAX_COINBASE_SCRIPT = 100;
// The extra nonce the session varies, so that no header is searched twice.
constexpr size_t EXTRA_NONCE_BYTES = 4;
// The longest message that fits beside the height push of any height below
// 2^39 (6 bytes) and the extra nonce's push (5 bytes).
constexpr size_t MAX_COINBASE_MESSAGE = MAX_COINBASE_SCRIPT - 6 - (1 + EXTRA_NONCE_BYTES);
// The message cut to MAX_COINBASE_MESSAGE bytes, never inside a UTF-8 character.
std::string fit_coinbase_message(const std::string& message);

// A hash as the node writes it (64 hex digits, display order) into internal
// order; false, leaving out untouched, for anything but exactly 64 hex digits.
bool hash_from_rpc_hex(const std::string& hex, uint8_t out[32]);

void compute_merkle_root(const std::vector<std::vector<uint8_t>>& leaves, uint8_t out[32]);

using Hash32 = std::array<uint8_t, 32>;
// The hashes the coinbase (leaf 0) is paired with on its way to the root of
// the tree over the coinbase and these transactions' txids. Made once per
// template, so that each new coinbase costs one hash per level.
std::vector<Hash32> coinbase_merkle_branch(const std::vector<Hash32>& tx_leaves);
// The root of that tree for one coinbase txid.
void merkle_root_from_branch(const uint8_t coinbase_txid[32], const std::vector<Hash32>& branch,
                             uint8_t out[32]);
void build_header(int32_t version, const uint8_t prev_hash[32], const uint8_t merkle_root[32],
                  uint32_t time, uint32_t bits, uint32_t nonce, uint8_t out[80]);
std::string serialize_block(const uint8_t header[80], const std::vector<uint8_t>& coinbase_tx,
                            const std::vector<std::string>& block_txs);
