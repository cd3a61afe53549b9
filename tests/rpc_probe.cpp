// Drives RpcClient from the command line for the black-box RPC tests:
//   rpc_probe URL USER PASSWORD OPERATION [ARGUMENTS]
// and prints what the client returned, or the text of what it threw.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "rpc_client.h"

namespace {

const char* outcome_name(SubmitOutcome o)
{
    switch (o) {
    case SubmitOutcome::accepted: return "accepted";
    case SubmitOutcome::rejected: return "rejected";
    case SubmitOutcome::no_reply: return "no_reply";
    case SubmitOutcome::aborted: return "aborted";
    }
    return "?";
}

void print_template(const BlockTemplate& t, const RpcClient& client)
{
    std::printf("valid=%d\nprevious=%s\nbits_hex=%s\nbits=%08x\ntarget=%s\ncommitment=%s\n"
                "version=%d\ncurtime=%u\nheight=%llu\ncoinbasevalue=%lld\ntransactions=%zu\n",
                t.valid ? 1 : 0, t.previousblockhash.c_str(), t.bits_hex.c_str(), t.bits,
                t.target.c_str(), t.default_witness_commitment.c_str(), t.version, t.curtime,
                static_cast<unsigned long long>(t.height), static_cast<long long>(t.coinbasevalue),
                t.transactions.size());
    for (const BlockTemplateTx& tx : t.transactions)
        std::printf("tx data_len=%zu txid=%s\n", tx.data.size(), tx.txid.c_str());
    if (!t.valid) std::printf("failure=%s\n", client.last_failure().c_str());
}

int run(RpcClient& client, const std::string& op, int argc, char** argv)
{
    if (op == "call" && argc >= 2) {
        const std::string reply = client.call(argv[0], argv[1]);
        std::fwrite(reply.data(), 1, reply.size(), stdout);
        std::printf("\n");
    } else if (op == "getblocktemplate") {
        print_template(client.getblocktemplate(), client);
    } else if (op == "getbestblockhash") {
        std::printf("%s\n", client.getbestblockhash().c_str());
    } else if (op == "getblockcount") {
        std::printf("%d\n", client.getblockcount());
    } else if (op == "submitblock" && argc >= 1) {
        std::printf("%s\n", client.submitblock(argv[0]) ? "true" : "false");
    } else if (op == "submit" && argc >= 1) {
        const SubmitResult r = client.submitblock_result(argv[0]);
        std::printf("%s %s\n", outcome_name(r.outcome), r.reason.c_str());
    } else {
        std::fprintf(stderr, "unknown operation %s\n", op.c_str());
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: rpc_probe URL USER PASSWORD OPERATION [ARGUMENTS]\n");
        return 2;
    }
    RpcClient client(argv[1], argv[2], argv[3]);
    // "A then B": several operations on one client, to see it reused.
    int first = 4;
    for (int i = 4; i <= argc; ++i) {
        if (i < argc && std::strcmp(argv[i], "then") != 0) continue;
        try {
            const int rc = run(client, argv[first], i - first - 1, argv + first + 1);
            if (rc != 0) return rc;
        } catch (const std::exception& e) {
            std::printf("exception: %s\n", e.what());
        }
        first = i + 1;
    }
    return 0;
}
