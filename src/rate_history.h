// The hash rate over the last day, for the dashboard's curves: one sample
// a minute, each device's rate and the total, in a ring of fixed size, so
// that a rig that runs for months holds a day and never more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t HISTORY_SAMPLES = 24 * 60;
constexpr int64_t HISTORY_INTERVAL_S = 60;

struct RateSample {
    int64_t unix_s = 0;           // when it was taken, by the wall clock
    double total = 0;             // H/s over the minute before, every device
    std::vector<double> devices;  // H/s of each device, in the API's order
};

class RateHistory {
public:
    explicit RateHistory(size_t capacity = HISTORY_SAMPLES);
    // The oldest sample goes once the ring is full.
    void add(RateSample sample);
    // Oldest first.
    std::vector<RateSample> samples() const;
    size_t size() const { return size_; }
    size_t capacity() const { return ring_.size(); }

private:
    std::vector<RateSample> ring_;
    size_t next_ = 0;
    size_t size_ = 0;
};

// GET /history: {"interval_s":60,"devices":[ids],"samples":[{"t":..,"total":..,"devices":[..]},..]}
std::string history_json(const std::vector<RateSample>& samples, const std::vector<int>& device_ids);
