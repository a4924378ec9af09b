#pragma once

// The vector kernels' loops, written once over a table of intrinsics `V` and compiled in one
// translation unit per instruction set. Everything here has internal linkage, so the
// instances built for one instruction set never meet those of another at link time.
//
// V provides: kWidth (doubles per vector) and kLanes (stream lanes, a divisor of kLaneBlock);
// types D (doubles) and I (64-bit integers); loadu/storeu/set1, add/sub/mul/div, negate,
// less_equal/greater/unordered/blend, or_d, min/max (the second operand where the first is
// NaN), mask_bits, unkept (NaN in the lanes a bit mask leaves clear); store_kept (stores a vector
// with the lanes of a bit mask first, returns their number); deinterleave (even and odd elements of
// two vectors, in order); and on I: set1_i, load_i, mul_low32, shift_right31, shift_left52, and_i,
// store_i, add64, add32, sub32, sign32, to_double, bits_of and double_of (the same 64 bits as the
// other type); and truncate (to 32-bit integers, stored, and back to doubles).

#include <math.h>

#include <cstddef>
#include <cstdint>

#include "model/kernel_ops.hpp"
#include "model/uniform_stream.hpp"

namespace hostswitch::kernel {
namespace {

constexpr std::int64_t kModulus1 = UniformStream::kModulus1;
constexpr std::int64_t kModulus2 = UniformStream::kModulus2;
constexpr std::int64_t kMultiplier1 = UniformStream::kMultiplier1;
constexpr std::int64_t kMultiplier2 = UniformStream::kMultiplier2;
constexpr std::int64_t kMax1 = UniformStream::kMax1;
constexpr std::int64_t kLow31 = 0x7FFFFFFF;
// The multipliers' inverses: both moduli are prime, so a^(m - 2) is a's.
constexpr std::int64_t kInverse1 = power_mod(kMultiplier1, kModulus1 - 2, kModulus1);
constexpr std::int64_t kInverse2 = power_mod(kMultiplier2, kModulus2 - 2, kModulus2);
static_assert(kInverse1 * kMultiplier1 % kModulus1 == 1 &&
              kInverse2 * kMultiplier2 % kModulus2 == 1);

constexpr std::int64_t power_of(std::int64_t base, std::size_t exponent, std::int64_t modulus) {
  std::int64_t result = 1;
  for (std::size_t k = 0; k < exponent; ++k) result = result * base % modulus;
  return result;
}

// s * a mod m for s, a below 2^31 and m = 2^31 - d: as 2^31 = d (mod m), the 62-bit product
// hi * 2^31 + lo folds to hi * d + lo (below 2^39), a second fold brings it below
// 2^31 + 2^16, and one conditional subtraction into [0, m). Every step fits the low 32 bits
// of a lane where the instructions need it.
template <class V>
typename V::I multiply_mod(typename V::I s, typename V::I a, typename V::I d, typename V::I m) {
  using I = typename V::I;
  const I low31 = V::set1_i(kLow31);
  const I product = V::mul_low32(s, a);
  const I once = V::add64(V::mul_low32(V::shift_right31(product), d), V::and_i(product, low31));
  const I twice = V::add64(V::mul_low32(V::shift_right31(once), d), V::and_i(once, low31));
  // twice < 2^32, so the 32-bit difference carries the sign of twice - m.
  const I less = V::sub32(twice, m);
  return V::add32(less, V::and_i(V::sign32(less), m));
}

// The draw of one lane's two words: z = s1 - s2, plus 2147483562 when below 1, times c.
template <class V>
typename V::D draw_of(typename V::I s1, typename V::I s2, typename V::D scale) {
  using I = typename V::I;
  const I z = V::sub32(s1, s2);  // in (-2^31, 2^31); the high halves stay 0
  const I below_one = V::sign32(V::sub32(z, V::set1_i(1)));
  return V::mul(V::to_double(V::add32(z, V::and_i(below_one, V::set1_i(kMax1)))), scale);
}

template <class V>
void fill_draws(StreamWords start, double* out, std::size_t n) {
  using I = typename V::I;
  constexpr std::size_t kLanes = V::kLanes;
  constexpr std::size_t kIntWidth = V::kWidth;  // 64-bit lanes per integer vector
  constexpr std::size_t kVectors = kLanes / kIntWidth;
  static_assert(kLaneBlock % kLanes == 0);
  // Lane j starts at the words of draw j and then jumps kLanes draws at a time.
  alignas(64) std::int64_t words1[kLanes];
  alignas(64) std::int64_t words2[kLanes];
  std::int64_t s1 = start.s1;
  std::int64_t s2 = start.s2;
  for (std::size_t j = 0; j < kLanes; ++j) {
    s1 = s1 * kMultiplier1 % kModulus1;
    s2 = s2 * kMultiplier2 % kModulus2;
    words1[j] = s1;
    words2[j] = s2;
  }
  I lanes1[kVectors];
  I lanes2[kVectors];
  for (std::size_t k = 0; k < kVectors; ++k) {
    lanes1[k] = V::load_i(words1 + k * kIntWidth);
    lanes2[k] = V::load_i(words2 + k * kIntWidth);
  }
  const I jump1 = V::set1_i(power_of(kMultiplier1, kLanes, kModulus1));
  const I jump2 = V::set1_i(power_of(kMultiplier2, kLanes, kModulus2));
  const I d1 = V::set1_i((std::int64_t{1} << 31) - kModulus1);
  const I d2 = V::set1_i((std::int64_t{1} << 31) - kModulus2);
  const I m1 = V::set1_i(kModulus1);
  const I m2 = V::set1_i(kModulus2);
  const auto scale = V::set1(UniformStream::kScale);
  for (std::size_t t = 0; t < n; t += kLanes) {
    for (std::size_t k = 0; k < kVectors; ++k) {
      V::storeu(out + t + k * kIntWidth, draw_of<V>(lanes1[k], lanes2[k], scale));
      lanes1[k] = multiply_mod<V>(lanes1[k], jump1, d1, m1);
      lanes2[k] = multiply_mod<V>(lanes2[k], jump2, d2, m2);
    }
  }
}

// exp(a) for a <= 0 (NaN for NaN) within 2^-31 of its value, relative, wherever it is at
// least e^-100; where it is less, any value below e^-100 (every draw is above 2^-32 > e^-100,
// so such weights are all rejected alike). The argument is clamped to [-100, 0] and split as
// a = k ln2 + r with k = round(a / ln2), |r| <= ln2 / 2 + 2^-40: ln2's leading 33 bits times
// k (|k| <= 145) are exact, and so is a - k ln2_hi (Sterbenz), so r is within 2^-54 of its
// value. exp(r) is its Taylor polynomial of degree 8, whose remainder e^s r^9 / 9! (s between
// 0 and r) is below |r|^9 / 9! / e^-0.347 < 2^-31.7 of exp(r); Estrin's scheme in double adds
// under 2^-46 (24 roundings, each within 2^-53 of a partial sum or power whose magnitude is
// below e^0.35, against a value above e^-0.35) and r's error under 2^-54. 2^k is exact (its
// exponent field is k + 1023 > 0). Sum: below 2^-31.5.
template <class V>
typename V::D exp_near(typename V::D a) {
  using D = typename V::D;
  // NaN stays NaN: min and max give their second operand where either is NaN.
  a = V::min(V::set1(0.0), V::max(V::set1(-100.0), a));
  constexpr double kShifter = 0x1.8p52;  // adding it rounds to an integer in the low bits
  const D shifted = V::add(V::mul(a, V::set1(0x1.71547652b82fep0)), V::set1(kShifter));
  const D k = V::sub(shifted, V::set1(kShifter));
  const D r = V::sub(V::sub(a, V::mul(k, V::set1(0x1.62e42fee00000p-1))),
                     V::mul(k, V::set1(0x1.a39ef35793c76p-33)));
  // Estrin's scheme: pairs of terms, then pairs of pairs, so that the chain of dependent
  // operations is 7 long instead of Horner's 16.
  const D r2 = V::mul(r, r);
  const D r4 = V::mul(r2, r2);
  const D r8 = V::mul(r4, r4);
  auto pair = [&](double low, double high) {
    return V::add(V::set1(low), V::mul(r, V::set1(high)));
  };
  const D low = V::add(pair(1.0, 1.0), V::mul(r2, pair(0.5, 1.0 / 6.0)));
  const D high = V::add(pair(1.0 / 24.0, 1.0 / 120.0), V::mul(r2, pair(1.0 / 720.0, 1.0 / 5040.0)));
  const D p = V::add(V::add(low, V::mul(r4, high)), V::mul(r8, V::set1(1.0 / 40320.0)));
  // The low bits of `shifted` are 2^51 + k: move k + 1023 into the exponent field.
  const auto scale = V::double_of(
      V::shift_left52(V::add64(V::bits_of(shifted), V::set1_i(1023 - (std::int64_t{1} << 51)))));
  return V::mul(p, scale);
}

// The lanes whose draw lies clearly at or below the vector weight `f`; `unsure` gets the lanes
// within the band of it (or NaN), which the platform's exponential must decide.
template <class V>
unsigned decide(typename V::D draw, typename V::D f, int& unsure) {
  using D = typename V::D;
  const D margin = V::mul(f, V::set1(kExpBand));
  const unsigned yes = V::mask_bits(V::less_equal(draw, V::sub(f, margin)));
  const unsigned no = V::mask_bits(V::greater(draw, V::add(f, margin)));
  unsure = static_cast<int>(~(yes | no) & ((1U << V::kWidth) - 1U));
  return yes;
}

struct TaylorBounds {
  unsigned settled;   // lanes the bounds decide
  unsigned survives;  // of those, the ones whose draw lies at or below the weight
};

// Decisions that need no exponential. For 0 <= t <= 1 the Taylor polynomials of exp(-t) of
// degree 5 and 4 bound it from below and above (the remainders alternate in sign). Evaluated
// in double they are off by less than 2^-49; t itself, taken as a product with the reciprocal
// of the denominator rather than the quotient, is within 2^-51 of minus the exponent, which
// moves either polynomial by no more (their slope is at most 1 there); and the platform's
// exp (at least 1/e here) is within 2^-52 of the true value. A draw more than 2^-40 below
// the lower bound therefore lies below the platform's weight, one more than 2^-40 above the
// upper bound above it. Other lanes stay open.
template <class V>
TaylorBounds taylor_bounds(typename V::D draw, typename V::D t) {
  using D = typename V::D;
  const auto near = V::less_equal(t, V::set1(1.0));  // false for NaN
  // Both share 1 - t + t^2 (1/2 - t/6) and differ in the t^4 term: t^4 / 24 (degree 4) or
  // t^4 (1/24 - t/120) (degree 5); taken in pairs so that the chain of dependent operations is
  // short.
  const D t2 = V::mul(t, t);
  const D t4 = V::mul(t2, t2);
  const D common = V::add(V::sub(V::set1(1.0), t),
                          V::mul(t2, V::sub(V::set1(0.5), V::mul(t, V::set1(1.0 / 6.0)))));
  const D lower =
      V::add(common, V::mul(t4, V::sub(V::set1(1.0 / 24.0), V::mul(t, V::set1(1.0 / 120.0)))));
  const D upper = V::add(common, V::mul(t4, V::set1(1.0 / 24.0)));
  const D margin = V::set1(0x1p-40);
  const unsigned in_range = V::mask_bits(near);
  const unsigned below = V::mask_bits(V::less_equal(draw, V::sub(lower, margin))) & in_range;
  const unsigned above = V::mask_bits(V::greater(draw, V::add(upper, margin))) & in_range;
  return {below | above, below};
}

// Adds kWidth values to the tally, value k to row (first_row + k) mod kTallyRows: at once
// where every estimate lies clearly inside a class (see ClassTally's margin), by the exact
// test otherwise. Estimates of 2^31 and beyond, and NaN, fail the test of the fraction.
// Inlined: a call per vector would cost more than the counting.
template <class V>
[[gnu::always_inline]] inline void tally_lanes(const ClassTally& t, const double* values,
                                               std::size_t first_row) {
  using D = typename V::D;
  constexpr std::size_t kWidth = V::kWidth;
  const D z = V::loadu(values);
  const D estimate = V::mul(V::sub(z, V::set1(t.origin)), V::set1(t.reciprocal));
  std::int32_t slot[kWidth];
  const D fraction = V::sub(estimate, V::truncate(estimate, slot));
  const unsigned clear = V::mask_bits(V::less_equal(V::set1(t.margin), fraction)) &
                         V::mask_bits(V::less_equal(fraction, V::set1(1.0 - t.margin))) &
                         V::mask_bits(V::greater(V::set1(t.classes), estimate));
  std::int32_t* const rows = t.rows;
  const std::size_t stride = t.stride;
  auto row_of = [&](std::size_t k) { return rows + (first_row + k) % kTallyRows * stride; };
  if (clear == (1U << kWidth) - 1U) [[likely]] {
    for (std::size_t k = 0; k < kWidth; ++k) ++row_of(k)[slot[k]];
    return;
  }
  for (std::size_t k = 0; k < kWidth; ++k) {
    if ((clear >> k) & 1U) {
      ++row_of(k)[slot[k]];
    } else if (t.clamp) {
      tally_value<true>(t, values[k], row_of(k));
    } else {
      tally_value<false>(t, values[k], row_of(k));
    }
  }
}

// The lanes in the order the survival phase takes them: of each group of 2 kWidth draws,
// vector 2p holds the even ones (the emigration draws of kWidth individuals), vector 2p + 1
// the odd ones (their survival draws), so that no draw is shuffled or stored on its way.
template <class V>
constexpr std::size_t planar_slot(std::size_t draw) {
  const std::size_t group = draw / (2 * V::kWidth);
  const std::size_t within = draw % (2 * V::kWidth);
  return (2 * group + within % 2) * V::kWidth + within / 2;
}

template <class V>
void seed_lanes(StreamWords start, LaneState& lanes) {
  static_assert(V::kLanes <= kMaxLanes && V::kLanes == 4 * V::kWidth);
  std::int64_t s1 = start.s1;
  std::int64_t s2 = start.s2;
  for (std::size_t j = 0; j < V::kLanes; ++j) {
    s1 = s1 * kMultiplier1 % kModulus1;
    s2 = s2 * kMultiplier2 % kModulus2;
    lanes.s1[planar_slot<V>(j)] = s1;
    lanes.s2[planar_slot<V>(j)] = s2;
  }
}

template <class V>
struct PlanarLanes {
  using I = typename V::I;
  using D = typename V::D;
  static constexpr std::size_t kVectors = 4;
  I lanes1[kVectors];
  I lanes2[kVectors];
  std::uint64_t blocks = 0;  // of kLanes draws made
  // Whether the lanes of the emigration draws were left behind: each stands one draw before
  // the survival lane beside it, so it is that lane's words times the multipliers' inverses.
  bool behind = false;

