#include "model/workers.hpp"

#if !defined(HOSTSWITCH_SINGLE_THREADED)
#include <chrono>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#endif

namespace hostswitch {

#if defined(HOSTSWITCH_SINGLE_THREADED)

Workers::Workers(unsigned count) : count_(count == 0 ? 1 : count) {}
Workers::~Workers() = default;

void Workers::run(const std::function<void(unsigned)>& task) {
  for (unsigned k = 0; k < count_; ++k) task(k);
}

#else

namespace {

// Long enough to span the serial work between two calls of a generation, short enough that
// a thread idle between runs gives its core back almost at once.
constexpr std::chrono::microseconds kWatchFor{200};

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

// Watches `done` for kWatchFor; true as soon as it holds. With more threads than processors a
// watching thread would only keep a working one from its processor, so none watches then.
template <typename Done>
bool watch(bool watching, Done done) {
  if (!watching) return done();
  const auto until = std::chrono::steady_clock::now() + kWatchFor;
  for (;;) {
    for (int k = 0; k < 64; ++k) {
      if (done()) return true;
      relax();
    }
    if (std::chrono::steady_clock::now() >= until) return done();
    // On a machine busier than its processors the thread awaited may be waiting for this
    // one's processor: offer it (a call that returns at once when nothing else wants it).
    std::this_thread::yield();
  }
}

}  // namespace

Workers::Workers(unsigned count)
    : count_(count == 0 ? 1 : count), watching_(count_ <= std::thread::hardware_concurrency()) {
  threads_.reserve(count_ - 1);
  for (unsigned k = 1; k < count_; ++k) threads_.emplace_back([this, k] { serve(k); });
}

Workers::~Workers() {
  {
    const std::lock_guard lock(mutex_);
    stopping_.store(true, std::memory_order_release);
  }
  start_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void Workers::serve(unsigned index) {
  std::uint64_t seen = 0;
  for (;;) {
    const auto called = [&] {
      return stopping_.load(std::memory_order_seq_cst) ||
             round_.load(std::memory_order_seq_cst) != seen;
    };
    if (!watch(watching_, called)) {
      std::unique_lock lock(mutex_);
      sleeping_.fetch_add(1, std::memory_order_seq_cst);
      start_.wait(lock, called);
      sleeping_.fetch_sub(1, std::memory_order_relaxed);
    }
    if (stopping_.load(std::memory_order_acquire)) return;
    seen = round_.load(std::memory_order_acquire);
    std::exception_ptr failure;
    try {
      (*task_)(index);
    } catch (...) {
      failure = std::current_exception();
    }
    finish_task(failure);
  }
}

void Workers::finish_task(std::exception_ptr failure) {
  if (failure) {
    const std::lock_guard lock(mutex_);
    if (!failure_) failure_ = failure;
    failed_.store(true, std::memory_order_relaxed);  // published by the release below
  }
  if (running_.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
      caller_sleeping_.load(std::memory_order_seq_cst)) {
    // Taken so that the caller cannot miss the notification between its test and its wait.
    const std::lock_guard lock(mutex_);
    done_.notify_one();
  }
}

void Workers::run(const std::function<void(unsigned)>& task) {
  if (count_ == 1) {
    task(0);
    return;
  }
  task_ = &task;
  running_.store(count_ - 1, std::memory_order_relaxed);
  round_.fetch_add(1, std::memory_order_seq_cst);
  if (sleeping_.load(std::memory_order_seq_cst) > 0) {
    {
      // A thread that found no new round under the lock is waiting by the time this is had.
      const std::lock_guard lock(mutex_);
    }
    start_.notify_all();
  }
  std::exception_ptr failure;
  try {
    task(0);
  } catch (...) {
    failure = std::current_exception();
  }
  const auto finished = [&] { return running_.load(std::memory_order_seq_cst) == 0; };
  if (!watch(watching_, finished)) {
    std::unique_lock lock(mutex_);
    caller_sleeping_.store(true, std::memory_order_seq_cst);
    done_.wait(lock, finished);
    caller_sleeping_.store(false, std::memory_order_relaxed);
  }
  // No thread is in a task now, so none writes the failure while it is read and cleared.
  if (failed_.load(std::memory_order_acquire)) {
    const std::lock_guard lock(mutex_);
    if (!failure) failure = failure_;
    failure_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
  }
  if (failure) std::rethrow_exception(failure);
}

#endif

}  // namespace hostswitch
