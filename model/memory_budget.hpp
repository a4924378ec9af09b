#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <vector>

#include "model/model_errors.hpp"

namespace hostswitch {

// What the system lets this process have on top of what it holds, each when known.
struct MemoryLimits {
  std::optional<std::size_t> available;      // MemAvailable of /proc/meminfo
  std::optional<std::size_t> cgroup;         // tightest limit less use, up the cgroup's ancestors
  std::optional<std::size_t> address_space;  // RLIMIT_AS less VmSize
  std::optional<std::size_t> data;           // RLIMIT_DATA less VmData

  std::size_t smallest() const;  // SIZE_MAX when nothing is known
};

// Reads the limits from the files under `root` ("/" for this very process): proc/meminfo,
// proc/self/{status,limits,cgroup,mountinfo} and the memory controller's files of the
// process's cgroup (v2 memory.max/memory.current, v1 memory.limit_in_bytes/
// memory.usage_in_bytes), found through mountinfo or else the usual /sys/fs/cgroup layout.
// Missing or unreadable files leave their limit unknown.
MemoryLimits read_memory_limits(const std::filesystem::path& root);

// The model's sequences draw on one process-wide budget, so that a run too big for the
// machine fails with "insufficient virtual memory" instead of being killed by the kernel
// when over-committed pages are first touched.
class MemoryBudget {
 public:
  // Bytes the model may hold at once; by default the smallest of the limits above, read
  // when first asked.
  static std::size_t limit();
  static void set_limit(std::size_t bytes);
  static std::size_t in_use() { return in_use_.load(std::memory_order_relaxed); }
  // Whether `bytes` more could be acquired now; takes nothing.
  static bool fits(std::size_t bytes);

  static void acquire(std::size_t bytes);
  static void release(std::size_t bytes) { in_use_.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  static std::atomic<std::size_t> in_use_;
};

// Asks the system to back a block of memory of `bytes` with huge pages where it can: large
// populations then take a page fault and a TLB entry per 2 MB instead of per 4 kB.
void advise_huge_pages(void* block, std::size_t bytes);

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
      void* const block = ::operator new(bytes);
      advise_huge_pages(block, bytes);
      return static_cast<T*>(block);
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

// Gives `sequence` exactly `size` elements whose values are about to be overwritten. Growing
// storage is released before the new block is taken, so the budget never holds both, and
// is sized exactly instead of by the vector's doubling.
template <class Vector>
void resize_for_overwrite(Vector& sequence, std::size_t size) {
  if (size > sequence.capacity()) {
    Vector().swap(sequence);
    sequence.reserve(size);
  }
  sequence.resize(size);
}

}  // namespace hostswitch
