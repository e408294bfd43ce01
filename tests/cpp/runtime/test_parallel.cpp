// The parallel map and its pool: results in index order, each item exactly once, nested maps,
// failures, callers on several threads, cancellation through an interrupt check, forked
// children and the worker count.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/parallel.hpp"
#include "linalg/rng.hpp"
#include "worker_counts.hpp"

namespace tessarix::runtime {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testing::in_child;
using testing::items_overlap;
using testing::pool_started_and_idle;

// A child forked while another thread of the parent is inside malloc can find an allocator
// lock held for ever. glibc's malloc takes its locks around fork() and so never leaves one
// held; the AddressSanitizer runtime of GCC 12 has no such handling, and its child hangs on the
// first allocation that needs the lock. The other fork tests fork only from a parent whose
// workers are idle (see pool_started_and_idle).
#if defined(__SANITIZE_THREAD__)
#define SKIP_WITHOUT_FORK_DURING_MALLOC() GTEST_SKIP() << "fork() under the race detector"
#elif defined(__SANITIZE_ADDRESS__)
#define SKIP_WITHOUT_FORK_DURING_MALLOC() \
  GTEST_SKIP() << "fork() during malloc under AddressSanitizer"
#else
#define SKIP_WITHOUT_FORK_DURING_MALLOC() (void)0
#endif

// Three levels of maps; item (i, j, k) returns its flat index if it is its first run.
bool nested_maps_correct() {
  std::vector<std::atomic<std::size_t>> runs(6 * 5 * 40);
  const auto out = par_map_indexed(6, [&](std::size_t i) {
    return par_map_indexed(5, [&](std::size_t j) {
      return par_map_indexed(40, [&](std::size_t k) {
        const std::size_t f = (i * 5 + j) * 40 + k;
        return runs[f].fetch_add(1) + f;
      });
    });
  });
  bool ok = true;
  for (std::size_t f = 0; f < runs.size(); ++f) {
    ok = ok && runs[f] == 1 && out[f / 200][f / 40 % 5][f % 40] == f;
  }
  return ok;
}

// Items 17, 523 and 900 fail (17 last when there are several workers), then items 2 and 5 of
// an outer map fail inside nested maps: the lowest index is rethrown, every other item ran.
bool lowest_failure_wins() {
  const bool lowest_last = num_threads() > 1;
  std::atomic<int> ran{0}, thrown{0};
  std::string first, nested;
  try {
    par_map(1000, [&](std::size_t i) {
      const auto deadline = Clock::now() + 10s;
      while (i == 17 && lowest_last && thrown < 2 && Clock::now() < deadline) {
        std::this_thread::yield();
      }
      if (i != 17 && i != 523 && i != 900) return double(ran.fetch_add(1));
      thrown.fetch_add(1);
      throw std::runtime_error(std::to_string(i));
    });
  } catch (const std::runtime_error& e) {
    first = e.what();
  }
  try {
    par_map(8, [](std::size_t i) {
      return par_map(50, [i](std::size_t k) {
        if ((i == 5 || i == 2) && k >= 30) {
          throw std::runtime_error(std::to_string(i) + ":" + std::to_string(k));
        }
        return 0.0;
      })[0];
    });
  } catch (const std::runtime_error& e) {
    nested = e.what();
  }
  return first == "17" && ran == 997 && nested == "2:30";
}

// Four threads outside the pool map at once, every other map nested.
bool concurrent_callers_correct() {
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (std::size_t t = 0; t < 4; ++t) {
    callers.emplace_back([t, &wrong] {
      for (std::size_t r = 0; r < 25; ++r) {
        const std::size_t n = 1 + (t * 37 + r * 11) % 300;
        const auto out = par_map_indexed(n, [&](std::size_t i) {
          if (r % 2 == 0) return i * t;
          return par_map_indexed(3, [&](std::size_t k) { return i * t + k; })[2] - 2;
        });
        for (std::size_t i = 0; i < n; ++i) wrong += out[i] != i * t;
      }
    });
  }
  for (auto& c : callers) c.join();
  return wrong == 0;
}

// A random number of normal draws from the item's own substream.
double random_item(std::size_t i) {
  auto rng = linalg::Xoshiro256pp::substream(20240611, i);
  double s = 0.0;
  for (std::uint64_t k = 1 + rng.gen_range(40); k > 0; --k) s += rng.normal();
  return s;
}

// A sum of normal draws from the item's own substream whose count varies a hundredfold with
// the item, so that items of a map cost unevenly and keep workers stealing from each other.
double uneven_item(std::size_t i) {
  auto rng = linalg::Xoshiro256pp::substream(977, i);
  double s = 0.0;
  for (std::uint64_t k = 10 + 10 * rng.gen_range(100); k > 0; --k) s += rng.normal();
  return s;
}

// Maps n uneven items; "" when every result is in its own slot and every item ran once. With
// several workers, item 0 also waits (up to 20 s) until an item of the upper half has run:
// another worker must have stolen it, so items finish far from index order and a result
// written to the wrong slot cannot go unnoticed.
std::string order_kept_under_stealing(std::size_t n) {
  std::vector<double> expected(n);
  for (std::size_t i = 0; i < n; ++i) expected[i] = uneven_item(i);
  const bool await_steal = num_threads() > 1 && n > 1;
  std::vector<std::atomic<int>> runs(n);
  std::vector<std::thread::id> ran_on(n);
  std::atomic<bool> upper_done{false};
  const auto out = par_map(n, [&](std::size_t i) {
    runs[i].fetch_add(1);
    ran_on[i] = std::this_thread::get_id();
    for (const auto deadline = Clock::now() + 20s;
         i == 0 && await_steal && !upper_done && Clock::now() < deadline;) {
      std::this_thread::sleep_for(50us);
    }
    const double v = uneven_item(i);
    if (i >= n / 2) upper_done = true;
    return v;
  });
  if (out.size() != n) return "wrong length";
  bool stolen = !await_steal;
  for (std::size_t i = 0; i < n; ++i) {
    if (runs[i] != 1) return "item " + std::to_string(i) + " ran " + std::to_string(runs[i]) + " times";
    if (out[i] != expected[i]) return "wrong result in slot " + std::to_string(i);
    stolen = stolen || (i >= n / 2 && ran_on[i] != ran_on[0]);
  }
  return stolen ? "" : "no item of the upper half ran on another worker";
}

// True once the map whose item calls this is cancelled: a map nested in a cancelled map throws
// MapCancelled without running its item.
bool cancellation_visible() {
  try {
    par_map(1, [](std::size_t) { return 0.0; });
    return false;
  } catch (const MapCancelled&) {
    return true;
  }
}

// An interrupt check and what it observes: how often it ran and whether ever off the thread
// that installed it; items count their starts and finishes.
struct Probe {
  const bool cancel;
  const std::thread::id caller = std::this_thread::get_id();
  const Clock::time_point deadline = Clock::now() + 20s;
  std::atomic<int> checks{0};
  std::atomic<bool> off_caller{false};
  std::atomic<std::size_t> started{0};
  std::atomic<std::size_t> finished{0};

