#pragma once

// The hot loops of the vector kernels, one table per instruction set. The tables' code lives
// in translation units built for that instruction set and sees only plain data, so that no
// inline function compiled for a wider instruction set can stand in for the portable one.

#include <cstddef>
#include <cstdint>

#include "model/class_tally.hpp"

namespace hostswitch::kernel {

// Draws are made in blocks of this many values (a multiple of every kernel's lane count, and at
// least the draws of one step of the widest survival loop).
inline constexpr std::size_t kLaneBlock = 32;

// Both state words of the stream before a draw.
struct StreamWords {
  std::int64_t s1 = 0;
  std::int64_t s2 = 0;
};

// Every draw where the vector exponential is compared lies either clearly below, clearly above
// or within this relative distance of it. The vector exponential is within 2^-31 of the true
// value and the platform's within 2^-52 (1 ulp), so they differ by less than 2^-30.9; this
// band is 2^2.9 times wider, and a draw falls inside it with a chance of about 2^-27 per
// decision. Inside the band the platform's exponential decides.
inline constexpr double kExpBand = 0x1p-28;

// Stream lanes kept between stretches of the survival phase, so that a thread jumps the stream
// once per chunk instead of once per stretch. `position` is the draw the lanes give next.
inline constexpr std::size_t kMaxLanes = 32;
struct LaneState {
  alignas(64) std::int64_t s1[kMaxLanes] = {};
  alignas(64) std::int64_t s2[kMaxLanes] = {};
  std::uint64_t position = ~std::uint64_t{0};
};

// One stretch of the survival phase: individual i takes draws[2i] (emigrate if at most
// emig_rate) and draws[2i + 1] (survive if at most the weight). Stayers that survive set bit
// first_bit + i of `stays` (cleared beforehand; z is left as it is, so that the population
// can still be reported), emigrants that establish are appended to `switchers`, in order,
// which has room for n + kMaxWidth values beyond its last.
struct SurvivalTask {
  const double* z = nullptr;
  std::size_t n = 0;
  // The stretch's draws, or (when null) the lanes that make them, which move on by whole
  // blocks of the kernel's lanes and count them in their position.
  const double* draws = nullptr;
  LaneState* lanes = nullptr;
  double emig_rate = 0.0;
  double r_phe = 0.0;
  double rl_phe = 0.0;
  double denominator = 0.0;  // sdr * sdr * 2.0
  std::uint64_t* stays = nullptr;
  std::size_t first_bit = 0;
  std::size_t n_surv = 0;
  double* switchers = nullptr;
  std::size_t n_HS = 0;
  // The smallest and largest value of the stayers and of the list (infinities while empty).
  double stayers_min = __builtin_inf();
  double stayers_max = -__builtin_inf();
  double switchers_min = __builtin_inf();
  double switchers_max = -__builtin_inf();
  bool domain_error = false;    // some weight's argument was NaN
  std::uint64_t fallbacks = 0;  // decisions left to the platform's exponential
  // When set, every z is added to it, individual i to row i mod kTallyRows.
  ClassTally* tally = nullptr;
};

// Doubles per vector of the widest kernel.
inline constexpr std::size_t kMaxWidth = 8;

// Mutation attempts of one stretch of draw pairs: pair j is (draws[2j], draws[2j + 1]).
// x[j] = width * draws[2j] - shift; bit j of `accepted` is set when draws[2j + 1] lies
// clearly at or below exp(-(x*x) / denominator), bit j of `unsure` when the platform's
// exponential must decide (the draw lies in the band, or the argument is NaN). Bit words
// cover pairs in groups of 64, the last word's bits beyond `pairs` cleared.
struct MutationTask {
  const double* draws = nullptr;
  std::size_t pairs = 0;
  double width = 0.0;        // sdv * 6.0
  double shift = 0.0;        // sdv * 3.0
  double denominator = 0.0;  // sdv * sdv * 2.0
  double* x = nullptr;
  std::uint64_t* accepted = nullptr;
  std::uint64_t* unsure = nullptr;
};

struct Ops {
  const char* name;
  // Writes the n draws that follow `start` (n a multiple of kLaneBlock).
  void (*fill)(StreamWords start, double* out, std::size_t n);
  // Sets the lanes to give the draws that follow `start` (their position is the caller's).
  // Null on a kernel whose survival loop reads its draws from `fill` only.
  void (*seed)(StreamWords start, LaneState& lanes);
  void (*survive)(SurvivalTask& task);
  void (*mutate)(MutationTask& task);
  // Adds z[0, n) to the tally as the survival phase does, value i to row i mod kTallyRows.
  void (*tally)(const ClassTally& tally, const double* z, std::size_t n);
  // Moves the values of z[0, n) whose bit of `keep` is set to the front, in order; returns
  // their number. No value is written past the one being read.
  std::size_t (*compact)(double* z, const std::uint64_t* keep, std::size_t n);
  // Copies the values of z[first, last) whose bit of `keep` is set to out[0, ...), in order;
  // returns their number. `out` is either at most z + first (then no value is written past the
  // one being read, nor at or past z + last) or apart from z with room for kMaxWidth values
  // beyond those it gets.
  std::size_t (*move_kept)(const double* z, const std::uint64_t* keep, std::size_t first,
                           std::size_t last, double* out);
  // The vector exponential of a[0, n) (n a multiple of kMaxWidth), as the kernel compares draws
  // with it.
  void (*exp)(const double* a, double* out, std::size_t n);
};

// Sets bits [position, position + count) of `bits` (cleared) to those of `word` (count <= 64).
inline void put_bits(std::uint64_t* bits, std::size_t position, std::uint64_t word,
                     std::size_t count) {
  const std::size_t shift = position % 64;
  bits[position / 64] |= word << shift;
  if (shift != 0 && count > 64 - shift) bits[position / 64 + 1] |= word >> (64 - shift);
}

#if defined(HOSTSWITCH_X86_KERNELS)
extern const Ops kSse2Ops;
extern const Ops kAvx2Ops;
extern const Ops kAvx512Ops;
#endif
#if defined(__EMSCRIPTEN__)
// Null in the build of the web programs for engines without SIMD128.
extern const Ops* const kSimd128Ops;
#endif

}  // namespace hostswitch::kernel
