#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "model/model_errors.hpp"

namespace hostswitch {

// The model's sequences draw on one process-wide budget, so that a run too big for the
// machine fails with "insufficient virtual memory" instead of being killed by the kernel
// when over-committed pages are first touched.
class MemoryBudget {
 public:
  // Bytes the model may hold at once; by default the memory available when first asked.
  static std::size_t limit();
  static void set_limit(std::size_t bytes);
  static std::size_t in_use() { return in_use_.load(std::memory_order_relaxed); }

  static void acquire(std::size_t bytes);
  static void release(std::size_t bytes) { in_use_.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  static std::atomic<std::size_t> in_use_;
};

// Allocates against the budget and leaves new elements uninitialised: every slot the
// model reads it has written first, so zero-filling would only cost time.
template <class T>
class BudgetAllocator {
 public:
  using value_type = T;

  BudgetAllocator() = default;
  template <class U>
  explicit BudgetAllocator(const BudgetAllocator<U>&) {}

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw InsufficientMemory();
    const std::size_t bytes = count * sizeof(T);
    MemoryBudget::acquire(bytes);
    try {
      return static_cast<T*>(::operator new(bytes));
    } catch (const std::bad_alloc&) {
      MemoryBudget::release(bytes);
      throw InsufficientMemory();
    }
  }
  void deallocate(T* pointer, std::size_t count) noexcept {
    MemoryBudget::release(count * sizeof(T));
    ::operator delete(pointer);
  }

  template <class U>
  void construct(U* pointer) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(pointer)) U;
  }
  template <class U, class... Args>
  void construct(U* pointer, Args&&... args) {
    ::new (static_cast<void*>(pointer)) U(std::forward<Args>(args)...);
  }

  friend bool operator==(const BudgetAllocator&, const BudgetAllocator&) { return true; }
};

using PhenotypeVector = std::vector<double, BudgetAllocator<double>>;

}  // namespace hostswitch
