#include "disk/zstd_piece_reader.hpp"

#include <unistd.h>

#include "core/panic.hpp"

namespace corvane::disk {
namespace {

// The library's results carry errors in-band; its error names become texts.
Result<std::size_t, IoError> checked(std::size_t result) {
    if (ZSTD_isError(result)) return fail(IoError::message(ZSTD_getErrorName(result)));
    return result;
}

}  // namespace

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
    ZSTD_outBuffer out{output, capacity, 0};

    // Output the library still holds from the last call comes first.
    ZSTD_inBuffer nothing{nullptr, 0, 0};
    auto flushed = checked(ZSTD_decompressStream(context_.get(), &out, &nothing));
    if (!flushed) return std::move(flushed).take_failure();
    if (*flushed == 0) frame_finished_ = true;
    if (out.pos > 0) return out.pos;

    for (;;) {
        if (input_start_ == input_fill_) {
            const ssize_t count = ::read(source_.get(), input_.data(), input_.size());
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

}  // namespace corvane::disk
