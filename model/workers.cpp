#include "model/workers.hpp"

namespace hostswitch {

#if defined(HOSTSWITCH_SINGLE_THREADED)

Workers::Workers(unsigned count) : count_(count == 0 ? 1 : count) {}
Workers::~Workers() = default;

void Workers::run(const std::function<void(unsigned)>& task) {
  for (unsigned k = 0; k < count_; ++k) task(k);
}

#else

Workers::Workers(unsigned count) : count_(count == 0 ? 1 : count) {
  threads_.reserve(count_ - 1);
  for (unsigned k = 1; k < count_; ++k) threads_.emplace_back([this, k] { serve(k); });
}

Workers::~Workers() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  start_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void Workers::serve(unsigned index) {
  std::size_t seen = 0;
  for (;;) {
    const std::function<void(unsigned)>* task;
    {
      std::unique_lock lock(mutex_);
      start_.wait(lock, [&] { return stopping_ || round_ != seen; });
      if (stopping_) return;
      seen = round_;
      task = task_;
    }
    std::exception_ptr failure;
    try {
      (*task)(index);
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard lock(mutex_);
    if (failure && !failure_) failure_ = failure;
    if (--running_ == 0) done_.notify_one();
  }
}

void Workers::run(const std::function<void(unsigned)>& task) {
  if (count_ == 1) {
    task(0);
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    task_ = &task;
    running_ = count_ - 1;
    failure_ = nullptr;
    ++round_;
  }
  start_.notify_all();
  std::exception_ptr failure;
  try {
    task(0);
  } catch (...) {
    failure = std::current_exception();
  }
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return running_ == 0; });
  if (!failure) failure = failure_;
  if (failure) std::rethrow_exception(failure);
}

#endif

}  // namespace hostswitch
