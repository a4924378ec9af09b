#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace hostswitch {

struct IndexWithInterval {
  double value = 0.0;
  double lo = 0.0;  // bootstrap 95% percentile interval
  double hi = 0.0;
};

struct SobolIndices {
  std::vector<IndexWithInterval> first;  // S_i, Saltelli et al. (2010)
  std::vector<IndexWithInterval> total;  // ST_i, Jansen (1999)
  double variance = 0.0;                 // of the outputs of A and B together
};

// The model's output at the N rows of A, of B, and of each A_B^(i) (A with column i from B):
// `ab[i][j]` belongs to base row j. The intervals come from `resamples` bootstrap draws of the
// N base rows, seeded, so the same outputs give the same intervals. Indices of an output that
// does not vary are 0.
SobolIndices sobol_indices(std::span<const double> a, std::span<const double> b,
                           const std::vector<std::vector<double>>& ab,
                           std::int32_t resamples = 1000, std::uint64_t seed = 20100401);

struct MorrisEffects {
  double mu = 0.0;       // mean elementary effect
  double mu_star = 0.0;  // mean absolute elementary effect (Campolongo et al. 2007)
  // Their standard deviation (n - 1); none from a single effect, which says nothing of spread.
  std::optional<double> sigma;
  std::int64_t effects = 0;
};

// One trajectory: k + 1 points in unit coordinates (row after row, k columns) and the output at
// each. Between neighbouring points one coordinate moves; its elementary effect is the change in
// the output over the change in that coordinate. Points where nothing moved are passed over.
struct MorrisTrajectory {
  std::vector<double> unit;
  std::vector<double> output;
};
std::vector<MorrisEffects> morris_effects(const std::vector<MorrisTrajectory>& trajectories,
                                          std::size_t k);

}  // namespace hostswitch
