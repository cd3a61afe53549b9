#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stratum_messages.h"
#include "util.h"

namespace {

using nlohmann::json;

std::string hex(const uint8_t* bytes, size_t n)
{
    return bytes_to_hex(bytes, n);
}

TEST(StratumLine, KindsAndProblems)
{
    struct Case {
        std::string line;
        StratumMessage::Kind kind;
        std::string problem;
    };
    const Case cases[] = {
        {R"({"id":4,"result":true,"error":null})", StratumMessage::Kind::response, ""},
        {R"({"id":null,"method":"mining.notify","params":[]})", StratumMessage::Kind::call, ""},
        {R"({"method":"client.get_version","id":"x"})", StratumMessage::Kind::call, ""},
        {"not json", StratumMessage::Kind::invalid, "a line that is not JSON"},
        {"[1,2]", StratumMessage::Kind::invalid, "a JSON line that is not an object"},
        {R"({"method":7})", StratumMessage::Kind::invalid, "a call whose method is not text"},
        {R"({"id":-1,"result":true})", StratumMessage::Kind::invalid, "a reply without the id of a request"},
        {R"({"id":"4","result":true})", StratumMessage::Kind::invalid, "a reply without the id of a request"},
        {R"({"result":true})", StratumMessage::Kind::invalid, "a reply without the id of a request"},
        {std::string(STRATUM_MAX_LINE + 1, ' '), StratumMessage::Kind::invalid, "a line over 64 KB"},
        // A number past a double's range is no JSON the pool meant.
        {R"({"id":null,"method":"mining.set_difficulty","params":[1e400]})", StratumMessage::Kind::invalid,
         "a line that is not JSON"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 60));
        const StratumMessage m = parse_stratum_line(c.line);
        EXPECT_EQ(m.kind, c.kind);
        EXPECT_EQ(m.problem, c.problem);
    }
    const StratumMessage reply = parse_stratum_line(R"({"id":7,"result":null,"reject-reason":"Stale"})");
    EXPECT_EQ(reply.id, 7u);
    EXPECT_EQ(reply.error, "Stale") << "a reason beside the result is the error";
}

TEST(StratumRequest, OneLineWithItsNewline)
{
    EXPECT_EQ(stratum_request(3, "mining.submit", json::array({"w", "1", "00ff", "68e77800", "0000a57e"})),
              "{\"id\":3,\"method\":\"mining.submit\",\"params\":[\"w\",\"1\",\"00ff\",\"68e77800\","
              "\"0000a57e\"]}\n");
}

// The genesis block's hash as a node shows it, as Stratum sends it, and in
// the header's order.
TEST(StratumPrevHash, EachWordSwapped)
{
    uint8_t out[32];
    ASSERT_TRUE(stratum_prev_hash("0a8ce26f72b3f1b646a2a6c14ff763ae65831e939c085ae10019d66800000000", out));
    EXPECT_EQ(hex(out, 32), "6fe28c0ab6f1b372c1a6a246ae63f74f931e8365e15a089c68d6190000000000");
    EXPECT_FALSE(stratum_prev_hash(std::string(62, '0'), out));
    EXPECT_FALSE(stratum_prev_hash(std::string(63, '0') + "g", out));
}

json good_notify()
{
    return json::array({"1f", "0a8ce26f72b3f1b646a2a6c14ff763ae65831e939c085ae10019d66800000000",
                        "01000000010000000000000000000000000000000000000000000000000000000000000000ffffffff1602e90308",
                        "092f74657374ffffffff0100f2052a01000000016a00000000",
                        json::array({std::string(64, 'a'), std::string(64, 'b')}), "20000000", "1f00ffff",
                        "68e77800", true});
}

