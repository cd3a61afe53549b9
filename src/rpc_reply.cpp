#include "rpc_reply.h"

#include <cstdlib>
#include <string_view>

namespace {

// An "error" member whose null starts this close to its key carries no error.
constexpr size_t ERROR_NULL_WINDOW = 20;
constexpr std::string_view JSON_SPACE = " \t\n\r";

// Where the value of the first member named key starts: the quoted name
// counts only when a ':' follows it (white space aside), so the same word
// as a string value, such as "transactions" in a "mutable" list, is skipped.
size_t member_value_at(std::string_view json, std::string_view key)
{
    std::string quoted;
    quoted.reserve(key.size() + 2);
    quoted.append(1, '"').append(key).append(1, '"');
    for (size_t at = json.find(quoted); at != std::string_view::npos; at = json.find(quoted, at + 1)) {
        const size_t colon = json.find_first_not_of(JSON_SPACE, at + quoted.size());
        if (colon == std::string_view::npos) return colon;
        if (json[colon] == ':') return json.find_first_not_of(JSON_SPACE, colon + 1);
    }
    return std::string_view::npos;
}

std::string_view json_value(std::string_view json, std::string_view key)
{
    const size_t pos = member_value_at(json, key);
    if (pos == std::string_view::npos) return {};
    if (json[pos] == '"') {
        // Escapes are not interpreted: an escaped quote ends the value.
        const size_t end = json.find('"', pos + 1);
        if (end == std::string_view::npos) return {};
        return json.substr(pos + 1, end - pos - 1);
    }
    const size_t end = json.find_first_of(",}] \t\n\r", pos);
    return json.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
}

int64_t json_number(std::string_view json, std::string_view key)
{
    const std::string text(json_value(json, key));
    return text.empty() ? 0 : std::strtoll(text.c_str(), nullptr, 0);
}

// The strings of an array value; see json_get_strings.
std::vector<std::string> json_strings(std::string_view json, std::string_view key)
{
    std::vector<std::string> strings;
    size_t at = member_value_at(json, key);
    if (at == std::string_view::npos || json[at] != '[') return strings;
    for (++at; at < json.size();) {
        at = json.find_first_not_of(JSON_SPACE, at);
        if (at == std::string_view::npos || json[at] != '"') break;
        const size_t end = json.find('"', at + 1);
        if (end == std::string_view::npos) break;
        strings.emplace_back(json.substr(at + 1, end - at - 1));
        at = json.find_first_not_of(JSON_SPACE, end + 1);
        if (at == std::string_view::npos || json[at] != ',') break;
        ++at;
    }
    return strings;
}

// The entries of the "transactions" array: braces are counted, strings are
// not understood, and the array ends at a ']' outside every entry.
std::vector<BlockTemplateTx> parse_transactions(std::string_view result)
{
    std::vector<BlockTemplateTx> txs;
    const size_t open = member_value_at(result, "transactions");
    if (open == std::string_view::npos || result[open] != '[') return txs;
    long depth = 0;
    size_t entry_start = 0;
    for (size_t i = open; i < result.size(); ++i) {
        const char c = result[i];
        if (c == '{') {
            if (depth == 0) entry_start = i;
            ++depth;
        } else if (c == '}') {
            if (--depth != 0) continue;
            const std::string_view entry = result.substr(entry_start, i - entry_start + 1);
            BlockTemplateTx tx{std::string(json_value(entry, "data")),
                               std::string(json_value(entry, "txid"))};
            if (!tx.data.empty()) txs.push_back(std::move(tx));
        } else if (c == ']' && depth == 0) {
            break;
        }
    }
    return txs;
}

} // namespace

RpcErrorMember rpc_error_member(std::string_view reply)
{
    RpcErrorMember e;
    const size_t key = reply.find("\"error\"");
    if (key == std::string_view::npos) return e;
    const size_t null_at = reply.find("null", key);
    if (null_at != std::string_view::npos && null_at - key <= ERROR_NULL_WINDOW) return e;
    const std::string_view rest = reply.substr(key);
    e.present = true;
    e.code = static_cast<long>(json_number(rest, "code"));
    e.message = std::string(json_value(rest, "message"));
    return e;
}

