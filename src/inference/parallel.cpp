// Placeholder serial implementation; replaced by the work-stealing pool.
#include "inference/parallel.hpp"

#include <exception>

namespace tessarix::inference {

std::size_t num_threads() { return 1; }

namespace detail {

void run_indexed(std::size_t n, void* ctx, void (*item)(void* ctx, std::size_t i)) {
  std::exception_ptr first;
  for (std::size_t i = 0; i < n; ++i) {
    try {
      item(ctx, i);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

}  // namespace detail
}  // namespace tessarix::inference
