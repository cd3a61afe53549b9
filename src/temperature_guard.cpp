#include "temperature_guard.h"

#include <cstdio>

#include "session.h"
#include "shell.h"

namespace {

constexpr int32_t TEMP_HYSTERESIS = 5;

} // namespace

void report_unwatched_devices(int32_t limit, const std::vector<Device>& devices)
{
    if (limit <= 0) return;
    for (const Device& d : devices) {
        if (read_device(d.setup.device).temperature_c) continue;
        std::printf("  [!] GPU #%d has no temperature reading: the limit of %d C cannot be "
                    "applied to it\n",
                    d.setup.device, limit);
    }
}

void apply_temperature_limit(int32_t limit, std::vector<Device>& devices)
{
    if (limit <= 0) return;
    for (Device& d : devices) {
        if (d.failed) continue;
        const std::optional<int32_t> celsius = read_device(d.setup.device).temperature_c;
        if (!celsius) continue;
        const bool hot = d.hot ? *celsius > limit - TEMP_HYSTERESIS : *celsius >= limit;
        if (hot == d.hot) continue;
        d.hot = hot;
        d.worker->hold(hot);
        std::printf(hot ? "\n  [!] GPU #%d at %d C: paused\n" : "\n  [+] GPU #%d at %d C: resumed\n",
                    d.setup.device, *celsius);
    }
}
