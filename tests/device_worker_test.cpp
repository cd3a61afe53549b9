// A device worker against an engine whose launches the test ends by hand:
// which header each launch searches, from which nonce, when new work comes
// in the middle of a launch.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device_worker.h"
#include "mining_work.h"

namespace {

// What one launch searched.
struct Launch {
    uint64_t midstate[8];
    uint64_t w8;
    uint64_t w9_base;
    uint32_t nonce_base;
};

// How a launch ends: 1 with a find at nonce_base + offset, or 0 having
// covered `hashes` nonces.
struct Outcome {
    int result;
    uint32_t hashes;
    uint32_t offset;
};

// The engine's one handle. As on a GPU, an interrupt does not cut the
// launch in progress short: the next launch ends before it starts.
struct Script {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t midstate[8] = {};
    std::vector<Launch> launches;
    std::deque<Outcome> outcomes;
    bool interrupted = false;
    bool finished = false; // every launch from now on ends at once

    // Waits until the worker has started launch n (0-based).
    Launch launch(size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        const bool started = changed.wait_for(lock, std::chrono::seconds(20),
                                              [&] { return launches.size() > n; });
        if (!started) ADD_FAILURE() << "launch " << n << " never started";
        return started ? launches[n] : Launch{};
    }
    void end_launch(Outcome o)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            outcomes.push_back(o);
        }
        changed.notify_all();
    }
    void finish()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            finished = true;
        }
        changed.notify_all();
    }
    size_t count()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return launches.size();
    }
};

Script* g_script = nullptr;

} // namespace

struct CudaMiner {};

extern "C" {

int cuda_miner_scan(CudaMiner*, uint64_t w8, uint64_t w9_base, uint32_t nonce_base,
                    uint32_t* nonce_out, uint32_t* hashes_out)
{
    Script& s = *g_script;
    std::unique_lock<std::mutex> lock(s.mutex);
    *hashes_out = 0;
    if (s.interrupted || s.finished) {
        s.interrupted = false;
        return 0;
    }
    Launch l{{}, w8, w9_base, nonce_base};
    std::memcpy(l.midstate, s.midstate, sizeof l.midstate);
    s.launches.push_back(l);
    s.changed.notify_all();
    s.changed.wait(lock, [&] { return s.finished || !s.outcomes.empty(); });
    if (s.outcomes.empty()) return 0;
    const Outcome o = s.outcomes.front();
    s.outcomes.pop_front();
    *hashes_out = o.result == 1 ? o.offset + 1 : o.hashes;
    *nonce_out = nonce_base + o.offset;
    return o.result;
}

void cuda_miner_set_work(CudaMiner*, const uint64_t midstate[8], const uint64_t*)
{
    const std::lock_guard<std::mutex> lock(g_script->mutex);
    std::memcpy(g_script->midstate, midstate, sizeof g_script->midstate);
}

void cuda_miner_interrupt(CudaMiner*)
{
    const std::lock_guard<std::mutex> lock(g_script->mutex);
    g_script->interrupted = true;
}

const char* cuda_miner_error(const CudaMiner*) { return "scripted failure"; }
void cuda_miner_destroy(CudaMiner* m) { delete m; }
void cuda_device_info(int, char* name, size_t size, int* sm_count, uint64_t* total_mem)
{
    std::snprintf(name, size, "scripted");
    *sm_count = 1;
    *total_mem = 0;
}
int cuda_device_health(int, WpDeviceHealth*) { return 0; }
const char* cuda_engine_architectures(void) { return ""; }
int cuda_search_layout(int, int, int* resident_blocks)
{
    *resident_blocks = 0;
    return 0;
}

} // extern "C"

namespace {

constexpr uint32_t HALF = 0x80000000u;

std::shared_ptr<const TemplateWork> make_template(uint32_t curtime)
{
    BlockTemplate t;
    t.previousblockhash = std::string(63, '0') + "7";
    t.bits_hex = "207fffff";
    t.bits = 0x207fffff;
    t.version = 0x20000000;
    t.curtime = curtime;
    t.height = 1001;
    t.coinbasevalue = 5000000000;
    t.valid = true;
    auto out = std::make_shared<TemplateWork>();
    std::string why;
    EXPECT_TRUE(prepare_template(t, *out, why)) << why;
    return out;
}

class Worker : public testing::Test {
protected:
    static constexpr ExtraNonces kExtra{7, 3};

    void SetUp() override
    {
        g_script = &script_;
        worker_ = std::make_unique<DeviceWorker>(0, new CudaMiner, parts_, kExtra, events_);
    }
    void TearDown() override
    {
        script_.finish();
        worker_.reset();
        g_script = nullptr;
    }

