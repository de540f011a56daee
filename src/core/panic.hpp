// A panic is an internal failure the code cannot continue from: a broken
// invariant, an impossible conversion. It unwinds as a C++ exception, releasing
// everything on the way, and the Python boundary turns it into PanicException.
#pragma once

#include <string>

namespace corvane {

struct Panic {
    std::string message;
};

[[noreturn]] void panic(std::string message);

}  // namespace corvane
