// Template parsing from any reply: a valid template has both required
// members, every text comes from the reply, and no entry is stored without data.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "rpc_client.h"

namespace {

bool from_reply(const std::string& reply, const std::string& text)
{
    return text.empty() || reply.find(text) != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    const BlockTemplate t = parse_block_template(reply);
    FUZZ_CHECK(!t.valid || (!t.previousblockhash.empty() && !t.bits_hex.empty()));
    FUZZ_CHECK(t.valid || t.previousblockhash.empty() || t.bits_hex.empty());
    FUZZ_CHECK(from_reply(reply, t.previousblockhash));
    FUZZ_CHECK(from_reply(reply, t.bits_hex));
    FUZZ_CHECK(from_reply(reply, t.target));
    FUZZ_CHECK(from_reply(reply, t.default_witness_commitment));
    for (const BlockTemplateTx& tx : t.transactions) {
        FUZZ_CHECK(!tx.data.empty());
        FUZZ_CHECK(from_reply(reply, tx.data));
        FUZZ_CHECK(from_reply(reply, tx.txid));
    }
    return 0;
}
