// One QMP command: the command line, then replies read until the first
// success or error reply, skipping events and anything else.
#pragma once

#include <string>
#include <string_view>

#include "core/result.hpp"
#include "json/value.hpp"
#include "qmp/connection.hpp"
#include "qmp/error.hpp"

namespace corvane::qmp {

// The timeouts of the automatic connect of a command on a disconnected client.
inline constexpr Duration kAutoConnectTimeout{5, 0};
inline constexpr Duration kAutoReadTimeout{30, 0};

// {"arguments":...,"execute":"..."} and a line feed; no "arguments" member
// when `arguments` is null.
std::string command_line(std::string_view command, const json::Value* arguments);

// How a command's reader treats one received message: events, non-objects,
// empty objects and anything without "return" or an object "error" are
// skipped; an object "error" wins over "return".
enum class MessageKind { skipped, error_reply, return_reply };
MessageKind classify_message(const json::Value& message);

// Sends the command (connecting first when needed) and gives the value of the
// reply's "return" member; an error reply is CommandFailed.
Result<json::Value, QmpError> qmp_execute(QmpConnection& connection, std::string_view command,
                                          const json::Value* arguments);

}  // namespace corvane::qmp
