// The vector kernel for every x86-64 processor: two doubles or two 64-bit integers per
// instruction, eight stream lanes.
#if defined(HOSTSWITCH_X86_KERNELS)

#include <emmintrin.h>

#include "model/kernel_simd_impl.hpp"

namespace hostswitch::kernel {
namespace {

// For every mask of two lanes, all ones (a NaN) in the lanes it leaves clear.
alignas(16) constexpr std::uint64_t kUnkept[4][2] = {
    {~std::uint64_t{0}, ~std::uint64_t{0}}, {0, ~std::uint64_t{0}}, {~std::uint64_t{0}, 0}, {0, 0}};

struct Sse2 {
  static constexpr std::size_t kWidth = 2;
  static constexpr std::size_t kLanes = 8;
  using D = __m128d;
  using I = __m128i;

  static D loadu(const double* p) { return _mm_loadu_pd(p); }
  static void storeu(double* p, D v) { _mm_storeu_pd(p, v); }
  static D set1(double x) { return _mm_set1_pd(x); }
  static D add(D a, D b) { return _mm_add_pd(a, b); }
  static D sub(D a, D b) { return _mm_sub_pd(a, b); }
  static D mul(D a, D b) { return _mm_mul_pd(a, b); }
  static D div(D a, D b) { return _mm_div_pd(a, b); }
  static D negate(D a) { return _mm_xor_pd(a, _mm_set1_pd(-0.0)); }
  static D less_equal(D a, D b) { return _mm_cmple_pd(a, b); }
  static D greater(D a, D b) { return _mm_cmpgt_pd(a, b); }
  static D unordered(D a, D b) { return _mm_cmpunord_pd(a, b); }
  static D blend(D if_clear, D if_set, D mask) {
    return _mm_or_pd(_mm_and_pd(mask, if_set), _mm_andnot_pd(mask, if_clear));
  }
  static D min(D a, D b) { return _mm_min_pd(a, b); }
  static D max(D a, D b) { return _mm_max_pd(a, b); }
  static unsigned mask_bits(D mask) { return static_cast<unsigned>(_mm_movemask_pd(mask)); }
  static D or_d(D a, D b) { return _mm_or_pd(a, b); }
  static D unkept(unsigned mask) {
    return _mm_load_pd(reinterpret_cast<const double*>(kUnkept[mask]));
  }
  // Truncates in 32-bit lanes into `out`, and returns them as doubles; lanes out of range
  // give -2^31.
  static D truncate(D a, std::int32_t* out) {
    const __m128i whole = _mm_cvttpd_epi32(a);
    out[0] = _mm_cvtsi128_si32(whole);
    out[1] = _mm_cvtsi128_si32(_mm_shuffle_epi32(whole, 1));
    return _mm_cvtepi32_pd(whole);
  }
  static std::size_t store_kept(double* out, D v, unsigned mask) {
    // Only mask 2 (the second lane alone) moves a lane.
    const D second = _mm_castsi128_pd(_mm_set1_epi64x(-static_cast<std::int64_t>(mask == 2)));
    _mm_storeu_pd(out, blend(v, _mm_unpackhi_pd(v, v), second));
    return (mask & 1U) + (mask >> 1);
  }
  // a = (e0 o0), b = (e1 o1).
  static void deinterleave(D a, D b, D& even, D& odd) {
    even = _mm_unpacklo_pd(a, b);
    odd = _mm_unpackhi_pd(a, b);
  }

  static I set1_i(std::int64_t x) { return _mm_set1_epi64x(x); }
  static I load_i(const std::int64_t* p) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
  }
  static void store_i(std::int64_t* p, I v) { _mm_store_si128(reinterpret_cast<__m128i*>(p), v); }
  static I mul_low32(I a, I b) { return _mm_mul_epu32(a, b); }
  static I shift_right31(I a) { return _mm_srli_epi64(a, 31); }
  static I shift_left52(I a) { return _mm_slli_epi64(a, 52); }
  static I bits_of(D a) { return _mm_castpd_si128(a); }
  static D double_of(I a) { return _mm_castsi128_pd(a); }
  static I and_i(I a, I b) { return _mm_and_si128(a, b); }
  static I add64(I a, I b) { return _mm_add_epi64(a, b); }
  static I add32(I a, I b) { return _mm_add_epi32(a, b); }
  static I sub32(I a, I b) { return _mm_sub_epi32(a, b); }
  static I sign32(I a) { return _mm_srai_epi32(a, 31); }
  // Exact for 0 <= z < 2^52: the bits of 2^52 + z, less 2^52.
  static D to_double(I z) {
    const I bits = _mm_or_si128(z, _mm_set1_epi64x(0x4330000000000000));
    return _mm_sub_pd(_mm_castsi128_pd(bits), _mm_set1_pd(0x1p52));
  }
};

}  // namespace

extern const Ops kSse2Ops = ops_of<Sse2>("sse2");

}  // namespace hostswitch::kernel

#endif
