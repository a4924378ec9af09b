// The vector kernel of WebAssembly's SIMD128: two doubles or two 64-bit integers per
// instruction, eight stream lanes, as on SSE2. Built twice for the web programs: with SIMD128
// it holds the kernel's table, without it only a null pointer, so that the module for engines
// without SIMD carries no SIMD instruction (one would fail the whole module's validation).
#if defined(__EMSCRIPTEN__)

#include "model/kernel_ops.hpp"

#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

#include "model/kernel_simd_impl.hpp"

namespace hostswitch::kernel {
namespace {

// For every mask of two lanes, all ones (a NaN) in the lanes it leaves clear.
alignas(16) constexpr std::uint64_t kUnkept[4][2] = {
    {~std::uint64_t{0}, ~std::uint64_t{0}}, {0, ~std::uint64_t{0}}, {~std::uint64_t{0}, 0}, {0, 0}};

struct Simd128 {
  static constexpr std::size_t kWidth = 2;
  static constexpr std::size_t kLanes = 8;
  using D = v128_t;
  using I = v128_t;

  static D loadu(const double* p) { return wasm_v128_load(p); }
  static void storeu(double* p, D v) { wasm_v128_store(p, v); }
  static D set1(double x) { return wasm_f64x2_splat(x); }
  static D add(D a, D b) { return wasm_f64x2_add(a, b); }
  static D sub(D a, D b) { return wasm_f64x2_sub(a, b); }
  static D mul(D a, D b) { return wasm_f64x2_mul(a, b); }
  static D div(D a, D b) { return wasm_f64x2_div(a, b); }
  static D negate(D a) { return wasm_f64x2_neg(a); }  // flips the sign bit, NaN too
  static D less_equal(D a, D b) { return wasm_f64x2_le(a, b); }
  static D greater(D a, D b) { return wasm_f64x2_gt(a, b); }
  static D unordered(D a, D b) { return wasm_v128_or(wasm_f64x2_ne(a, a), wasm_f64x2_ne(b, b)); }
  static D blend(D if_clear, D if_set, D mask) {
    return wasm_v128_bitselect(if_set, if_clear, mask);
  }
  // pmin(b, a) is a < b ? a : b, and pmax(b, a) is b < a ? a : b: b where either is NaN.
  static D min(D a, D b) { return wasm_f64x2_pmin(b, a); }
  static D max(D a, D b) { return wasm_f64x2_pmax(b, a); }
  static unsigned mask_bits(D mask) { return wasm_i64x2_bitmask(mask); }
  static D or_d(D a, D b) { return wasm_v128_or(a, b); }
  static D unkept(unsigned mask) { return wasm_v128_load(kUnkept[mask]); }
  // Truncates in 32-bit lanes into `out`, and returns them as doubles. Out of range the lanes
  // saturate (NaN gives 0), where SSE2 gives -2^31: either way such an estimate fails the
  // tally's test of its fraction, and its slot is not used.
  static D truncate(D a, std::int32_t* out) {
    const v128_t whole = wasm_i32x4_trunc_sat_f64x2_zero(a);
    out[0] = wasm_i32x4_extract_lane(whole, 0);
    out[1] = wasm_i32x4_extract_lane(whole, 1);
    return wasm_f64x2_convert_low_i32x4(whole);
  }
  static std::size_t store_kept(double* out, D v, unsigned mask) {
    // Only mask 2 (the second lane alone) moves a lane.
    const D second = wasm_i64x2_splat(-static_cast<std::int64_t>(mask == 2));
    wasm_v128_store(out, blend(v, wasm_i64x2_shuffle(v, v, 1, 1), second));
    return (mask & 1U) + (mask >> 1);
  }
  // a = (e0 o0), b = (e1 o1).
  static void deinterleave(D a, D b, D& even, D& odd) {
    even = wasm_i64x2_shuffle(a, b, 0, 2);
    odd = wasm_i64x2_shuffle(a, b, 1, 3);
  }

