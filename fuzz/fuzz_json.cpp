// Parsing arbitrary bytes never crashes. What parses is written compactly, and that text parses back to the same
// tree and is written identically; writing compact while parsing gives the same text, or the same error; a failure
// names a line and a column inside the text (column 0 only at the end of the text, on an empty last line).
#include <string>

#include "check.hpp"
#include "json/parse.hpp"
#include "json/write.hpp"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = json::parse_json_text(text);
    auto compact = json::compact_json_text(text);
    FUZZ_CHECK(compact.ok() == parsed.ok());
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
    const std::size_t lf = text.find('\n', start), length = lf == std::string_view::npos ? text.size() - start : lf + 1 - start;
    FUZZ_CHECK(error.column <= length && (error.column >= 1 || (length == 0 && start == text.size())));
    return 0;
}
