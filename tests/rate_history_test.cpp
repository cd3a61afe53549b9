#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "rate_history.h"

namespace {

RateSample minute(int64_t i)
{
    return {1760000000 + 60 * i, 1e9 + static_cast<double>(i), {5e8, 5e8 + static_cast<double>(i)}};
}

TEST(RateHistory, KeepsTheLastDayOldestFirst)
{
    RateHistory h;
    EXPECT_EQ(h.capacity(), 24u * 60u);
    EXPECT_TRUE(h.samples().empty());
    for (int64_t i = 0; i < 3; ++i) h.add(minute(i));
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h.samples().front().unix_s, minute(0).unix_s);
    EXPECT_EQ(h.samples().back().total, minute(2).total);
}

// A day and a half of samples, the clock moved a minute each: the ring
// stays at a day, and the oldest are the ones gone.
TEST(RateHistory, StaysAtItsSizePastADay)
{
    RateHistory h;
    const int64_t samples = 36 * 60;
    std::string first_day;
    for (int64_t i = 0; i < samples; ++i) {
        h.add(minute(i));
        if (i == 24 * 60 - 1) first_day = history_json(h.samples(), {0, 1});
    }
    EXPECT_EQ(h.size(), h.capacity());
    const std::vector<RateSample> kept = h.samples();
    ASSERT_EQ(kept.size(), 24u * 60u);
    EXPECT_EQ(kept.front().unix_s, minute(samples - 24 * 60).unix_s);
    EXPECT_EQ(kept.back().unix_s, minute(samples - 1).unix_s);
    for (size_t i = 1; i < kept.size(); ++i) ASSERT_EQ(kept[i].unix_s - kept[i - 1].unix_s, 60);
    // The document is as long after a day and a half as after one.
    const std::string later = history_json(kept, {0, 1});
    EXPECT_EQ(later.size(), first_day.size()); // the same count of numbers of the same widths
}

TEST(RateHistory, TheDocument)
{
    RateHistory h(2);
    h.add(minute(0));
    h.add(minute(1));
    h.add(minute(2));
    const nlohmann::json doc = nlohmann::json::parse(history_json(h.samples(), {3, 7}));
    EXPECT_EQ(doc["interval_s"], 60);
    EXPECT_EQ(doc["devices"], nlohmann::json::array({3, 7}));
    ASSERT_EQ(doc["samples"].size(), 2u);
    EXPECT_EQ(doc["samples"][0]["t"], minute(1).unix_s);
    EXPECT_EQ(doc["samples"][1]["total"], minute(2).total);
    EXPECT_EQ(doc["samples"][1]["devices"][1], 5e8 + 2);
    EXPECT_EQ(history_json({}, {}), "{\"devices\":[],\"interval_s\":60,\"samples\":[]}\n");
}

} // namespace
