// Parsing arbitrary bytes never crashes. What parses is written compactly, and that text parses back to the same
// tree and is written identically; writing compact while parsing gives the same text, or the same error; a failure
// names a line and a column inside the text (column 0 only at the end of the text, on an empty last line). The text
// taken as a QMP peer's line goes through a command's reading steps (UTF-8, JSON, classification): every error text
// is JSON with a message and a context, and a reply is classified by its members.
#include <string>

#include "check.hpp"
#include "json/parse.hpp"
#include "json/write.hpp"
#include "qmp/connection.hpp"

using namespace corvane;
using namespace corvane::qmp;

static void check_error_text(const QmpError& error) {
    auto parsed = json::parse_json_text(error.text());
    FUZZ_CHECK(parsed.ok() && parsed->find("message") != nullptr && parsed->find("message")->is_string());
    FUZZ_CHECK(parsed->find("context") != nullptr && parsed->find("context")->is_object());
}

static void check_as_qmp_line(std::string_view line, const json::Value* tree) {
    auto message = message_from_line(line, "/run/qmp.sock");
    if (!message) {
        FUZZ_CHECK(message.error().message != "QMP socket closed unexpectedly" || line.empty());
        check_error_text(message.error());
        return;
    }
    FUZZ_CHECK(tree != nullptr);
    const MessageKind kind = classify_message(*message);
    const json::Value* error = tree->is_object() ? tree->find("error") : nullptr;
    if (tree->is_object() && tree->find("event") != nullptr)
        FUZZ_CHECK(kind == MessageKind::skipped);
    else if (error != nullptr && error->is_object())
        FUZZ_CHECK(kind == MessageKind::error_reply);
    else
        FUZZ_CHECK(kind == (tree->is_object() && tree->find("return") != nullptr ? MessageKind::return_reply
                                                                                 : MessageKind::skipped));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = json::parse_json_text(text);
    auto compact = json::compact_json_text(text);
    FUZZ_CHECK(compact.ok() == parsed.ok());
    check_as_qmp_line(text, parsed ? &parsed.value() : nullptr);
    if (parsed) {
        const std::string written = json::write_json_compact(parsed.value());
        FUZZ_CHECK(compact.value() == written);
        auto again = json::parse_json_text(written);
        FUZZ_CHECK(again.ok() && again.value() == parsed.value() && json::write_json_compact(again.value()) == written);
        return 0;
    }
    const json::ParseError& error = parsed.error();
    FUZZ_CHECK(compact.error().text() == error.text());
    FUZZ_CHECK(!error.description.empty() && error.line >= 1 && error.text().find(" at line ") != std::string::npos);
    std::size_t start = 0;  // of the named line
    for (std::size_t n = 1; n < error.line; ++n) {
        start = text.find('\n', start);
        FUZZ_CHECK(start != std::string_view::npos);
        ++start;
    }
    const std::size_t lf = text.find('\n', start),
                      length = lf == std::string_view::npos ? text.size() - start : lf + 1 - start;
    FUZZ_CHECK(error.column <= length && (error.column >= 1 || (length == 0 && start == text.size())));
    return 0;
}
