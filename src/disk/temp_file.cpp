// Claiming, placing and discarding the temporary file of an operation (see
// TempFile in paths.hpp).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "disk/paths.hpp"

namespace corvane::disk {
namespace {

// Rounds against other calls that change the name between two steps of a claim.
constexpr int kAttempts = 16;

// flock(LOCK_EX | LOCK_NB). On a file system without locks nothing is held
// and calls cannot be told apart: every file found at a name counts as stale.
bool locked_by_another(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return false;
        if (errno != EINTR) return errno == EWOULDBLOCK;
    }
}

IoError in_use(const std::string& path) {
    return IoError::message("temporary file " + path + " is in use by another call");
}

Result<Unit, IoError> unlink_if_present(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail(IoError::last_os_error());
    return Unit{};
}

// Frees the name of a file that no live call holds. Anything but a regular
// file is stale by definition and is removed unopened. A regular file is
// opened read-only, no link followed, without blocking, and locked: a lock held
// elsewhere means the file is another call's. Success means the name was free
// for a moment; the caller's next step may find it taken again.
Result<Unit, IoError> remove_stale(const std::string& path) {
    struct stat seen{};
    if (::lstat(path.c_str(), &seen) != 0) {
        if (errno == ENOENT) return Unit{};
        return fail(IoError::last_os_error());
    }
    if (!S_ISREG(seen.st_mode)) return unlink_if_present(path);
    const int raw = call_retrying([&] { return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
    if (raw < 0) {
        // Gone or replaced by a link since the lstat: the caller looks again.
        if (errno == ENOENT || errno == ELOOP) return Unit{};
        return fail(IoError::last_os_error());
    }
    UniqueFd file(raw);
    if (locked_by_another(file.get())) return fail(in_use(path));
    // Only the file now locked: another call may have put its own there meanwhile.
    if (names_open_file(path, file.get(), false)) return unlink_if_present(path);
    return Unit{};
}

}  // namespace

std::string unique_tag() {
    std::string tag = std::to_string(::getpid()) + "-";
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec > 0) {
        // Seconds, then nanoseconds as nine digits: the decimal count of
        // nanoseconds without any risk of overflow.
        char nanos[16];
        std::snprintf(nanos, sizeof nanos, "%09ld", static_cast<long>(now.tv_nsec));
        tag += std::to_string(now.tv_sec) + nanos;
    } else if (now.tv_sec == 0) {
        tag += std::to_string(now.tv_nsec);
    } else {
        tag += "0";  // before the epoch
    }
    return tag;
}

Result<TempFile, IoError> TempFile::create_exclusive(std::string path, mode_t mode) {
    for (int attempt = 0; attempt < kAttempts;) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            TempFile temp(std::move(path), UniqueFd(fd));
            if (locked_by_another(fd)) return fail(in_use(temp.path_));
            return temp;
        }
        if (errno == EINTR) continue;
        if (errno != EEXIST) return fail(IoError::last_os_error());
        if (auto removed = remove_stale(path); !removed) return std::move(removed).take_failure();
        ++attempt;
    }
    return fail(IoError::from_errno(EEXIST));
}

Result<TempFile, IoError> TempFile::claim(std::string path, mode_t mode, TempName kind) {
    if (auto checked = system_path(path); !checked) return std::move(checked).take_failure();
    if (kind == TempName::unique) return create_exclusive(std::move(path), mode);
    // The private name is cut to fit as the shared one is (a name that fits
    // NAME.tmp leaves no room for the tag).
    auto own_path = temp_sibling_path(path, "-" + unique_tag());
    if (!own_path) return std::move(own_path).take_failure();
    auto own = create_exclusive(std::move(own_path).value(), mode);
    if (!own) return std::move(own).take_failure();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (::link(own->path_.c_str(), path.c_str()) == 0) {
            TempFile placed(std::move(path), std::move(own->fd_));
            (void)::unlink(own->path_.c_str());
            return placed;
        }
        if (errno == EEXIST) {
            if (auto removed = remove_stale(path); !removed) return std::move(removed).take_failure();
        } else if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS) {
            // No hard links on this file system: the file is made at the name
            // itself and locked a moment after it appears there.
            own->discard();
            return create_exclusive(std::move(path), mode);
        } else if (errno != EINTR) {
            return fail(IoError::last_os_error());
        }
    }
    return fail(IoError::from_errno(EEXIST));
}

Result<Unit, IoError> TempFile::rename_to(std::string_view target) {
    auto c_target = system_path(target);
    if (!c_target) return std::move(c_target).take_failure();
    if (!names_open_file(path_, fd_.get(), false))
        return fail(IoError::message("temporary file " + path_ + " was replaced during the call"));
    if (std::rename(path_.c_str(), c_target->c_str()) != 0) return fail(IoError::last_os_error());
    fd_.reset();
    return Unit{};
}

void TempFile::discard() {
    if (!fd_.valid()) return;
    if (names_open_file(path_, fd_.get(), false)) (void)::unlink(path_.c_str());
    fd_.reset();
}

}  // namespace corvane::disk
