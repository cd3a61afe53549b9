#include "rate_history.h"

#include <nlohmann/json.hpp>

#include <utility>

RateHistory::RateHistory(size_t capacity) : ring_(capacity > 0 ? capacity : 1) {}

void RateHistory::add(RateSample sample)
{
    ring_[next_] = std::move(sample);
    next_ = (next_ + 1) % ring_.size();
    if (size_ < ring_.size()) ++size_;
}

std::vector<RateSample> RateHistory::samples() const
{
    std::vector<RateSample> out;
    out.reserve(size_);
    const size_t first = (next_ + ring_.size() - size_) % ring_.size();
    for (size_t i = 0; i < size_; ++i) out.push_back(ring_[(first + i) % ring_.size()]);
    return out;
}

std::string history_json(const std::vector<RateSample>& samples, const std::vector<int>& device_ids)
{
    nlohmann::json list = nlohmann::json::array();
    for (const RateSample& s : samples)
        list.push_back({{"t", s.unix_s}, {"total", s.total}, {"devices", s.devices}});
    const nlohmann::json doc = {
        {"interval_s", HISTORY_INTERVAL_S}, {"devices", device_ids}, {"samples", list}};
    return doc.dump() + "\n";
}
