// A file's modification time as a package stores it: signed 64-bit
// nanoseconds since 1970, to and from the system's timespec. Host-free.
#pragma once

#include <time.h>

#include <cstdint>

namespace ormek {

inline constexpr int64_t kNanosecondsPerSecond = 1000000000;

// `t` as nanoseconds; a time beyond the 64-bit range (some 292 years from
// 1970 either way) is kept at its end, the nearest the format can say.
constexpr int64_t nanoseconds_of(const timespec& t) {
  if (t.tv_sec > INT64_MAX / kNanosecondsPerSecond - 1) return INT64_MAX;
  if (t.tv_sec < INT64_MIN / kNanosecondsPerSecond + 1) return INT64_MIN;
  return static_cast<int64_t>(t.tv_sec) * kNanosecondsPerSecond + t.tv_nsec;
}

// The timespec of `nanoseconds`: whole seconds rounded down, so that the
// nanoseconds part is never negative (-1 ns is the second before 1970, and
// 999999999 ns into it).
constexpr timespec timespec_of(int64_t nanoseconds) {
  int64_t seconds = nanoseconds / kNanosecondsPerSecond;
  int64_t rest = nanoseconds % kNanosecondsPerSecond;
  if (rest < 0) {
    seconds -= 1;
    rest += kNanosecondsPerSecond;
  }
  timespec t{};
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_nsec = static_cast<long>(rest);
  return t;
}

}  // namespace ormek
