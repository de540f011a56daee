// The caller's input to the networking helpers, checked before anything is
// asked of the kernel: interface names, addresses with their prefix lengths,
// and sysctl keys. Every refusal is a NetError with EINVAL naming what is wrong.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "net/error.hpp"

namespace corvane::net {

// An interface name: 1 to 15 bytes (the kernel's limit), not "." or "..", and
// none of '/', ':', white space or a control byte. The kernel accepts some of
// these; a name holding them is a mistake here.
Result<Unit, NetError> check_interface_name(std::string_view operation, std::string_view name);

// An IPv4 or IPv6 address with its prefix length.
struct Prefix {
    int family = 0;                         // AF_INET or AF_INET6
    std::array<unsigned char, 16> bytes{};  // the first 4 for AF_INET
    std::uint8_t length = 0;

    std::size_t size() const;  // 4 or 16
    // Whether a bit past the prefix is set.
    bool has_host_bits() const;
    // The IPv4 broadcast address of the prefix (all host bits set).
    std::array<unsigned char, 4> broadcast() const;
};

// The address as inet_pton reads it (dotted quad for IPv4, so "1.2.3" is
// refused), and a prefix length that fits its family (at most 32 or 128).
Result<Prefix, NetError> parse_prefix(std::string_view operation, std::string_view address, std::uint8_t length);

// The components of a sysctl key: separated by '/' when the key holds one,
// else by '.'; each non-empty, neither "." nor "..", without NUL.
Result<std::vector<std::string_view>, NetError> sysctl_components(std::string_view key);

}  // namespace corvane::net
