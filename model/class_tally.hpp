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

// The slot of v's estimate, and whether class slot + 1 alone holds v.
template <bool kClamp>
inline bool tally_slot(const ClassTally& tally, double v, std::int64_t& slot) {
  double estimate = (v - tally.origin) * tally.reciprocal;
  if constexpr (kClamp) estimate = estimate < tally.top ? estimate : tally.top;  // NaN too
  slot = static_cast<std::int64_t>(estimate);
  return tally.alone_lower[slot] <= v && v < tally.alone_upper[slot];
}

template <bool kClamp>
inline void tally_value(const ClassTally& tally, double v, std::int32_t* row) {
  std::int64_t slot;
  if (tally_slot<kClamp>(tally, v, slot)) {
    ++row[slot];
  } else {
    tally.place(tally.owner, slot + 1, v);
  }
}

// Adds values[0, n): value i to row (first_row + i) mod kTallyRows. Values the estimate does
// not settle are placed after each stretch, so that no call inside the loop pushes its
// constants out of registers.
template <bool kClamp>
inline void tally_run(const ClassTally& tally, const double* values, std::size_t n,
                      std::size_t first_row) {
  constexpr std::size_t kStretch = 256;
  std::int64_t pending_slots[kStretch];
  double pending_values[kStretch];
  std::int32_t* const rows = tally.rows;
  const std::size_t stride = tally.stride;
  for (std::size_t start = 0; start < n; start += kStretch) {
    const std::size_t end = n - start < kStretch ? n : start + kStretch;
    std::size_t pending = 0;
    auto add = [&](double v, std::size_t row) {
      std::int64_t slot;
      if (tally_slot<kClamp>(tally, v, slot)) {
        ++rows[row * stride + static_cast<std::size_t>(slot)];
      } else {
        pending_slots[pending] = slot + 1;
        pending_values[pending++] = v;
      }
    };
    std::size_t i = start;
    for (; i < end && (first_row + i) % kTallyRows != 0; ++i) {
      add(values[i], (first_row + i) % kTallyRows);
    }
    // Whole groups, one value to each row, with the row offsets known.
    for (; i + kTallyRows <= end; i += kTallyRows) {
      for (std::size_t row = 0; row < kTallyRows; ++row) add(values[i + row], row);
    }
    for (; i < end; ++i) add(values[i], (first_row + i) % kTallyRows);
    for (std::size_t k = 0; k < pending; ++k) {
      tally.place(tally.owner, pending_slots[k], pending_values[k]);
    }
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
