// The process-wide work-stealing pool behind the parallel maps. Each worker owns a deque of
// index ranges (it pops the newest, thieves take the oldest); callers outside the pool go
// through one shared injector queue. A range is halved until single items remain, so idle
// workers always find something coarse to steal. Cancellation is one flag per map from
// outside the pool, shared by the maps nested in its items, and checked before every item.
#include "runtime/parallel.hpp"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace tessarix::runtime {
namespace {

using ItemFn = void (*)(void* ctx, std::size_t i);

// Upper bound on the worker count, whatever the machine or the environment asks for.
constexpr std::size_t kMaxWorkers = 4096;

// One call of run_indexed. It lives on the caller's stack; nothing touches it after the
// last item's completion has been counted, so the caller may return as soon as it sees zero.
struct Job {
  Job(void* c, ItemFn f, std::size_t n, std::uint32_t d, const std::atomic<bool>* inherited_stop,
      ProgressCounter* counter)
      : ctx(c),
        item(f),
        depth(d),
        stop(inherited_stop != nullptr ? inherited_stop : &cancelled),
        progress(counter),
        remaining(n) {}

  void* const ctx;
  const ItemFn item;
  // 0 for a job handed in from outside the pool (its caller blocks), else one more than the
  // depth of the item that started it (its caller is a worker that helps while it waits).
  const std::uint32_t depth;
  // Set by the caller of a job from outside the pool when its interrupt check fires.
  std::atomic<bool> cancelled{false};
  // The flag this job obeys: its own for a job from outside, else the one of the job whose item
  // started it, so that one store stops a whole tree of nested maps. That outer job outlives
  // this one, since its item waits for this job to finish.
  const std::atomic<bool>* const stop;
  // Where finished items are counted (a job from outside whose caller installed a counter).
  ProgressCounter* const progress;
  std::atomic<std::size_t> remaining;

  std::mutex failure_mutex;
  std::size_t failed_index = std::numeric_limits<std::size_t>::max();
  std::exception_ptr failure;
};

// The items [lo, hi) of one job.
struct Task {
  Job* job;
  std::size_t lo;
  std::size_t hi;
};

// A mutex-guarded ring of tasks. Items are coarse (one estimator fit each), so a lock per
// push or pop costs nothing next to the work, and keeps the reasoning simple.
class TaskDeque {
public:
  TaskDeque() : ring_(kInitialCapacity) {}

