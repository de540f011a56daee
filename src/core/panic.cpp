#include "core/panic.hpp"

namespace corvane {

void panic(std::string message) { throw Panic{std::move(message)}; }

}  // namespace corvane
