// The program's entry: settings, device checks, grid sizing and the choice
// of activity.
#include <csignal>
#include <cstdio>
#include <vector>

#include "../kernels/whirlpool_cuda.h"
#include "address.h"
#include "benchmark.h"
#include "console.h"
#include "log_file.h"
#ifdef MARLVANE_HAVE_RPC
#include "mining.h"
#endif
#include "settings.h"
#include "shell.h"

namespace {


void load_settings(int argc, char** argv, RunSettings& s)
{
    s.config_path = config_path_from_args(argc, argv);
    if (s.config_path.empty()) s.config_path = find_default_config(argc > 0 ? argv[0] : nullptr);
    if (s.config_path.empty()) return;
    ConfigMap config;
    if (!read_config_file(s.config_path, config)) {
        std::printf("  [!] Cannot open config: %s\n", s.config_path.c_str());
        return;
    }
    std::printf("  [+] Loaded config: %s (%d settings)\n", s.config_path.c_str(),
                static_cast<int>(config.size()));
    apply_config(config, s);
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGINT, signal_handler);
    std::signal(SIGTERM, signal_handler);
    // A daemon's convention: SIGHUP opens the log file again (after a rotation).
    std::signal(SIGHUP, [](int) { request_log_reopen(); });
    start_console();

    const char* program = argc > 0 && argv[0] ? argv[0] : "";
    // One line and nothing else, not even the configuration's.
    RunSettings plain;
    if (apply_options(argc, argv, plain).status == OptionStatus::version) {
        print_version(program);
        return 0;
    }
    RunSettings s;
    load_settings(argc, argv, s);
    const OptionResult options = apply_options(argc, argv, s);
    if (options.status == OptionStatus::help) {
        print_usage(program);
        return 0;
    }
    if (options.status == OptionStatus::unknown) {
        std::printf("Unknown option: %s\n", options.argument.c_str());
        print_usage(program);
        return 1;
    }
    // A value the user meant, refused now rather than silently read as none.
    if (!s.refused.empty()) {
        std::printf("Error: %s\n", s.refused.begin()->second.c_str());
        return 1;
    }
    std::string log_error;
    if (!s.log_path.empty() && !start_log(s.log_path, log_error)) {
        std::printf("Error: cannot open the log file %s: %s\n", s.log_path.c_str(), log_error.c_str());
        return 1;
    }

    const int count = cuda_device_count();
    if (count == 0) {
        std::printf("Error: No CUDA devices found.\n");
        return 1;
    }
    if (s.list_gpus) {
        list_devices(count);
        return 0;
    }
    const DeviceChoice choice = choose_devices(s.device, count);
    if (!choice.error.empty()) {
        std::printf("Error: %s\n", choice.error.c_str());
        return 1;
    }
    if (s.threads < 1 || s.threads > WP_MAX_THREADS) {
        std::printf("Error: threads per block must be 1 to %d (got %d)\n", WP_MAX_THREADS,
                    s.threads);
        return 1;
    }
    std::vector<DeviceSetup> devices;
    for (const int32_t device : choice.ordinals) {
        DeviceSetup d{device, s.blocks};
        if (d.blocks <= 0) {
            char name[256];
            int sm_count = 0;
            uint64_t total_mem = 0;
            cuda_device_info(device, name, sizeof name, &sm_count, &total_mem);
            d.blocks = automatic_blocks(sm_count, search_layout(device, s.threads).resident_blocks);
        }
        devices.push_back(d);
    }
    if (s.benchmark) {
        return run_benchmark(devices, s.threads);
    }
    // A pool builds its own coinbase: the address is for a node's.
    const bool node = needs_address(s);
    if (node && (s.address.empty() || s.address == PLACEHOLDER_ADDRESS)) {
        std::printf("Error: mining address not set!\n"
                    "  Edit marlvane-miner.conf and set your address=... line,\n"
                    "  or use:  marlvane-gpu-miner -a YOUR_ADDRESS\n");
        return 1;
    }
    // An address that can never be paid is as good as none: said before
    // the node is ever asked for anything.
    if (node && address_to_script(s.address).empty()) {
        std::printf("Error: cannot decode the payout address: %s\n", s.address.c_str());
        return 1;
    }
#ifdef MARLVANE_HAVE_RPC
    return run_miner(s, devices);
#else
    std::printf("Error: this build has no node client (it was configured with -DMARLVANE_RPC=OFF)\n");
    return 1;
#endif
}
