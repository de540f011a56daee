// A byte stream from a QMP peer: the line reader splits it over a real socket
// pair, then each line goes through the same steps as a command's reader
// (UTF-8 check, JSON parse, classification). Nothing crashes, the lines put
// together are the stream, and every error text is JSON.
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "core/fd.hpp"
#include "json/parse.hpp"
#include "json/write.hpp"
#include "qmp/connection.hpp"

using namespace corvane;
using namespace corvane::qmp;

namespace {

constexpr std::string_view kPath = "/run/fuzz/qmp.sock";

void check_error_text(const QmpError& error) {
    auto parsed = json::parse_json_text(error.text());
    FUZZ_CHECK(parsed.ok());
    FUZZ_CHECK(parsed->find("message") != nullptr && parsed->find("message")->is_string());
    FUZZ_CHECK(parsed->find("context") != nullptr && parsed->find("context")->is_object());
}

void check_message(std::string_view line) {
    auto message = message_from_line(line, kPath);
    if (!message) {
        FUZZ_CHECK(message.error().message != "QMP socket closed unexpectedly" || line.empty());
        check_error_text(message.error());
        return;
    }
    const json::Value& value = message.value();
    switch (classify_message(value)) {
        case MessageKind::skipped:
            break;
        case MessageKind::error_reply: {
            const json::Value* error = value.find("error");
            FUZZ_CHECK(error != nullptr && error->is_object() && value.find("event") == nullptr);
            const auto text_or_null = [](const json::Value* v) {
                return v != nullptr && v->is_string() ? *v : json::Value::null();
            };
            check_error_text(QmpError::command_failed(kPath, "query-status", text_or_null(error->find("class")),
                                                      text_or_null(error->find("desc"))));
            break;
        }
        case MessageKind::return_reply:
            FUZZ_CHECK(value.find("return") != nullptr && value.find("event") == nullptr);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 0;
    UniqueFd writer(ends[0]);
    LineReader reader{UniqueFd(ends[1])};
    // The whole stream fits the socket's buffer at the sizes the fuzzer uses.
    if (::send(writer.get(), stream.data(), stream.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
        static_cast<ssize_t>(stream.size()))
        return 0;
    writer.reset();

    std::string joined;
    for (;;) {
        std::string line;
        auto read = reader.read_line(line);
        FUZZ_CHECK(read.ok());
        // Only the last line may lack its line feed, and no line holds two.
        const std::size_t lf = line.find('\n');
        FUZZ_CHECK(lf == std::string::npos || lf + 1 == line.size());
        joined += line;
        check_message(line);
        if (line.empty() || line.back() != '\n') break;
    }
    FUZZ_CHECK(joined == stream);
    return 0;
}
