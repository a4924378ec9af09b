#include "reporting/histogram.hpp"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cmath>
#include <limits>
#include <utility>

namespace hostswitch {

namespace {

// Dense counting costs one pass over the classes and tables of their edges; beyond one
// class per value a sort of the interval ends is cheaper and needs no storage per class.
constexpr std::int64_t kDenseClassesAlways = 4096;

// Rows of counters the dense count spreads neighbouring values over.
constexpr std::size_t kRows = 4;

// Last k in [lo, hi] with holds(k), lo - 1 if none, for a predicate that holds on a prefix
// of [lo, hi]. Gallops from the guess, then bisects.
template <class Predicate>
std::int64_t last_holding(std::int64_t lo, std::int64_t hi, std::int64_t guess, Predicate holds) {
  std::int64_t yes;  // holds(yes), or yes == lo - 1
  std::int64_t no;   // !holds(no), or no == hi + 1
  if (holds(guess)) {
    yes = guess;
    std::int64_t step = 1;
    for (;;) {
      if (yes == hi) return hi;
      const std::int64_t probe = std::min(hi, yes + step);
      if (!holds(probe)) {
        no = probe;
        break;
      }
      yes = probe;
      step *= 2;
    }
  } else {
    no = guess;
    std::int64_t step = 1;
    for (;;) {
      if (no == lo) return lo - 1;
      const std::int64_t probe = std::max(lo, no - step);
      if (holds(probe)) {
        yes = probe;
        break;
      }
      no = probe;
      step *= 2;
    }
  }
  while (no - yes > 1) {
    const std::int64_t middle = yes + (no - yes) / 2;
    if (holds(middle)) {
      yes = middle;
    } else {
      no = middle;
    }
  }
  return yes;
}

struct ValueRange {
  double mn;
  double mx;
  bool has_nan;
};

// The range as a scan that starts from the first value and replaces it only by a larger
// (or smaller) one, never by a NaN. Independent lanes give the same mn and mx up to the sign
// of a zero, which no edge depends on (binw/2 + -0.0 is binw/2 + 0.0).
ValueRange value_range(std::span<const double> pop) {
  const std::size_t n = pop.size();
  std::size_t i = 1;
  double mn = pop[0];
  double mx = pop[0];
  bool has_nan = std::isnan(pop[0]);
#if defined(__SSE2__)
  // maxpd(a, b) is a > b ? a : b lane by lane, NaN and zeros included: the scalar rule.
  const __m128d start = _mm_set1_pd(pop[0]);
  __m128d mx0 = start, mx1 = start, mn0 = start, mn1 = start;
  __m128d nan = _mm_setzero_pd();
  for (; i + 4 <= n; i += 4) {
    const __m128d a = _mm_loadu_pd(pop.data() + i);
    const __m128d b = _mm_loadu_pd(pop.data() + i + 2);
    mx0 = _mm_max_pd(a, mx0);
    mx1 = _mm_max_pd(b, mx1);
    mn0 = _mm_min_pd(a, mn0);
    mn1 = _mm_min_pd(b, mn1);
    nan = _mm_or_pd(nan, _mm_cmpunord_pd(a, b));
  }
  has_nan |= _mm_movemask_pd(nan) != 0;
  double lanes[8];
  _mm_storeu_pd(lanes, mx0);
  _mm_storeu_pd(lanes + 2, mx1);
  _mm_storeu_pd(lanes + 4, mn0);
  _mm_storeu_pd(lanes + 6, mn1);
  for (int lane = 0; lane < 4; ++lane) {
    mx = lanes[lane] > mx ? lanes[lane] : mx;
    mn = lanes[4 + lane] < mn ? lanes[4 + lane] : mn;
  }
#endif
  for (; i < n; ++i) {
    mx = pop[i] > mx ? pop[i] : mx;
    mn = pop[i] < mn ? pop[i] : mn;
    has_nan |= std::isnan(pop[i]);
  }
  return {mn, mx, has_nan};
}

// Counts the values that one class alone holds in four rows of counters (`stride` apart, one
// per value of a group of four, so that values of one class close together do not wait on
// each other's increment), and hands the others to `search`. The estimate is clamped only
// where a NaN or an infinite reciprocal can make it leave the table; otherwise v >= mn keeps
// it within [0, nclass].
template <bool kClamp, class Search>
void count_alone(const double* values, std::size_t n, double mn, double reciprocal, double top,
                 const double* alone_lower, const double* alone_upper, std::int32_t* rows,
                 std::size_t stride, Search search) {
  auto estimate = [=](double v) {
    double e = (v - mn) * reciprocal;
    if constexpr (kClamp) e = e < top ? e : top;  // NaN too
    return static_cast<std::int64_t>(e);
  };
  // Tables are indexed from class 1 at position 0 here, saving an add per value.
  auto count = [&](double v, std::int32_t* row) {
    const std::int64_t g = estimate(v);
    if (alone_lower[g] <= v && v < alone_upper[g]) {
      ++row[g];
    } else {
      search(g + 1, v);
    }
  };
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    count(values[i], rows);
    count(values[i + 1], rows + stride);
    count(values[i + 2], rows + 2 * stride);
    count(values[i + 3], rows + 3 * stride);
  }
  for (; i < n; ++i) count(values[i], rows);
}

}  // namespace

