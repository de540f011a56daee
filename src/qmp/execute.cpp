#include "qmp/execute.hpp"

#include <utility>

#include "json/write.hpp"

namespace corvane::qmp {
namespace {

json::Value string_or_null(const json::Value* member) {
    if (member != nullptr && member->is_string()) return *member;
    return json::Value::null();
}

}  // namespace

MessageKind classify_message(const json::Value& message) {
    if (!message.is_object() || message.as_object().empty()) return MessageKind::skipped;
    if (message.find("event") != nullptr) return MessageKind::skipped;
    if (const json::Value* error = message.find("error"); error != nullptr && error->is_object())
        return MessageKind::error_reply;
    if (message.find("return") != nullptr) return MessageKind::return_reply;
    return MessageKind::skipped;
}

std::string command_line(std::string_view command, const json::Value* arguments) {
    // Written member by member: "arguments" sorts before "execute", which is
    // the order compact writing of the whole object would give, without
    // copying the arguments into a new object first.
    std::string line;
    line.reserve(128);
    line += '{';
    if (arguments != nullptr) {
        line += "\"arguments\":";
        json::write_json_compact(*arguments, line);
        line += ',';
    }
    line += "\"execute\":";
    json::write_json_string(command, line);
    line += "}\n";
    return line;
}

Result<json::Value, QmpError> qmp_execute(QmpConnection& connection, std::string_view command,
                                          const json::Value* arguments) {
    if (!connection.connected()) {
        if (auto connected = connection.connect(kAutoConnectTimeout, kAutoReadTimeout); !connected)
            return std::move(connected).take_failure();
    }
    if (auto sent = connection.send_line(command_line(command, arguments)); !sent)
        return std::move(sent).take_failure();

    for (;;) {
        auto message = connection.read_message();
        if (!message) return message;
        json::Value& value = message.value();
        switch (classify_message(value)) {
            case MessageKind::skipped: continue;
            case MessageKind::error_reply: {
                const json::Value* error = value.find("error");
                return fail(QmpError::command_failed(connection.socket_path(), command,
                                                     string_or_null(error->find("class")),
                                                     string_or_null(error->find("desc"))));
            }
            case MessageKind::return_reply: return std::move(value.as_object().find("return")->second);
        }
    }
}

}  // namespace corvane::qmp
