#include "net/input.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>

#include "core/text.hpp"

namespace corvane::net {
namespace {

// Why a name is refused, or an empty view when it is fine.
std::string_view name_problem(std::string_view name) {
    if (name.empty()) return "is empty";
    if (name.size() >= IFNAMSIZ) return "is longer than 15 bytes";
    if (name == "." || name == "..") return "is '.' or '..'";
    for (std::size_t at = 0; at < name.size();) {
        const Utf8Sequence sequence = decode_utf8(name, at);
        at += sequence.width;
        const char32_t c = sequence.code_point;
        if (!sequence.well_formed) return "is not valid UTF-8";
        if (c == '/') return "holds '/'";
        if (c == ':') return "holds ':'";
        if (is_unicode_whitespace(c)) return "holds white space";
        if (c < 0x20 || (c >= 0x7f && c < 0xa0)) return "holds a control character";
    }
    return {};
}

}  // namespace

Result<Unit, NetError> check_interface_name(std::string_view operation, std::string_view name) {
    const std::string_view problem = name_problem(name);
    if (problem.empty()) return Unit{};
    return fail(NetError::invalid(operation, "interface name " + quoted(name) + " " + std::string(problem)));
}

std::size_t Prefix::size() const { return family == AF_INET ? 4 : 16; }

bool Prefix::has_host_bits() const {
    for (std::size_t bit = length; bit < size() * 8; ++bit)
        if (bytes[bit / 8] & (0x80 >> (bit % 8))) return true;
    return false;
}

std::array<unsigned char, 4> Prefix::broadcast() const {
    std::array<unsigned char, 4> out{bytes[0], bytes[1], bytes[2], bytes[3]};
    for (std::size_t bit = length; bit < 32; ++bit) out[bit / 8] |= static_cast<unsigned char>(0x80 >> (bit % 8));
    return out;
}

Result<Prefix, NetError> parse_prefix(std::string_view operation, std::string_view address, std::uint8_t length) {
    Prefix prefix;
    prefix.length = length;
    // inet_pton stops at a NUL, so a text holding one is refused here.
    const std::string text(address);
    if (text.find('\0') == std::string::npos) {
        if (::inet_pton(AF_INET, text.c_str(), prefix.bytes.data()) == 1)
            prefix.family = AF_INET;
        else if (::inet_pton(AF_INET6, text.c_str(), prefix.bytes.data()) == 1)
            prefix.family = AF_INET6;
    }
    if (prefix.family == 0) return fail(NetError::invalid(operation, "invalid IP address " + quoted(address)));
    const unsigned most = prefix.family == AF_INET ? 32 : 128;
    if (length > most)
        return fail(NetError::invalid(operation, "prefix length " + std::to_string(length) + " is too long for " +
                                                     (prefix.family == AF_INET ? "IPv4" : "IPv6") + " (at most " +
                                                     std::to_string(most) + ")"));
    return prefix;
}

Result<std::vector<std::string_view>, NetError> sysctl_components(std::string_view key) {
    const char separator = key.find('/') != std::string_view::npos ? '/' : '.';
    std::vector<std::string_view> components;
    for (std::size_t start = 0;;) {
        const std::size_t end = key.find(separator, start);
        const std::string_view component = key.substr(start, end == std::string_view::npos ? key.npos : end - start);
        std::string_view problem;
        if (component.empty())
            problem = "has an empty component";
        else if (component == "." || component == "..")
            problem = "has a '.' or '..' component";
        else if (component.find('\0') != std::string_view::npos)
            problem = "holds a NUL byte";
        if (!problem.empty())
            return fail(NetError::invalid("write_sysctl", "key " + quoted(key) + " " + std::string(problem)));
        components.push_back(component);
        if (end == std::string_view::npos) return components;
        start = end + 1;
    }
}

}  // namespace corvane::net
