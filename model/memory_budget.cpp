#include "model/memory_budget.hpp"

#include <unistd.h>

#include <fstream>
#include <mutex>
#include <string>

namespace hostswitch {

std::atomic<std::size_t> MemoryBudget::in_use_{0};

namespace {

std::atomic<std::size_t> configured_limit{0};

std::size_t available_memory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::size_t kib = 0;
  std::string unit;
  while (meminfo >> key >> kib >> unit) {
    if (key == "MemAvailable:") return kib * 1024;
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0) {
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
  }
  return static_cast<std::size_t>(-1);
}

}  // namespace

std::size_t MemoryBudget::limit() {
  static std::once_flag measured;
  std::call_once(measured, [] {
    std::size_t expected = 0;
    configured_limit.compare_exchange_strong(expected, available_memory());
  });
  return configured_limit.load(std::memory_order_relaxed);
}

void MemoryBudget::set_limit(std::size_t bytes) {
  limit();  // measure first, so a later first call cannot overwrite this
  configured_limit.store(bytes, std::memory_order_relaxed);
}

void MemoryBudget::acquire(std::size_t bytes) {
  const std::size_t cap = limit();
  std::size_t current = in_use_.load(std::memory_order_relaxed);
  do {
    if (bytes > cap || current > cap - bytes) throw InsufficientMemory();
  } while (!in_use_.compare_exchange_weak(current, current + bytes, std::memory_order_relaxed));
}

}  // namespace hostswitch
