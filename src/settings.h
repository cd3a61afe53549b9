// Run settings: built-in defaults, then the configuration file, then the
// command line.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

struct RunSettings {
    std::string rpc_url = "http://127.0.0.1:8899";
    // Several URLs to mine from in turn (-o given again, or the
    // configuration's url lines): the first that serves is used.
    std::vector<std::string> urls;
    std::string pool_ca; // trusted authorities for stratum+ssl; empty: the system's
    std::string rpc_user = "rpcuser";
    std::string rpc_password = "hollowgates";
    std::string rpc_cookie; // the node's cookie file: its USER:PASSWORD wins over the two above
    std::string log_path;   // every printed line goes here too, with its time
    int32_t temp_limit = 0; // degrees C at which a device pauses; 0: none
    std::string api;        // HOST:PORT of the monitoring API; empty: none
    std::string zmq;        // the node's hashblock publisher; empty: polls alone
    std::string address;
    std::string coinbase;
    std::string config_path;
    std::string device = "0"; // one ordinal, a comma-separated list or "all"
    int32_t blocks = 0; // 0 or less: automatic, whole waves near 16 per multiprocessor
    int32_t threads = 256;
    bool benchmark = false;
    bool list_gpus = false;
    // Values the rig options refused, by option, each with the words to print
    // after "Error: ": a later good value of the same option takes its place.
    std::map<std::string, std::string> refused;
};

// The URLs to take work from, in order: the list, or the one rpc_url.
std::vector<std::string> work_urls(const RunSettings& settings);
// stratum+tcp://HOST:PORT or stratum+ssl://HOST:PORT: a pool, not a node.
bool is_pool_url(const std::string& url);
// Whether a node is among the URLs: only a node's coinbase pays the address.
bool needs_address(const RunSettings& settings);

// The rig options' values, checked where they are read, each "" when good
// (an empty value means the option is off) or why not.
std::string check_temp_limit(const std::string& text, int32_t& degrees);
std::string check_api_address(const std::string& text);
std::string check_zmq_url(const std::string& text);
// "HOST:PORT" (an IPv6 host in brackets) split into its parts; false when
// the text is not that, or the port is not 1 to 65535.
bool split_host_port(const std::string& text, std::string& host, int& port);

constexpr const char* CONFIG_FILE_NAME = "marlvane-miner.conf";
constexpr const char* PLACEHOLDER_ADDRESS = "PUT_YOUR_MARLVANE_ADDRESS_HERE";

// The devices a "-d" text names, in its order: one ordinal (read as strtol
// reads it, so "2x" is 2), ordinals separated by commas, or "all". When the
// text is refused, ordinals is empty and error says why, ready to print
// after "Error: ".
struct DeviceChoice {
    std::vector<int32_t> ordinals;
    std::string error;
};
DeviceChoice choose_devices(const std::string& text, int32_t count);

using ConfigMap = std::map<std::string, std::string>;

// key=value lines; see settings.cpp for the exact trimming rules.
ConfigMap parse_config(std::istream& in);
// False when the path cannot be opened as a file (a directory included).
bool read_config_file(const std::string& path, ConfigMap& out);
void apply_config(const ConfigMap& config, RunSettings& settings);

// First pass: the last "-c FILE" of the arguments, or empty.
std::string config_path_from_args(int argc, char** argv);
// The default file beside the program, else in the working directory; empty if neither opens.
std::string find_default_config(const char* argv0);

enum class OptionStatus { run, help, version, unknown };
struct OptionResult {
    OptionStatus status = OptionStatus::run;
    std::string argument; // the unknown option
};
// Second pass: the options over the configuration, in argument order.
OptionResult apply_options(int argc, char** argv, RunSettings& settings);
