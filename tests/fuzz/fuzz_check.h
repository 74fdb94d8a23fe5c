// How a fuzz target reports a wrong result: a message and an abort, which
// libFuzzer records as a crash together with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Require(bool holds, const char* what)
{
    if (holds) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}