    // The header a device on this template with this extra nonce searches.
    MiningWork expected(const TemplateWork& t, uint32_t extra_nonce)
    {
        MiningWork w;
        build_work(parts_, extra_nonce, t, w);
        return w;
    }
    static void expect_searches(const Launch& l, const MiningWork& w, uint32_t nonce_base)
    {
        EXPECT_EQ(std::memcmp(l.midstate, w.midstate, sizeof l.midstate), 0) << "midstate";
        EXPECT_EQ(l.w8, w.w8);
        EXPECT_EQ(l.w9_base, w.w9_base);
        EXPECT_EQ(l.nonce_base, nonce_base);
    }

    Script script_;
    CoinbaseParts parts_{{0x51}, "test", {0x52}};
    DeviceEvents events_;
    std::unique_ptr<DeviceWorker> worker_;
};

// New work that arrives while a launch runs out the header's last nonces is
// what the device mines next, on the next extra nonce of its own sequence.
TEST_F(Worker, WorkGivenDuringTheLaunchThatRunsOutIsMinedNext)
{
    const auto first = make_template(1000);
    const auto second = make_template(2000);
    worker_->mine(first);
    expect_searches(script_.launch(0), expected(*first, 7), 0);
    script_.end_launch({0, HALF, 0});
    expect_searches(script_.launch(1), expected(*first, 7), HALF);
    worker_->mine(second);
    script_.end_launch({0, HALF, 0}); // the header's last nonces
    expect_searches(script_.launch(2), expected(*second, 7 + 3), 0);
    script_.end_launch({1, 0, 42});
    DeviceEvent e;
    ASSERT_TRUE(events_.pop(e, std::chrono::seconds(20)));
    EXPECT_EQ(e.kind, DeviceEventKind::found);
    EXPECT_EQ(e.nonce, 42u);
    EXPECT_EQ(e.work->extra_nonce, 7u + 3u);
    EXPECT_EQ(std::memcmp(e.work->header, expected(*second, 10).header, 80), 0);
    expect_searches(script_.launch(3), expected(*second, 10), 43);
}

// A header of its own runs through the extra nonces first, first + step ...
// and a template that gives the same header goes on where the device is,
// while a new header starts at nonce 0.
TEST_F(Worker, ANewHeaderStartsAtZeroAndTheSameHeaderGoesOn)
{
    const auto first = make_template(1000);
    worker_->mine(first);
    expect_searches(script_.launch(0), expected(*first, 7), 0);
    script_.end_launch({0, 0xFFFFFFFFu, 0});
    expect_searches(script_.launch(1), expected(*first, 7), 0xFFFFFFFFu);
    script_.end_launch({0, 4096, 0}); // through the wrap
    expect_searches(script_.launch(2), expected(*first, 10), 0);
    script_.end_launch({0, 1000, 0});
    expect_searches(script_.launch(3), expected(*first, 10), 1000);

    // The node's cached template, fetched again.
    worker_->mine(make_template(1000));
    script_.end_launch({0, 500, 0});
    expect_searches(script_.launch(4), expected(*first, 10), 1500);

    const auto later = make_template(1030);
    worker_->mine(later);
    script_.end_launch({0, 500, 0});
    expect_searches(script_.launch(5), expected(*later, 10), 0);
}

// A paused device launches nothing until it is given a template again.
TEST_F(Worker, APausedDeviceWaits)
{
    const auto first = make_template(1000);
    worker_->mine(first);
    script_.launch(0);
    worker_->mine(nullptr);
    script_.end_launch({0, 4096, 0});
    worker_->stop();
    EXPECT_EQ(script_.count(), 1u);
    EXPECT_EQ(worker_->hashes(), 4096u);
}

// A hold cuts the launch in progress short (a hot card must not wait out a
// long launch), launches nothing while it lasts, and keeps the work: once
// released the device goes on where it was.
TEST_F(Worker, AHoldInterruptsTheLaunchAndKeepsTheWork)
{
    const auto first = make_template(1000);
    worker_->mine(first);
    script_.launch(0);
    worker_->hold(true);
    {
        const std::lock_guard<std::mutex> lock(script_.mutex);
        EXPECT_TRUE(script_.interrupted) << "the running launch was not interrupted";
    }
    script_.end_launch({0, 4096, 0});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(script_.count(), 1u) << "launched while held";
    worker_->hold(false);
    expect_searches(script_.launch(1), expected(*first, 7), 4096);
}

TEST_F(Worker, AFailureIsReportedAndEndsTheWorker)
{
    worker_->mine(make_template(1000));
    script_.launch(0);
    script_.end_launch({-1, 0, 0});
    DeviceEvent e;
    ASSERT_TRUE(events_.pop(e, std::chrono::seconds(20)));
    EXPECT_EQ(e.kind, DeviceEventKind::failed);
    EXPECT_EQ(e.error, "scripted failure");
    worker_->stop();
    EXPECT_EQ(script_.count(), 1u);
}

} // namespace
