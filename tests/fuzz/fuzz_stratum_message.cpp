// A pool's lines as the client reads them: any bytes give a message or a
// reason, never a crash, and what each reader accepts is what it promised.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "stratum_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    const StratumMessage m = parse_stratum_line(line);
    FUZZ_CHECK((m.kind == StratumMessage::Kind::invalid) == !m.problem.empty());
    if (m.kind == StratumMessage::Kind::response) {
        const PoolVerdict v = parse_verdict(m);
        FUZZ_CHECK(v.accepted || !v.reason.empty());
        FUZZ_CHECK(!(v.accepted && v.stale));
        std::vector<uint8_t> en1;
        int en2_size = 0;
        std::string why;
        if (parse_subscribe_result(m.result, en1, en2_size, why)) FUZZ_CHECK(en2_size >= 1 && en2_size <= 8);
        return 0;
    }
    if (m.kind != StratumMessage::Kind::call) return 0;
    std::string why;
    PoolJob job;
    if (parse_notify(m.params, job, why)) {
        FUZZ_CHECK(!job.job_id.empty());
        (void)coinbase_height(job.coinb1);
    } else {
        FUZZ_CHECK(!why.empty());
    }
    std::vector<uint8_t> en1;
    int en2_size = 0;
    if (parse_set_extranonce(m.params, en1, en2_size, why)) FUZZ_CHECK(en2_size >= 1 && en2_size <= 8);
    double difficulty = 0;
    if (parse_difficulty(m.params, difficulty, why)) {
        FUZZ_CHECK(difficulty > 0 && std::isfinite(difficulty));
        uint64_t target[4];
        difficulty_to_target(difficulty, target);
        FUZZ_CHECK(target[0] | target[1] | target[2] | target[3] || difficulty > 1e60);
    }
    return 0;
}
