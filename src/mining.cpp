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
#include "block_notifier.h"
#include "block_sender.h"
#include "mining_work.h"
#include "rpc_client.h"
#include "session.h"
#include "shell.h"
#include "template_source.h"
#include "tip_watcher.h"

namespace {

constexpr auto POLL_INTERVAL = std::chrono::seconds(5);

// Each of the session's node duties has a connection of its own, all with
// the same login. failures_count: whether its failures say the node is down
// (a block's submission may fail for its own reasons).
std::unique_ptr<RpcClient> node_client(const RunSettings& settings, NodeContact& contact,
                                       bool failures_count)
{
    auto client = std::make_unique<RpcClient>(settings.rpc_url, settings.rpc_user,
                                              settings.rpc_password);
    if (!settings.rpc_cookie.empty()) client->use_cookie(settings.rpc_cookie);
    client->report_to(&contact, failures_count);
    return client;
}

} // namespace

int run_miner(const RunSettings& settings, const std::vector<DeviceSetup>& devices)
{
    const int32_t threads = settings.threads;
    const std::string& rpc_url = settings.rpc_url;
    const std::string& address = settings.address;
    const std::string& coinbase_message = settings.coinbase;
    print_banner("Solo Mining");
    for (const DeviceSetup& d : devices) print_device_line("GPU ", d.device);
    if (same_grid(devices)) {
        std::printf("  Grid:    %d blocks x %d threads\n", devices.front().blocks, threads);
    } else {
        for (const DeviceSetup& d : devices)
            std::printf("  Grid #%d: %d blocks x %d threads\n", d.device, d.blocks, threads);
    }
    std::printf("  RPC:     %s\n", rpc_url.c_str());
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
    if (parts.dev_fee_script.empty()) {
        std::printf("  [!] WARNING: Dev fee address decode failed\n");
    } else {
        std::printf("  [*] Dev fee: 1%% per block (%zu-byte script)\n", parts.dev_fee_script.size());
    }
    if (parts.message.size() < coinbase_message.size()) {
        std::printf("  [!] Coinbase message cut to %zu of %zu bytes: a coinbase input script "
                    "holds at most %zu bytes, %zu of them for the message\n",
                    parts.message.size(), coinbase_message.size(), MAX_COINBASE_SCRIPT,
                    MAX_COINBASE_MESSAGE);
    }

    // Declared before its users, so that it outlives them.
    NodeContact contact;
    std::unique_ptr<TipWatcher> tips;
    std::unique_ptr<TemplateSource> templates;
    std::unique_ptr<BlockSender> sender;
    try {
        tips = std::make_unique<TipWatcher>(node_client(settings, contact, true), POLL_INTERVAL);
        templates = std::make_unique<TemplateSource>(node_client(settings, contact, true));
        sender = std::make_unique<BlockSender>(node_client(settings, contact, false), contact);
    } catch (const std::exception& e) {
        std::printf("Error: cannot create the node client: %s\n", e.what());
        destroy_ready();
        return 1;
    }
    // After the tip watcher, which it wakes.
    std::unique_ptr<BlockNotifier> notifier;
    if (!settings.zmq.empty()) {
        notifier = std::make_unique<BlockNotifier>([&tips] { tips->poll_now(); });
        std::string why;
        if (!notifier->start(settings.zmq, why)) {
            std::printf("Error: cannot subscribe to %s: %s\n", settings.zmq.c_str(), why.c_str());
            destroy_ready();
            return 1;
        }
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
    Session s{*templates, *sender, *tips, devices.size() > 1};
    s.temp_limit = settings.temp_limit;
    s.api = api.get();
    s.node_url = url_without_credentials(rpc_url);
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
