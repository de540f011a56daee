#include "disk/functions.hpp"

#include "disk/io_error_python.hpp"
#include "disk/operations.hpp"
#include "module/wrapper.hpp"

namespace corvane::py::disk {
namespace {

constexpr const char* kCopyParams[] = {"source", "target"};
constexpr const char* kDecompressParams[] = {"source", "target", "chunk_size"};

constexpr FunctionSignature kCopy{"clone_or_sparse_copy", nullptr, kCopyParams, 0, 2};
constexpr FunctionSignature kDecompress{"decompress_zstd_sparse", nullptr, kDecompressParams, 0, 2};

}  // namespace

// All file work runs with the interpreter lock released.
PyMethodDef clone_or_sparse_copy{
    "clone_or_sparse_copy",
    as_pycfunction(&fastcall_function<kCopy, Lock::released, &corvane::disk::clone_or_sparse_copy>),
    kFastcallFlags, "clone_or_sparse_copy(source, target)\n--\n\n"};
PyMethodDef decompress_zstd_sparse{
    "decompress_zstd_sparse",
    as_pycfunction(
        &fastcall_function<kDecompress, Lock::released, &corvane::disk::decompress_zstd_sparse, 1048576ULL>),
    kFastcallFlags, "decompress_zstd_sparse(source, target, chunk_size=1048576)\n--\n\n"};

}  // namespace corvane::py::disk
