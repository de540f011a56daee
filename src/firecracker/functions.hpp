// The API client's module functions.
#pragma once

#include "module/python.hpp"

namespace corvane::py::firecracker {

extern PyMethodDef firecracker_request;
extern PyMethodDef firecracker_wait_for_socket;

}  // namespace corvane::py::firecracker
