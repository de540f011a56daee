// Parsing arbitrary bytes never crashes; whatever parses is written compactly,
// and that text parses back to the same tree and is written identically again.
// A failure names a position inside the text.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "check.hpp"
#include "json/parse.hpp"
#include "json/write.hpp"

using namespace corvane;

namespace {

void check_position(std::string_view text, const json::ParseError& error) {
    FUZZ_CHECK(!error.description.empty());
    FUZZ_CHECK(error.line >= 1);
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    FUZZ_CHECK(error.line <= lines);
    // The byte range of that line, its line feed included.
    std::size_t start = 0;
    for (std::size_t n = 1; n < error.line; ++n) start = text.find('\n', start) + 1;
    const std::size_t lf = text.find('\n', start);
    const std::size_t length = lf == std::string_view::npos ? text.size() - start : lf + 1 - start;
    FUZZ_CHECK(error.column <= length);
    // Column 0 only for an empty last line: the end of the text.
    FUZZ_CHECK(error.column >= 1 || (length == 0 && start == text.size()));
    FUZZ_CHECK(error.text().find(" at line ") != std::string::npos);
}

void check_round_trip(const json::Value& value) {
    const std::string written = json::write_json_compact(value);
    auto again = json::parse_json_text(written);
    if (!again) std::fprintf(stderr, "written text does not parse: %s\n", again.error().text().c_str());
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(again.value() == value);
    FUZZ_CHECK(json::write_json_compact(again.value()) == written);
}

// Any finite double is written as a JSON number that reads back bit for bit.
void check_double(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(double)) return;
    double number;
    std::memcpy(&number, data, sizeof number);
    if (!std::isfinite(number)) return;
    std::string written;
    json::write_json_double(number, written);
    auto parsed = json::parse_json_text(written);
    FUZZ_CHECK(parsed.ok());
    FUZZ_CHECK(parsed->kind() == json::Value::Kind::number);
    const double back = parsed->as_double();
    FUZZ_CHECK(std::memcmp(&back, &number, sizeof number) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = json::parse_json_text(text);
    if (parsed)
        check_round_trip(parsed.value());
    else
        check_position(text, parsed.error());
    check_double(data, size);
    return 0;
}
