// The fuzz targets' checks: a condition that does not hold stops the run, naming its place.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_check_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: %s does not hold\n", file, line, condition);
    std::abort();
}

#define REQUIRE(condition) \
    ((condition) ? void() : fuzz_check_failed(#condition, __FILE__, __LINE__))
