// Interruption points: the installed poll runs no more often than its interval, a poll that
// asks to stop makes the point throw, and scopes nest.
#include <chrono>
#include <thread>

#include "runtime/interrupt.hpp"
#include "testing.hpp"

namespace tessarix::runtime {
namespace {

struct Counter {
  int calls = 0;
  bool stop = false;
  static bool poll(void* self) noexcept {
    auto* c = static_cast<Counter*>(self);
    ++c->calls;
    return c->stop;
  }
};

TEST(InterruptionPoint, PollsAtMostOncePerIntervalAndThrowsWhenAsked) {
  EXPECT_NO_THROW(interruption_point());  // nothing installed
  Counter outer;
  {
    ScopedInterruptPoll scope(&Counter::poll, &outer, std::chrono::hours(1));
    for (int i = 0; i < 1000; ++i) interruption_point();
    EXPECT_EQ(outer.calls, 0);  // the interval has not passed since installation
    Counter inner;
    {
      ScopedInterruptPoll nested(&Counter::poll, &inner, std::chrono::milliseconds(0));
      interruption_point();
      interruption_point();
      EXPECT_EQ(inner.calls, 2);
      inner.stop = true;
      EXPECT_THROW(interruption_point(), Interrupted);
    }
    interruption_point();  // the outer poll is back, with its own interval
    EXPECT_EQ(outer.calls, 0);
    EXPECT_EQ(inner.calls, 3);
  }
  Counter slow;
  ScopedInterruptPoll scope(&Counter::poll, &slow, std::chrono::milliseconds(100));
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  interruption_point();
  interruption_point();
  EXPECT_EQ(slow.calls, 1);
}

}  // namespace
}  // namespace tessarix::runtime
