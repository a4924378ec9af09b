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
constexpr std::size_t kPage = 4096;

std::size_t mapped_length(std::size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

std::size_t bytes_for(std::size_t count) {
  if (count > static_cast<std::size_t>(-1) / sizeof(double) - kPage) throw InsufficientMemory();
  return count * sizeof(double);
}

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
    // The budget holds the array's bytes; the mapping rounds them up to whole pages.
    const std::size_t length = mapped_length(bytes);
    MemoryBudget::acquire(bytes - room_);
    void* block = MAP_FAILED;
    if (mapped_) {
      block = ::mremap(values_, mapped_length(room_), length, MREMAP_MAYMOVE);
    } else {
      block = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
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