  explicit PlanarLanes(const LaneState& state) {
    for (std::size_t k = 0; k < kVectors; ++k) {
      lanes1[k] = V::load_i(state.s1 + k * V::kWidth);
      lanes2[k] = V::load_i(state.s2 + k * V::kWidth);
    }
  }
  void catch_up() {
    const I inverse1 = V::set1_i(kInverse1);
    const I inverse2 = V::set1_i(kInverse2);
    const I d1 = V::set1_i((std::int64_t{1} << 31) - kModulus1);
    const I d2 = V::set1_i((std::int64_t{1} << 31) - kModulus2);
    const I m1 = V::set1_i(kModulus1);
    const I m2 = V::set1_i(kModulus2);
    for (std::size_t k = 0; k < kVectors; k += 2) {
      lanes1[k] = multiply_mod<V>(lanes1[k + 1], inverse1, d1, m1);
      lanes2[k] = multiply_mod<V>(lanes2[k + 1], inverse2, d2, m2);
    }
    behind = false;
  }
  void save(LaneState& state) {
    if (behind) catch_up();
    alignas(64) std::int64_t words[2][kMaxLanes];
    for (std::size_t k = 0; k < kVectors; ++k) {
      V::store_i(words[0] + k * V::kWidth, lanes1[k]);
      V::store_i(words[1] + k * V::kWidth, lanes2[k]);
    }
    for (std::size_t j = 0; j < V::kLanes; ++j) {
      state.s1[j] = words[0][j];
      state.s2[j] = words[1][j];
    }
    state.position += blocks * V::kLanes;
  }
  // The draws of the next 2 kWidth individuals: emigration and survival draws of the first
  // kWidth, then of the second; the emigration draws only where they are wanted (their lanes
  // otherwise stay behind until they are).
  template <bool kEmigrationDraws = true>
  [[gnu::always_inline]] void next(D (&out)[kVectors]) {
    if (kEmigrationDraws && behind) catch_up();
    behind = !kEmigrationDraws;
    const I jump1 = V::set1_i(power_of(kMultiplier1, V::kLanes, kModulus1));
    const I jump2 = V::set1_i(power_of(kMultiplier2, V::kLanes, kModulus2));
    const I d1 = V::set1_i((std::int64_t{1} << 31) - kModulus1);
    const I d2 = V::set1_i((std::int64_t{1} << 31) - kModulus2);
    const I m1 = V::set1_i(kModulus1);
    const I m2 = V::set1_i(kModulus2);
    const D scale = V::set1(UniformStream::kScale);
    ++blocks;
    for (std::size_t k = kEmigrationDraws ? 0 : 1; k < kVectors; k += kEmigrationDraws ? 1 : 2) {
      out[k] = draw_of<V>(lanes1[k], lanes2[k], scale);
      lanes1[k] = multiply_mod<V>(lanes1[k], jump1, d1, m1);
      lanes2[k] = multiply_mod<V>(lanes2[k], jump2, d2, m2);
    }
  }
};

// Draws of a stretch read from memory, two per individual in order.
template <class V>
struct StoredDraws {
  using D = typename V::D;
  const double* draws;
  template <bool kEmigrationDraws = true>
  [[gnu::always_inline]] void next(D (&out)[4]) {
    V::deinterleave(V::loadu(draws), V::loadu(draws + V::kWidth), out[0], out[1]);
    V::deinterleave(V::loadu(draws + 2 * V::kWidth), V::loadu(draws + 3 * V::kWidth), out[2],
                    out[3]);
    draws += 4 * V::kWidth;
  }
};

// Draws lie strictly inside (0, 1): at a rate of 0 or less nobody emigrates, at 1 or more
// everybody does, and the loop then neither looks at the emigration draws nor keeps the list
// nobody joins.
enum class Emigration { kNobody, kSome, kEverybody };

// The survival test of one vector of individuals, and the figures of a stretch it keeps: most
// are settled by the bounds, the rest by the vector exponential, and the few within its band by
// the platform's.
template <class V, Emigration kEmigration>
struct SurvivalJudge {
  using D = typename V::D;
  static constexpr bool kSome = kEmigration == Emigration::kSome;
  static constexpr std::size_t kWidth = V::kWidth;
  static constexpr unsigned kAll = (1U << kWidth) - 1U;
  static constexpr std::size_t kWord = 64;  // individuals per word of stayer bits
  static_assert(kWidth <= kMaxWidth);

