// What every activity shares: the stop flag and the program's fixed texts.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../kernels/whirlpool_image.h"
#include "../kernels/whirlpool_cuda.h"

// The program's version, as the banner, the help and the API give it.
constexpr const char* PROGRAM_VERSION = "1.1";

// True until SIGINT or SIGTERM; every long loop tests it and winds down in order.
extern std::atomic<bool> g_running;
// True after a second SIGINT or SIGTERM: what a stop still has in hand (the
// last submissions of a mining session) is given up at once.
extern std::atomic<bool> g_stop_at_once;

void signal_handler(int signal_number);
// Sleeps for d, or less when a stop comes: true when it slept it all.
bool wait_while_running(std::chrono::milliseconds d);
void print_banner(const char* title);
void print_usage(const char* program);
// One line: the program, its version, the commit it was built from and the
// GPU architectures it carries code for.
void print_version(const char* program);
// A device's sensors: a reading the device does not give is empty.
struct DeviceReadings {
    std::optional<int32_t> temperature_c;
    std::optional<int32_t> power_w;
    std::optional<int32_t> sm_clock_mhz;
};
// What the engine read, the one place that tells a reading from its absence.
DeviceReadings readings_of(const WpDeviceHealth& health);
DeviceReadings read_device(int device);
// "63 C, 285 W, 1980 MHz" from the readings there are; empty without any.
std::string format_health(const DeviceReadings& readings);
// The device's readings formatted, or empty where there are none.
std::string device_health_text(int device);
// "  <prefix>#N: NAME (S SMs, M MB)", with " | <health>" after it when asked
// for and the device has readings.
void print_device_line(const char* prefix, int device, bool with_health = false);

// One device an activity drives, with its grid (automatic sizing done).
struct DeviceSetup {
    int32_t device;
    int32_t blocks;
};
// The table layout a device runs for blocks of `threads` threads, and how
// many such blocks a multiprocessor holds (0: no such limit).
struct SearchLayout {
    WpLayout layout;
    int resident_blocks;
};
SearchLayout search_layout(int device, int threads);

// True when every device has the grid of the first: one grid line says it all.
bool same_grid(const std::vector<DeviceSetup>& devices);
