#include "analysis/sensitivity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

namespace hostswitch {

namespace {

struct Estimates {
  std::vector<double> first;
  std::vector<double> total;
  double variance = 0.0;
};

// The estimators over the base rows `rows` (a bootstrap draw, or every row once).
Estimates estimate(std::span<const double> a, std::span<const double> b,
                   const std::vector<std::vector<double>>& ab,
                   const std::vector<std::size_t>& rows) {
  const double n = static_cast<double>(rows.size());
  double sum = 0.0;
  for (const std::size_t j : rows) sum += a[j] + b[j];
  const double mean = sum / (2.0 * n);
  double squares = 0.0;
  for (const std::size_t j : rows) {
    squares += (a[j] - mean) * (a[j] - mean) + (b[j] - mean) * (b[j] - mean);
  }
  Estimates e;
  e.variance = squares / (2.0 * n);
  e.first.assign(ab.size(), 0.0);
  e.total.assign(ab.size(), 0.0);
  if (!(e.variance > 0.0)) return e;
  for (std::size_t i = 0; i < ab.size(); ++i) {
    const std::vector<double>& abi = ab[i];
    double first = 0.0;
    double total = 0.0;
    for (const std::size_t j : rows) {
      first += b[j] * (abi[j] - a[j]);
      total += (a[j] - abi[j]) * (a[j] - abi[j]);
    }
    e.first[i] = first / n / e.variance;
    e.total[i] = total / (2.0 * n) / e.variance;
  }
  return e;
}

// The q-quantile of sorted values, interpolated between order statistics.
double quantile(const std::vector<double>& sorted, double q) {
  const double at = q * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(at));
  const std::size_t above = std::min(below + 1, sorted.size() - 1);
  return sorted[below] + (at - static_cast<double>(below)) * (sorted[above] - sorted[below]);
}

IndexWithInterval with_interval(double value, std::vector<double>& draws) {
  IndexWithInterval index{value, value, value};
  if (draws.empty()) return index;
  std::sort(draws.begin(), draws.end());
  index.lo = quantile(draws, 0.025);
  index.hi = quantile(draws, 0.975);
  return index;
}

}  // namespace

SobolIndices sobol_indices(std::span<const double> a, std::span<const double> b,
                           const std::vector<std::vector<double>>& ab, std::int32_t resamples,
                           std::uint64_t seed) {
  const std::size_t n = a.size();
  if (n == 0 || b.size() != n)
    throw std::invalid_argument("A and B need the same rows, at least one");
  for (const auto& abi : ab) {
    if (abi.size() != n) throw std::invalid_argument("every A_B block needs the rows of A");
  }
  std::vector<std::size_t> rows(n);
  for (std::size_t j = 0; j < n; ++j) rows[j] = j;
  const Estimates point = estimate(a, b, ab, rows);

  const std::size_t k = ab.size();
  std::vector<std::vector<double>> first(k);
  std::vector<std::vector<double>> total(k);
  // The engine is fixed by the standard and the draw of a row by the rejection below, so the
  // intervals are the same on every platform.
  std::mt19937_64 engine(seed);
  const std::uint64_t limit =
      std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % n;
  for (std::int32_t draw = 0; draw < resamples; ++draw) {
    for (std::size_t j = 0; j < n; ++j) {
      std::uint64_t x = engine();
      while (x >= limit) x = engine();
      rows[j] = static_cast<std::size_t>(x % n);
    }
    const Estimates e = estimate(a, b, ab, rows);
    for (std::size_t i = 0; i < k; ++i) {
      first[i].push_back(e.first[i]);
      total[i].push_back(e.total[i]);
    }
  }
  SobolIndices indices;
  indices.variance = point.variance;
  for (std::size_t i = 0; i < k; ++i) {
    indices.first.push_back(with_interval(point.first[i], first[i]));
    indices.total.push_back(with_interval(point.total[i], total[i]));
  }
  return indices;
}

std::vector<MorrisEffects> morris_effects(const std::vector<MorrisTrajectory>& trajectories,
                                          std::size_t k) {
  std::vector<std::vector<double>> effects(k);
  for (const MorrisTrajectory& trajectory : trajectories) {
    const std::size_t points = trajectory.output.size();
    if (trajectory.unit.size() != points * k) {
      throw std::invalid_argument("a trajectory needs k coordinates per output");
    }
    for (std::size_t s = 1; s < points; ++s) {
      const double* before = &trajectory.unit[(s - 1) * k];
      const double* after = &trajectory.unit[s * k];
      // The coordinate that moved most is the one the step is for.
      std::size_t moved = k;
      double largest = 0.0;
      for (std::size_t c = 0; c < k; ++c) {
        const double change = std::fabs(after[c] - before[c]);
        if (change > largest) {
          largest = change;
          moved = c;
        }
      }
      if (moved == k) continue;
      effects[moved].push_back((trajectory.output[s] - trajectory.output[s - 1]) /
                               (after[moved] - before[moved]));
    }
  }
  std::vector<MorrisEffects> result(k);
  for (std::size_t c = 0; c < k; ++c) {
    const std::vector<double>& e = effects[c];
    MorrisEffects& m = result[c];
    m.effects = static_cast<std::int64_t>(e.size());
    if (e.empty()) continue;
    double sum = 0.0;
    double absolute = 0.0;
    for (const double x : e) {
      sum += x;
      absolute += std::fabs(x);
    }
    const double n = static_cast<double>(e.size());
    m.mu = sum / n;
    m.mu_star = absolute / n;
    if (e.size() > 1) {
      double squares = 0.0;
      for (const double x : e) squares += (x - m.mu) * (x - m.mu);
      m.sigma = std::sqrt(squares / (n - 1.0));
    }
  }
  return result;
}

}  // namespace hostswitch