TEST(StratumNotify, FieldsDecoded)
{
    PoolJob job;
    std::string why;
    ASSERT_TRUE(parse_notify(good_notify(), job, why)) << why;
    EXPECT_EQ(job.job_id, "1f");
    EXPECT_EQ(hex(job.prev_hash, 32), "6fe28c0ab6f1b372c1a6a246ae63f74f931e8365e15a089c68d6190000000000");
    EXPECT_EQ(job.coinb1.size(), 46u);
    EXPECT_EQ(job.coinb2.size(), 25u);
    ASSERT_EQ(job.merkle_branch.size(), 2u);
    EXPECT_EQ(job.merkle_branch[1][31], 0xbb);
    EXPECT_EQ(job.version, 0x20000000);
    EXPECT_EQ(job.bits, 0x1f00ffffu);
    EXPECT_EQ(job.ntime, 0x68e77800u);
    EXPECT_TRUE(job.clean);
    EXPECT_EQ(coinbase_height(job.coinb1), 1001u);
}

TEST(StratumNotify, EachBadFieldSaysWhich)
{
    struct Case {
        size_t field;
        json value;
        std::string why;
    };
    const Case cases[] = {
        {0, 5, "the job id is not text"},
        {0, "", "the job id is not text"},
        {1, "00", "the previous hash is not 64 hex digits"},
        {2, "0g", "coinb1 is not hex text"},
        {3, 12, "coinb2 is not hex text"},
        {3, "abc", "coinb2 is not hex text"},
        {4, "ab", "the merkle branch is not a list"},
        {4, json::array({"abcd"}), "a merkle branch hash is not 32 bytes"},
        {4, json::array({1}), "a merkle branch hash is not hex text"},
        {5, "2000000", "the version is not hex text"},
        {5, "2000000000", "the version is not 8 hex digits"},
        {6, 0x1f00ffff, "nbits is not hex text"},
        {7, "68e778", "ntime is not 8 hex digits"},
        {8, "true", "clean_jobs is not true or false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        json params = good_notify();
        params[c.field] = c.value;
        PoolJob job;
        std::string why;
        EXPECT_FALSE(parse_notify(params, job, why));
        EXPECT_EQ(why, c.why);
    }
    PoolJob job;
    std::string why;
    EXPECT_FALSE(parse_notify(json::array({"1"}), job, why));
    EXPECT_EQ(why, "mining.notify has fewer than 9 fields");
    EXPECT_FALSE(parse_notify(json::object(), job, why));
}

TEST(StratumExtranonce, SubscriptionAndChanges)
{
    std::vector<uint8_t> en1;
    int size = 0;
    std::string why;
    EXPECT_TRUE(parse_subscribe_result(json::parse(R"([[["mining.notify","ae"]],"08000002",4])"), en1, size, why));
    EXPECT_EQ(en1, (std::vector<uint8_t>{8, 0, 0, 2}));
    EXPECT_EQ(size, 4);
    EXPECT_TRUE(parse_set_extranonce(json::parse(R"(["",8])"), en1, size, why)) << "an empty extranonce1";
    EXPECT_TRUE(en1.empty());
    EXPECT_EQ(size, 8);
    for (const char* bad : {R"(["ab",0])", R"(["ab",9])", R"(["ab",-1])", R"(["ab","4"])", R"(["a",4])",
                            R"([5,4])", R"(["ab"])"}) {
        EXPECT_FALSE(parse_set_extranonce(json::parse(bad), en1, size, why)) << bad;
    }
    EXPECT_FALSE(parse_subscribe_result(json::parse(R"([null,"ab"])"), en1, size, why));
    EXPECT_EQ(why, "the subscription has fewer than 3 fields");
}

TEST(StratumDifficulty, PositiveFiniteNumbersOnly)
{
    double d = 7;
    std::string why;
    EXPECT_TRUE(parse_difficulty(json::parse("[0.001]"), d, why));
    EXPECT_EQ(d, 0.001);
    EXPECT_TRUE(parse_difficulty(json::parse("[65536]"), d, why));
    for (const char* bad : {"[0]", "[-2]", "[\"8\"]", "[]", "{}", "[null]"}) {
        d = 7;
        EXPECT_FALSE(parse_difficulty(json::parse(bad), d, why)) << bad;
        EXPECT_EQ(d, 7) << "a refused difficulty changes nothing";
    }
}

TEST(StratumDifficulty, TargetOfDifficultyOne)
{
    struct Case {
        double difficulty;
        uint64_t target[4]; // least significant first
    };
    const uint64_t all = ~uint64_t{0};
    const Case cases[] = {
        {1, {0, 0, 0, 0x00000000FFFF0000}},
        {2, {0, 0, 0, 0x000000007FFF8000}},
        {3, {0, 0, 0, 0x0000000055550000}},
        {0.5, {0, 0, 0, 0x00000001FFFE0000}},
        {65536, {0, 0, 0, 0x000000000000FFFF}},
        {65536.0 * 65536, {0, 0, 0xFFFF000000000000, 0}},
        {1.0 / 4294967296.0, {0, 0, 0, 0xFFFF000000000000}},
        {1e-12, {all, all, all, all}}, // past 2^256: every hash is a share
        {0, {all, all, all, all}},
        {-1, {all, all, all, all}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.difficulty);
        uint64_t out[4];
        difficulty_to_target(c.difficulty, out);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], c.target[i]) << i;
    }
    // Harder shares, smaller targets, all the way down.
    uint64_t last[4];
    difficulty_to_target(1e-6, last);
    for (const double d : {1e-3, 1.0, 1.5, 1e3, 1e9, 1e15}) {
        uint64_t t[4];
        difficulty_to_target(d, t);
        EXPECT_TRUE(t[3] < last[3] || (t[3] == last[3] && t[2] < last[2])) << d;
        for (int i = 0; i < 4; ++i) last[i] = t[i];
    }
}

