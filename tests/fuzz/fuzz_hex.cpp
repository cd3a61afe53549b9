// Hex and target text: defined results for anything, and a round trip
// through bytes_to_hex for even-length lower-case hex.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<uint8_t> bytes = hex_to_bytes(text);
    FUZZ_CHECK(bytes.size() == (size < 2 ? 0 : size / 2));
    uint64_t target[4];
    target_hex_to_u64(text, target);

    const bool lower_hex = size % 2 == 0 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (lower_hex) {
        FUZZ_CHECK(bytes_to_hex(bytes.data(), bytes.size()) == text);
        if (size == 64) {
            char back[65];
            std::snprintf(back, sizeof back, "%016llx%016llx%016llx%016llx",
                          static_cast<unsigned long long>(target[3]), static_cast<unsigned long long>(target[2]),
                          static_cast<unsigned long long>(target[1]), static_cast<unsigned long long>(target[0]));
            FUZZ_CHECK(text == back);
        }
    }
    return 0;
}
