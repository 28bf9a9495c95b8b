// Large working arrays kept from one call to the next.
//
// Faulting in fresh pages (zeroed by the kernel, under a hypervisor often
// twice) costs more than the work a run does in them: for a research-size scan
// about a fifth of a one-thread audit. A batch, a worker process or a session
// that audits one scan after another therefore takes its big arrays from here,
// and gets back the pages of the last run instead of new ones.
//
// Blocks handed back are marked MADV_FREE: their pages stay mapped, and count
// in the resident size, until the kernel needs memory, which it then takes
// from them without swapping. At most kCachedBytes are held; beyond that the
// least recently used blocks are unmapped.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace tarvix::cache {

// Arrays below this size come from the ordinary heap.
constexpr std::size_t kMinBytes = std::size_t{4} << 20;
constexpr std::size_t kCachedBytes = std::size_t{512} << 20;  // one research-size run's arrays
constexpr std::size_t kLargestCached = kCachedBytes / 4;

// At least `bytes` (rounded up to whole huge pages), aligned to a huge page,
// with huge pages advised; contents unspecified. Throws std::bad_alloc.
void* acquire(std::size_t bytes);
// `bytes` as given to acquire. A block over kLargestCached goes back to the
// system: cached, its pages would stay in the resident set through every
// later stage of the run, which for the largest arrays (the fit's sums of a
// whole-brain scan at 1.2 mm and finer) sets the run's peak.
void release(void* p, std::size_t bytes) noexcept;
// Hands `bytes` (as given to acquire) straight back to the system, cached or
// not: an array that would fit the cache but whose pages must leave the
// resident set now, because what comes next needs the room.
void unmap(void* p, std::size_t bytes) noexcept;
// The pages of the block (`bytes` as given to acquire) past its first `keep`
// bytes go back to the system; those pages read as zeros afterwards.
void trim(void* p, std::size_t keep, std::size_t bytes) noexcept;
// Unmaps every cached block (for tests and for callers about to need memory).
void clear() noexcept;
std::size_t cached_bytes() noexcept;

// A std::allocator that takes big arrays from the cache.
template <class T>
struct Allocator {
  using value_type = T;
  Allocator() noexcept = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMinBytes) return std::allocator<T>().allocate(n);
    return static_cast<T*>(acquire(bytes));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMinBytes)
      std::allocator<T>().deallocate(p, n);
    else
      release(p, bytes);
  }
  template <class U>
  bool operator==(const Allocator<U>&) const noexcept {
    return true;
  }
};

// A fixed-size array of trivial T from the cache, uninitialised.
template <class T>
class Array {
 public:
  Array() = default;
  explicit Array(std::size_t n) : p_(Allocator<T>().allocate(n)), n_(n) {}
  ~Array() { reset(); }
  Array(Array&& o) noexcept : p_(o.p_), n_(o.n_) { o.p_ = nullptr, o.n_ = 0; }
  Array& operator=(Array&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = o.p_, n_ = o.n_;
      o.p_ = nullptr, o.n_ = 0;
    }
    return *this;
  }
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;

  T* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept {
    if (p_) Allocator<T>().deallocate(p_, n_);
    p_ = nullptr, n_ = 0;
  }
  // reset(), but never into the cache.
  void give_back() noexcept {
    if (p_ && n_ * sizeof(T) >= kMinBytes) {
      unmap(p_, n_ * sizeof(T));
      p_ = nullptr, n_ = 0;
    }
    reset();
  }
  // Keeps the first `n` elements resident, the rest of the pages go back.
  void trim(std::size_t n) noexcept {
    if (p_ && n_ * sizeof(T) >= kMinBytes && n < n_) cache::trim(p_, n * sizeof(T), n_ * sizeof(T));
  }

 private:
  T* p_ = nullptr;
  std::size_t n_ = 0;
};

}  // namespace tarvix::cache