TEST(StratumVerdict, AcceptedRejectedOrStale)
{
    struct Case {
        std::string reply;
        bool accepted;
        bool stale;
        std::string reason;
    };
    const Case cases[] = {
        {R"({"id":1,"result":true,"error":null})", true, false, ""},
        {R"({"id":1,"result":null,"error":[21,"Job not found",null]})", false, true, "Job not found"},
        {R"({"id":1,"result":false,"error":[22,"Duplicate share",null]})", false, false, "Duplicate share"},
        {R"({"id":1,"result":false,"error":[23,"Low difficulty share",null]})", false, false,
         "Low difficulty share"},
        {R"({"id":1,"result":false,"error":{"code":-1,"message":"Stale share"}})", false, true, "Stale share"},
        {R"({"id":1,"result":false,"error":"job not found"})", false, true, "job not found"},
        {R"({"id":1,"result":false,"error":[21]})", false, false, "no reason given"},
        {R"({"id":1,"result":false,"error":null})", false, false, "no reason given"},
        {R"({"id":1,"result":false,"error":{"code":30}})", false, false, "error 30"},
        {R"({"id":1,"result":true,"error":[20,"Other",null]})", false, false, "Other"},
        {R"({"id":1,"result":"true","error":null})", false, false, "no reason given"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        const PoolVerdict v = parse_verdict(parse_stratum_line(c.reply));
        EXPECT_EQ(v.accepted, c.accepted);
        EXPECT_EQ(v.stale, c.stale);
        EXPECT_EQ(v.reason, c.reason);
    }
}

TEST(StratumCoinbase, HeightFromTheFirstPart)
{
    const std::string prefix = "01000000" "01" + std::string(64, '0') + "ffffffff";
    const std::pair<std::string, uint64_t> cases[] = {
        {prefix + "16" "02e903", 1001},
        {prefix + "16" "03800000", 128},
        {prefix + "16" "03a08601", 100000},
        {prefix + "16" "51", 1},
        {prefix + "16" "60", 16},
        {prefix + "16" "00", 0},
        {prefix + "16" "03e903", 0},  // the push runs past the part
        {prefix + "fd" "0100", 0},    // no script that long in a coinbase
        {"01000000" "02" + std::string(72, '0') + "16" "02e903", 0},
        {"0100", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(coinbase_height(hex_to_bytes(c.first)), c.second) << c.first;
    }
}

TEST(StratumHex32, EightDigitsMostSignificantFirst)
{
    EXPECT_EQ(stratum_hex32(0), "00000000");
    EXPECT_EQ(stratum_hex32(0x68e77800), "68e77800");
    EXPECT_EQ(stratum_hex32(0xFFFFFFFF), "ffffffff");
}

} // namespace