std::int64_t class_count(double mn, double mx, double binw) {
  const double quotient = std::trunc((mx - mn) / binw);
  if (!(quotient >= -2147483648.0 && quotient <= 2147483647.0)) return -2147483646;
  return static_cast<std::int64_t>(quotient) + 2;
}

template <class Add>
void PhenotypeHistogram::intervals(std::span<const double> pop, std::int64_t nclass,
                                   Add add) const {
  const double half = binw_ / 2.0;
  const double first = half + mn_;
  const double binw = binw_;
  const double reciprocal = 1.0 / binw;  // for the estimate only
  const double top = static_cast<double>(nclass);
  auto centre = [=](std::int64_t k) { return first + static_cast<double>(k - 1) * binw; };
  for (const double v : pop) {
    if (std::isnan(v)) continue;  // no edge compares true with NaN
    double estimate = (v - mn_) * reciprocal;
    if (!(estimate >= 0.0)) estimate = 0.0;
    if (estimate > top - 1.0) estimate = top - 1.0;
    const std::int64_t guess = static_cast<std::int64_t>(estimate) + 1;
    const std::int64_t highest =
        last_holding(1, nclass, guess, [&](std::int64_t k) { return centre(k) - half <= v; });
    if (highest < 1) continue;
    const std::int64_t lowest =
        last_holding(1, nclass, std::min(guess, highest),
                     [&](std::int64_t k) { return half + centre(k) <= v; }) +
        1;
    if (lowest <= highest) add(lowest, highest);
  }
}

void PhenotypeHistogram::count_dense(std::span<const double> pop, std::int64_t nclass, bool clamp) {
  // Positions 0 and nclass + 1 of the edge tables are sentinels.
  const auto size = static_cast<std::size_t>(nclass) + 2;
  lower_.resize(size);
  upper_.resize(size);
  alone_lower_.resize(size);
  alone_upper_.resize(size);
  single_.resize(kRows * size);
  difference_.resize(size);
  std::fill(single_.begin(), single_.end(), 0);
  std::fill(difference_.begin(), difference_.end(), 0);
  double* const lower = lower_.data();
  double* const upper = upper_.data();
  const double binw = binw_;
  const double half = binw / 2.0;
  const double first = half + mn_;
  for (std::int64_t k = 1; k <= nclass; ++k) {
    const double centre = first + static_cast<double>(k - 1) * binw;
    lower[k] = centre - half;
    upper[k] = half + centre;
  }
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  lower[0] = upper[0] = -kInfinity;                   // every value is past class 0
  lower[nclass + 1] = upper[nclass + 1] = kInfinity;  // and short of class nclass + 1
  // Between these edges a value is above every lower class's upper edge and below every
  // higher class's lower edge, so class k alone holds it; what falls outside (gaps and
  // overlaps a unit in the last place wide) takes the exact search.
  double* const alone_lower = alone_lower_.data();
  double* const alone_upper = alone_upper_.data();
  for (std::int64_t k = 1; k <= nclass; ++k) {
    alone_lower[k - 1] = std::max(lower[k], upper[k - 1]);
    alone_upper[k - 1] = std::min(upper[k], lower[k + 1]);
  }
  alone_lower[nclass] = kInfinity;  // an estimate one past the last class
  alone_upper[nclass] = -kInfinity;

  std::int32_t* const difference = difference_.data();
  auto search = [=](std::int64_t g, double v) {
    if (std::isnan(v)) return;
    const std::int64_t highest =
        last_holding(1, nclass, g, [=](std::int64_t k) { return lower[k] <= v; });
    if (highest < 1) return;
    const std::int64_t lowest = last_holding(1, nclass, std::min(g, highest),
                                             [=](std::int64_t k) { return upper[k] <= v; }) +
                                1;
    if (lowest <= highest) {
      ++difference[lowest];
      --difference[highest + 1];
    }
  };
  std::int32_t* const single = single_.data();
  const double reciprocal = 1.0 / binw;  // for the estimate only
  const double top = static_cast<double>(nclass - 1);
  if (clamp) {
    count_alone<true>(pop.data(), pop.size(), mn_, reciprocal, top, alone_lower, alone_upper,
                      single, size, search);
  } else {
    count_alone<false>(pop.data(), pop.size(), mn_, reciprocal, top, alone_lower, alone_upper,
                       single, size, search);
  }
  std::int32_t running = 0;
  for (std::int64_t k = 1; k <= nclass; ++k) {
    running += difference[k];
    std::int32_t count = running;
    for (std::size_t row = 0; row < kRows; ++row) count += single[row * size + k - 1];
    if (count > 0) classes_.push_back({k, first + static_cast<double>(k - 1) * binw, count});
  }
}

