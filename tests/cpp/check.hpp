// The small harness the C++ unit tests share: count checks, name the ones
// that fail, and end with the "N passed, N failed" line scripts/cpp-tests reads.
#pragma once

#include <cstdio>
#include <string>

namespace ormek::test {

inline int g_passed = 0;
inline int g_failed = 0;

inline void check(bool ok, const std::string& what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

// The process's exit status.
inline int report() {
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}

}  // namespace ormek::test