  SurvivalJudge(const SurvivalTask& task, bool tallies, const ClassTally& tally)
      : emig_rate(V::set1(task.emig_rate)),
        r_phe(V::set1(task.r_phe)),
        rl_phe(V::set1(task.rl_phe)),
        denominator(V::set1(task.denominator)),
        // The bounds take t = square / denominator as a product with the reciprocal, which is
        // NaN exactly where the quotient is when both the denominator and its reciprocal are
        // normal.
        quick(task.denominator >= 0x1p-1022 && task.denominator <= 0x1p1022),
        reciprocal(V::set1(1.0 / task.denominator)),
        tallies(tallies),
        tally(tally),
        switchers(task.switchers),
        n_surv(task.n_surv),
        n_HS(task.n_HS) {}

  [[gnu::always_inline]] void operator()(const double* values, D u, D v, std::size_t b,
                                         std::uint64_t& stay_word) {
    const D z = V::loadu(values);
    D distance;
    unsigned emigrants;
    if constexpr (kSome) {
      const auto emigrates = V::less_equal(u, emig_rate);
      distance = V::sub(z, V::blend(r_phe, rl_phe, emigrates));
      emigrants = V::mask_bits(emigrates);
    } else {
      (void)u;
      const bool everybody = kEmigration == Emigration::kEverybody;
      distance = V::sub(z, everybody ? rl_phe : r_phe);
      emigrants = everybody ? kAll : 0;
    }
    const D square = V::mul(distance, distance);
    unsigned settled = 0;
    unsigned survives = 0;
    if (quick) {
      // NaN exactly where the quotient is NaN: square is NaN.
      const D t = V::mul(square, reciprocal);
      nan |= V::mask_bits(V::unordered(t, t));
      const TaylorBounds bounds = taylor_bounds<V>(v, t);
      settled = bounds.settled;
      survives = bounds.survives;
    }
    if (settled != kAll) [[unlikely]]
      survives |= exact(square, v, settled);
    if (tallies) tally_lanes<V>(tally, values, b % kTallyRows);
    const unsigned stays = survives & ~emigrants;
    const unsigned switches = survives & emigrants;
    if constexpr (kEmigration != Emigration::kEverybody) {
      stay_word |= std::uint64_t{stays} << (b % kWord);
      n_surv += static_cast<std::size_t>(__builtin_popcount(stays));
      const D stayed = V::or_d(z, V::unkept(stays));
      stayers_min = V::min(stayed, stayers_min);
      stayers_max = V::max(stayed, stayers_max);
    }
    if constexpr (kEmigration != Emigration::kNobody) {
      // Whole-vector stores: the lanes kept first, in order, the rest overwritten later.
      n_HS += V::store_kept(switchers + n_HS, z, switches);
      const D switched = V::or_d(z, V::unkept(switches));
      switchers_min = V::min(switched, switchers_min);
      switchers_max = V::max(switched, switchers_max);
    }
  }

