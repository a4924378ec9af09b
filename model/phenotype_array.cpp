#include "model/phenotype_array.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "model/memory_budget.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace hostswitch {

namespace {

// From this size on an array is a mapping of its own: below it, the heap's blocks are
// cheaper to take and remapping saves little.
constexpr std::size_t kMappedFrom = std::size_t{4} << 20;
// Mappings start and end on huge-page boundaries: a huge page needs an aligned 2 MB range,
// and remapping to an unaligned address would split every huge page into small ones.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t mapped_length(std::size_t bytes) {
  return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

std::size_t bytes_for(std::size_t count) {
  if (count > static_cast<std::size_t>(-1) / sizeof(double) - 2 * kHugePage) {
    throw InsufficientMemory();
  }
  return count * sizeof(double);
}

#if defined(__linux__)
// A fresh mapping of `length` bytes (a multiple of kHugePage) at an aligned address.
void* map_aligned(std::size_t length) {
  void* raw = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return MAP_FAILED;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::uintptr_t tail = start + kHugePage - aligned;
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
  return reinterpret_cast<void*>(aligned);
}

// Grows a mapping where it lies if the addresses after it are free, else moves its page
// tables (not its pages) to an aligned range of the new length.
void* grow_mapping(void* mapping, std::size_t length, std::size_t new_length) {
  void* grown = ::mremap(mapping, length, new_length, 0);
  if (grown != MAP_FAILED) return grown;
  void* target = map_aligned(new_length);
  if (target == MAP_FAILED) return MAP_FAILED;
  grown = ::mremap(mapping, length, new_length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (grown == MAP_FAILED) ::munmap(target, new_length);
  return grown;
}
#endif

}  // namespace

PhenotypeArray::PhenotypeArray(const PhenotypeArray& other) {
  resize(other.size_, 0);
  std::copy(other.begin(), other.end(), values_);
}

PhenotypeArray::PhenotypeArray(PhenotypeArray&& other) noexcept
    : values_(std::exchange(other.values_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      room_(std::exchange(other.room_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

PhenotypeArray& PhenotypeArray::operator=(PhenotypeArray other) noexcept {
  std::swap(values_, other.values_);
  std::swap(size_, other.size_);
  std::swap(room_, other.room_);
  std::swap(mapped_, other.mapped_);
  return *this;
}

PhenotypeArray::~PhenotypeArray() { release(); }

void PhenotypeArray::release() noexcept {
  if (values_ == nullptr) return;
#if defined(__linux__)
  if (mapped_) {
    ::munmap(values_, mapped_length(room_));
  } else {
    ::operator delete(values_);
  }
#else
  ::operator delete(values_);
#endif
  MemoryBudget::release(room_);
  values_ = nullptr;
  size_ = 0;
  room_ = 0;
  mapped_ = false;
}

void PhenotypeArray::resize(std::size_t size, std::size_t keep) {
  const std::size_t bytes = bytes_for(size);
  if (bytes <= room_) {
    size_ = size;
    return;
  }
#if defined(__linux__)
  if (bytes >= kMappedFrom) {
    // The budget holds the array's bytes; the mapping rounds them up to whole huge pages,
    // which are touched only if the array reaches them.
    const std::size_t length = mapped_length(bytes);
    MemoryBudget::acquire(bytes - room_);
    void* block = MAP_FAILED;
    if (mapped_ && length == mapped_length(room_)) {
      block = values_;
    } else if (mapped_) {
      block = grow_mapping(values_, mapped_length(room_), length);
    } else {
      block = map_aligned(length);
    }
    if (block == MAP_FAILED) {
      MemoryBudget::release(bytes - room_);
      throw InsufficientMemory();
    }
    advise_huge_pages(block, length);
    if (!mapped_ && values_ != nullptr) {
      std::copy(values_, values_ + std::min(keep, size_), static_cast<double*>(block));
      ::operator delete(values_);
    }
    values_ = static_cast<double*>(block);
    room_ = bytes;
    mapped_ = true;
    size_ = size;
    return;
  }
#endif
  MemoryBudget::acquire(bytes);
  double* block = nullptr;
  try {
    block = static_cast<double*>(::operator new(bytes));
  } catch (const std::bad_alloc&) {
    MemoryBudget::release(bytes);
    throw InsufficientMemory();
  }
  if (values_ != nullptr) std::copy(values_, values_ + std::min(keep, size_), block);
  release();
  values_ = block;
  room_ = bytes;
  size_ = size;
}

bool operator==(const PhenotypeArray& a, const PhenotypeArray& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace hostswitch
