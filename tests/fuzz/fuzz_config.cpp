// The configuration reader on arbitrary bytes, CR and NUL included.
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_check.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    const ConfigMap config = parse_config(in);
    for (const auto& kv : config) {
        FUZZ_CHECK(kv.first.find('\n') == std::string::npos);
        // url lines add up, one URL a line.
        FUZZ_CHECK(kv.first == "url" || kv.second.find('\n') == std::string::npos);
        FUZZ_CHECK(kv.first.find('=') == std::string::npos);
        FUZZ_CHECK(kv.first.empty() || (kv.first.back() != ' ' && kv.first[0] != '#'));
        FUZZ_CHECK(kv.second.empty() || kv.second[0] != ' ');
    }
    RunSettings s;
    apply_config(config, s);
    for (const std::string& url : s.urls) FUZZ_CHECK(!url.empty() && url.find('\n') == std::string::npos);
    FUZZ_CHECK(!work_urls(s).empty());
    FUZZ_CHECK(s.benchmark == (config.count("benchmark") && config.at("benchmark") == "1"));
    return 0;
}
