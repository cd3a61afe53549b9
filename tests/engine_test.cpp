// The engine's interface against the host reference. Built once per
// backend: the CPU one here, the CUDA one on a machine with a GPU.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "engine_common.h"
#include "pow_job.h"
#include "util.h"
#include "whirlpool_cuda.h"

namespace {

class Engine : public testing::Test {
protected:
    static constexpr int kBlocks = 2;
    static constexpr int kThreads = 64;
    static constexpr uint32_t kPerLaunch = 128u * kBlocks * kThreads;
    static constexpr uint32_t kStride = kBlocks * kThreads;

    void SetUp() override
    {
        if (cuda_device_count() == 0) GTEST_SKIP() << "no device";
        miner_ = cuda_miner_create(0, kBlocks, kThreads);
        ASSERT_EQ(cuda_whirlpool_init(WP_T0, WP_RC), 0);
        ASSERT_STREQ(cuda_miner_error(miner_), "");
    }
    void TearDown() override { cuda_miner_destroy(miner_); }

    struct Scan {
        int result;
        uint32_t nonce;
        uint32_t hashes;
    };
    Scan scan(CudaMiner* miner, const Job& job, uint32_t base)
    {
        Scan s{-1, 0xDEADBEEF, 0xDEADBEEF};
        s.result = cuda_miner_scan(miner, job.w8, job.w9_base, base, &s.nonce, &s.hashes);
        return s;
    }

    CudaMiner* miner_ = nullptr;
};

TEST_F(Engine, DebugHashEqualsHostHash)
{
    std::mt19937_64 rng(1);
    for (int i = 0; i < 64; ++i) {
        const Job job = random_job(rng);
        const uint32_t nonce = static_cast<uint32_t>(rng());
        uint64_t out[4];
        cuda_debug_hash(0, job.midstate, job.w8, uint64_t{nonce} << 32 | job.w9_base, out);
        ASSERT_EQ((PowValue{out[0], out[1], out[2], out[3]}), host_value(job, nonce)) << i;
    }
}

// With the target set to the smallest value in a launch's range, the only
// nonce that meets it is the one the host found: the whole range was hashed
// correctly, and a value equal to the target is a hit.
TEST_F(Engine, FindsTheHostsBestNonceOfTheLaunch)
{
    std::mt19937_64 rng(2);
    for (int i = 0; i < 6; ++i) {
        const Job job = random_job(rng);
        const uint32_t base = i == 0 ? 0xFFFFFFFFu - kPerLaunch / 2 : static_cast<uint32_t>(rng());
        uint32_t best = base;
        PowValue best_value = host_value(job, base);
        for (uint32_t k = 1; k < kPerLaunch; ++k) {
            const PowValue v = host_value(job, base + k);
            if (less_256(v, best_value)) {
                best_value = v;
                best = base + k;
            }
        }
        cuda_miner_set_work(miner_, job.midstate, best_value.data());
        const Scan s = scan(miner_, job, base);
        EXPECT_EQ(s.result, 1) << i;
        EXPECT_EQ(s.nonce, best) << i;
        EXPECT_EQ(s.hashes, best - base + 1) << i;

        // One less than the best value: nothing in the range meets it.
        const PowValue below = minus_one(best_value);
        cuda_miner_set_work(miner_, job.midstate, below.data());
        EXPECT_EQ(scan(miner_, job, base).result, 0) << i;
    }
}

TEST_F(Engine, ZeroTargetCoversTheLaunchAndFindsNothing)
{
    std::mt19937_64 rng(3);
    const Job job = random_job(rng);
    const uint64_t zero[4] = {0, 0, 0, 0};
    cuda_miner_set_work(miner_, job.midstate, zero);
    const Scan s = scan(miner_, job, 0);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.hashes, kPerLaunch);
}

TEST_F(Engine, EasiestTargetHitsInTheFirstSlice)
{
    std::mt19937_64 rng(4);
    const uint64_t all_ff[4] = {~0ull, ~0ull, ~0ull, ~0ull};
    for (uint32_t base : {0u, 12345u, 0xFFFFFFC0u, 0xFFFFFFFFu}) {
        const Job job = random_job(rng);
        cuda_miner_set_work(miner_, job.midstate, all_ff);
        const Scan s = scan(miner_, job, base);
        EXPECT_EQ(s.result, 1);
        EXPECT_LT(static_cast<uint32_t>(s.nonce - base), kStride) << base;
        EXPECT_EQ(s.hashes, s.nonce - base + 1) << "a find counts the nonces up to it";
    }
}

