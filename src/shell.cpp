#include "shell.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "../kernels/whirlpool_cuda.h"
#include "git_commit.h"

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores to these");
std::atomic<bool> g_running{true};
std::atomic<bool> g_stop_at_once{false};

void signal_handler(int)
{
    // Lock-free atomics only: nothing else is safe in a signal handler.
    if (!g_running.exchange(false)) g_stop_at_once.store(true);
}

bool wait_while_running(std::chrono::milliseconds d)
{
    constexpr auto STEP = std::chrono::milliseconds(20);
    const auto end = std::chrono::steady_clock::now() + d;
    while (g_running.load()) {
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, STEP));
    }
    return false;
}

void print_banner(const char* title)
{
    std::printf("\n");
    std::printf("  +=====================================================+\n");
    std::printf("  |            [*] Marlvane GPU Miner [*]               |\n");
    std::printf("  |            Whirlpool-512 CUDA v%s                  |\n", PROGRAM_VERSION);
    std::printf("  |            %-40s|\n", title);
    std::printf("  +=====================================================+\n\n");
}

void print_version(const char* program)
{
    const char* slash = std::strrchr(program, '/');
    const char* name = slash ? slash + 1 : program;
    const char* archs = cuda_engine_architectures();
    std::printf("%s %s (commit %s, CUDA architectures: %s)\n", *name ? name : "marlvane-miner",
                PROGRAM_VERSION, MARLVANE_GIT_COMMIT, *archs ? archs : "none, a CPU build");
}

void print_usage(const char* program)
{
    std::printf("Marlvane GPU Miner v%s - Whirlpool-512 CUDA\n\n", PROGRAM_VERSION);
    std::printf("Usage: %s [options]\n\n", program);
    std::printf("  -c FILE      Config file (default: marlvane-miner.conf)\n"
                "  -o URL       RPC URL (default http://127.0.0.1:8899)\n"
                "  -u USER      RPC username\n"
                "  -p PASS      RPC password\n"
                "  -a ADDRESS   Mining payout address (required)\n"
                "  -d DEVICE    CUDA device ID, a list (0,2,3) or all (default 0)\n"
                "  -B BLOCKS    Grid blocks (default auto)\n"
                "  -T THREADS   Threads/block (default 256)\n"
                "  --benchmark  Hashrate benchmark only\n"
                "  --list-gpus  List CUDA devices\n"
                "  --cli        Force terminal mode (no GUI)\n"
                "  --rpc-cookie FILE\n"
                "               RPC user and password from the node's cookie file\n"
                "  --log FILE   Append every line printed, with its time, to FILE\n"
                "  --temp-limit C\n"
                "               Pause a GPU at C degrees (50-110) until it cools to C - 5\n"
                "  --api HOST:PORT\n"
                "               Serve /summary (JSON) and /metrics (Prometheus)\n"
                "  --zmq URL    The node's hashblock publisher, e.g. tcp://127.0.0.1:28332\n"
                "  --pool-ca FILE\n"
                "               Certificate authorities that stratum+ssl:// pools are checked against\n"
                "  --version    Show the version, commit and CUDA architectures\n"
                "  -h, --help   Show this help\n"
                "\nCommand-line flags override config file values.\n"
                "Place marlvane-miner.conf next to the .exe for auto-detection.\n"
                "-o stratum+tcp://HOST:PORT (or stratum+ssl://) mines for a pool as worker -u\n"
                "with password -p; each further -o is a backup, tried in order.\n");
}

DeviceReadings readings_of(const WpDeviceHealth& health)
{
    // The engine gives -1 for a reading it does not have; 0 is a reading.
    auto reading = [](int32_t value) { return value >= 0 ? std::optional<int32_t>(value) : std::nullopt; };
    return {reading(health.temperature_c), reading(health.power_w), reading(health.sm_clock_mhz)};
}

DeviceReadings read_device(int device)
{
    WpDeviceHealth health{-1, -1, -1};
    if (cuda_device_health(device, &health) != 1) return {};
    return readings_of(health);
}

std::string format_health(const DeviceReadings& readings)
{
    struct Field {
        const std::optional<int32_t>& value;
        const char* unit;
    };
    const Field fields[] = {{readings.temperature_c, "C"}, {readings.power_w, "W"},
                            {readings.sm_clock_mhz, "MHz"}};
    std::string text;
    for (const Field& f : fields) {
        if (!f.value) continue;
        if (!text.empty()) text += ", ";
        text += std::to_string(*f.value) + " " + f.unit;
    }
    return text;
}

std::string device_health_text(int device)
{
    return format_health(read_device(device));
}

void print_device_line(const char* prefix, int device, bool with_health)
{
    char name[256];
    int sm_count = 0;
    uint64_t total_mem = 0;
    cuda_device_info(device, name, sizeof name, &sm_count, &total_mem);
    const std::string health = with_health ? device_health_text(device) : "";
    std::printf("  %s#%d: %s (%d SMs, %zu MB)%s%s\n", prefix, device, name, sm_count,
                static_cast<size_t>(total_mem >> 20), health.empty() ? "" : " | ",
                health.c_str());
}

SearchLayout search_layout(int device, int threads)
{
    SearchLayout s{};
    s.layout = static_cast<WpLayout>(cuda_search_layout(device, threads, &s.resident_blocks));
    return s;
}

bool same_grid(const std::vector<DeviceSetup>& devices)
{
    for (const DeviceSetup& d : devices) {
        if (d.blocks != devices.front().blocks) return false;
    }
    return true;
}