  static I set1_i(std::int64_t x) { return wasm_i64x2_splat(x); }
  static I load_i(const std::int64_t* p) { return wasm_v128_load(p); }
  static void store_i(std::int64_t* p, I v) { wasm_v128_store(p, v); }
  // The low 32 bits of each 64-bit lane, multiplied unsigned into 64 bits.
  static I mul_low32(I a, I b) {
    return wasm_u64x2_extmul_low_u32x4(wasm_i32x4_shuffle(a, a, 0, 2, 0, 2),
                                       wasm_i32x4_shuffle(b, b, 0, 2, 0, 2));
  }
  static I shift_right31(I a) { return wasm_u64x2_shr(a, 31); }
  static I shift_left52(I a) { return wasm_i64x2_shl(a, 52); }
  static I bits_of(D a) { return a; }
  static D double_of(I a) { return a; }
  static I and_i(I a, I b) { return wasm_v128_and(a, b); }
  static I add64(I a, I b) { return wasm_i64x2_add(a, b); }
  static I add32(I a, I b) { return wasm_i32x4_add(a, b); }
  static I sub32(I a, I b) { return wasm_i32x4_sub(a, b); }
  static I sign32(I a) { return wasm_i32x4_shr(a, 31); }
  // Exact for 0 <= z < 2^52: the bits of 2^52 + z, less 2^52.
  static D to_double(I z) {
    const I bits = wasm_v128_or(z, wasm_i64x2_splat(0x4330000000000000));
    return wasm_f64x2_sub(bits, wasm_f64x2_splat(0x1p52));
  }
};

// The stream in doubles, where WebAssembly has no single instruction for the integer lanes'
// 32-bit products: a word times its multiplier (below 2^47) is exact, and so is x - q m. The
// quotient x / m taken as a product with 1/m is within 2^-36 of it, so rounded to the nearest
// integer it is floor(x / m) or one more, and one conditional addition of m puts x - q m into
// [0, m).
v128_t next_word(v128_t s, v128_t a, v128_t m, v128_t inverse) {
  const v128_t x = wasm_f64x2_mul(s, a);
  const v128_t q = wasm_f64x2_nearest(wasm_f64x2_mul(x, inverse));
  const v128_t r = wasm_f64x2_sub(x, wasm_f64x2_mul(q, m));
  return wasm_f64x2_add(r, wasm_v128_and(wasm_f64x2_lt(r, wasm_f64x2_splat(0.0)), m));
}

// Lane j makes draws [j c, (j + 1) c) of the n (c = n / kLanes), each lane one step of the
// plain multiplier at a time from the words jumped to its first draw, and stores each draw
// where it belongs. The draws are those of the stream itself, value for value.
void fill_in_chunks(StreamWords start, double* out, std::size_t n) {
  constexpr std::size_t kLanes = 8;
  constexpr std::size_t kVectors = kLanes / 2;
  static_assert(kLaneBlock % kLanes == 0);
  const std::size_t c = n / kLanes;
  alignas(16) double words1[kLanes];
  alignas(16) double words2[kLanes];
  const std::int64_t jump1 = power_mod(kMultiplier1, c, kModulus1);
  const std::int64_t jump2 = power_mod(kMultiplier2, c, kModulus2);
  std::int64_t s1 = start.s1;
  std::int64_t s2 = start.s2;
  for (std::size_t j = 0; j < kLanes; ++j) {
    words1[j] = static_cast<double>(s1);
    words2[j] = static_cast<double>(s2);
    s1 = s1 * jump1 % kModulus1;
    s2 = s2 * jump2 % kModulus2;
  }
  v128_t lanes1[kVectors];
  v128_t lanes2[kVectors];
  for (std::size_t k = 0; k < kVectors; ++k) {
    lanes1[k] = wasm_v128_load(words1 + 2 * k);
    lanes2[k] = wasm_v128_load(words2 + 2 * k);
  }
  const v128_t a1 = wasm_f64x2_splat(static_cast<double>(kMultiplier1));
  const v128_t a2 = wasm_f64x2_splat(static_cast<double>(kMultiplier2));
  const v128_t m1 = wasm_f64x2_splat(static_cast<double>(kModulus1));
  const v128_t m2 = wasm_f64x2_splat(static_cast<double>(kModulus2));
  const v128_t inverse1 = wasm_f64x2_splat(1.0 / static_cast<double>(kModulus1));
  const v128_t inverse2 = wasm_f64x2_splat(1.0 / static_cast<double>(kModulus2));
  const v128_t one = wasm_f64x2_splat(1.0);
  const v128_t max1 = wasm_f64x2_splat(static_cast<double>(kMax1));
  const v128_t scale = wasm_f64x2_splat(UniformStream::kScale);
  for (std::size_t t = 0; t < c; ++t) {
    for (std::size_t k = 0; k < kVectors; ++k) {
      lanes1[k] = next_word(lanes1[k], a1, m1, inverse1);
      lanes2[k] = next_word(lanes2[k], a2, m2, inverse2);
      // z = s1 - s2 is exact, plus 2147483562 when below 1, times the scale, as the stream does.
      v128_t z = wasm_f64x2_sub(lanes1[k], lanes2[k]);
      z = wasm_f64x2_add(z, wasm_v128_and(wasm_f64x2_lt(z, one), max1));
      const v128_t draw = wasm_f64x2_mul(z, scale);
      wasm_v128_store64_lane(out + 2 * k * c + t, draw, 0);
      wasm_v128_store64_lane(out + (2 * k + 1) * c + t, draw, 1);
    }
  }
}

constexpr Ops kTable = [] {
  Ops ops = ops_of<Simd128>("simd128");
  ops.fill = &fill_in_chunks;
  // Its stream is made by its own fill, so survival reads its draws from there too.
  ops.seed = nullptr;
  return ops;
}();

}  // namespace

extern const Ops* const kSimd128Ops = &kTable;

}  // namespace hostswitch::kernel

#else

namespace hostswitch::kernel {
extern const Ops* const kSimd128Ops = nullptr;
}

#endif
#endif
