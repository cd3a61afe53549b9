// json_get_string: whatever the text and key, the value is part of the text,
// and a value comes only from a member: the quoted key followed by a colon.
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
    if (!value.empty()) {
        const std::string quoted = "\"" + key + "\"";
        bool member = false;
        for (size_t at = json.find(quoted); at != std::string::npos && !member;
             at = json.find(quoted, at + 1)) {
            const size_t next = json.find_first_not_of(" \t\n\r", at + quoted.size());
            member = next != std::string::npos && json[next] == ':';
        }
        FUZZ_CHECK(member);
    }
    return 0;
}