// Why a reply gave no usable template, for the user.
std::string template_failure(const std::string& reply, long http_status)
{
    if (http_status == 401) return "HTTP 401 from the node: check rpc_user and rpc_password";
    if (reply.find("\"result\"") == std::string::npos) {
        if (reply.empty()) return "empty reply from the node (HTTP " + std::to_string(http_status) + ")";
        return "the node's reply has no result (HTTP " + std::to_string(http_status) + ")";
    }
    return "the template lacks previousblockhash or bits";
}

std::string json_get_string(const std::string& json, const std::string& key)
{
    return std::string(json_value(json, key));
}

std::vector<std::string> json_get_strings(const std::string& json, const std::string& key)
{
    return json_strings(json, key);
}

BlockTemplate parse_block_template(const std::string& reply)
{
    BlockTemplate t;
    const size_t at = reply.find("\"result\"");
    if (at == std::string::npos) return t;
    // Every member is read from the result on: its first occurrence counts.
    const std::string_view r = std::string_view(reply).substr(at);
    t.previousblockhash = std::string(json_value(r, "previousblockhash"));
    t.bits_hex = std::string(json_value(r, "bits"));
    t.version = static_cast<int32_t>(json_number(r, "version"));
    t.curtime = static_cast<uint32_t>(json_number(r, "curtime"));
    t.height = static_cast<uint64_t>(json_number(r, "height"));
    t.target = std::string(json_value(r, "target"));
    t.bits = static_cast<uint32_t>(std::strtoul(t.bits_hex.c_str(), nullptr, 16));
    t.coinbasevalue = json_number(r, "coinbasevalue");
    t.default_witness_commitment = std::string(json_value(r, "default_witness_commitment"));
    t.rules = json_strings(r, "rules");
    t.transactions = parse_transactions(r);
    t.valid = !t.previousblockhash.empty() && !t.bits_hex.empty();
    return t;
}

bool is_no_verdict_code(long code)
{
    return code == -28 || code == -10 || code == -32603;
}

std::string url_without_credentials(const std::string& url)
{
    const size_t scheme = url.find("://");
    const size_t host = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t end = std::min(url.find_first_of("/?#", host), url.size());
    const size_t at = url.rfind('@', end - 1);
    if (end == host || at == std::string::npos || at < host) return url;
    return url.substr(0, host) + url.substr(at + 1);
}

SubmitResult parse_submitblock_reply(const std::string& reply, long http_status)
{
    const RpcErrorMember error = rpc_error_member(reply);
    if (error.present) {
        std::string why = error.message.empty() ? "error " + std::to_string(error.code)
                                                : error.message;
        if (is_no_verdict_code(error.code)) return {SubmitOutcome::no_reply, "RPC error: " + why};
        return {SubmitOutcome::rejected, "RPC error: " + why};
    }
    // A proxy's or a failing server's page: nothing was judged.
    if (http_status >= 500)
        return {SubmitOutcome::no_reply, "HTTP " + std::to_string(http_status) + " from the node"};
    const size_t at = reply.find("\"result\"");
    if (at == std::string::npos) return {SubmitOutcome::no_reply, "the reply has no result"};
    size_t pos = reply.find(':', at);
    if (pos == std::string::npos) return {SubmitOutcome::no_reply, "the reply has no result"};
    pos = reply.find_first_not_of(JSON_SPACE, pos + 1);
    if (pos != std::string::npos && reply.compare(pos, 4, "null") == 0)
        return {SubmitOutcome::accepted, "null"};
    const std::string verdict(json_value(std::string_view(reply).substr(at), "result"));
    // Only a plain "duplicate" means the node holds the block as valid;
    // "duplicate-invalid" and "duplicate-inconclusive" are no acceptance.
    if (verdict == "duplicate") return {SubmitOutcome::accepted, verdict};
    // A reply cut off after the colon carries no verdict.
    if (verdict.empty()) return {SubmitOutcome::no_reply, "the reply's result is empty"};
    return {SubmitOutcome::rejected, verdict};
}

bool parse_cookie(const std::string& text, std::string& user, std::string& password)
{
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    user = line.substr(0, colon);
    password = line.substr(colon + 1);
    return true;
}
