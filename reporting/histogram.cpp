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

std::int64_t PhenotypeHistogram::usable_class_count(double mn, double mx) const {
  // A width that is not a positive finite number leaves every class empty: for binw < 0
  // each upper edge lies at or below its lower edge; for infinity or NaN the edges are NaN.
  if (!(binw_ > 0.0) || std::isinf(binw_)) return 0;
  return class_count(mn, mx, binw_);
}

bool PhenotypeHistogram::dense(std::int64_t nclass, std::size_t n) const {
  return nclass <= kDenseClassesAlways || nclass <= static_cast<std::int64_t>(n);
}

void PhenotypeHistogram::lay_out_dense(std::int64_t nclass, bool clamp) {
  nclass_ = nclass;
  // Positions 0 and nclass + 1 of the edge tables are sentinels.
  const auto size = static_cast<std::size_t>(nclass) + 2;
  lower_.resize(size);
  upper_.resize(size);
  alone_lower_.resize(size);
  alone_upper_.resize(size);
  single_.resize(kTallyRows * size);
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
  // overlaps a unit in the last place wide) takes the exact search. Tables are indexed from
  // class 1 at position 0, saving an add per value.
  double* const alone_lower = alone_lower_.data();
  double* const alone_upper = alone_upper_.data();
  for (std::int64_t k = 1; k <= nclass; ++k) {
    alone_lower[k - 1] = std::max(lower[k], upper[k - 1]);
    alone_upper[k - 1] = std::min(upper[k], lower[k + 1]);
  }
  alone_lower[nclass] = kInfinity;  // an estimate one past the last class
  alone_upper[nclass] = -kInfinity;

  // The estimate is clamped only where a NaN or an infinite reciprocal can make it leave the
  // table; otherwise v >= mn keeps it within [0, nclass].
  tally_.origin = mn_;
  tally_.reciprocal = 1.0 / binw;
  tally_.top = static_cast<double>(nclass - 1);
  tally_.clamp = clamp;
  tally_.classes = static_cast<double>(nclass);
  // Subnormal or huge widths make the reciprocal and the half width round by more than a
  // relative unit, so they take the tables only.
  const double margin = 0x1p-49 * ((std::fabs(mn_) + (tally_.classes + 2.0) * binw) / binw);
  const bool plain = !clamp && binw >= 0x1p-1000 && binw <= 0x1p1000;
  tally_.margin = plain && margin < 0.25 ? margin : 1.0;
  tally_.alone_lower = alone_lower;
  tally_.alone_upper = alone_upper;
  tally_.rows = single_.data();
  tally_.stride = size;
  tally_.place = [](void* owner, std::int64_t guess, double v) {
    static_cast<PhenotypeHistogram*>(owner)->place_exactly(guess, v);
  };
  tally_.owner = this;
  tally_.added = 0;
}

void PhenotypeHistogram::place_exactly(std::int64_t guess, double v) {
  if (std::isnan(v)) return;
  const std::int64_t nclass = nclass_;
  const double* const lower = lower_.data();
  const double* const upper = upper_.data();
  const std::int64_t highest =
      last_holding(1, nclass, guess, [=](std::int64_t k) { return lower[k] <= v; });
  if (highest < 1) return;
  const std::int64_t lowest = last_holding(1, nclass, std::min(guess, highest),
                                           [=](std::int64_t k) { return upper[k] <= v; }) +
                              1;
  if (lowest <= highest) {
    ++difference_[static_cast<std::size_t>(lowest)];
    --difference_[static_cast<std::size_t>(highest + 1)];
  }
}

void PhenotypeHistogram::finish_dense() {
  const std::int64_t nclass = nclass_;
  const std::size_t size = tally_.stride;
  const double first = binw_ / 2.0 + mn_;
  std::int32_t running = 0;
  for (std::int64_t k = 1; k <= nclass; ++k) {
    running += difference_[static_cast<std::size_t>(k)];
    std::int32_t count = running;
    for (std::size_t row = 0; row < kTallyRows; ++row) {
      count += single_[row * size + static_cast<std::size_t>(k - 1)];
    }
    if (count > 0) classes_.push_back({k, first + static_cast<double>(k - 1) * binw_, count});
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
  tally_open_ = false;
  if (pop.empty()) return {};
  const auto [mn, mx, has_nan] = value_range(pop);
  return count(pop, mn, mx, has_nan);
}

std::span<const PhenotypeClass> PhenotypeHistogram::classes(std::span<const double> pop, double mn,
                                                            double mx) {
  classes_.clear();
  const bool tallied = std::exchange(tally_open_, false) && tallied_pop_.data() == pop.data() &&
                       tallied_pop_.size() == pop.size() && tally_.added == pop.size() &&
                       mn_ == mn && tallied_max_ == mx;
  if (tallied) {
    finish_dense();
    return classes_;
  }
  if (pop.empty()) return {};
  return count(pop, mn, mx, false);
}

ClassTally* PhenotypeHistogram::begin_tally(std::span<const double> pop, double mn, double mx) {
  tally_open_ = false;
  const std::int64_t nclass = usable_class_count(mn, mx);
  if (pop.empty() || nclass < 1 || !dense(nclass, pop.size())) return nullptr;
  mn_ = mn;
  lay_out_dense(nclass, std::isinf(1.0 / binw_));
  tallied_pop_ = pop;
  tallied_max_ = mx;
  tally_open_ = true;
  return &tally_;
}

std::span<const PhenotypeClass> PhenotypeHistogram::count(std::span<const double> pop, double mn,
                                                          double mx, bool has_nan) {
  const std::int64_t nclass = usable_class_count(mn, mx);
  if (nclass < 1) return {};
  mn_ = mn;
  if (dense(nclass, pop.size())) {
    // Without NaNs and with a finite reciprocal, (v - mn) / binw stays within the classes:
    // rounding moves it by a few units in the last place of a number below 2^31.
    lay_out_dense(nclass, has_nan || std::isinf(1.0 / binw_));
    const ClassTally tally = tally_;
    tally_values(tally, pop.data(), pop.size(), 0);
    finish_dense();
  } else {
    count_sparse(pop, nclass);
  }
  return classes_;
}

}  // namespace hostswitch
