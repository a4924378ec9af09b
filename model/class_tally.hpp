#pragma once

// Counting a population into phenotype classes while the model holds its values anyway: the
// owner of the classes lays out the tables, the model adds every value once.

#include <cstddef>
#include <cstdint>

namespace hostswitch {

// Rows of counters a tally spreads neighbouring values over, so that values of one class close
// together do not wait on each other's increment.
inline constexpr std::size_t kTallyRows = 4;

struct ClassTally {
  double origin = 0.0;      // the smallest value
  double reciprocal = 0.0;  // of the class width, for the estimate only
  double top = 0.0;         // the largest estimate the tables hold
  bool clamp = false;       // whether an estimate can leave the tables unless clamped
  // Slot g is class g + 1: it alone holds the values in [alone_lower[g], alone_upper[g]).
  const double* alone_lower = nullptr;
  const double* alone_upper = nullptr;
  // A value whose estimate e lies below `classes` with e - floor(e) in [margin, 1 - margin]
  // is held by class floor(e) + 1 alone. The margin bounds, in classes, how far rounding can
  // move the estimate and the edges from their exact values: at least 10 u A / width with
  // u = 2^-53 and A = |origin| + (classes + 2) * width (the estimate is within 3u of its
  // exact value, below 2A / width; every edge within 4u A of its own), or 1 where that
  // bound is not small.
  double margin = 1.0;
  double classes = 0.0;
  std::int32_t* rows = nullptr;  // kTallyRows rows of counters, `stride` apart
  std::size_t stride = 0;
  // Places any other value exactly, given the class its estimate points at.
  void (*place)(void* owner, std::int64_t guess, double v) = nullptr;
  void* owner = nullptr;
  std::size_t added = 0;  // values added, kept by the caller of tally_values
};

// Internal linkage: the vector kernels compile this for wider instruction sets than the rest.
namespace {

template <bool kClamp>
inline void tally_value(const ClassTally& tally, double v, std::int32_t* row) {
  double estimate = (v - tally.origin) * tally.reciprocal;
  if constexpr (kClamp) estimate = estimate < tally.top ? estimate : tally.top;  // NaN too
  const auto g = static_cast<std::int64_t>(estimate);
  if (tally.alone_lower[g] <= v && v < tally.alone_upper[g]) {
    ++row[g];
  } else {
    tally.place(tally.owner, g + 1, v);
  }
}

// Adds values[0, n): value i to row (first_row + i) mod kTallyRows.
template <bool kClamp>
inline void tally_run(const ClassTally& tally, const double* values, std::size_t n,
                      std::size_t first_row) {
  std::int32_t* const rows = tally.rows;
  const std::size_t stride = tally.stride;
  std::size_t i = 0;
  for (; i < n && (first_row + i) % kTallyRows != 0; ++i) {
    tally_value<kClamp>(tally, values[i], rows + (first_row + i) % kTallyRows * stride);
  }
  for (; i + kTallyRows <= n; i += kTallyRows) {
    tally_value<kClamp>(tally, values[i], rows);
    tally_value<kClamp>(tally, values[i + 1], rows + stride);
    tally_value<kClamp>(tally, values[i + 2], rows + 2 * stride);
    tally_value<kClamp>(tally, values[i + 3], rows + 3 * stride);
  }
  for (std::size_t row = 0; i < n; ++i, ++row) {
    tally_value<kClamp>(tally, values[i], rows + row * stride);
  }
}

// `tally` is best a local copy: the exact placement is opaque to the compiler, which must
// otherwise load every field again after each value.
inline void tally_values(const ClassTally& tally, const double* values, std::size_t n,
                         std::size_t first_row) {
  if (tally.clamp) {
    tally_run<true>(tally, values, n, first_row);
  } else {
    tally_run<false>(tally, values, n, first_row);
  }
}

}  // namespace

}  // namespace hostswitch
