// fuzzCheck.h — what the fuzz targets hold true: a broken promise aborts,
// which the fuzzer reports with the input that broke it.
#pragma once

#include <cstdlib>

inline void check(bool ok) {
  if (!ok) {
    std::abort();
  }
}
