// Several devices in one session: each mines a header of its own (its own
// extra nonce in the coinbase), while this thread alone talks to the node,
// checks and submits what they find and prints.
#pragma once

#include <cstdint>
#include <vector>

#include "../kernels/whirlpool_cuda.h"
#include "mining_work.h"
#include "shell.h"
#include "tip_watcher.h"

struct RigDevice {
    DeviceSetup setup;
    CudaMiner* miner; // able to mine; the rig destroys it
};

// Runs until a stop signal or until every device has failed; prints the
// summary and returns the exit status (1 when every device failed).
int run_rig(RpcClient& client, const TipWatcher& tips, const CoinbaseParts& parts,
            const std::vector<RigDevice>& devices, uint32_t extra_nonce_base);
