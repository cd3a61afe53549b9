#include "stratum_messages.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "util.h"

namespace {

using nlohmann::json;

// The error codes pools answer a share with, where they are this old
// convention's: 21 means the job is gone.
constexpr int64_t JOB_NOT_FOUND = 21;

bool is_hex(const std::string& text)
{
    if (text.size() % 2 != 0) return false;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

bool hex_field(const json& v, const char* name, std::vector<uint8_t>& out, std::string& why)
{
    if (!v.is_string() || !is_hex(v.get<std::string>())) {
        why = std::string(name) + " is not hex text";
        return false;
    }
    out = hex_to_bytes(v.get<std::string>());
    return true;
}

bool word_field(const json& v, const char* name, uint32_t& out, std::string& why)
{
    std::vector<uint8_t> bytes;
    if (!hex_field(v, name, bytes, why)) return false;
    if (bytes.size() != 4) {
        why = std::string(name) + " is not 8 hex digits";
        return false;
    }
    out = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    return true;
}

bool extranonce_fields(const json& en1, const json& size, std::vector<uint8_t>& extranonce1,
                       int& extranonce2_size, std::string& why)
{
    if (!hex_field(en1, "extranonce1", extranonce1, why)) return false;
    // Eight bytes at most: the devices count their extranonce2 in 64 bits.
    if (!size.is_number_unsigned() || size.get<uint64_t>() < 1 || size.get<uint64_t>() > 8) {
        why = "extranonce2_size is not a number from 1 to 8";
        return false;
    }
    extranonce2_size = static_cast<int>(size.get<uint64_t>());
    return true;
}

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

StratumMessage parse_stratum_line(const std::string& line)
{
    StratumMessage m;
    if (line.size() > STRATUM_MAX_LINE) {
        m.problem = "a line over 64 KB";
        return m;
    }
    const json doc = json::parse(line, nullptr, false);
    if (doc.is_discarded()) {
        m.problem = "a line that is not JSON";
        return m;
    }
    if (!doc.is_object()) {
        m.problem = "a JSON line that is not an object";
        return m;
    }
    const auto method = doc.find("method");
    if (method != doc.end()) {
        if (!method->is_string()) {
            m.problem = "a call whose method is not text";
            return m;
        }
        m.kind = StratumMessage::Kind::call;
        m.method = method->get<std::string>();
        m.params = doc.value("params", json());
        m.call_id = doc.value("id", json());
        return m;
    }
    const auto id = doc.find("id");
    if (id == doc.end() || !id->is_number_unsigned()) {
        m.problem = "a reply without the id of a request";
        return m;
    }
    m.kind = StratumMessage::Kind::response;
    m.id = id->get<uint64_t>();
    m.result = doc.value("result", json());
    m.error = doc.value("error", json());
    // Some pools give their reason beside the result instead.
    if (m.error.is_null() && doc.contains("reject-reason")) m.error = doc["reject-reason"];
    return m;
}

std::string stratum_request(uint64_t id, const std::string& method, const nlohmann::json& params)
{
    const json request = {{"id", id}, {"method", method}, {"params", params}};
    return request.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool parse_notify(const nlohmann::json& params, PoolJob& job, std::string& why)
{
    if (!params.is_array() || params.size() < 9) {
        why = "mining.notify has fewer than 9 fields";
        return false;
    }
    if (!params[0].is_string() || params[0].get<std::string>().empty()) {
        why = "the job id is not text";
        return false;
    }
    job.job_id = params[0].get<std::string>();
    if (!params[1].is_string() || !stratum_prev_hash(params[1].get<std::string>(), job.prev_hash)) {
        why = "the previous hash is not 64 hex digits";
        return false;
    }
    if (!hex_field(params[2], "coinb1", job.coinb1, why) || !hex_field(params[3], "coinb2", job.coinb2, why))
        return false;
    if (!params[4].is_array()) {
        why = "the merkle branch is not a list";
        return false;
    }
    job.merkle_branch.clear();
    for (const json& h : params[4]) {
        std::vector<uint8_t> bytes;
        if (!hex_field(h, "a merkle branch hash", bytes, why)) return false;
        if (bytes.size() != 32) {
            why = "a merkle branch hash is not 32 bytes";
            return false;
        }
        job.merkle_branch.emplace_back();
        std::copy(bytes.begin(), bytes.end(), job.merkle_branch.back().begin());
    }
    uint32_t version = 0;
    if (!word_field(params[5], "the version", version, why) || !word_field(params[6], "nbits", job.bits, why) ||
        !word_field(params[7], "ntime", job.ntime, why))
        return false;
    job.version = static_cast<int32_t>(version);
    if (!params[8].is_boolean()) {
        why = "clean_jobs is not true or false";
        return false;
    }
    job.clean = params[8].get<bool>();
    return true;
}

bool parse_subscribe_result(const nlohmann::json& result, std::vector<uint8_t>& extranonce1,
                            int& extranonce2_size, std::string& why)
{
    if (!result.is_array() || result.size() < 3) {
        why = "the subscription has fewer than 3 fields";
        return false;
    }
    return extranonce_fields(result[1], result[2], extranonce1, extranonce2_size, why);
}

bool parse_set_extranonce(const nlohmann::json& params, std::vector<uint8_t>& extranonce1,
                          int& extranonce2_size, std::string& why)
{
    if (!params.is_array() || params.size() < 2) {
        why = "mining.set_extranonce has fewer than 2 fields";
        return false;
    }
    return extranonce_fields(params[0], params[1], extranonce1, extranonce2_size, why);
}

bool parse_difficulty(const nlohmann::json& params, double& difficulty, std::string& why)
{
    if (!params.is_array() || params.empty() || !params[0].is_number() || !(params[0].get<double>() > 0) ||
        !std::isfinite(params[0].get<double>())) {
        why = "mining.set_difficulty has no positive number";
        return false;
    }
    difficulty = params[0].get<double>();
    return true;
}

PoolVerdict parse_verdict(const StratumMessage& reply)
{
    PoolVerdict v;
    v.accepted = reply.result.is_boolean() && reply.result.get<bool>() && reply.error.is_null();
    if (v.accepted) return v;
    int64_t code = 0;
    if (reply.error.is_array() && reply.error.size() >= 2) {
        if (reply.error[0].is_number_integer()) code = reply.error[0].get<int64_t>();
        if (reply.error[1].is_string()) v.reason = reply.error[1].get<std::string>();
    } else if (reply.error.is_object()) {
        if (reply.error.value("code", json()).is_number_integer()) code = reply.error["code"].get<int64_t>();
        if (reply.error.value("message", json()).is_string()) v.reason = reply.error["message"].get<std::string>();
    } else if (reply.error.is_string()) {
        v.reason = reply.error.get<std::string>();
    }
    if (v.reason.empty()) v.reason = code != 0 ? "error " + std::to_string(code) : "no reason given";
    v.stale = code == JOB_NOT_FOUND || lower(v.reason).find("stale") != std::string::npos ||
              lower(v.reason).find("job not found") != std::string::npos;
    return v;
}

void difficulty_to_target(double difficulty, uint64_t out[4])
{
    for (int i = 0; i < 4; ++i) out[i] = 0;
    // Difficulty 1 is 0xFFFF * 2^208.
    const long double value = difficulty > 0 ? 65535.0L / difficulty * std::pow(2.0L, 208) : INFINITY;
    if (!std::isfinite(value) || value >= std::pow(2.0L, 256)) {
        for (int i = 0; i < 4; ++i) out[i] = ~uint64_t{0};
        return;
    }
    if (value < 1.0L) return;
    // The top 64 bits of the value, then placed at their bit position.
    const int top = std::ilogb(value); // 2^top <= value
    const uint64_t mantissa = static_cast<uint64_t>(std::ldexp(value, 63 - top));
    const int shift = top - 63; // mantissa's lowest bit sits here
    for (int bit = 0; bit < 64; ++bit) {
        if (!(mantissa >> bit & 1)) continue;
        const int at = bit + shift;
        if (at >= 0 && at < 256) out[at / 64] |= uint64_t{1} << (at % 64);
    }
}

bool stratum_prev_hash(const std::string& hex, uint8_t out[32])
{
    if (hex.size() != 64 || !is_hex(hex)) return false;
    const std::vector<uint8_t> bytes = hex_to_bytes(hex);
    // Each 4-byte word comes byte-swapped.
    for (size_t word = 0; word < 8; ++word) {
        for (size_t i = 0; i < 4; ++i) out[4 * word + i] = bytes[4 * word + 3 - i];
    }
    return true;
}

std::string stratum_hex32(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

uint64_t coinbase_height(const std::vector<uint8_t>& coinb1)
{
    // Version, one input (its count), the null prevout, then the script's
    // length and the height push.
    size_t at = 4;
    if (coinb1.size() < at + 1 + 36 + 2 || coinb1[at] != 1) return 0;
    at += 1 + 36;
    if (coinb1[at] >= 0xFD) return 0;
    ++at;
    const uint8_t op = coinb1[at];
    if (op >= 0x51 && op <= 0x60) return op - 0x50u; // OP_1..OP_16
    if (op < 1 || op > 8 || coinb1.size() < at + 1 + op) return 0;
    uint64_t height = 0;
    for (size_t i = 0; i < op; ++i) height |= uint64_t{coinb1[at + 1 + i]} << (8 * i);
    return height;
}
