// The vector kernel for processors with AVX-512 (F, DQ, VL and BW): eight doubles or eight
// 64-bit integers per instruction, thirty-two stream lanes. Comparisons give mask registers,
// which stand for the lanes' bits as they are.
#if defined(HOSTSWITCH_X86_KERNELS)

// GCC 12's intrinsics start some results from a deliberately undefined vector, which its own
// uninitialised-use warnings then report at every call.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "model/kernel_simd_impl.hpp"

namespace hostswitch::kernel {
namespace {

struct Avx512 {
  static constexpr std::size_t kWidth = 8;
  static constexpr std::size_t kLanes = 32;
  using D = __m512d;
  using I = __m512i;
  using Mask = __mmask8;

  static D loadu(const double* p) { return _mm512_loadu_pd(p); }
  static void storeu(double* p, D v) { _mm512_storeu_pd(p, v); }
  static D set1(double x) { return _mm512_set1_pd(x); }
  static D add(D a, D b) { return _mm512_add_pd(a, b); }
  static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
  static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
  static D div(D a, D b) { return _mm512_div_pd(a, b); }
  static D negate(D a) { return _mm512_xor_pd(a, _mm512_set1_pd(-0.0)); }
  static Mask less_equal(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static Mask greater(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
  static Mask unordered(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_UNORD_Q); }
  static D blend(D if_clear, D if_set, Mask mask) {
    return _mm512_mask_blend_pd(mask, if_clear, if_set);
  }
  static D min(D a, D b) { return _mm512_min_pd(a, b); }
  static D max(D a, D b) { return _mm512_max_pd(a, b); }
  static unsigned mask_bits(Mask mask) { return mask; }
  static D or_d(D a, D b) { return _mm512_or_pd(a, b); }
  static D unkept(unsigned mask) {
    return _mm512_castsi512_pd(_mm512_movm_epi64(static_cast<Mask>(~mask)));
  }
  // Truncates in 32-bit lanes into `out`, and returns them as doubles; lanes out of range
  // give -2^31.
  static D truncate(D a, std::int32_t* out) {
    const __m256i whole = _mm512_cvttpd_epi32(a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), whole);
    return _mm512_cvtepi32_pd(whole);
  }
  // A whole-vector store of the compressed lanes: the memory form of the compression is
  // far slower on some processors.
  static std::size_t store_kept(double* out, D v, unsigned mask) {
    _mm512_storeu_pd(out, _mm512_maskz_compress_pd(static_cast<Mask>(mask), v));
    return static_cast<std::size_t>(__builtin_popcount(mask));
  }
  // a = (e0 o0 e1 o1 e2 o2 e3 o3), b = (e4 o4 ... e7 o7).
  static void deinterleave(D a, D b, D& even, D& odd) {
    even = _mm512_permutex2var_pd(a, _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), b);
    odd = _mm512_permutex2var_pd(a, _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), b);
  }

  static I set1_i(std::int64_t x) { return _mm512_set1_epi64(x); }
  static I load_i(const std::int64_t* p) { return _mm512_load_si512(p); }
  static void store_i(std::int64_t* p, I v) { _mm512_store_si512(p, v); }
  // Both words are below 2^31, so the unsigned 32-bit product is the whole 64-bit one, at a
  // third of the cost of a full 64-bit multiply.
  static I mul_low32(I a, I b) { return _mm512_mul_epu32(a, b); }
  static I shift_right31(I a) { return _mm512_srli_epi64(a, 31); }
  static I shift_left52(I a) { return _mm512_slli_epi64(a, 52); }
  static I bits_of(D a) { return _mm512_castpd_si512(a); }
  static D double_of(I a) { return _mm512_castsi512_pd(a); }
  static I and_i(I a, I b) { return _mm512_and_si512(a, b); }
  static I add64(I a, I b) { return _mm512_add_epi64(a, b); }
  static I add32(I a, I b) { return _mm512_add_epi32(a, b); }
  static I sub32(I a, I b) { return _mm512_sub_epi32(a, b); }
  static I sign32(I a) { return _mm512_srai_epi32(a, 31); }
  // Exact: the lanes are below 2^53.
  static D to_double(I z) { return _mm512_cvtepi64_pd(z); }
};

}  // namespace

extern const Ops kAvx512Ops = ops_of<Avx512>("avx512");

}  // namespace hostswitch::kernel

#endif
