// A seed for the hashes of keys read from a package, drawn once a process,
// so that a package cannot be made to collide them.
//
// Host-free.
#pragma once

#include <cstdint>
#include <random>

namespace ormek {

inline uint64_t process_seed() {
  static const uint64_t drawn = [] {
    try {
      std::random_device device;
      return (static_cast<uint64_t>(device()) << 32) ^ device();
    } catch (...) {
      return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&drawn));
    }
  }();
  return drawn;
}

}  // namespace ormek
