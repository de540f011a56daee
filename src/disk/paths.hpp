// The file-system side of the disk helpers: the system calls on the caller's
// path bytes, the path rules (which component is the file name, what the
// parent is, the temporary file beside a target, making the target's
// directories), and the lifecycle of the temporary file through which each
// operation makes its target (claimed, locked and placed in temp_file.cpp).
//
// A path is the caller's bytes, handed to the system unchanged. A path with a
// NUL byte cannot be handed to the system: such a call is not made and fails
// with "file name contained an unexpected NUL byte".
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/fd.hpp"
#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::disk {

// stat, following symbolic links.
Result<struct stat, IoError> stat_path(std::string_view path);

// Whether the path names the file open as `fd`, following a symbolic link at
// the path only when asked; false on any error.
bool names_open_file(std::string_view path, int fd, bool follow = true);

// A NUL-terminated copy of the path for a system call, or the refusal above.
Result<std::string, IoError> system_path(std::string_view path);

// O_RDONLY, close-on-exec; repeated after EINTR.
Result<UniqueFd, IoError> open_read_only(std::string_view path);

// ftruncate, repeated after EINTR.
Result<Unit, IoError> truncate_file(int fd, std::uint64_t length);

// The target with its file name extended by suffix, in the target's own
// directory, so that the final rename stays on one file system. The file name
// is the last component when it is an ordinary name; "", "/", "." and a path
// ending in ".." have none ("target path has no filename: ..."). Empty
// components and "." past the start are ignored. Where the name and the suffix
// together are longer than a file name may be (NAME_MAX bytes), the end of the
// name is left out so that the whole suffix fits: a unique suffix keeps the
// temporary name unique, and targets of 252 to 255 bytes that agree in their
// first bytes share a fixed one.
Result<std::string, IoError> temp_sibling_path(std::string_view target, std::string_view suffix);

// Creates the target's parent and every missing ancestor (mode 0777 before the
// umask). Directories that exist already, or appear meanwhile, are fine.
Result<Unit, IoError> ensure_parent_dir(std::string_view target);

// "PID-NANOS": unique per process and moment, for names no other call uses.
std::string unique_tag();

// Whether other calls may use the same temporary name.
enum class TempName { unique, shared };

// The temporary file of one operation, beside its target: created afresh,
// written through its descriptor, and renamed over the target when complete;
// on every other way out its name is removed.
//
// A file found at the temporary name is never opened for writing: it may be a
// hard link to someone else's file, a symbolic link, a FIFO, or the file of
// another call that is still writing. The name is replaced instead, and the new
// file is created exclusively with no link followed. A live call holds an
// exclusive flock on its temporary file for as long as the name is its, so a
// file at the name that can be locked is stale (left by a process that died)
// and is removed, while one that cannot is another call's, and the claim fails
// at once with "temporary file PATH is in use by another call".
class TempFile {
public:
    // Creates the file at `path`, write-only, close-on-exec, with the given
    // permission bits before the umask, locked, after removing a stale file
    // there. A shared name is first created under a private name beside it and
    // linked into place, so that it appears there already locked.
    static Result<TempFile, IoError> claim(std::string path, mode_t mode, TempName kind);

    TempFile(TempFile&&) = default;
    TempFile& operator=(TempFile&&) = delete;
    ~TempFile() { discard(); }

    int fd() const { return fd_.get(); }

    // Renames the file over the target, after checking that the temporary name
    // still leads to this file ("temporary file PATH was replaced during the
    // call" otherwise), and closes it.
    Result<Unit, IoError> rename_to(std::string_view target);

private:
    TempFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
    // Removes the name if it still leads to this file, then closes the file:
    // the lock covers the removal, so no other call takes the name meanwhile.
    void discard();
    static Result<TempFile, IoError> create_exclusive(std::string path, mode_t mode);

    std::string path_;
    UniqueFd fd_;  // closed once renamed into place
};

// What sets the temporary files of the two operations apart.
struct TempPlan {
    std::string suffix;  // added to the target's file name
    TempName name;
    mode_t mode;  // before the umask
};

// How each operation makes its target: the target's missing directories are
// made, the source is opened read-only, the temporary file is claimed (see
// TempFile), then `fill(temp, source)` writes the complete file through the
// temporary file's descriptor and returns the kind of file it made ("sparse",
// or "reflink" for a copy-on-write clone), and only then is the file renamed
// over the target. Returns that kind.
template <class Fill>
Result<std::string, IoError> write_through_temp(std::string_view source, std::string_view target, const TempPlan& plan,
                                                Fill&& fill) {
    if (auto parent = ensure_parent_dir(target); !parent) return std::move(parent).take_failure();
    auto temp_path = temp_sibling_path(target, plan.suffix);
    if (!temp_path) return std::move(temp_path).take_failure();
    auto input = open_read_only(source);
    // The temporary name may lead to the source itself (a compressed image
    // named like it, or a link there): replacing it would remove the source.
    if (input && names_open_file(*temp_path, input->get()))
        return fail(IoError::message("source is the temporary file of the target: " + std::string(source)));
    // Claimed even when the source cannot be read, so that a stale file goes.
    auto temp = TempFile::claim(std::move(temp_path).value(), plan.mode, plan.name);
    if (!input) return std::move(input).take_failure();
    if (!temp) return std::move(temp).take_failure();
    // What `fill` holds is released before the temporary file, on every way out.
    auto made = fill(*temp, std::move(input).value());
    if (!made) return std::move(made).take_failure();
    if (auto renamed = temp->rename_to(target); !renamed) return std::move(renamed).take_failure();
    return std::move(made).value();
}

}  // namespace corvane::disk
