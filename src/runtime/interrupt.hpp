// Cooperative interruption of long sequential work. A caller that can be interrupted (a
// binding running with the interpreter lock released) installs a poll for its thread; a loop
// that may run for seconds on that thread calls interruption_point() between its steps, which
// runs the poll once its interval has passed since the poll was installed or last ran, and
// throws Interrupted once the poll asks to stop. Without a poll (tests, pool workers) the
// point costs a thread-local read.
#pragma once

#include <chrono>
#include <exception>

namespace tessarix::runtime {

// Thrown where the calling thread's poll asked to stop; whatever the poll did to report the
// cause (a pending KeyboardInterrupt, say) is the caller's to pass on.
class Interrupted : public std::exception {
public:
  const char* what() const noexcept override { return "interrupted"; }
};

// Installs `poll` (null installs none) as the calling thread's poll for the lifetime of this
// object; the previous one is restored on destruction.
class ScopedInterruptPoll {
public:
  using Poll = bool (*)(void* ctx) noexcept;

  ScopedInterruptPoll(Poll poll, void* ctx, std::chrono::steady_clock::duration interval) noexcept;
  ~ScopedInterruptPoll();
  ScopedInterruptPoll(const ScopedInterruptPoll&) = delete;
  ScopedInterruptPoll& operator=(const ScopedInterruptPoll&) = delete;

private:
  struct State {
    Poll poll = nullptr;
    void* ctx = nullptr;
    std::chrono::steady_clock::duration interval{};
    std::chrono::steady_clock::time_point last{};
  };
  friend void interruption_point();
  static State& current() noexcept;

  State previous_;
};

// Runs the calling thread's poll when its interval has passed; throws Interrupted when the
// poll asks to stop.
void interruption_point();

}  // namespace tessarix::runtime