  static bool check(void* self) noexcept {
    Probe& p = *static_cast<Probe*>(self);
    p.off_caller = p.off_caller || std::this_thread::get_id() != p.caller;
    p.checks.fetch_add(1);
    return p.cancel;
  }

  // Holds an item until its map is cancelled, or, for a check that never cancels, until the
  // check has run, so that every map outlives the first waiting slice. All gates give up 20 s
  // after the probe was made, so a map that is never cancelled fails instead of hanging.
  void gate() const {
    while (Clock::now() < deadline) {
      if (cancel ? cancellation_visible() : checks > 0) return;
      std::this_thread::sleep_for(200us);
    }
  }

  // "" when the check ran once, on the caller's thread, and the map returned after its
  // running items (at most one per worker, as each waits at the gate) had finished.
  std::string after_cancel() const {
    const std::size_t s = started, f = finished;
    if (checks != 1 || off_caller) return "check ran " + std::to_string(checks) + " times";
    if (s > num_threads()) return std::to_string(s) + " items started";
    if (f != s) return "returned while items were running";
    std::this_thread::sleep_for(20ms);
    if (started != s) return "an item started after the map returned";
    return "";
  }
};

// Cancels a flat map whose every item fails once let through, while another thread maps
// alongside; then maps under a check that runs and declines. "" when each behaves.
std::string cancels_flat_map() {
  constexpr std::size_t n = 1000;
  Probe probe{true};
  std::vector<double> other;
  std::thread other_caller([&] { other = par_map(300, uneven_item); });
  std::string outcome = "returned normally";
  try {
    ScopedInterruptCheck installed(&Probe::check, &probe);
    par_map(n, [&](std::size_t i) -> double {
      probe.started.fetch_add(1);
      probe.gate();
      probe.finished.fetch_add(1);
      throw std::runtime_error("item " + std::to_string(i));  // outranked by the cancellation
    });
  } catch (const MapCancelled&) {
    outcome = probe.after_cancel();
  } catch (const std::exception& e) {
    outcome = std::string("threw ") + e.what();
  }
  other_caller.join();
  if (!outcome.empty()) return "cancelled map: " + outcome;
  bool other_right = other.size() == 300;
  for (std::size_t i = 0; other_right && i < other.size(); ++i) other_right = other[i] == uneven_item(i);
  if (!other_right) return "the map of another thread went wrong";

  Probe declining{false};
  ScopedInterruptCheck installed(&Probe::check, &declining);
  const auto out = par_map(n, [&](std::size_t i) {
    declining.gate();
    return uneven_item(i);
  });
  for (std::size_t i = 0; i < n; ++i) {
    if (out[i] != uneven_item(i)) return "declined check: wrong result in slot " + std::to_string(i);
  }
  if (declining.checks < 1 || declining.off_caller) return "declined check did not run, or ran elsewhere";
  return "";
}

// Cancels a map of 6 items that each map 100 items: the nested maps stop with it, and each
// outer item that had started sees its nested map throw MapCancelled.
std::string cancels_nested_maps() {
  Probe probe{true};
  std::atomic<std::size_t> outer_started{0}, nested_cancelled{0};
  std::string outcome = "returned normally";
  try {
    ScopedInterruptCheck installed(&Probe::check, &probe);
    par_map(6, [&](std::size_t i) {
      outer_started.fetch_add(1);
      try {
        return par_map(100, [&](std::size_t k) {
          probe.started.fetch_add(1);
          probe.gate();
          probe.finished.fetch_add(1);
          return uneven_item(i * 100 + k);
        })[0];
      } catch (const MapCancelled&) {
        nested_cancelled.fetch_add(1);
        throw;
      }
    });
  } catch (const MapCancelled&) {
    outcome = probe.after_cancel();
    if (outcome.empty() && (outer_started > num_threads() || nested_cancelled != outer_started)) {
      outcome = std::to_string(outer_started) + " outer items started, " +
                std::to_string(nested_cancelled) + " nested maps cancelled";
    }
  } catch (const std::exception& e) {
    outcome = std::string("threw ") + e.what();
  }
  return outcome.empty() ? "" : "nested maps: " + outcome;
}

// Both cancellations, then maps of every shape on the same pool: "" when all behave.
std::string cancellation_leaves_pool_working() {
  for (const std::string& fault : {cancels_flat_map(), cancels_nested_maps()}) {
    if (!fault.empty()) return fault;
  }
  if (const std::string fault = order_kept_under_stealing(1000); !fault.empty()) return fault;
  if (!nested_maps_correct() || !lowest_failure_wins() || !concurrent_callers_correct()) {
    return "maps after the cancellations went wrong";
  }
  return "";
}

TEST(ParallelMap, PreservesOrderAndRunsEachItemOnce) {
  for (std::size_t n : {0u, 1u, 2u, 7u, 1000u}) {
    EXPECT_EQ(order_kept_under_stealing(n), "") << n << " items";
  }
  std::vector<std::unique_ptr<int>> boxes;
  for (int i = 0; i < 100; ++i) boxes.push_back(std::make_unique<int>(i));
  const auto doubled =
      par_map_owned(std::move(boxes), [](std::unique_ptr<int> p) { return *p * 2; });
  for (int i = 0; i < 100; ++i) EXPECT_EQ(doubled[i], i * 2);
  SKIP_WITHOUT_FORK();
  for (const char* workers : {"2", "3"}) {
    EXPECT_TRUE(in_child(workers, [] { return order_kept_under_stealing(1000).empty(); }))
        << workers << " workers";
  }
}

TEST(ParallelMap, InterruptCheckCancelsFlatAndNestedMaps) {
  EXPECT_EQ(cancellation_leaves_pool_working(), "");
  SKIP_WITHOUT_FORK();
  for (const char* workers : {"1", "3"}) {
    EXPECT_TRUE(in_child(workers, [] {
      const std::string fault = cancellation_leaves_pool_working();
      if (!fault.empty()) std::fprintf(stderr, "%s\n", fault.c_str());
      return fault.empty();
    })) << workers << " workers";
  }
}

TEST(ParallelMap, NestedMapsFailuresAndConcurrentCallers) {
  EXPECT_TRUE(nested_maps_correct());
  for (int rep = 0; rep < 20; ++rep) EXPECT_TRUE(lowest_failure_wins()) << "repetition " << rep;
  EXPECT_THROW(par_map(5, [](std::size_t i) {
                 if (i == 4) invariant_failure("broken");
                 return 1.0;
               }),
               InvariantError);
  EXPECT_TRUE(concurrent_callers_correct());
}

TEST(ParallelMap, RandomItemsIdenticalForAnyWorkerCount) {
  std::vector<double> serial(777);
  for (std::size_t i = 0; i < serial.size(); ++i) serial[i] = random_item(i);
  EXPECT_EQ(par_map(serial.size(), random_item), serial);
  SKIP_WITHOUT_FORK();
  ASSERT_TRUE(pool_started_and_idle());
  for (const char* workers : {"1", "3"}) {
    EXPECT_TRUE(in_child(workers, [&] { return par_map(serial.size(), random_item) == serial; }))
        << workers << " workers";
  }
}

TEST(ParallelMap, ProgressCountsTheItemsOfOutermostMaps) {
  // Two maps in turn, the second with a nested map in every item: the counter gains 50 + 7
  // items, the nested ones not counted; while the second runs, a reader sees `done` rise and
  // never pass `total`.
  ProgressCounter counter;
  std::atomic<bool> running{true};
  std::atomic<bool> ordered{true};
  std::thread reader([&] {
    std::size_t last = 0;
    while (running.load()) {
      const std::size_t done = counter.done.load(), total = counter.total.load();
      if (done < last || done > total) ordered.store(false);
      last = done;
    }
  });
  {
    ScopedProgress installed(&counter);
    const auto identity = [](std::size_t i) { return i; };  // a named callable: taken by reference
    (void)par_map_indexed(50, identity);
    EXPECT_EQ(counter.done.load(), 50u);
    (void)par_map_indexed(7, [](std::size_t i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return par_map_indexed(9, [i](std::size_t j) { return i + j; }).size();
    });
  }
  (void)par_map_indexed(5, [](std::size_t i) { return i; });  // no counter installed any more
  running.store(false);
  reader.join();
  EXPECT_TRUE(ordered.load());
  EXPECT_EQ(counter.total.load(), 57u);
  EXPECT_EQ(counter.done.load(), 57u);
}

TEST(ParallelPool, WorkerCountFromEnvironmentOrAffinity) {
  SKIP_WITHOUT_FORK();
  ASSERT_TRUE(pool_started_and_idle());  // every child below inherits a running pool
  cpu_set_t mask;
  ASSERT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
  const std::size_t cpus = static_cast<std::size_t>(CPU_COUNT(&mask));
  EXPECT_TRUE(in_child("3", [] { return num_threads() == 3; }));
  EXPECT_TRUE(in_child("1", [] { return num_threads() == 1; }));
  const char* unset = nullptr;
  for (const char* ignored : {unset, "0", "-2", "abc", "4x", "", " 2"}) {
    EXPECT_TRUE(in_child(ignored, [&] { return num_threads() == cpus; }))
        << (ignored != nullptr ? ignored : "unset");
  }
  EXPECT_TRUE(in_child(nullptr, [&] {
    int first = 0;
    while (!CPU_ISSET(first, &mask)) ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    return sched_setaffinity(0, sizeof one, &one) == 0 && num_threads() == 1;
  }));
}

TEST(ParallelPool, OneWorkerRunsNestedMapsCooperatively) {
  SKIP_WITHOUT_FORK();
  EXPECT_TRUE(in_child("1", [] {
    return nested_maps_correct() && lowest_failure_wins() && concurrent_callers_correct();
  }));
}

TEST(ParallelPool, TwoWorkersShareFlatAndNestedMaps) {
  SKIP_WITHOUT_FORK();
  EXPECT_TRUE(in_child("2", [] {
    const auto nested = par_map_indexed(1, [](std::size_t) { return items_overlap(2); });
    return items_overlap(2) && nested[0];
  }));
}

TEST(ParallelPool, ForkedChildBuildsItsOwnPool) {
  SKIP_WITHOUT_FORK_DURING_MALLOC();
  // The parent keeps its pool busy so that forks land while its locks are taken.
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) par_map(64, random_item);
  });
  for (int rep = 0; rep < 10; ++rep) {
    const bool ok = in_child("2", [] { return num_threads() == 2 && nested_maps_correct(); });
    EXPECT_TRUE(ok) << "fork " << rep;
    if (!ok) break;
  }
  stop = true;
  busy.join();
}

}  // namespace
}  // namespace tessarix::runtime
