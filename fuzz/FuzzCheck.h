#pragma once
// An invariant of a fuzz target: a violation prints where and aborts, so libFuzzer keeps the
// input that caused it.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "invariant failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
