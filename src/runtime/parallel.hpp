// The system's only source of parallelism: one process-wide work-stealing pool, used through
// indexed, order-preserving parallel maps. Element i of a map's result is f(i) whatever the
// number of workers or the scheduling, so every result built on it is reproducible. A caller
// outside the pool can install an interrupt check that cancels its maps while they wait.
#pragma once

#include <chrono>
#include <cstddef>
#include <atomic>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "linalg/error.hpp"
#include "runtime/interrupt.hpp"

namespace tessarix::runtime {

// Number of workers of the shared pool (creating it on first use): TESSARIX_NUM_THREADS
// when set to a positive integer, else the CPUs this process may run on.
std::size_t num_threads();

// Thrown by a parallel map that was cancelled through an interrupt check, once the items that
// were already running have finished. Items not started by then never run.
class MapCancelled : public Interrupted {
public:
  const char* what() const noexcept override { return "parallel map cancelled"; }
};

// How long a caller outside the pool waits for its map between two runs of its interrupt check.
inline constexpr std::chrono::milliseconds interrupt_check_interval{20};

// Installs `check` as the interrupt check of the calling thread for the lifetime of this object
// (a null check installs none); the previous one is restored on destruction. While installed,
// every map this thread hands to the pool waits in slices of interrupt_check_interval and runs
// check(ctx) on this thread between slices, never more often and never on a worker. Once it
// returns true the map is cancelled, and with it every map nested inside its items: workers
// start no further item of any of them, and each throws MapCancelled to its caller, even if
// all of its items happened to be done.
class ScopedInterruptCheck {
public:
  using Check = bool (*)(void* ctx) noexcept;

  ScopedInterruptCheck(Check check, void* ctx) noexcept;
  ~ScopedInterruptCheck();
  ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
  ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;

private:
  Check previous_check_;
  void* previous_ctx_;
};

// How far the maps a caller hands to the pool have got. Installed on the calling thread (see
// ScopedProgress), it gains each map's item count in `total` when the map starts and one in
// `done` as each of its items finishes, on whichever thread. Maps nested inside items are not
// counted on their own: their work is part of their item's. A reader on another thread sees
// both counts rise monotonically.
struct ProgressCounter {
  std::atomic<std::size_t> done{0};
  std::atomic<std::size_t> total{0};
};

// Installs `counter` (null installs none) for the maps the calling thread hands to the pool,
// for the lifetime of this object; the previous one is restored on destruction.
class ScopedProgress {
public:
  explicit ScopedProgress(ProgressCounter* counter) noexcept;
  ~ScopedProgress();
  ScopedProgress(const ScopedProgress&) = delete;
  ScopedProgress& operator=(const ScopedProgress&) = delete;

private:
  ProgressCounter* previous_;
};

namespace detail {

// Runs item(ctx, i) exactly once for every i in [0, n) on the shared pool and returns when
// all have finished. From a thread outside the pool the whole range is handed to the pool
// as one job and the caller blocks, running its interrupt check between waiting slices; from
// a worker (a map inside a map) the range runs cooperatively inside the pool and obeys the
// cancellation of the map whose item started it. An exception thrown by an item is kept and,
// after every other item has finished, the one of the lowest failing index is rethrown; a
// cancelled map throws MapCancelled instead, whatever its items threw.
void run_indexed(std::size_t n, void* ctx, void (*item)(void* ctx, std::size_t i));

}  // namespace detail

// Applies f to every index in [0, n) in parallel; element i of the result is f(i).
template <class F>
auto par_map_indexed(std::size_t n, F&& f) -> std::vector<std::invoke_result_t<F&, std::size_t>> {
  using R = std::invoke_result_t<F&, std::size_t>;
  if (n == 0) return {};
  std::vector<std::optional<R>> slots(n);
  struct Ctx {
    std::remove_reference_t<F>* f;  // F is a reference type for an lvalue callable
    std::vector<std::optional<R>>* slots;
  } ctx{&f, &slots};
  detail::run_indexed(n, &ctx, [](void* c, std::size_t i) {
    auto* x = static_cast<Ctx*>(c);
    (*x->slots)[i].emplace((*x->f)(i));
  });
  std::vector<R> out;
  out.reserve(n);
  for (auto& s : slots) {
    if (!s) invariant_failure("parallel map: an item produced no result");
    out.push_back(std::move(*s));
  }
  return out;
}

// The f64 map of the inference layer: element i = f(i).
template <class F>
std::vector<double> par_map(std::size_t n, F&& f) {
  return par_map_indexed(n, [&](std::size_t i) -> double { return f(i); });
}

// Consumes `items` and applies f to each element in parallel; results in input order. Each
// element is released as soon as its item is done.
template <class T, class F>
auto par_map_owned(std::vector<T> items, F&& f) -> std::vector<std::invoke_result_t<F&, T&&>> {
  return par_map_indexed(items.size(), [&](std::size_t i) {
    T item = std::move(items[i]);
    return f(std::move(item));
  });
}

}  // namespace tessarix::runtime
