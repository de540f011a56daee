#include "disk/zstd_decompress.hpp"

#include <string>

#include "disk/file_calls.hpp"
#include "disk/paths.hpp"
#include "disk/sparse_writer.hpp"
#include "disk/temp_file.hpp"
#include "disk/zeroed_buffer.hpp"
#include "disk/zstd_piece_reader.hpp"

namespace corvane::disk {

Result<std::string, IoError> decompress_zstd_sparse(std::string_view source, std::string_view target,
                                                    std::uint64_t chunk_size) {
    if (chunk_size == 0) return fail(IoError::message("chunk_size must be greater than zero"));
    if (auto parent = ensure_parent_dir(target); !parent) return std::move(parent).take_failure();
    // A fixed name: a file left by an interrupted run is reused, or removed on failure.
    auto temp_path = temp_sibling_path(target, ".tmp");
    if (!temp_path) return std::move(temp_path).take_failure();

    // Declared in the order of release on failure, reversed: buffer, temporary
    // file, reader, then the removal of the temporary file.
    TempFile temp(std::move(temp_path).value());
    auto input = open_read_only(source);
    if (!input) return std::move(input).take_failure();
    // The fixed temporary name may lead to the source itself (a compressed
    // image named like it, or a link there): creating the output would empty
    // the source, and the cleanup would then remove it.
    if (names_open_file(temp.path(), input->get())) {
        temp.disown();
        return fail(IoError::message("source is the temporary file of the target: " + std::string(source)));
    }
    auto reader = ZstdPieceReader::create(std::move(input).value());
    if (!reader) return std::move(reader).take_failure();
    auto output = create_output_file(temp.path());
    if (!output) return std::move(output).take_failure();
    auto buffer = ZeroedBuffer::allocate(chunk_size);
    if (!buffer) return std::move(buffer).take_failure();

    std::uint64_t total = 0;
    for (;;) {
        auto piece = reader->next_piece(buffer->data(), buffer->size());
        if (!piece) return std::move(piece).take_failure();
        if (*piece == 0) break;
        auto written = write_sparse_chunk(output->get(), buffer->data(), *piece);
        if (!written) return std::move(written).take_failure();
        total += *piece;
    }
    // The decoded length, also when the output ends in skipped pieces.
    if (auto sized = truncate_file(output->get(), total); !sized) return std::move(sized).take_failure();
    if (auto renamed = rename_path(temp.path(), target); !renamed) return std::move(renamed).take_failure();
    temp.mark_renamed();
    return std::string("sparse");
}

}  // namespace corvane::disk
