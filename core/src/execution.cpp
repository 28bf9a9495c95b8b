#include "execution.hpp"

#include <algorithm>
#include <exception>

#include "error.hpp"

namespace tarvix {

namespace {
// The most workers one arena may hold.
constexpr std::uint64_t kMaxThreads = 65535;
}  // namespace

Execution::Execution(std::optional<std::uint64_t> threads) {
  if (!threads) return;
  if (*threads == 0) throw Error::thread_count();
  const int n = static_cast<int>(std::min(*threads, kMaxThreads));
  try {
    // The process-wide limit defaults to the core count; raise it for this call
    // so that n threads really run, also above the core count.
    const auto current = tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    if (static_cast<std::size_t>(n) > current)
      limit_ = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                     static_cast<std::size_t>(n));
    arena_ = std::make_unique<tbb::task_arena>(n);
    arena_->initialize();
  } catch (const std::exception& e) {
    throw Error::thread_pool(e.what());
  }
}

int Execution::concurrency() const {
  if (arena_) return arena_->max_concurrency();
  return tbb::this_task_arena::max_concurrency();
}

}  // namespace tarvix
