// The TAP device step that prepare_tap shares with create_tap.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/result.hpp"
#include "net/error.hpp"

namespace corvane::net {

// create_tap, telling whether this call made the device (true) or found it.
Result<bool, NetError> make_tap(std::string_view name, std::uint32_t owner);

}  // namespace corvane::net
