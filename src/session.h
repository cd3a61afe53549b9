// One mining session for any number of devices: each device mines on a
// thread of its own and never waits for anyone; the sources of work (the
// node, or a pool) talk to their servers on threads of their own. This
// thread only schedules: it hands work to the devices and finds to their
// source, follows the chain's tip, and keeps its duties (temperature limit,
// statistics, the API's snapshot, the log, the failover, the stop signal)
// at least ten times a second, whatever the servers are doing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api_server.h"
#include "device_worker.h"
#include "session_reports.h"
#include "shell.h"
#include "source_list.h"

struct Device {
    DeviceSetup setup;
    std::string name;
    std::unique_ptr<DeviceWorker> worker;
    bool failed = false;
    bool hot = false; // held at the temperature limit until it cools down
};

struct Session {
    SourceList& sources;
    // Several devices were asked for: the texts name each of them.
    bool several;
    // Declared before the devices that push into it, so that it outlives them.
    DeviceEvents events{};
    std::vector<Device> devices{};
    size_t alive = 0;
    // The newest template the devices were given, and the parent the
    // session mines on: finds on any other are stale.
    std::shared_ptr<const TemplateWork> tmpl{};
    std::string parent{};
    uint8_t prev_hash[32] = {}; // of the work in hand: a new one is a new block
    // The chain moved past the parent, or the pool's jobs are void: the
    // devices wait for new work.
    bool paused = false;
    SteadyClock::time_point asked_at{}; // the last template request
    bool template_wanted = false;       // asked for, not come yet
    SteadyClock::time_point template_requested_at{}; // of the template in use
    std::optional<SteadyClock::time_point> template_received_at{};
    // Degrees C at which a device stops launching (0: none).
    int32_t temp_limit = 0;
    ApiServer* api = nullptr; // the monitoring API, when asked for
    Reports reports{};
    SteadyClock::time_point start{};
    // When the devices halted at the stop: the summary's time runs to here.
    std::optional<SteadyClock::time_point> halted_at{};

    // Every URL refused the worker: the session ends with status 1.
    bool no_source = false;

    // The device as the found-block box names it: only among several.
    int found_by(size_t i) const { return several ? devices[i].setup.device : -1; }
};

// Runs until a stop, until every device has failed, or until no URL can
// serve; returns the status.
int run_session(Session& s);

// "Error: ..." for a device, named among several.
void print_device_error(bool several, int device, const std::string& error);
