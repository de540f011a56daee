// The temporary file of one operation: removed on every way out unless the
// operation has renamed it into place.
#pragma once

#include <string>
#include <utility>

#include "disk/paths.hpp"

namespace corvane::disk {

class TempFile {
public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    ~TempFile() {
        if (!renamed_) discard_temp(path_);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    void mark_renamed() { renamed_ = true; }
    // Leaves the path alone on the way out: the file there is not this
    // operation's to remove.
    void disown() { renamed_ = true; }

private:
    std::string path_;
    bool renamed_ = false;
};

}  // namespace corvane::disk
