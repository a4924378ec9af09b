#pragma once

// Threads that stay for a whole run and take one task each per call, so that a generation
// pays a wake-up instead of a thread start for every parallel stretch. Between calls a thread
// watches for the next one for a short while before it sleeps: a generation's calls come
// microseconds apart, and waking a sleeping thread (on a virtual machine above all) costs
// more than a stretch of work.

#include <cstddef>
#include <exception>
#include <functional>
#include <vector>

#if !defined(HOSTSWITCH_SINGLE_THREADED)
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#endif

namespace hostswitch {

class Workers {
 public:
  // `count` tasks per call: the caller's thread takes task 0, count - 1 threads the others.
  // A single-threaded build runs every task on the caller's thread, in order.
  explicit Workers(unsigned count);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  unsigned count() const { return count_; }

  // Runs task(0) ... task(count - 1) and returns when all are done; rethrows the first
  // exception a task threw.
  void run(const std::function<void(unsigned)>& task);

 private:
  unsigned count_;
#if !defined(HOSTSWITCH_SINGLE_THREADED)
  void serve(unsigned index);
  void finish_task(std::exception_ptr failure);

  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  const std::function<void(unsigned)>* task_ = nullptr;
  // Published after task_, so a thread that sees a new round sees its task.
  std::atomic<std::uint64_t> round_{0};
  std::atomic<unsigned> running_{0};
  std::atomic<bool> stopping_{false};
  // Threads about to sleep or asleep, and whether the caller is: the lock and the
  // notification are paid only then. Each side writes its own and reads the other's in
  // sequentially consistent order, so that one of the two always sees the other.
  std::atomic<unsigned> sleeping_{0};
  std::atomic<bool> caller_sleeping_{false};
  bool watching_ = false;            // whether threads watch for calls before they sleep
  std::atomic<bool> failed_{false};  // a task threw: failure_ holds the first exception
  std::exception_ptr failure_;       // under mutex_
  std::vector<std::thread> threads_;
#endif
};

}  // namespace hostswitch