void PhenotypeHistogram::count_sparse(std::span<const double> pop, std::int64_t nclass) {
  starts_.clear();
  ends_.clear();
  intervals(pop, nclass, [this](std::int64_t lowest, std::int64_t highest) {
    starts_.push_back(lowest);
    ends_.push_back(highest + 1);
  });
  std::sort(starts_.begin(), starts_.end());
  std::sort(ends_.begin(), ends_.end());
  const double first = binw_ / 2.0 + mn_;
  const std::size_t events = starts_.size();
  std::size_t s = 0;
  std::size_t e = 0;
  std::int32_t running = 0;
  // Every start precedes its end, so the starts run out first.
  while (e < events) {
    const std::int64_t at = s < events ? std::min(starts_[s], ends_[e]) : ends_[e];
    while (s < events && starts_[s] == at) {
      ++running;
      ++s;
    }
    while (e < events && ends_[e] == at) {
      --running;
      ++e;
    }
    if (running > 0) {
      const std::int64_t next = s < events ? std::min(starts_[s], ends_[e]) : ends_[e];
      for (std::int64_t k = at; k < next; ++k) {
        classes_.push_back({k, first + static_cast<double>(k - 1) * binw_, running});
      }
    }
  }
}

std::span<const PhenotypeClass> PhenotypeHistogram::classes(std::span<const double> pop) {
  classes_.clear();
  if (pop.empty()) return {};
  const auto [mn, mx, has_nan] = value_range(pop);
  return count(pop, mn, mx, has_nan);
}

std::span<const PhenotypeClass> PhenotypeHistogram::classes(std::span<const double> pop, double mn,
                                                            double mx) {
  classes_.clear();
  if (pop.empty()) return {};
  return count(pop, mn, mx, false);
}

std::span<const PhenotypeClass> PhenotypeHistogram::count(std::span<const double> pop, double mn,
                                                          double mx, bool has_nan) {
  const std::int64_t nclass = class_count(mn, mx, binw_);
  // A width that is not a positive finite number leaves every class empty: for binw < 0
  // each upper edge lies at or below its lower edge; for infinity or NaN the edges are NaN.
  if (nclass < 1 || !(binw_ > 0.0) || std::isinf(binw_)) return {};
  mn_ = mn;
  const auto n = static_cast<std::int64_t>(pop.size());
  if (nclass <= kDenseClassesAlways || nclass <= n) {
    // Without NaNs and with a finite reciprocal, (v - mn) / binw stays within the classes:
    // rounding moves it by a few units in the last place of a number below 2^31.
    count_dense(pop, nclass, has_nan || std::isinf(1.0 / binw_));
  } else {
    count_sparse(pop, nclass);
  }
  return classes_;
}

}  // namespace hostswitch
