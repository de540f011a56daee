// Capability probes and the host-networking entry points. This build has no
// native networking: the entry points check their arguments, then refuse.
#pragma once

#include "module/python.hpp"

namespace corvane::py::networking {

extern PyMethodDef has_native_networking;
extern PyMethodDef has_native_qmp;
extern PyMethodDef has_native_disk_io;
extern PyMethodDef has_native_firecracker_api;
extern PyMethodDef create_tap;
extern PyMethodDef delete_tap;
extern PyMethodDef set_link_up;
extern PyMethodDef flush_addrs;
extern PyMethodDef add_addr;
extern PyMethodDef configure_tap;
extern PyMethodDef prepare_tap;
extern PyMethodDef add_route;
extern PyMethodDef get_default_interface;
extern PyMethodDef write_sysctl;

}  // namespace corvane::py::networking