TEST_F(Engine, LaunchNearTheTopWrapsThroughZero)
{
    // One block of 256 threads from 0xFFFFFF00: the first slice is
    // 0xFFFFFF00..0xFFFFFFFF and the other 127 cover 0x00000000..0x00007EFF.
    CudaMiner* miner = cuda_miner_create(0, 1, 256);
    std::mt19937_64 rng(5);
    const Job job = random_job(rng);
    const uint32_t wrapped = 0x00004321;
    const PowValue target = host_value(job, wrapped);
    cuda_miner_set_work(miner, job.midstate, target.data());
    const Scan s = scan(miner, job, 0xFFFFFF00u);
    ASSERT_EQ(s.result, 1);
    EXPECT_TRUE(s.nonce >= 0xFFFFFF00u || s.nonce <= 0x00007EFFu) << s.nonce;
    EXPECT_FALSE(less_256(target, host_value(job, s.nonce))) << "the nonce meets the target";
    EXPECT_EQ(s.hashes, s.nonce - 0xFFFFFF00u + 1) << "counted across the wrap";
    cuda_miner_destroy(miner);
}

// A job and a launch base for which the nonce at `offset` in the launch is
// the only one of the launch that meets the target returned: its value is
// strictly below every other value of the launch.
struct UniqueHit {
    Job job;
    uint32_t base;
    PowValue target;
};

UniqueHit unique_hit_at(std::mt19937_64& rng, uint32_t per_launch, uint32_t offset)
{
    for (;;) {
        UniqueHit h{random_job(rng), 0, {}};
        // The best of one launch's worth of nonces from a random start, then
        // the launch that holds it at `offset`; it is unique there when no
        // nonce outside the first window beats it or ties with it.
        const uint32_t start = static_cast<uint32_t>(h.job.header[0]) << 24;
        uint32_t best = start;
        h.target = host_value(h.job, start);
        for (uint32_t k = 1; k < per_launch; ++k) {
            const PowValue v = host_value(h.job, start + k);
            if (less_256(v, h.target)) {
                h.target = v;
                best = start + k;
            }
        }
        h.base = best - offset;
        bool unique = true;
        for (uint32_t k = 0; k < per_launch && unique; ++k) {
            const uint32_t n = h.base + k;
            if (n != best && static_cast<uint32_t>(n - start) >= per_launch)
                unique = less_256(h.target, host_value(h.job, n));
        }
        if (unique) return h;
    }
}

// The only hit at a known place in the launch: the engine finds exactly it
// and counts the nonces up to it. The last slice is where an engine that
// stops one slice early, or strides wrongly, would miss it.
TEST_F(Engine, FindsTheOnlyHitWhereverItLiesAndCountsUpToIt)
{
    struct Row {
        uint32_t offset;
        const char* where;
    };
    const Row rows[] = {
        {0, "the first nonce"},
        {5, "early in the first slice"},
        {kStride + 3, "the second slice"},
        {kPerLaunch - kStride, "the first thread of the last slice"},
        {kPerLaunch - kStride / 2, "the middle of the last slice"},
        {kPerLaunch - 1, "the last nonce of the last slice"},
    };
    std::mt19937_64 rng(9);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.where);
        const UniqueHit h = unique_hit_at(rng, kPerLaunch, row.offset);
        cuda_miner_set_work(miner_, h.job.midstate, h.target.data());
        const Scan s = scan(miner_, h.job, h.base);
        ASSERT_EQ(s.result, 1);
        EXPECT_EQ(s.nonce, h.base + row.offset);
        EXPECT_EQ(s.hashes, row.offset + 1);
    }
}

