// Kernel parameters under /proc/sys.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/fd.hpp"
#include "net/input.hpp"
#include "net/operations.hpp"

namespace corvane::net {
namespace {

constexpr std::string_view kOperation = "write_sysctl";

// Opens the existing file at `relative` for writing without leaving the
// directory: no "..", no symbolic link, no other mount on the way (openat2);
// where openat2 is missing, the components were checked and the last is not
// followed if it is a link.
int open_beneath(int directory, const std::string& relative) {
    open_how how{};
    how.flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    const int fd = static_cast<int>(::syscall(SYS_openat2, directory, relative.c_str(), &how, sizeof how));
    if (fd >= 0 || errno != ENOSYS) return fd;
    return ::openat(directory, relative.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
}

}  // namespace

Result<Unit, NetError> write_sysctl(std::string_view key, std::string_view value) {
    auto components = sysctl_components(key);
    if (!components) return std::move(components).take_failure();
    if (value.empty()) return fail(NetError::invalid(kOperation, "empty value for key " + quoted(key)));
    if (value.find('\0') != std::string_view::npos)
        return fail(NetError::invalid(kOperation, "value for key " + quoted(key) + " holds a NUL byte"));
    std::string relative;
    for (const std::string_view component : *components) {
        if (!relative.empty()) relative += '/';
        relative += component;
    }
    const int raw_root = call_retrying([] { return ::open("/proc/sys", O_PATH | O_DIRECTORY | O_CLOEXEC); });
    if (raw_root < 0) return fail(NetError::os(kOperation, key, errno));
    const UniqueFd root(raw_root);
    const int raw = call_retrying([&] { return open_beneath(root.get(), relative); });
    if (raw < 0) return fail(NetError::os(kOperation, key, errno));
    const UniqueFd file(raw);
    const ssize_t written = call_retrying([&] { return ::write(file.get(), value.data(), value.size()); });
    if (written < 0) return fail(NetError::os(kOperation, key, errno));
    if (static_cast<std::size_t>(written) != value.size())
        return fail(NetError::with_text(
            kOperation, key, EIO,
            "only " + std::to_string(written) + " of " + std::to_string(value.size()) + " bytes were taken"));
    return Unit{};
}

}  // namespace corvane::net
