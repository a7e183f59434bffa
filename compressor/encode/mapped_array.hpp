// Memory straight from the system for the numbering's tables and blocks.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <utility>

namespace ormek {

// How a MappedArray's pages come in.
enum class MappedPages {
  // Each as it is first touched: for blocks filled from the front, whose
  // tail may never be used.
  kOnTouch,
  // All at once and writable: for a table read and written at random places
  // (the numbering's index), every page of which is touched. Page by page, a
  // slot read before any write maps the shared zero page, and the write that
  // follows faults again and flushes the page's translation on every core
  // that runs a thread of the process (an interrupt to each, which a virtual
  // machine pays dearly for). Small pages all the same: huge ones, on the
  // machines measured, came from memory the host had taken back and cost
  // more to clear than they saved in lookups.
  kWholeTable,
};

// An array of `count` zero-filled T straight from the system. Freed, its
// pages go back at once, so that what the caller allocates next (the packed
// stream, the dictionaries' entries) can take their room; what the heap
// allocator frees it may keep for the process, and the peak then holds both.
template <typename T>
class MappedArray {
 public:
  MappedArray() = default;
  explicit MappedArray(size_t count, MappedPages pages = MappedPages::kOnTouch)
      : bytes_(count * sizeof(T)) {
    void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    // Advice: a system without it gives the same zero-filled pages on touch.
    if (pages == MappedPages::kWholeTable) madvise(p, bytes_, MADV_POPULATE_WRITE);
  }
  MappedArray(MappedArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  MappedArray& operator=(MappedArray&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(bytes_, other.bytes_);
    return *this;
  }
  ~MappedArray() {
    if (data_) munmap(data_, bytes_);
  }
  T* get() const { return data_; }
  T& operator[](size_t i) const { return data_[i]; }
  size_t size() const { return bytes_ / sizeof(T); }

 private:
  T* data_ = nullptr;
  size_t bytes_ = 0;
};

}  // namespace ormek
