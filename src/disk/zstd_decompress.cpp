#include "disk/operations.hpp"

#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <memory>

#include "core/caller.hpp"
#include "core/fd.hpp"
#include "disk/paths.hpp"
#include "disk/sparse_writer.hpp"

namespace corvane::disk {
namespace {

// The library's results carry errors in-band; its error names become texts.
Result<std::size_t, IoError> checked(std::size_t result) {
    if (ZSTD_isError(result)) return fail(IoError::message(ZSTD_getErrorName(result)));
    return result;
}

// Decodes a zstd stream from a descriptor in pieces: each piece is what one
// call of the library produced into the empty output buffer. A piece ends
// where the output buffer is full, where the buffered compressed input runs
// out, or where a frame ends; those ends are where the writer's zero test, and
// so the holes, fall. Concatenated frames are decoded one after the other.
class ZstdPieceReader {
public:
    // Sets up the decoder; the library's refusals carry its error names.
    // Panics if the library cannot create a context at all.
    static Result<ZstdPieceReader, IoError> create(UniqueFd source);

    // Fills the start of output; returns the piece's length, 0 at the end of
    // the stream. "incomplete frame" when the source ends inside a frame.
    // Signal handlers run between pieces and between reads of the source: one
    // that raises fails the call with EINTR.
    Result<std::size_t, IoError> next_piece(char* output, std::size_t capacity);

private:
    struct FreeContext {
        void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
    };
    ZstdPieceReader(UniqueFd source, ZeroedBuffer input, std::unique_ptr<ZSTD_DCtx, FreeContext> context)
        : source_(std::move(source)), input_(std::move(input)), context_(std::move(context)) {}

    // Released in reverse: the context, the input buffer, then the source.
    UniqueFd source_;
    ZeroedBuffer input_;
    std::unique_ptr<ZSTD_DCtx, FreeContext> context_;
    std::size_t input_start_ = 0;  // input_[start, fill) is read but not yet consumed
    std::size_t input_fill_ = 0;
    bool frame_finished_ = false;  // the last call ended a frame
    SignalCheckpoint checkpoint_;
};

Result<ZstdPieceReader, IoError> ZstdPieceReader::create(UniqueFd source) {
    auto input = ZeroedBuffer::allocate(ZSTD_DStreamInSize());
    if (!input) return std::move(input).take_failure();
    std::unique_ptr<ZSTD_DCtx, FreeContext> context(ZSTD_createDCtx());
    if (!context) panic("zstd returned null pointer when creating new context");
    if (auto started = checked(ZSTD_initDStream(context.get())); !started) return std::move(started).take_failure();
    if (auto loaded = checked(ZSTD_DCtx_loadDictionary(context.get(), nullptr, 0)); !loaded)
        return std::move(loaded).take_failure();
    return ZstdPieceReader(std::move(source), std::move(input).value(), std::move(context));
}

Result<std::size_t, IoError> ZstdPieceReader::next_piece(char* output, std::size_t capacity) {
    if (!checkpoint_.pass(capacity)) return fail(IoError::from_errno(EINTR));
    ZSTD_outBuffer out{output, capacity, 0};

    // Output the library still holds from the last call comes first.
    ZSTD_inBuffer nothing{nullptr, 0, 0};
    auto flushed = checked(ZSTD_decompressStream(context_.get(), &out, &nothing));
    if (!flushed) return std::move(flushed).take_failure();
    if (*flushed == 0) frame_finished_ = true;
    if (out.pos > 0) return out.pos;

    for (;;) {
        if (input_start_ == input_fill_) {
            if (!checkpoint_.pass(input_.size())) return fail(IoError::from_errno(EINTR));
            const ssize_t count = read_resuming(source_.get(), input_.data(), input_.size());
            if (count < 0) return fail(IoError::last_os_error());
            if (count == 0) {
                if (frame_finished_) return std::size_t{0};
                return fail(IoError::message("incomplete frame"));
            }
            input_start_ = 0;
            input_fill_ = static_cast<std::size_t>(count);
        }
        if (frame_finished_) {
            // More input after a finished frame: the next frame starts afresh.
            auto reset = checked(ZSTD_DCtx_reset(context_.get(), ZSTD_reset_session_only));
            if (!reset) return std::move(reset).take_failure();
            frame_finished_ = false;
        }
        ZSTD_inBuffer in{input_.data(), input_fill_, input_start_};
        auto decoded = checked(ZSTD_decompressStream(context_.get(), &out, &in));
        if (!decoded) return std::move(decoded).take_failure();
        frame_finished_ = *decoded == 0;
        input_start_ = in.pos;
        if (out.pos > 0) return out.pos;
    }
}

}  // namespace

Result<std::string, IoError> decompress_zstd_sparse(std::string_view source, std::string_view target,
                                                    std::uint64_t chunk_size) {
    if (chunk_size == 0) return fail(IoError::message("chunk_size must be greater than zero"));
    // A fixed name: a file that an interrupted run left there is replaced,
    // while one that another call is writing refuses this call.
    const TempPlan plan{".tmp", TempName::shared, 0666};
    return write_through_temp(source, target, plan,
                              [&](TempFile& temp, UniqueFd input) -> Result<std::string, IoError> {
                                  // Released on failure in reverse: the output's buffer, then the reader.
                                  auto reader = ZstdPieceReader::create(std::move(input));
                                  if (!reader) return std::move(reader).take_failure();
                                  auto output = SparseOutput::create(temp.fd(), chunk_size);
                                  if (!output) return std::move(output).take_failure();
                                  std::uint64_t total = 0;
                                  for (;;) {
                                      auto piece = reader->next_piece(output->buffer(), output->capacity());
                                      if (!piece) return std::move(piece).take_failure();
                                      if (*piece == 0) break;
                                      if (auto written = output->write(*piece); !written)
                                          return std::move(written).take_failure();
                                      total += *piece;
                                  }
                                  // The decoded length, also when the output ends in skipped pieces.
                                  if (auto done = output->finish(total); !done) return std::move(done).take_failure();
                                  return std::string("sparse");
                              });
}

}  // namespace corvane::disk
