// The disk-image helpers. All file work runs with the interpreter lock released.
#include "disk/operations.hpp"
#include "module/declare.hpp"

namespace corvane::py {
namespace {

constexpr Arg kSource = "source"_a, kTarget = "target"_a;

constexpr auto kFunctions =
    functions(def("clone_or_sparse_copy", &disk::clone_or_sparse_copy, Lock::released, kSource, kTarget),
              def("decompress_zstd_sparse", &disk::decompress_zstd_sparse, Lock::released, kSource, kTarget,
                  "chunk_size"_a = 1048576));

}  // namespace

std::span<PyMethodDef> disk_functions() { return detail::method_records<kFunctions>(); }

}  // namespace corvane::py
