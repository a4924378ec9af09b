#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/class_tally.hpp"
#include "model/memory_budget.hpp"

namespace hostswitch {

// One non-empty phenotype class of a generation.
struct PhenotypeClass {
  std::int64_t k = 0;    // class number, from 1
  double centre = 0.0;   // p_phe
  std::int32_t n_p = 0;  // parasites counted in the class

  friend bool operator==(const PhenotypeClass&, const PhenotypeClass&) = default;
};

// Number of classes for a range and width: trunc((mx - mn) / binw) + 2; a quotient that is
// NaN or beyond 32 bits gives -2147483646 (no class). Done in 64 bits, so it never wraps.
std::int64_t class_count(double mn, double mx, double binw);

// The histogram of SAIDA. Class k spans [lower_k, upper_k) with
//   centre = (binw/2 + mn) + (k-1)*binw, lower = centre - binw/2, upper = binw/2 + centre,
// each edge computed on its own for its class, so the smallest value can fall in no class
// and a value can fall in two. The result equals counting every value against every class,
// at a cost that does not grow with the number of classes: every rounding is monotone, so
// the classes holding a value form one interval of k, found from an estimate and checked
// against the exact edges.
class PhenotypeHistogram {
 public:
  explicit PhenotypeHistogram(double binw) : binw_(binw) {}

  // The non-empty classes of pop in increasing order; valid until the next call.
  std::span<const PhenotypeClass> classes(std::span<const double> pop);
  // The same for a NaN-free pop whose smallest and largest values are known.
  std::span<const PhenotypeClass> classes(std::span<const double> pop, double mn, double mx);

  // Lays out the classes of such a pop and returns a tally to add its values to, or nullptr
  // where they are counted otherwise. Once every value of pop has been added, classes(pop,
  // mn, mx) finishes from the tally instead of counting pop again.
  ClassTally* begin_tally(std::span<const double> pop, double mn, double mx);

 private:
  std::span<const PhenotypeClass> count(std::span<const double> pop, double mn, double mx,
                                        bool has_nan);
  // class_count, or 0 for a width under which every class is empty.
  std::int64_t usable_class_count(double mn, double mx) const;
  bool dense(std::int64_t nclass, std::size_t n) const;
  void lay_out_dense(std::int64_t nclass, bool clamp);
  void place_exactly(std::int64_t guess, double v);
  void finish_dense();
  void count_sparse(std::span<const double> pop, std::int64_t nclass);
  template <class Add>
  void intervals(std::span<const double> pop, std::int64_t nclass, Add add) const;

  double binw_;
  double mn_ = 0.0;
  std::int64_t nclass_ = 0;
  ClassTally tally_;
  // The population begin_tally was given, while its tally is open.
  std::span<const double> tallied_pop_;
  double tallied_max_ = 0.0;
  bool tally_open_ = false;
  // Per class, the part of its span that no other class reaches.
  std::vector<double, BudgetAllocator<double>> alone_lower_;
  std::vector<double, BudgetAllocator<double>> alone_upper_;
  std::vector<double, BudgetAllocator<double>> lower_;
  std::vector<double, BudgetAllocator<double>> upper_;
  std::vector<std::int32_t, BudgetAllocator<std::int32_t>> single_;
  std::vector<std::int32_t, BudgetAllocator<std::int32_t>> difference_;
  std::vector<std::int64_t, BudgetAllocator<std::int64_t>> starts_;
  std::vector<std::int64_t, BudgetAllocator<std::int64_t>> ends_;
  std::vector<PhenotypeClass, BudgetAllocator<PhenotypeClass>> classes_;
};

}  // namespace hostswitch
