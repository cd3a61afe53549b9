#include "settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// The configuration key that may be given on several lines.
constexpr const char* URL_KEY = "url";

int32_t to_int32(const std::string& text)
{
    return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

bool open_regular(const std::string& path, std::ifstream& in)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    in.open(path, std::ios::binary);
    return in.is_open();
}

// Degrees C a limit may be set to: below the range a card would stay paused
// in a warm room; above it the card throttles on its own.
constexpr int32_t TEMP_LIMIT_MIN = 50;
constexpr int32_t TEMP_LIMIT_MAX = 110;

bool parse_port(const std::string& text, int& port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = to_int32(text);
    return port >= 1 && port <= 65535;
}

// The options that check their values, from the configuration or the
// command line alike: apply stores a good value and says why a bad one is not.
struct CheckedOption {
    const char* flag;
    const char* key;
    std::string (*apply)(const std::string& value, RunSettings& s);
};

const CheckedOption CHECKED_OPTIONS[] = {
    {"--temp-limit", "temp_limit",
     [](const std::string& value, RunSettings& s) { return check_temp_limit(value, s.temp_limit); }},
    {"--api", "api",
     [](const std::string& value, RunSettings& s) {
         std::string why = check_api_address(value);
         if (why.empty()) s.api = value;
         return why;
     }},
    {"--zmq", "zmq",
     [](const std::string& value, RunSettings& s) {
         std::string why = check_zmq_url(value);
         if (why.empty()) s.zmq = value;
         return why;
     }},
};

// where: the value as the user gave it ("--api x" or "api=x in FILE").
void take_checked(const CheckedOption& option, const std::string& value, const std::string& where,
                  RunSettings& s)
{
    const std::string why = option.apply(value, s);
    if (why.empty()) {
        s.refused.erase(option.key);
    } else {
        s.refused[option.key] = where + ": " + why;
    }
}

} // namespace

bool split_host_port(const std::string& text, std::string& host, int& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || !parse_port(text.substr(colon + 1), port))
        return false;
    host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false; // an IPv6 address without its brackets
    }
    return host.find_first_of(" \t/") == std::string::npos;
}

std::string check_temp_limit(const std::string& text, int32_t& degrees)
{
    const bool digits = !text.empty() && text.size() <= 4 &&
                        text.find_first_not_of("0123456789") == std::string::npos;
    const int32_t value = digits ? to_int32(text) : -1;
    if (value != 0 && (value < TEMP_LIMIT_MIN || value > TEMP_LIMIT_MAX))
        return "the limit must be whole degrees C from " + std::to_string(TEMP_LIMIT_MIN) + " to " +
               std::to_string(TEMP_LIMIT_MAX) + ", or 0 for none";
    degrees = value;
    return "";
}

std::string check_api_address(const std::string& text)
{
    std::string host;
    int port = 0;
    if (text.empty() || split_host_port(text, host, port)) return "";
    return "expected HOST:PORT, such as 127.0.0.1:4068";
}

std::string check_zmq_url(const std::string& text)
{
    static const std::string TCP = "tcp://", IPC = "ipc://";
    std::string host;
    int port = 0;
    if (text.empty()) return "";
    if (text.compare(0, TCP.size(), TCP) == 0 && split_host_port(text.substr(TCP.size()), host, port))
        return "";
    if (text.compare(0, IPC.size(), IPC) == 0 && text.size() > IPC.size()) return "";
    return "expected tcp://HOST:PORT, such as tcp://127.0.0.1:28332";
}

DeviceChoice choose_devices(const std::string& text, int32_t count)
{
    DeviceChoice choice;
    auto not_found = [&](int32_t device) {
        choice.ordinals.clear();
        choice.error = "device " + std::to_string(device) + " not found (" + std::to_string(count) +
                       " available)";
        return choice;
    };
    if (text == "all") {
        for (int32_t d = 0; d < count; ++d) choice.ordinals.push_back(d);
        return choice;
    }
    if (text.find(',') == std::string::npos) {
        const int32_t device = to_int32(text);
        if (device < 0 || device >= count) return not_found(device);
        choice.ordinals.push_back(device);
        return choice;
    }
    // A list is strict: every entry a plain number, each one once.
    size_t start = 0;
    while (true) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string entry = text.substr(start, comma - start);
        const bool digits = !entry.empty() && entry.size() <= 9 &&
                            entry.find_first_not_of("0123456789") == std::string::npos;
        if (!digits) {
            choice.ordinals.clear();
            choice.error = "bad device list \"" + text +
                           "\" (give one device number, numbers separated by commas, or all)";
            return choice;
        }
        const int32_t device = to_int32(entry);
        for (int32_t seen : choice.ordinals) {
            if (seen == device) {
                choice.ordinals.clear();
                choice.error = "device " + std::to_string(device) + " is listed twice in \"" + text + "\"";
                return choice;
            }
        }
        choice.ordinals.push_back(device);
        if (comma == text.size()) break;
        start = comma + 1;
    }
    for (int32_t device : choice.ordinals) {
        if (device >= count) return not_found(device);
    }
    return choice;
}

ConfigMap parse_config(std::istream& in)
{
    ConfigMap config;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue; // only the very first character makes a comment
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        // Only spaces, and only on the inner sides of the "=": a key keeps its
        // leading spaces and a value its trailing ones.
        size_t key_end = eq;
        while (key_end > 0 && line[key_end - 1] == ' ') --key_end;
        size_t value_start = eq + 1;
        while (value_start < line.size() && line[value_start] == ' ') ++value_start;
        const std::string key = line.substr(0, key_end);
        std::string& value = config[key];
        // url lines add up, one URL a line, in order.
        if (key == URL_KEY && !value.empty())
            value += '\n' + line.substr(value_start);
        else
            value = line.substr(value_start);
    }
    return config;
}

