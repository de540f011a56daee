// Decodes a zstd stream from a descriptor in pieces: each piece is what one
// call of the library produced into the empty output buffer. A piece ends
// where the output buffer is full, where the buffered compressed input runs
// out, or where a frame ends; those ends are where the writer's zero test, and
// so the holes, fall. Concatenated frames are decoded one after the other.
#pragma once

#include <zstd.h>

#include <cstddef>
#include <memory>

#include "core/io_error.hpp"
#include "core/result.hpp"
#include "core/unique_fd.hpp"
#include "disk/zeroed_buffer.hpp"

namespace corvane::disk {

class ZstdPieceReader {
public:
    // Sets up the decoder; the library's refusals carry its error names.
    // Panics if the library cannot create a context at all.
    static Result<ZstdPieceReader, IoError> create(UniqueFd source);

    // Fills the start of output; returns the piece's length, 0 at the end of
    // the stream. "incomplete frame" when the source ends inside a frame.
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
};

}  // namespace corvane::disk