  // The lanes the bounds left open, by the exact argument as the scalar loop computes it. The
  // weight is exp(...) * w_max with w_max = 1.0, which changes no value.
  [[gnu::always_inline]] unsigned exact(D square, D v, unsigned settled) {
    const D exponent = V::div(V::negate(square), denominator);
    nan |= V::mask_bits(V::unordered(exponent, exponent));
    int unsure;
    unsigned survives = decide<V>(v, exp_near<V>(exponent), unsure) & ~settled;
    unsure &= static_cast<int>(~settled);
    if (unsure != 0) [[unlikely]] {
      alignas(64) double exponents[kWidth];
      alignas(64) double draws[kWidth];
      V::storeu(exponents, exponent);
      V::storeu(draws, v);
      for (std::size_t k = 0; k < kWidth; ++k) {
        if (!((unsure >> k) & 1)) continue;
        if (!__builtin_isnan(exponents[k])) ++fallbacks;
        survives |= static_cast<unsigned>(draws[k] <= ::exp(exponents[k])) << k;
      }
    }
    return survives;
  }

  // The ranges kept lane by lane, folded into the task's.
  void fold_ranges(SurvivalTask& task) const {
    alignas(64) double lanes[4][kWidth];
    V::storeu(lanes[0], stayers_min);
    V::storeu(lanes[1], stayers_max);
    V::storeu(lanes[2], switchers_min);
    V::storeu(lanes[3], switchers_max);
    for (std::size_t k = 0; k < kWidth; ++k) {
      task.stayers_min = lanes[0][k] < task.stayers_min ? lanes[0][k] : task.stayers_min;
      task.stayers_max = lanes[1][k] > task.stayers_max ? lanes[1][k] : task.stayers_max;
      task.switchers_min = lanes[2][k] < task.switchers_min ? lanes[2][k] : task.switchers_min;
      task.switchers_max = lanes[3][k] > task.switchers_max ? lanes[3][k] : task.switchers_max;
    }
  }