bool read_config_file(const std::string& path, ConfigMap& out)
{
    std::ifstream in;
    if (!open_regular(path, in)) return false;
    out = parse_config(in);
    return true;
}

void apply_config(const ConfigMap& config, RunSettings& s)
{
    auto set_text = [&](const char* key, std::string& field) {
        const auto it = config.find(key);
        if (it != config.end()) field = it->second;
    };
    auto set_int = [&](const char* key, int32_t& field) {
        const auto it = config.find(key);
        if (it != config.end()) field = to_int32(it->second);
    };
    set_text("rpc_url", s.rpc_url);
    const auto urls = config.find(URL_KEY);
    if (urls != config.end()) {
        s.urls.clear();
        std::istringstream lines(urls->second);
        for (std::string url; std::getline(lines, url);)
            if (!url.empty()) s.urls.push_back(url);
    }
    set_text("pool_ca", s.pool_ca);
    set_text("rpc_user", s.rpc_user);
    set_text("rpc_password", s.rpc_password);
    set_text("rpc_cookie", s.rpc_cookie);
    set_text("log", s.log_path);
    set_text("address", s.address);
    set_text("coinbase", s.coinbase);
    set_text("device", s.device);
    set_int("blocks", s.blocks);
    set_int("threads", s.threads);
    const std::string in_file = s.config_path.empty() ? "" : " in " + s.config_path;
    for (const CheckedOption& option : CHECKED_OPTIONS) {
        const auto it = config.find(option.key);
        if (it != config.end())
            take_checked(option, it->second, option.key + ("=" + it->second) + in_file, s);
    }
    const auto bench = config.find("benchmark");
    if (bench != config.end()) s.benchmark = bench->second == "1";
}

std::vector<std::string> work_urls(const RunSettings& s)
{
    return s.urls.empty() ? std::vector<std::string>{s.rpc_url} : s.urls;
}

bool is_pool_url(const std::string& url)
{
    for (const char* scheme : {"stratum+tcp://", "stratum+ssl://"})
        if (url.compare(0, std::strlen(scheme), scheme) == 0) return true;
    return false;
}

bool needs_address(const RunSettings& s)
{
    for (const std::string& url : work_urls(s))
        if (!is_pool_url(url)) return true;
    return false;
}

std::string config_path_from_args(int argc, char** argv)
{
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-c") == 0 && i + 1 < argc) path = argv[++i];
    }
    return path;
}

std::string find_default_config(const char* argv0)
{
    const std::string program = argv0 ? argv0 : "";
    const size_t slash = program.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : program.substr(0, slash + 1);
    for (const std::string& candidate : {dir + CONFIG_FILE_NAME, std::string(CONFIG_FILE_NAME)}) {
        std::ifstream in;
        if (open_regular(candidate, in)) return candidate;
    }
    return "";
}

OptionResult apply_options(int argc, char** argv, RunSettings& s)
{
    struct ValueOption {
        const char* name;
        std::string* text;
        int32_t* number;
    };
    std::string ignored_path;
    const ValueOption value_options[] = {
        {"-c", &ignored_path, nullptr}, // taken in the first pass
        {"-o", &s.rpc_url, nullptr},    {"-u", &s.rpc_user, nullptr},
        {"-p", &s.rpc_password, nullptr}, {"-a", &s.address, nullptr},
        {"-d", &s.device, nullptr},     {"-B", nullptr, &s.blocks},
        {"-T", nullptr, &s.threads},    {"--rpc-cookie", &s.rpc_cookie, nullptr},
        {"--log", &s.log_path, nullptr}, {"--pool-ca", &s.pool_ca, nullptr},
    };
    bool url_given = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0)
            return {OptionStatus::help, arg};
        if (std::strcmp(arg, "--version") == 0) return {OptionStatus::version, arg};
        if (std::strcmp(arg, "--benchmark") == 0) {
            s.benchmark = true;
            continue;
        }
        if (std::strcmp(arg, "--list-gpus") == 0) {
            s.list_gpus = true;
            continue;
        }
        if (std::strcmp(arg, "--cli") == 0) continue;
        const ValueOption* match = nullptr;
        for (const ValueOption& option : value_options) {
            if (std::strcmp(arg, option.name) == 0) match = &option;
        }
        const CheckedOption* checked = nullptr;
        for (const CheckedOption& option : CHECKED_OPTIONS) {
            if (std::strcmp(arg, option.flag) == 0) checked = &option;
        }
        // A value option as the last argument has lost its value.
        if ((!match && !checked) || i + 1 >= argc) return {OptionStatus::unknown, arg};
        if (checked) {
            const std::string value = argv[++i];
            take_checked(*checked, value, std::string(arg) + " " + value, s);
            continue;
        }
        const char* value = argv[++i]; // taken whatever it looks like, "-x" included
        // -o again adds a URL; the first one replaces the configuration's.
        if (match->text == &s.rpc_url) {
            if (!url_given) s.urls.clear();
            url_given = true;
            s.urls.push_back(value);
        }
        if (match->text) *match->text = value;
        if (match->number) *match->number = to_int32(value);
    }
    return {};
}
