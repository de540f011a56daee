#pragma once

#include <chrono>

namespace corvane {

// Sleeps for the whole duration: an interrupted nanosleep resumes with the time left.
void sleep_for(std::chrono::nanoseconds duration);

}  // namespace corvane