  const D emig_rate;
  const D r_phe;
  const D rl_phe;
  const D denominator;
  const bool quick;
  const D reciprocal;
  const bool tallies;
  const ClassTally& tally;
  double* const switchers;
  std::size_t n_surv;
  std::size_t n_HS;
  // The range of each list, kept lane by lane: the lanes not kept are made NaN, which min and
  // max pass over.
  D stayers_min = V::set1(__builtin_inf());
  D stayers_max = V::set1(-__builtin_inf());
  D switchers_min = V::set1(__builtin_inf());
  D switchers_max = V::set1(-__builtin_inf());
  std::uint64_t fallbacks = 0;
  unsigned nan = 0;
};

// Individuals [first, task.n) one at a time, with the draws of the block the vectors left,
// from draw 2 * used of it on; returns whether some weight's argument was NaN.
template <class V>
bool survive_one_by_one(SurvivalTask& task, const double (*block)[V::kWidth], std::size_t used,
                        std::size_t first, std::size_t& n_surv, std::size_t& n_HS) {
  constexpr std::size_t kWidth = V::kWidth;
  auto draw = [&](std::size_t d) {
    const std::size_t slot = planar_slot<V>(2 * used + d);
    return block[slot / kWidth][slot % kWidth];
  };
  bool domain_error = false;
  std::uint64_t tail_word = 0;
  std::size_t i = first;
  for (; i < task.n; ++i) {
    const double z = task.z[i];
    const bool emigrates = draw(2 * (i - first)) <= task.emig_rate;
    const double distance = z - (emigrates ? task.rl_phe : task.r_phe);
    const double exponent = -(distance * distance) / task.denominator;
    domain_error |= __builtin_isnan(exponent);
    const bool survives = draw(2 * (i - first) + 1) <= ::exp(exponent);
    tail_word |= static_cast<std::uint64_t>(!emigrates & survives) << (i - first);
    task.switchers[n_HS] = z;
    if (survives && !emigrates) {
      task.stayers_min = z < task.stayers_min ? z : task.stayers_min;
      task.stayers_max = z > task.stayers_max ? z : task.stayers_max;
    } else if (survives) {
      task.switchers_min = z < task.switchers_min ? z : task.switchers_min;
      task.switchers_max = z > task.switchers_max ? z : task.switchers_max;
    }
    n_surv += static_cast<std::size_t>(!emigrates & survives);
    n_HS += static_cast<std::size_t>(emigrates & survives);
  }
  put_bits(task.stays, task.first_bit + first, tail_word, i - first);
  return domain_error;
}

template <class V, Emigration kEmigration, class Draws>
void survive_with(SurvivalTask& task, Draws& source) {
  constexpr bool kSome = kEmigration == Emigration::kSome;
  using D = typename V::D;
  constexpr std::size_t kWidth = V::kWidth;
  constexpr std::size_t kStep = 2 * kWidth;  // individuals per block of draws
  constexpr std::size_t kWord = 64;          // individuals per word of stayer bits
  static_assert(kWord % kStep == 0);
  // A copy the exact placement cannot touch, so its fields stay in registers.
  const bool tallies = task.tally != nullptr;
  const ClassTally tally = tallies ? *task.tally : ClassTally{};
  SurvivalJudge<V, kEmigration> judge(task, tallies, tally);

  const std::size_t whole = task.n / kStep * kStep;
  std::size_t i = 0;
  while (i < whole) {
    const std::size_t batch = whole - i < kWord ? whole - i : kWord;
    std::uint64_t stay_word = 0;
    for (std::size_t b = 0; b < batch; b += kStep) {
      D draws[4];
      source.template next<kSome>(draws);
      judge(task.z + i + b, draws[0], draws[1], b, stay_word);
      judge(task.z + i + b + kWidth, draws[2], draws[3], b + kWidth, stay_word);
    }
    put_bits(task.stays, task.first_bit + i, stay_word, batch);
    i += batch;
  }
  // The last few individuals from one more block of draws: a whole vector of them if there is
  // one, the rest one at a time.
  alignas(64) double block[4][kWidth];
  std::size_t tail_vector = 0;
  if (i < task.n) {
    D draws[4];
    source.next(draws);
    for (std::size_t k = 0; k < 4; ++k) V::storeu(block[k], draws[k]);
    if (task.n - i >= kWidth) {
      std::uint64_t stay_word = 0;
      judge(task.z + i, draws[0], draws[1], 0, stay_word);
      put_bits(task.stays, task.first_bit + i, stay_word, kWidth);
      i += kWidth;
      tail_vector = kWidth;
    }
  }
  const std::size_t tail = i;
  bool domain_error = judge.nan != 0;
  judge.fold_ranges(task);
  std::size_t n_surv = judge.n_surv;
  std::size_t n_HS = judge.n_HS;
  if (i < task.n)
    domain_error |= survive_one_by_one<V>(task, block, tail_vector, tail, n_surv, n_HS);
  if (tallies) {
    tally_values(tally, task.z + tail, task.n - tail, 0);
    task.tally->added += task.n;
  }
  task.n_surv = n_surv;
  task.n_HS = n_HS;
  task.domain_error |= domain_error;
  task.fallbacks += judge.fallbacks;
}

template <class V, class Draws>
void survive_from(SurvivalTask& task, Draws& draws) {
  if (task.emig_rate <= 0.0) {
    survive_with<V, Emigration::kNobody>(task, draws);
  } else if (task.emig_rate >= 1.0) {
    survive_with<V, Emigration::kEverybody>(task, draws);
  } else {
    survive_with<V, Emigration::kSome>(task, draws);
  }
}

template <class V>
void survive(SurvivalTask& task) {
  if (task.lanes != nullptr) {
    PlanarLanes<V> lanes(*task.lanes);
    survive_from<V>(task, lanes);
    lanes.save(*task.lanes);
  } else {
    StoredDraws<V> stored{task.draws};
    survive_from<V>(task, stored);
  }
}

template <class V>
void mutate(MutationTask& task) {
  using D = typename V::D;
  constexpr std::size_t kWidth = V::kWidth;
  const D width = V::set1(task.width);
  const D shift = V::set1(task.shift);
  const D denominator = V::set1(task.denominator);
  // Where the denominator and its reciprocal are both normal, the argument is taken as a
  // product with the reciprocal: within 2^-52 of the quotient, relative, so at most 100 * 2^-52
  // (below 2^-45) apart in the weight, which the band leaves room for, and NaN exactly where
  // the quotient is (the square is NaN).
  const bool quick = task.denominator >= 0x1p-1022 && task.denominator <= 0x1p1022;
  const D reciprocal = V::set1(1.0 / task.denominator);
  const std::size_t words = (task.pairs + 63) / 64;
  for (std::size_t w = 0; w < words; ++w) task.accepted[w] = task.unsure[w] = 0;
  const std::size_t whole = task.pairs / kWidth * kWidth;
  std::size_t j = 0;
  while (j < whole) {
    const std::size_t end = whole - j < 64 ? whole : j + 64;
    std::uint64_t accepted_word = 0;
    std::uint64_t unsure_word = 0;
    for (std::size_t b = j; b < end; b += kWidth) {
      D r;
      D y;
      V::deinterleave(V::loadu(task.draws + 2 * b), V::loadu(task.draws + 2 * b + kWidth), r, y);
      const D x = V::sub(V::mul(width, r), shift);
      V::storeu(task.x + b, x);
      const D square = V::negate(V::mul(x, x));
      const D exponent = quick ? V::mul(square, reciprocal) : V::div(square, denominator);
      int unsure;
      const unsigned accepted = decide<V>(y, exp_near<V>(exponent), unsure);
      accepted_word |= std::uint64_t{accepted} << (b % 64);
      unsure_word |= static_cast<std::uint64_t>(unsure) << (b % 64);
    }
    task.accepted[j / 64] = accepted_word;
    task.unsure[j / 64] = unsure_word;
    j = end;
  }
  for (; j < task.pairs; ++j) {
    const double x = task.width * task.draws[2 * j] - task.shift;
    task.x[j] = x;
    const double exponent = -(x * x) / task.denominator;
    const bool nan = __builtin_isnan(exponent);
    const bool accepted = task.draws[2 * j + 1] <= ::exp(exponent);
    task.accepted[j / 64] |= std::uint64_t{accepted} << (j % 64);
    task.unsure[j / 64] |= std::uint64_t{nan} << (j % 64);
  }
}

template <class V>
void tally(const ClassTally& shared, const double* z, std::size_t n) {
  const ClassTally local = shared;
  std::size_t i = 0;
  for (; i + V::kWidth <= n; i += V::kWidth) tally_lanes<V>(local, z + i, i % kTallyRows);
  tally_values(local, z + i, n - i, i % kTallyRows);
}

// A word whose every individual stays moves as it is, with none of the per-lane shuffles.
template <class V>
void move_word(double* out, const double* in) {
  for (std::size_t b = 0; b < 64; b += V::kWidth) V::storeu(out + b, V::loadu(in + b));
}

template <class V>
std::size_t compact(double* z, const std::uint64_t* keep, std::size_t n) {
  constexpr std::size_t kWidth = V::kWidth;
  constexpr std::uint64_t kLanes = (1U << kWidth) - 1U;
  std::size_t kept = 0;
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const std::uint64_t word = keep[i / 64];
    if (word == ~std::uint64_t{0}) {
      if (kept != i) move_word<V>(z + kept, z + i);  // nothing has moved yet where they are equal
      kept += 64;
      continue;
    }
    // Each store covers lanes already loaded: kept never passes i.
    for (std::size_t b = 0; b < 64; b += kWidth) {
      kept +=
          V::store_kept(z + kept, V::loadu(z + i + b), static_cast<unsigned>((word >> b) & kLanes));
    }
  }
  for (; i < n; ++i) {
    const bool keeps = (keep[i / 64] >> (i % 64)) & 1U;
    z[kept] = z[i];
    kept += static_cast<std::size_t>(keeps);
  }
  return kept;
}

template <class V>
std::size_t move_kept(const double* z, const std::uint64_t* keep, std::size_t first,
                      std::size_t last, double* out) {
  constexpr std::size_t kWidth = V::kWidth;
  constexpr std::uint64_t kLanes = (1U << kWidth) - 1U;
  auto kept_at = [&](std::size_t i) { return (keep[i / 64] >> (i % 64)) & 1U; };
  std::size_t kept = 0;
  std::size_t i = first;
  // One at a time up to a whole word, and after the last: a value is written only where it
  // is kept, so nothing lands at or past z + last.
  for (; i < last && i % 64 != 0; ++i) {
    if (kept_at(i)) out[kept++] = z[i];
  }
  for (; i + 64 <= last; i += 64) {
    const std::uint64_t word = keep[i / 64];
    if (word == ~std::uint64_t{0}) {
      if (out + kept != z + i) move_word<V>(out + kept, z + i);
      kept += 64;
      continue;
    }
    // Each store covers lanes already loaded: out + kept never passes z + i.
    for (std::size_t b = 0; b < 64; b += kWidth) {
      kept += V::store_kept(out + kept, V::loadu(z + i + b),
                            static_cast<unsigned>((word >> b) & kLanes));
    }
  }
  for (; i < last; ++i) {
    if (kept_at(i)) out[kept++] = z[i];
  }
  return kept;
}

template <class V>
void exp_all(const double* a, double* out, std::size_t n) {
  for (std::size_t i = 0; i < n; i += V::kWidth) V::storeu(out + i, exp_near<V>(V::loadu(a + i)));
}

template <class V>
constexpr Ops ops_of(const char* name) {
  return Ops{name,      &fill_draws<V>, &seed_lanes<V>, &survive<V>, &mutate<V>,
             &tally<V>, &compact<V>,    &move_kept<V>,  &exp_all<V>};
}

}  // namespace
}  // namespace hostswitch::kernel
