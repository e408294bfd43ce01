#include "runtime/interrupt.hpp"

namespace tessarix::runtime {

ScopedInterruptPoll::State& ScopedInterruptPoll::current() noexcept {
  static constinit thread_local State state{};
  return state;
}

ScopedInterruptPoll::ScopedInterruptPoll(Poll poll, void* ctx,
                                         std::chrono::steady_clock::duration interval) noexcept
    : previous_(current()) {
  current() = {poll, ctx, interval, std::chrono::steady_clock::now()};
}

ScopedInterruptPoll::~ScopedInterruptPoll() { current() = previous_; }

void interruption_point() {
  ScopedInterruptPoll::State& s = ScopedInterruptPoll::current();
  if (s.poll == nullptr) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - s.last < s.interval) return;
  const bool stop = s.poll(s.ctx);
  s.last = std::chrono::steady_clock::now();
  if (stop) throw Interrupted();
}

}  // namespace tessarix::runtime
