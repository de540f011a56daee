// The Python entry points of the disk helpers.
#pragma once

#include "module/python.hpp"

namespace corvane::py::disk {

extern PyMethodDef clone_or_sparse_copy;
extern PyMethodDef decompress_zstd_sparse;

}  // namespace corvane::py::disk
