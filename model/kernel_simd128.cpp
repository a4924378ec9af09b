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

constexpr Ops kTable = ops_of<Simd128>("simd128");

}  // namespace

extern const Ops* const kSimd128Ops = &kTable;

}  // namespace hostswitch::kernel

#else

namespace hostswitch::kernel {
extern const Ops* const kSimd128Ops = nullptr;
}

#endif
#endif
