// Seeds for the hashes of keys read from a package, drawn once a process,
// so that a package cannot be made to collide them.
//
// Host-free.
#pragma once

#include <cstdint>
#include <random>

namespace ormek {

namespace seed_detail {

inline uint64_t draw(const void* fallback) {
  try {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(fallback));
  }
}

}  // namespace seed_detail

inline uint64_t process_seed() {
  static const uint64_t drawn = seed_detail::draw(&drawn);
  return drawn;
}

// A second seed, drawn apart from the first: two keys whose hashes of one
// seed share their bits by chance are unlikely to share them again.
inline uint64_t second_process_seed() {
  static const uint64_t drawn = seed_detail::draw(&drawn) ^ 0x9E3779B97F4A7C15ull;
  return drawn;
}

}  // namespace ormek