// A stop or new work cuts a launch short. An interrupt that comes between
// launches ends the next one before it covers anything; one that comes
// during a launch may end it early (the CPU backend does, a GPU launch runs
// its milliseconds out), and then the count covered never reaches past a
// hit the launch did not report.
TEST_F(Engine, AnInterruptEndsALaunchWithoutHidingAHit)
{
    std::mt19937_64 rng(12);
    const Job job = random_job(rng);
    const uint64_t zero[4] = {0, 0, 0, 0};
    cuda_miner_set_work(miner_, job.midstate, zero);
    cuda_miner_interrupt(miner_);
    Scan s = scan(miner_, job, 7);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.hashes, 0u);
    EXPECT_EQ(scan(miner_, job, 7).hashes, kPerLaunch) << "an interrupt ends one launch";

    constexpr int kLongBlocks = 8;
    constexpr uint32_t kLongLaunch = 128u * kLongBlocks * kThreads;
    CudaMiner* miner = cuda_miner_create(0, kLongBlocks, kThreads);
    const uint32_t offset = kLongLaunch - kThreads / 2;
    const UniqueHit h = unique_hit_at(rng, kLongLaunch, offset);
    cuda_miner_set_work(miner, h.job.midstate, h.target.data());
    for (int delay_us : {0, 200, 500, 1000, 2000, 4000}) {
        SCOPED_TRACE(delay_us);
        std::thread interrupter([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
            cuda_miner_interrupt(miner);
        });
        s = scan(miner, h.job, h.base);
        interrupter.join();
        if (s.result == 1) {
            EXPECT_EQ(s.nonce, h.base + offset);
            EXPECT_EQ(s.hashes, offset + 1);
        } else {
            EXPECT_EQ(s.result, 0);
            EXPECT_LE(s.hashes, offset) << "a launch claimed nonces it never searched";
        }
        // An interrupt that came after the launch ends the next one at once.
        scan(miner, h.job, h.base);
    }
    cuda_miner_destroy(miner);
}

// A launch of 2^32 nonces or more would try some twice (and exactly 2^32
// makes the stride 0): refused when the handle is made, and every scan of
// such a handle stops.
TEST_F(Engine, RefusesALaunchOf2To32NoncesOrMore)
{
    std::mt19937_64 rng(6);
    const Job job = random_job(rng);
    const uint64_t all_ff[4] = {~0ull, ~0ull, ~0ull, ~0ull};
    for (const auto& grid : {std::pair<int, int>{131072, 256}, {1048576, 256}, {262144, 128}}) {
        SCOPED_TRACE(std::to_string(grid.first) + " x " + std::to_string(grid.second));
        CudaMiner* miner = cuda_miner_create(0, grid.first, grid.second);
        const std::string expected = "a launch of " + std::to_string(grid.first) + " blocks x " +
                                     std::to_string(grid.second) +
                                     " threads covers 2^32 or more nonces";
        EXPECT_EQ(cuda_miner_error(miner), expected);
        cuda_miner_set_work(miner, job.midstate, all_ff);
        for (int i = 0; i < 2; ++i) {
            const Scan s = scan(miner, job, 0);
            EXPECT_EQ(s.result, -1);
            EXPECT_EQ(s.hashes, 0u);
        }
        cuda_miner_destroy(miner);
    }
    // The largest grid below 2^32 nonces is accepted; the easiest target
    // ends its launch at once.
    CudaMiner* largest = cuda_miner_create(0, 131071, 256);
    ASSERT_STREQ(cuda_miner_error(largest), "");
    cuda_miner_set_work(largest, job.midstate, all_ff);
    const Scan s = scan(largest, job, 0);
    EXPECT_EQ(s.result, 1);
    EXPECT_EQ(s.hashes, s.nonce + 1);
    cuda_miner_destroy(largest);
}

// A handle that cannot mine says why at once, and its scans stop.
TEST_F(Engine, AHandleOnAMissingDeviceIsRefused)
{
    CudaMiner* miner = cuda_miner_create(cuda_device_count() + 7, kBlocks, kThreads);
    EXPECT_STRNE(cuda_miner_error(miner), "");
    std::mt19937_64 rng(11);
    const Job job = random_job(rng);
    const uint64_t all_ff[4] = {~0ull, ~0ull, ~0ull, ~0ull};
    cuda_miner_set_work(miner, job.midstate, all_ff);
    const Scan s = scan(miner, job, 0);
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.hashes, 0u);
    cuda_miner_destroy(miner);
}

// Two handles with different jobs, scanned in turn: each launch searches its
// own handle's job and target.
TEST_F(Engine, TwoHandlesKeepTheirOwnJobs)
{
    std::mt19937_64 rng(10);
    CudaMiner* other = cuda_miner_create(0, 1, 32);
    ASSERT_STREQ(cuda_miner_error(other), "");
    const UniqueHit a = unique_hit_at(rng, kPerLaunch, kPerLaunch - 7);
    const UniqueHit b = unique_hit_at(rng, 4096, 100);
    cuda_miner_set_work(miner_, a.job.midstate, a.target.data());
    cuda_miner_set_work(other, b.job.midstate, b.target.data());
    for (int round = 0; round < 2; ++round) {
        const Scan sa = scan(miner_, a.job, a.base);
        const Scan sb = scan(other, b.job, b.base);
        EXPECT_EQ(sa.result, 1);
        EXPECT_EQ(sa.nonce, a.base + kPerLaunch - 7);
        EXPECT_EQ(sb.result, 1);
        EXPECT_EQ(sb.nonce, b.base + 100);
    }
    cuda_miner_destroy(other);
}

