#include "buffer_cache.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <list>
#include <mutex>

namespace tarvix::cache {
namespace {

constexpr std::size_t kHuge = std::size_t{2} << 20;

struct Block {
  void* p;
  std::size_t bytes;  // mapped
};

struct Cache {
  std::mutex m;
  std::list<Block> blocks;  // most recently released first
  std::size_t bytes = 0;
};

Cache& the_cache() {
  static Cache* c = new Cache;  // never destroyed: blocks may come back during exit
  return *c;
}

std::size_t mapped_size(std::size_t bytes) { return (bytes + kHuge - 1) / kHuge * kHuge; }

// A huge-page-aligned mapping: over-map by one huge page and trim both ends.
void* map_block(std::size_t size) {
  void* raw = ::mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const auto aligned = (start + kHuge - 1) & ~(kHuge - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const auto end = start + size + kHuge;
  if (end > aligned + size) ::munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
#ifdef MADV_HUGEPAGE
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

void* acquire(std::size_t bytes) {
  const std::size_t size = mapped_size(bytes);
  Cache& c = the_cache();
  {
    std::lock_guard<std::mutex> l(c.m);
    // The smallest cached block that holds it, unless that wastes more than
    // the request itself.
    auto best = c.blocks.end();
    for (auto it = c.blocks.begin(); it != c.blocks.end(); ++it)
      if (it->bytes >= size && it->bytes <= 2 * size && (best == c.blocks.end() || it->bytes < best->bytes))
        best = it;
    if (best != c.blocks.end()) {
      void* p = best->p;
      const std::size_t had = best->bytes;
      c.bytes -= had;
      c.blocks.erase(best);
      // The pages past the request go back to the system: left in the
      // block they would stay resident, unused, while it is out.
      if (had > size) ::munmap(static_cast<char*>(p) + size, had - size);
      return p;
    }
  }
  return map_block(size);
}

void release(void* p, std::size_t bytes) noexcept {
  const std::size_t size = mapped_size(bytes);
  if (size > kLargestCached) {
    ::munmap(p, size);
    return;
  }
#ifdef MADV_FREE
  ::madvise(p, size, MADV_FREE);
#endif
  std::list<Block> evicted;
  Cache& c = the_cache();
  {
    std::lock_guard<std::mutex> l(c.m);
    try {
      c.blocks.push_front({p, size});
    } catch (...) {
      ::munmap(p, size);
      return;
    }
    c.bytes += size;
    while (c.bytes > kCachedBytes) {
      c.bytes -= c.blocks.back().bytes;
      evicted.splice(evicted.begin(), c.blocks, std::prev(c.blocks.end()));
    }
  }
  for (const Block& b : evicted) ::munmap(b.p, b.bytes);
}

void unmap(void* p, std::size_t bytes) noexcept { ::munmap(p, mapped_size(bytes)); }

void trim(void* p, std::size_t keep, std::size_t bytes) noexcept {
  const std::size_t from = mapped_size(keep), size = mapped_size(bytes);
  if (from < size) ::madvise(static_cast<char*>(p) + from, size - from, MADV_DONTNEED);
}

void clear() noexcept {
  std::list<Block> all;
  Cache& c = the_cache();
  {
    std::lock_guard<std::mutex> l(c.m);
    all.swap(c.blocks);
    c.bytes = 0;
  }
  for (const Block& b : all) ::munmap(b.p, b.bytes);
}

std::size_t cached_bytes() noexcept {
  Cache& c = the_cache();
  std::lock_guard<std::mutex> l(c.m);
  return c.bytes;
}

}  // namespace tarvix::cache
