// The vector kernel for processors with AVX2: four doubles or four 64-bit integers per instruction,
// sixteen stream lanes.
#if defined(HOSTSWITCH_X86_KERNELS)

#include <immintrin.h>

#include "model/kernel_simd_impl.hpp"

namespace hostswitch::kernel {
namespace {

// For every mask of four lanes, the 32-bit indices that move its lanes to the front.
struct KeepTable {
  alignas(32) std::int32_t index[16][8];
  unsigned count[16];
};

constexpr KeepTable make_keep_table() {
  KeepTable table{};
  for (unsigned mask = 0; mask < 16; ++mask) {
    unsigned kept = 0;
    for (unsigned lane = 0; lane < 4; ++lane) {
      if (!((mask >> lane) & 1U)) continue;
      table.index[mask][2 * kept] = static_cast<std::int32_t>(2 * lane);
      table.index[mask][2 * kept + 1] = static_cast<std::int32_t>(2 * lane + 1);
      ++kept;
    }
    table.count[mask] = kept;
  }
  return table;
}

constexpr KeepTable kKeep = make_keep_table();

// For every mask of four lanes, all ones (a NaN) in the lanes it leaves clear.
struct UnkeptTable {
  alignas(32) std::uint64_t lanes[16][4];
};

constexpr UnkeptTable make_unkept_table() {
  UnkeptTable table{};
  for (unsigned mask = 0; mask < 16; ++mask) {
    for (unsigned lane = 0; lane < 4; ++lane) {
      table.lanes[mask][lane] = ((mask >> lane) & 1U) ? 0 : ~std::uint64_t{0};
    }
  }
  return table;
}

constexpr UnkeptTable kUnkept = make_unkept_table();

struct Avx2 {
  static constexpr std::size_t kWidth = 4;
  static constexpr std::size_t kLanes = 16;
  using D = __m256d;
  using I = __m256i;

  static D loadu(const double* p) { return _mm256_loadu_pd(p); }
  static void storeu(double* p, D v) { _mm256_storeu_pd(p, v); }
  static D set1(double x) { return _mm256_set1_pd(x); }
  static D add(D a, D b) { return _mm256_add_pd(a, b); }
  static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
  static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
  static D div(D a, D b) { return _mm256_div_pd(a, b); }
  static D negate(D a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
  static D less_equal(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
  static D greater(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
  static D unordered(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_UNORD_Q); }
  static D blend(D if_clear, D if_set, D mask) { return _mm256_blendv_pd(if_clear, if_set, mask); }
  static D min(D a, D b) { return _mm256_min_pd(a, b); }
  static D max(D a, D b) { return _mm256_max_pd(a, b); }
  static unsigned mask_bits(D mask) { return static_cast<unsigned>(_mm256_movemask_pd(mask)); }
  static D or_d(D a, D b) { return _mm256_or_pd(a, b); }
  static D unkept(unsigned mask) {
    return _mm256_load_pd(reinterpret_cast<const double*>(kUnkept.lanes[mask]));
  }
  // Truncates in 32-bit lanes into `out`, and returns them as doubles; lanes out of range
  // give -2^31.
  static D truncate(D a, std::int32_t* out) {
    const __m128i whole = _mm256_cvttpd_epi32(a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), whole);
    return _mm256_cvtepi32_pd(whole);
  }
  static std::size_t store_kept(double* out, D v, unsigned mask) {
    const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(kKeep.index[mask]));
    const __m256i kept = _mm256_permutevar8x32_epi32(_mm256_castpd_si256(v), index);
    _mm256_storeu_pd(out, _mm256_castsi256_pd(kept));
    return kKeep.count[mask];
  }
  // a = (e0 o0 e1 o1), b = (e2 o2 e3 o3).
  static void deinterleave(D a, D b, D& even, D& odd) {
    even = _mm256_permute4x64_pd(_mm256_unpacklo_pd(a, b), 0xD8);
    odd = _mm256_permute4x64_pd(_mm256_unpackhi_pd(a, b), 0xD8);
  }

  static I set1_i(std::int64_t x) { return _mm256_set1_epi64x(x); }
  static I load_i(const std::int64_t* p) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
  }
  static void store_i(std::int64_t* p, I v) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(p), v);
  }
  static I mul_low32(I a, I b) { return _mm256_mul_epu32(a, b); }
  static I shift_right31(I a) { return _mm256_srli_epi64(a, 31); }
  static I shift_left52(I a) { return _mm256_slli_epi64(a, 52); }
  static I bits_of(D a) { return _mm256_castpd_si256(a); }
  static D double_of(I a) { return _mm256_castsi256_pd(a); }
  static I and_i(I a, I b) { return _mm256_and_si256(a, b); }
  static I add64(I a, I b) { return _mm256_add_epi64(a, b); }
  static I add32(I a, I b) { return _mm256_add_epi32(a, b); }
  static I sub32(I a, I b) { return _mm256_sub_epi32(a, b); }
  static I sign32(I a) { return _mm256_srai_epi32(a, 31); }
  // Exact for 0 <= z < 2^52: the bits of 2^52 + z, less 2^52.
  static D to_double(I z) {
    const I bits = _mm256_or_si256(z, _mm256_set1_epi64x(0x4330000000000000));
    return _mm256_sub_pd(_mm256_castsi256_pd(bits), _mm256_set1_pd(0x1p52));
  }
};

}  // namespace

extern const Ops kAvx2Ops = ops_of<Avx2>("avx2");

}  // namespace hostswitch::kernel

#endif
