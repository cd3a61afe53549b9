// Payout addresses: mrv1/tmrv1 Bech32(m) witness programs and Base58Check
// key and script hashes, turned into the output scripts that pay them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Output script of an address; empty if it does not decode.
std::vector<uint8_t> address_to_script(const std::string& address);
