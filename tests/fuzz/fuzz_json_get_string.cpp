// json_get_string: whatever the text and key, the value is part of the text.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "rpc_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const size_t key_len = data[0] % 24;
    if (size < 1 + key_len) return 0;
    const std::string key(reinterpret_cast<const char*>(data + 1), key_len);
    const std::string json(reinterpret_cast<const char*>(data + 1 + key_len), size - 1 - key_len);
    const std::string value = json_get_string(json, key);
    FUZZ_CHECK(value.empty() || json.find(value) != std::string::npos);
    FUZZ_CHECK(value.size() <= json.size());
    return 0;
}
