// A byte stream from a QMP peer, split by the line reader fed from memory through its own source interface (the
// framing code a connection's socket reader runs, without a socket per input); each line then goes through a
// command's reading steps (UTF-8, JSON, classification). Nothing crashes, the lines put together are the stream,
// only the last one may lack its line feed, and every error text is JSON with a message and a context.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "check.hpp"
#include "json/parse.hpp"
#include "json/write.hpp"
#include "qmp/connection.hpp"

using namespace corvane;
using namespace corvane::qmp;

// Hands the stream out in pieces of a few sizes in turn, so that lines also end and begin across receives.
class MemoryLineReader final : public LineReader {
public:
    explicit MemoryLineReader(std::string_view stream) : rest_(stream) {}

private:
    Result<std::size_t, LineError> receive(char* buffer, std::size_t size, const Instant*) override {
        static constexpr std::array<std::size_t, 4> kPieces{1, 7, 64, LineReader::kBufferSize};
        const std::size_t taken = std::min({size, rest_.size(), kPieces[turn_++ % kPieces.size()]});
        std::memcpy(buffer, rest_.data(), taken);
        rest_.remove_prefix(taken);
        return taken;
    }

    std::string_view rest_;
    std::size_t turn_ = 0;
};

static void check_error_text(const QmpError& error) {
    auto parsed = json::parse_json_text(error.text());
    FUZZ_CHECK(parsed.ok() && parsed->find("message") != nullptr && parsed->find("message")->is_string());
    FUZZ_CHECK(parsed->find("context") != nullptr && parsed->find("context")->is_object());
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryLineReader reader(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string joined, line;
    do {
        line.clear();
        FUZZ_CHECK(reader.read_line(line).ok() && (line.find('\n') == std::string::npos || line.find('\n') + 1 == line.size()));
        joined += line;
        auto message = message_from_line(line, "/run/qmp.sock");
        if (!message) {
            FUZZ_CHECK(message.error().message != "QMP socket closed unexpectedly" || line.empty());
            check_error_text(message.error());
        } else if (const MessageKind kind = classify_message(*message); kind != MessageKind::skipped) {
            // The compact text's members are what the tree of the line holds.
            auto tree = json::parse_json_text(*message);
            FUZZ_CHECK(tree.ok());
            const json::Value* error = tree->find("error");
            FUZZ_CHECK(tree->find("event") == nullptr && (kind == MessageKind::error_reply ? error != nullptr && error->is_object()
                                                                                          : tree->find("return") != nullptr));
            if (kind == MessageKind::return_reply)
                FUZZ_CHECK(json::find_member(*message, "return") == json::write_json_compact(*tree->find("return")));
            const auto text = [](const json::Value* v) { return v != nullptr && v->is_string() ? *v : json::Value::null(); };
            if (kind == MessageKind::error_reply)
                check_error_text(QmpError::command_failed("/run/qmp.sock", "x", text(error->find("class")), text(error->find("desc"))));
        }
    } while (!line.empty() && line.back() == '\n');
    FUZZ_CHECK(joined == std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
