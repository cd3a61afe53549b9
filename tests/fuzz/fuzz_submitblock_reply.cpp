// submitblock replies: acceptance only for a null result or exactly "duplicate",
// never with an error beside it or from a failing server.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "rpc_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    const SubmitResult r = parse_submitblock_reply(reply);
    FUZZ_CHECK(parse_submitblock_reply(reply, 503).outcome != SubmitOutcome::accepted);
    if (r.outcome == SubmitOutcome::accepted) {
        const size_t at = reply.find("\"result\"");
        FUZZ_CHECK(at != std::string::npos);
        FUZZ_CHECK(r.reason == "null" || r.reason == "duplicate");
        FUZZ_CHECK(reply.find(r.reason, at) != std::string::npos);
    }
    if (reply.find("\"result\"") == std::string::npos && reply.find("\"error\"") == std::string::npos)
        FUZZ_CHECK(r.outcome == SubmitOutcome::no_reply);
    return 0;
}