  // Appends at the newest end; false when the ring is full and cannot grow.
  bool push_back(const Task& task) {
    std::lock_guard lock(mutex_);
    if (size_ == ring_.size()) {
      try {
        grow();
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    ring_[(head_ + size_) & (ring_.size() - 1)] = task;
    ++size_;
    return true;
  }

  // Takes the newest task if its job is at least `min_depth` deep.
  bool pop_back(std::uint32_t min_depth, Task& out) {
    std::lock_guard lock(mutex_);
    if (size_ == 0) return false;
    const Task& newest = ring_[(head_ + size_ - 1) & (ring_.size() - 1)];
    if (newest.job->depth < min_depth) return false;
    out = newest;
    --size_;
    return true;
  }

  // Takes the oldest task if its job is at least `min_depth` deep.
  bool pop_front(std::uint32_t min_depth, Task& out) {
    std::lock_guard lock(mutex_);
    if (size_ == 0) return false;
    const Task& oldest = ring_[head_];
    if (oldest.job->depth < min_depth) return false;
    out = oldest;
    head_ = (head_ + 1) & (ring_.size() - 1);
    --size_;
    return true;
  }

private:
  // Deep enough for the halvings of a few levels of nested maps without ever growing.
  static constexpr std::size_t kInitialCapacity = 64;

  void grow() {
    std::vector<Task> bigger(ring_.size() * 2);
    for (std::size_t k = 0; k < size_; ++k) bigger[k] = ring_[(head_ + k) & (ring_.size() - 1)];
    ring_.swap(bigger);
    head_ = 0;
  }

  std::mutex mutex_;
  std::vector<Task> ring_;  // capacity is a power of two
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

class Pool;

// Which pool, if any, the current thread works for, and the depth and cancellation flag of the
// job whose item it is running.
struct CurrentWorker {
  Pool* pool = nullptr;
  std::size_t index = 0;
  std::uint32_t depth = 0;
  const std::atomic<bool>* stop = nullptr;
};
constinit thread_local CurrentWorker t_worker{};

// The interrupt check this thread installed for the maps it hands to the pool.
struct InterruptCheck {
  ScopedInterruptCheck::Check check = nullptr;
  void* ctx = nullptr;
};
constinit thread_local InterruptCheck t_interrupt{};

// The progress counter this thread installed for the maps it hands to the pool.
constinit thread_local ProgressCounter* t_progress = nullptr;

class Pool {
public:
  Pool(std::size_t workers, pid_t owner)
      : owner_(owner), count_(workers), workers_(std::make_unique<Worker[]>(workers)) {}

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Launches the workers. Throws only if not even one could be started; after that the pool
  // is referenced by running threads and must never be destroyed.
  void start() {
    for (std::size_t i = 0; i < count_; ++i) {
      try {
        std::thread([this, i] { worker_main(i); }).detach();
      } catch (const std::system_error&) {
        if (i == 0) throw;
        break;
      }
      started_ = i + 1;
    }
  }

  pid_t owner() const { return owner_; }
  std::size_t size() const { return started_; }

  // The caller is not one of our workers: queue the whole range and block until it is done,
  // running `interrupt` between slices of the wait until it asks to cancel the job. Once it
  // has, the wait goes on without it for the items that are still running.
  void run_external(Job& job, std::size_t n, InterruptCheck interrupt) {
    if (!injector_.push_back({&job, 0, n})) throw std::bad_alloc();
    wake_for(/*helpers_can_take=*/false);
    const auto done = [&] { return job.remaining.load(std::memory_order_acquire) == 0; };
    std::unique_lock lock(sleep_mutex_);
    while (interrupt.check != nullptr) {
      if (done_cv_.wait_for(lock, interrupt_check_interval, done)) return;
      // The check may block (on an interpreter lock, say), so it runs without the pool's mutex:
      // workers go on finishing items and other callers go on queueing theirs meanwhile.
      lock.unlock();
      const bool cancel = interrupt.check(interrupt.ctx);
      lock.lock();
      if (cancel) {
        job.cancelled.store(true, std::memory_order_relaxed);
        break;
      }
    }
    done_cv_.wait(lock, done);
  }

  // The caller is worker `self` inside an item: run the range here and help until it is done.
  void run_nested(std::size_t self, Job& job, std::size_t n) {
    execute(self, {&job, 0, n});
    help(self, &job);
  }

private:
  struct alignas(64) Worker {
    TaskDeque deque;
  };

  [[noreturn]] void worker_main(std::size_t self) {
    t_worker = {this, self, 0};
    help(self, nullptr);
    std::terminate();  // help(nullptr) never returns
  }

  // Runs tasks until `awaited` has finished (forever when null, for an idle worker). A waiting
  // worker takes only tasks at least as deep as the job it waits for: its own job's ranges
  // and those of maps nested inside other items. Every further wait is then strictly deeper,
  // so the stack holds at most one frame per nesting level, and the work an unfinished job
  // needs is never buried under an unrelated item on the helper's own stack.
  void help(std::size_t self, const Job* awaited) {
    const std::uint32_t min_depth = awaited != nullptr ? awaited->depth : 0;
    auto finished = [awaited] {
      return awaited != nullptr && awaited->remaining.load(std::memory_order_acquire) == 0;
    };
    std::atomic<std::size_t>& sleepers = awaited != nullptr ? helping_sleepers_ : idle_sleepers_;
    std::condition_variable& cv = awaited != nullptr ? help_cv_ : idle_cv_;
    for (;;) {
      if (finished()) return;
      Task task;
      if (find_work(self, min_depth, task)) {
        execute(self, task);
        continue;
      }
      // Announce the sleep before the last look at the queues: a push that this look misses
      // comes after it, sees the announcement, and notifies under the mutex we hold until we
      // wait. A job completion locks the same mutex before notifying.
      std::unique_lock lock(sleep_mutex_);
      sleepers.fetch_add(1);
      const bool found = find_work(self, min_depth, task);
      if (!found && !finished()) cv.wait(lock);
      sleepers.fetch_sub(1);
      lock.unlock();
      if (found) execute(self, task);
    }
  }

  // Own newest task first (depth-first, keeps the working set hot), then a job from outside,
  // then the oldest (largest) task of another worker.
  bool find_work(std::size_t self, std::uint32_t min_depth, Task& out) {
    if (workers_[self].deque.pop_back(min_depth, out)) return true;
    if (min_depth == 0 && injector_.pop_front(0, out)) return true;
    for (std::size_t k = 1; k < count_; ++k) {
      if (workers_[(self + k) % count_].deque.pop_front(min_depth, out)) return true;
    }
    return false;
  }

  // Halves the range, publishing each upper half for thieves, until one item is left; the
  // split never changes which items run, only who runs them. Once the job is cancelled, the
  // rest of the range is counted as done without running (or splitting) it.
  void execute(std::size_t self, Task task) {
    Job& job = *task.job;
    const auto cancelled = [&job] { return job.stop->load(std::memory_order_relaxed); };
    while (task.hi - task.lo > 1 && !cancelled()) {
      const std::size_t mid = task.lo + (task.hi - task.lo) / 2;
      // Out of memory for the queue: run the rest of the range here instead.
      if (!workers_[self].deque.push_back({&job, mid, task.hi})) break;
      wake_for(/*helpers_can_take=*/true);
      task.hi = mid;
    }
    const CurrentWorker outer = t_worker;
    t_worker.depth = job.depth;
    t_worker.stop = job.stop;
    for (std::size_t i = task.lo; i < task.hi && !cancelled(); ++i) {
      run_item(job, i);
      if (job.progress != nullptr) job.progress->done.fetch_add(1, std::memory_order_relaxed);
    }
    t_worker = outer;
    finish(job, task.hi - task.lo);
  }

  static void run_item(Job& job, std::size_t i) noexcept {
    try {
      job.item(job.ctx, i);
    } catch (...) {
      std::lock_guard lock(job.failure_mutex);
      if (i < job.failed_index) {
        job.failed_index = i;
        job.failure = std::current_exception();
      }
    }
  }

  // Counts `count` items of `job` as done and wakes its caller after the last one. Nothing of
  // the job is touched once its count may have reached zero.
  void finish(Job& job, std::size_t count) {
    const bool worker_waits = job.depth > 0;
    if (job.remaining.fetch_sub(count, std::memory_order_acq_rel) != count) return;
    std::lock_guard lock(sleep_mutex_);
    if (worker_waits) {
      help_cv_.notify_all();
    } else {
      done_cv_.notify_all();
    }
  }

  // Called after a push. The push happened under its deque's mutex, which every sleeper also
  // takes during its last look after announcing itself, so a sleeper that missed the task is
  // counted here. Any idle worker can take any task; a waiting helper only some, hence all of
  // those are woken to look.
  void wake_for(bool helpers_can_take) {
    const bool idle = idle_sleepers_.load() > 0;
    const bool helping = helpers_can_take && helping_sleepers_.load() > 0;
    if (!idle && !helping) return;
    std::lock_guard lock(sleep_mutex_);
    if (idle) idle_cv_.notify_one();
    if (helping) help_cv_.notify_all();
  }

  const pid_t owner_;
  const std::size_t count_;
  std::size_t started_ = 0;
  std::unique_ptr<Worker[]> workers_;
  TaskDeque injector_;

  std::mutex sleep_mutex_;
  std::condition_variable idle_cv_;  // workers with nothing to do
  std::condition_variable help_cv_;  // workers waiting for a nested job
  std::condition_variable done_cv_;  // callers from outside waiting for their job
  std::atomic<std::size_t> idle_sleepers_{0};
  std::atomic<std::size_t> helping_sleepers_{0};
};

// CPUs this process may run on (its affinity mask), at least 1.
std::size_t cpus_available() {
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int rc = sched_getaffinity(0, bytes, set);
    const int err = errno;
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 1;
    if (err != EINVAL) break;  // EINVAL: the kernel's mask is larger than ours
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

// TESSARIX_NUM_THREADS when it is a positive decimal integer, else the available CPUs.
std::size_t configured_workers() {
  std::size_t workers = 0;
  if (const char* text = std::getenv("TESSARIX_NUM_THREADS")) {
    const char* end = text + std::strlen(text);
    std::size_t value = 0;
    const auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec == std::errc() && ptr == end && value > 0) workers = value;
  }
  if (workers == 0) workers = cpus_available();
  return workers < kMaxWorkers ? workers : kMaxWorkers;
}

// The pool of the process that created it; leaked on purpose (never joined or destroyed), so
// that exit never waits on a worker and a forked child never touches the parent's mutexes.
std::atomic<Pool*> g_pool{nullptr};

// Serialises pool creation. It holds the id of the process that took it, so a child forked
// while a thread of the parent was creating the pool (a thread the child does not have) can
// take it over instead of waiting forever.
std::atomic<pid_t> g_creating{0};

class CreationGuard {
public:
  explicit CreationGuard(pid_t self) {
    for (;;) {
      pid_t holder = g_creating.load(std::memory_order_acquire);
      if (holder != self &&
          g_creating.compare_exchange_weak(holder, self, std::memory_order_acq_rel)) {
        return;
      }
      std::this_thread::yield();
    }
  }
  CreationGuard(const CreationGuard&) = delete;
  CreationGuard& operator=(const CreationGuard&) = delete;
  ~CreationGuard() { g_creating.store(0, std::memory_order_release); }
};

Pool& shared_pool() {
  const pid_t self = ::getpid();
  Pool* pool = g_pool.load(std::memory_order_acquire);
  if (pool != nullptr && pool->owner() == self) return *pool;
  CreationGuard guard(self);
  pool = g_pool.load(std::memory_order_acquire);
  if (pool != nullptr && pool->owner() == self) return *pool;
  // Either no pool yet, or one inherited through fork(): its workers do not exist here and
  // its mutexes may be held for ever, so it is abandoned untouched.
  auto fresh = std::make_unique<Pool>(configured_workers(), self);
  fresh->start();
  pool = fresh.release();
  g_pool.store(pool, std::memory_order_release);
  return *pool;
}

}  // namespace

std::size_t num_threads() { return shared_pool().size(); }

ScopedInterruptCheck::ScopedInterruptCheck(Check check, void* ctx) noexcept
    : previous_check_(t_interrupt.check), previous_ctx_(t_interrupt.ctx) {
  t_interrupt = {check, ctx};
}

ScopedInterruptCheck::~ScopedInterruptCheck() { t_interrupt = {previous_check_, previous_ctx_}; }

ScopedProgress::ScopedProgress(ProgressCounter* counter) noexcept : previous_(t_progress) { t_progress = counter; }

ScopedProgress::~ScopedProgress() { t_progress = previous_; }

namespace detail {

void run_indexed(std::size_t n, void* ctx, void (*item)(void* ctx, std::size_t i)) {
  if (n == 0) return;
  Pool& pool = shared_pool();
  const bool inside = t_worker.pool == &pool;
  ProgressCounter* progress = inside ? nullptr : t_progress;
  if (progress != nullptr) progress->total.fetch_add(n, std::memory_order_relaxed);
  Job job(ctx, item, n, inside ? t_worker.depth + 1 : 0, inside ? t_worker.stop : nullptr, progress);
  if (inside) {
    pool.run_nested(t_worker.index, job, n);
  } else {
    pool.run_external(job, n, t_interrupt);
  }
  // Cancellation outranks item failures: the caller asked to stop, and a failure seen on the
  // way out may only be its echo (a nested map that threw MapCancelled). A flag is never
  // cleared, and a worker that skipped items for it counted them done after seeing it, so the
  // wait for that count makes it visible here.
  if (job.stop->load(std::memory_order_relaxed)) throw MapCancelled();
  if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace detail
}  // namespace tessarix::runtime
