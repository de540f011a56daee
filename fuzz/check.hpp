// A failed property stops the fuzzer with a message and a crash file.
#pragma once
#include <cstdio>
#include <cstdlib>
#define FUZZ_CHECK(c) \
    ((c) ? void() : (std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #c), std::abort()))
