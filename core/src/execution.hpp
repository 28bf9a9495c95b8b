// The per-call execution context: a dedicated oneTBB arena of n threads, or the
// process-wide default arena when the caller gave no thread count.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

namespace tarvix {

class Execution {
 public:
  // No count: the default arena. 0: Error "threads must be a positive integer".
  explicit Execution(std::optional<std::uint64_t> threads);
  Execution(const Execution&) = delete;
  Execution& operator=(const Execution&) = delete;

  // Runs f with every nested parallel loop on this call's threads. The calling
  // thread joins the arena and blocks until f returns; exceptions come back.
  template <class F>
  auto run(F&& f) -> std::invoke_result_t<F> {
    if (!arena_) return f();
    if constexpr (std::is_void_v<std::invoke_result_t<F>>) {
      arena_->execute(std::forward<F>(f));
    } else {
      return arena_->execute(std::forward<F>(f));
    }
  }

  // Number of threads that run this call's parallel work.
  int concurrency() const;
  // The call's own arena, or null when the default arena serves the call.
  tbb::task_arena* arena() const { return arena_.get(); }

 private:
  std::unique_ptr<tbb::global_control> limit_;
  std::unique_ptr<tbb::task_arena> arena_;
};

}  // namespace tarvix
