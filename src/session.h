// One mining session for any number of devices: each device mines on a
// thread of its own and never waits for anyone; the template source, the
// tip watcher and the block sender each talk to the node on threads of
// their own. This thread only schedules: it hands templates to the devices
// and finds to the sender, follows the chain's tip, and keeps its duties
// (temperature limit, statistics, the API's snapshot, the log, the stop
// signal) at least ten times a second, whatever the node is doing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api_server.h"
#include "block_sender.h"
#include "device_worker.h"
#include "session_reports.h"
#include "shell.h"
#include "template_source.h"
#include "tip_watcher.h"

struct Device {
    DeviceSetup setup;
    std::string name;
    std::unique_ptr<DeviceWorker> worker;
    bool failed = false;
    bool hot = false; // held at the temperature limit until it cools down
};

struct Session {
    TemplateSource& templates;
    BlockSender& sender;
    const TipWatcher& tips;
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
    // The chain moved past the parent: the devices wait for the template on
    // the new tip.
    bool paused = false;
    SteadyClock::time_point asked_at{}; // the last template request
    bool template_wanted = false;       // asked for, not come yet
    SteadyClock::time_point template_requested_at{}; // of the template in use
    std::optional<SteadyClock::time_point> template_received_at{};
    // Degrees C at which a device stops launching (0: none).
    int32_t temp_limit = 0;
    ApiServer* api = nullptr; // the monitoring API, when asked for
    std::string node_url{};   // without credentials: the API shows it
    Reports reports{};
    SteadyClock::time_point start{};
    // When the devices halted at the stop: the summary's time runs to here.
    std::optional<SteadyClock::time_point> halted_at{};

    // The device as the found-block box names it: only among several.
    int found_by(size_t i) const { return several ? devices[i].setup.device : -1; }
};

// Runs until a stop or until every device has failed; returns the status.
int run_session(Session& s);

// "Error: ..." for a device, named among several.
void print_device_error(bool several, int device, const std::string& error);
