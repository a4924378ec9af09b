#pragma once

#include <cstddef>

namespace hostswitch {

// The generation's phenotypes, held against the memory budget, in storage that grows in
// place: a large array is a mapping of its own, grown by remapping, so that growing neither
// copies what it holds nor gives its pages back to be faulted in and zeroed again.
// New elements are left uninitialised: the model writes every slot before it reads it.
class PhenotypeArray {
 public:
  using value_type = double;
  using iterator = double*;
  using const_iterator = const double*;

  PhenotypeArray() = default;
  PhenotypeArray(const PhenotypeArray& other);
  PhenotypeArray(PhenotypeArray&& other) noexcept;
  PhenotypeArray& operator=(PhenotypeArray other) noexcept;
  ~PhenotypeArray();

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  double* data() { return values_; }
  const double* data() const { return values_; }
  double* begin() { return values_; }
  double* end() { return values_ + size_; }
  const double* begin() const { return values_; }
  const double* end() const { return values_ + size_; }
  double& operator[](std::size_t i) { return values_[i]; }
  const double& operator[](std::size_t i) const { return values_[i]; }

  // Makes the size `size`; where the storage must move, only the first `keep` values go with
  // it. Throws InsufficientMemory when the budget or the system refuses the room.
  void resize(std::size_t size, std::size_t keep);
  void resize(std::size_t size) { resize(size, size_); }

  friend bool operator==(const PhenotypeArray& a, const PhenotypeArray& b);

 private:
  void release() noexcept;

  double* values_ = nullptr;
  std::size_t size_ = 0;
  std::size_t room_ = 0;  // bytes held against the budget
  bool mapped_ = false;
};

}  // namespace hostswitch
