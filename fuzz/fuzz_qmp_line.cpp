// A byte stream from a QMP peer, split by the line reader fed from memory through its own source interface (the
// framing code a connection's socket reader runs, without a socket per input). Nothing crashes, the lines put
// together are the stream, and only the last one may lack its line feed. What a command does with each line (UTF-8,
// JSON, classification) is fuzzed with the JSON target, on whole texts.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "check.hpp"
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    MemoryLineReader reader(stream);
    std::string line;
    std::size_t at = 0;  // where the next line starts in the stream
    do {
        line.clear();
        FUZZ_CHECK(reader.read_line(line).ok());
        const std::size_t feed = line.find('\n');
        FUZZ_CHECK(feed == std::string::npos ? at + line.size() == size : feed + 1 == line.size());
        FUZZ_CHECK(stream.substr(at, line.size()) == line);
        at += line.size();
    } while (!line.empty() && line.back() == '\n');
    FUZZ_CHECK(at == size);
    return 0;
}
