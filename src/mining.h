// The mining session: templates from the node, work for the devices,
// statistics, chain-tip polling, and the verification and submission of
// every block found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings.h"
#include "shell.h"

// Runs until a stop signal. Returns the process's exit status: 0, or 1
// when the node client cannot be created or every device has failed. The
// payout address must decode (the shell checks it before any node request).
int run_miner(const RunSettings& settings, const std::vector<DeviceSetup>& devices);
