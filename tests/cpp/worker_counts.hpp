// Running a check in a forked child whose pool has a chosen number of workers, for the tests
// that hold a parallel result to the same bits whatever the worker count.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "runtime/parallel.hpp"

namespace tessarix::testing {

// Runs `body` in a forked child with TESSARIX_NUM_THREADS set to `workers` (unset when null);
// true when it returned true. A child still running after a minute is killed and fails.
inline bool in_child(const char* workers, const std::function<bool()>& body) {
  using Clock = std::chrono::steady_clock;
  const pid_t pid = fork();
  if (pid == 0) {
    if (workers != nullptr) setenv("TESSARIX_NUM_THREADS", workers, 1);
    else unsetenv("TESSARIX_NUM_THREADS");
    bool ok = false;
    try {
      ok = body();
    } catch (...) {
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  pid_t done = 0;
  for (const auto deadline = Clock::now() + std::chrono::seconds(60); pid > 0 && done == 0;) {
    if (Clock::now() > deadline) kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    done = waitpid(pid, &status, WNOHANG);
  }
  return pid > 0 && done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Forks below start threads in the child, which the race detector does not support.
#if defined(__SANITIZE_THREAD__)
#define SKIP_WITHOUT_FORK() GTEST_SKIP() << "fork() under the race detector"
#else
#define SKIP_WITHOUT_FORK() (void)0
#endif

// n items that each wait (up to 20 s) until all have started: true only if they all overlap,
// which takes n workers at once.
inline bool items_overlap(std::size_t n) {
  using Clock = std::chrono::steady_clock;
  std::atomic<std::size_t> arrived{0};
  const auto met = runtime::par_map_indexed(n, [&](std::size_t) {
    arrived.fetch_add(1);
    for (const auto deadline = Clock::now() + std::chrono::seconds(20); arrived < n;
         std::this_thread::yield()) {
      if (Clock::now() > deadline) return false;
    }
    return true;
  });
  return std::all_of(met.begin(), met.end(), [](bool m) { return m; });
}

// Runs one item on every worker of the pool (creating it if need be) at the same time: when
// this returns, all of them have started and are idle. A child forked from there inherits a
// running pool but no worker halfway through an allocation: under AddressSanitizer a thread
// allocates while it starts, an idle worker never does.
inline bool pool_started_and_idle() { return items_overlap(runtime::num_threads()); }

// True when compute() in children with one and with three workers equals `expected` (computed
// by the caller with this process's pool).
template <class F, class R>
bool same_with_one_and_three_workers(F compute, const R& expected) {
  if (!pool_started_and_idle()) return false;
  for (const char* workers : {"1", "3"}) {
    if (!in_child(workers, [&] { return compute() == expected; })) return false;
  }
  return true;
}

}  // namespace tessarix::testing
