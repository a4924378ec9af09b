#include "model/uniform_stream.hpp"

namespace hostswitch {

namespace {

std::int32_t reduce_seed_word(std::int32_t word, std::int32_t max) {
  std::uint32_t value = static_cast<std::uint32_t>(word);
  const auto limit = static_cast<std::uint32_t>(max);
  if (value == 0) return max;
  if (value > limit) value -= limit;
  if (value > limit) value -= limit;
  return static_cast<std::int32_t>(value);
}

}  // namespace

void UniformStream::put_seed(std::int32_t w1, std::int32_t w2) {
  s1_ = reduce_seed_word(w1, kMax1);
  s2_ = reduce_seed_word(w2, kMax2);
}

UniformStream advanced(const UniformStream& stream, std::uint64_t draws) {
  const std::int64_t m1 = UniformStream::kModulus1;
  const std::int64_t m2 = UniformStream::kModulus2;
  UniformStream result;
  // Words already in range pass put_seed unchanged.
  result.put_seed(static_cast<std::int32_t>(power_mod(UniformStream::kMultiplier1, draws, m1) *
                                            stream.s1() % m1),
                  static_cast<std::int32_t>(power_mod(UniformStream::kMultiplier2, draws, m2) *
                                            stream.s2() % m2));
  return result;
}

std::int32_t clock_count(std::int64_t seconds_since_epoch, int milliseconds) {
  std::int64_t seconds = seconds_since_epoch % 214748;
  if (seconds < 0) seconds += 214748;
  return static_cast<std::int32_t>(seconds * 10000 + std::int64_t{milliseconds} * 10);
}

void init_random_seed(UniformStream& stream, std::int32_t count) {
  // Seed word k is count + 37 * (k - 1); wraps like the 32-bit words it stands for.
  const auto second = static_cast<std::int32_t>(static_cast<std::uint32_t>(count) + 37U);
  stream.put_seed(count, second);
}

}  // namespace hostswitch
