#include "module/function_table.hpp"

#include "disk/functions.hpp"
#include "firecracker/functions.hpp"
#include "module/networking.hpp"

namespace corvane::py {

std::span<PyMethodDef* const> module_functions() {
    static PyMethodDef* const table[] = {
        &networking::has_native_networking,
        &networking::has_native_qmp,
        &networking::has_native_disk_io,
        &networking::has_native_firecracker_api,
        &networking::create_tap,
        &networking::delete_tap,
        &networking::set_link_up,
        &networking::flush_addrs,
        &networking::add_addr,
        &networking::configure_tap,
        &networking::prepare_tap,
        &networking::add_route,
        &networking::get_default_interface,
        &networking::write_sysctl,
        &disk::clone_or_sparse_copy,
        &disk::decompress_zstd_sparse,
        &firecracker::firecracker_request,
        &firecracker::firecracker_wait_for_socket,
    };
    return table;
}

}  // namespace corvane::py
