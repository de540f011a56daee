// A byte stream from a QMP peer: the line reader splits it over a real socket pair, then each line goes
// through a command's reading steps (UTF-8, JSON, classification). Nothing crashes, the lines put
// together are the stream, and every error text is JSON with a message and a context.
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "check.hpp"
#include "core/unique_fd.hpp"
#include "json/parse.hpp"
#include "qmp/connection.hpp"
#include "qmp/execute.hpp"

using namespace corvane;
using namespace corvane::qmp;

namespace {

void check_error_text(const QmpError& error) {
    auto parsed = json::parse_json_text(error.text());
    FUZZ_CHECK(parsed.ok() && parsed->find("message") != nullptr && parsed->find("message")->is_string());
    FUZZ_CHECK(parsed->find("context") != nullptr && parsed->find("context")->is_object());
}

void check_message(std::string_view line) {
    auto message = message_from_line(line, "/run/fuzz/qmp.sock");
    if (!message) {
        FUZZ_CHECK(message.error().kind != QmpErrorKind::socket_closed || line.empty());
        return check_error_text(message.error());
    }
    const json::Value& value = message.value();
    const MessageKind kind = classify_message(value);
    FUZZ_CHECK(kind == MessageKind::skipped || value.find("event") == nullptr);
    if (kind == MessageKind::return_reply) FUZZ_CHECK(value.find("return") != nullptr);
    if (kind != MessageKind::error_reply) return;
    const json::Value* error = value.find("error");
    FUZZ_CHECK(error != nullptr && error->is_object());
    const auto text = [](const json::Value* v) { return v != nullptr && v->is_string() ? *v : json::Value::null(); };
    check_error_text(QmpError::command_failed("/run/fuzz/qmp.sock", "query-status", text(error->find("class")),
                                              text(error->find("desc"))));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 0;
    UniqueFd writer(ends[0]);
    LineReader reader{UniqueFd(ends[1])};
    // The whole stream fits the socket's buffer at the sizes the fuzzer uses.
    if (::send(writer.get(), stream.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return 0;
    writer.reset();
    std::string joined, line;
    do {
        line.clear();
        FUZZ_CHECK(reader.read_line(line).ok());
        // Only the last line may lack its line feed, and no line holds two.
        FUZZ_CHECK(line.find('\n') == std::string::npos || line.find('\n') + 1 == line.size());
        joined += line;
        check_message(line);
    } while (!line.empty() && line.back() == '\n');
    FUZZ_CHECK(joined == stream);
    return 0;
}