TEST_F(Engine, SetWorkReplacesTheJob)
{
    std::mt19937_64 rng(7);
    const Job a = random_job(rng);
    const Job b = random_job(rng);
    const PowValue target_b = host_value(b, 77);
    cuda_miner_set_work(miner_, a.midstate, target_b.data());
    cuda_miner_set_work(miner_, b.midstate, target_b.data());
    const Scan s = scan(miner_, b, 0);
    ASSERT_EQ(s.result, 1);
    EXPECT_FALSE(less_256(target_b, host_value(b, s.nonce)));
}

TEST_F(Engine, RefusedLaunchesWarnOnce)
{
    std::mt19937_64 rng(8);
    const Job job = random_job(rng);
    const uint64_t all_ff[4] = {~0ull, ~0ull, ~0ull, ~0ull};
    testing::internal::CaptureStdout();
    for (const auto& grid : {std::pair<int, int>{1, 257}, {1, 0}, {0, 64}, {-3, 64}}) {
        CudaMiner* bad = cuda_miner_create(0, grid.first, grid.second);
        cuda_miner_set_work(bad, job.midstate, all_ff);
        const Scan s = scan(bad, job, 0);
        EXPECT_EQ(s.result, 0) << grid.first << "x" << grid.second;
        EXPECT_EQ(s.hashes, 0u);
        cuda_miner_destroy(bad);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string head = "\n  [!] CUDA kernel error: ";
    const std::string tail = "\n  [!] Your GPU may not match the compiled architecture.\n"
                             "  [!] Rebuild with the correct -DCMAKE_CUDA_ARCHITECTURES for your GPU.\n";
    ASSERT_EQ(out.compare(0, head.size(), head), 0) << out;
    ASSERT_GE(out.size(), head.size() + tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(out.find("CUDA kernel error", head.size()), std::string::npos) << "printed once";

    // The handle stays usable after a refusal.
    cuda_miner_set_work(miner_, job.midstate, all_ff);
    EXPECT_EQ(scan(miner_, job, 0).result, 1);
}

// A handle whose launches keep failing fails for good, so that its device
// is reported failed instead of spinning without hashing.
TEST_F(Engine, LaunchesThatKeepFailingFailTheHandle)
{
    std::mt19937_64 rng(9);
    const Job job = random_job(rng);
    const uint64_t zero[4] = {0, 0, 0, 0};
    testing::internal::CaptureStdout();
    CudaMiner* bad = cuda_miner_create(0, 0, 64);
    cuda_miner_set_work(bad, job.midstate, zero);
    for (int i = 1; i < WP_FAILED_LAUNCH_LIMIT; ++i) EXPECT_EQ(scan(bad, job, 0).result, 0) << i;
    EXPECT_STREQ(cuda_miner_error(bad), "");
    EXPECT_EQ(scan(bad, job, 0).result, -1);
    EXPECT_NE(std::string(cuda_miner_error(bad)).find("launches in a row failed"), std::string::npos)
        << cuda_miner_error(bad);
    EXPECT_EQ(scan(bad, job, 0).result, -1) << "for good";
    cuda_miner_destroy(bad);
    testing::internal::GetCapturedStdout();
}

TEST_F(Engine, DestroyNullIsHarmless)
{
    cuda_miner_destroy(nullptr);
}

TEST_F(Engine, DeviceInfo)
{
    char name[256];
    int sms = 0;
    uint64_t mem = 0;
    cuda_device_info(0, name, sizeof name, &sms, &mem);
    EXPECT_GT(std::strlen(name), 0u);
    EXPECT_GT(sms, 0);
    EXPECT_GT(mem, 0u);

    char small[4];
    cuda_device_info(0, small, sizeof small, &sms, &mem);
    EXPECT_EQ(std::string(small), std::string(name).substr(0, 3)) << "cut and terminated";
}

} // namespace
