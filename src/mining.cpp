#include "mining.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "../kernels/whirlpool_cuda.h"
#include "api_server.h"
#include "block_builder.h"
#include "mining_work.h"
#include "node_source.h"
#include "pool_source.h"
#include "session.h"
#include "shell.h"
#include "source_list.h"

namespace {

// The source of one URL: a pool for stratum URLs, the node for the others.
std::unique_ptr<WorkSource> open_source(const RunSettings& settings, const std::string& url,
                                        std::string& error)
{
    if (is_pool_url(url))
        return std::make_unique<PoolSource>(
            PoolLogin{url, settings.rpc_user, settings.rpc_password, settings.pool_ca});
    return NodeSource::open(NodeLogin{url, settings.rpc_user, settings.rpc_password,
                                      settings.rpc_cookie, settings.zmq},
                            error);
}

} // namespace

int run_miner(const RunSettings& settings, const std::vector<DeviceSetup>& devices)
{
    const int32_t threads = settings.threads;
    const std::vector<std::string> urls = work_urls(settings);
    const std::string& address = settings.address;
    const std::string& coinbase_message = settings.coinbase;
    // A pool builds the coinbase: the address, the message and the fee are
    // the node's alone.
    const bool node = needs_address(settings);
    print_banner(is_pool_url(urls.front()) ? "Pool Mining" : "Solo Mining");
    for (const DeviceSetup& d : devices) print_device_line("GPU ", d.device);
    if (same_grid(devices)) {
        std::printf("  Grid:    %d blocks x %d threads\n", devices.front().blocks, threads);
    } else {
        for (const DeviceSetup& d : devices)
            std::printf("  Grid #%d: %d blocks x %d threads\n", d.device, d.blocks, threads);
    }
    for (size_t i = 0; i < urls.size(); ++i) {
        const char* label = i > 0 ? "Backup:" : is_pool_url(urls[i]) ? "Pool:  " : "RPC:   ";
        std::printf("  %s  %s\n", label, urls[i].c_str());
    }
    if (!urls.empty() && is_pool_url(urls.front()) && !node)
        std::printf("  Worker:  %s\n\n", settings.rpc_user.c_str());
    else
        std::printf("  Address: %s\n\n", address.c_str());

    // Each device's tables go up right after its handle, while its create
    // has made it this thread's current device. With several devices, one
    // that cannot mine is left out and the others go on.
    std::vector<std::pair<DeviceSetup, CudaMiner*>> ready;
    auto destroy_ready = [&] {
        for (auto& r : ready) cuda_miner_destroy(r.second);
    };
    for (const DeviceSetup& d : devices) {
        CudaMiner* miner = cuda_miner_create(d.device, d.blocks, threads);
        if (*cuda_miner_error(miner) != '\0') {
            print_device_error(devices.size() > 1, d.device, cuda_miner_error(miner));
            cuda_miner_destroy(miner);
            continue;
        }
        cuda_whirlpool_init(WP_T0, WP_RC);
        ready.emplace_back(d, miner);
    }
    if (ready.empty()) return 1;
    if (!hash_sanity_check()) {
        destroy_ready();
        return 0;
    }

    CoinbaseParts parts{address_to_script(address), fit_coinbase_message(coinbase_message),
                        address_to_script(dev_fee_address())};
    if (!node) {
        // Nothing to say of a coinbase that a pool builds.
    } else if (parts.dev_fee_script.empty()) {
        std::printf("  [!] WARNING: Dev fee address decode failed\n");
    } else {
        std::printf("  [*] Dev fee: 1%% per block (%zu-byte script)\n", parts.dev_fee_script.size());
    }
    if (node && parts.message.size() < coinbase_message.size()) {
        std::printf("  [!] Coinbase message cut to %zu of %zu bytes: a coinbase input script "
                    "holds at most %zu bytes, %zu of them for the message\n",
                    parts.message.size(), coinbase_message.size(), MAX_COINBASE_SCRIPT,
                    MAX_COINBASE_MESSAGE);
    }

    // Declared before the session, which takes its work from them.
    SourceList sources(urls, [&settings](const std::string& url, std::string& error) {
        return open_source(settings, url, error);
    });
    std::string source_error;
    if (!sources.start(source_error)) {
        std::printf("Error: %s\n", source_error.c_str());
        destroy_ready();
        return 1;
    }
    // Declared before the session, which publishes to it.
    std::unique_ptr<ApiServer> api;
    if (!settings.api.empty()) {
        api = std::make_unique<ApiServer>();
        std::string why;
        if (!api->start(settings.api, why)) {
            std::printf("Error: cannot start the API on %s: %s\n", settings.api.c_str(), why.c_str());
            destroy_ready();
            return 1;
        }
        std::printf("  [*] API: http://%s/summary and /metrics\n", settings.api.c_str());
    }
    Session s{sources, devices.size() > 1};
    s.temp_limit = settings.temp_limit;
    s.api = api.get();
    // Random for each session, so that two rigs mining to one address on one
    // node search different headers.
    const uint32_t extra_nonce_base = std::random_device{}();
    const uint32_t n = static_cast<uint32_t>(ready.size());
    s.devices.reserve(ready.size());
    for (uint32_t i = 0; i < n; ++i) {
        Device d;
        d.setup = ready[i].first;
        char name[256] = "";
        int sm_count = 0;
        uint64_t memory = 0;
        cuda_device_info(d.setup.device, name, sizeof name, &sm_count, &memory);
        d.name = name;
        d.worker = std::make_unique<DeviceWorker>(i, ready[i].second, parts,
                                                  ExtraNonces{extra_nonce_base + i, n}, s.events);
        s.devices.push_back(std::move(d));
    }
    s.alive = s.devices.size();
    return run_session(s);
}
