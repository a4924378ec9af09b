#pragma once

#include <bit>
#include <cstdint>

namespace hostswitch {

// Combined multiplicative congruential generator with two 32-bit words.
// Every value lies strictly between 0 and 1.
class UniformStream {
 public:
  static constexpr std::int32_t kModulus1 = 2147483563;  // 2^31 - 85
  static constexpr std::int32_t kModulus2 = 2147483399;  // 2^31 - 249
  static constexpr std::int32_t kMultiplier1 = 40014;
  static constexpr std::int32_t kMultiplier2 = 40692;
  static constexpr std::int32_t kMax1 = kModulus1 - 1;  // 2147483562
  static constexpr std::int32_t kMax2 = kModulus2 - 1;  // 2147483398
  // A hair below 1/2147483563; a hexadecimal literal is its exact bits, so nothing can drift.
  static constexpr double kScale = 0x1.000000A9FFFFEp-31;  // bits 0x3E0000000A9FFFFE

  UniformStream() = default;

  double next() {
    s1_ = static_cast<std::int32_t>((std::int64_t{kMultiplier1} * s1_) % kModulus1);
    s2_ = static_cast<std::int32_t>((std::int64_t{kMultiplier2} * s2_) % kModulus2);
    std::int32_t z = s1_ - s2_;  // both in range, so no overflow
    if (z < 1) z += kMax1;
    return static_cast<double>(z) * kScale;
  }

  static constexpr int seed_size() { return 2; }

  // Words are compared as unsigned: a negative word counts as a large one.
  void put_seed(std::int32_t w1, std::int32_t w2);

  std::int32_t s1() const { return s1_; }
  std::int32_t s2() const { return s2_; }

  friend bool operator==(const UniformStream&, const UniformStream&) = default;

 private:
  std::int32_t s1_ = kMax1;
  std::int32_t s2_ = kMax2;
};

// base^exponent mod modulus, for a modulus below 2^31.
constexpr std::int64_t power_mod(std::int64_t base, std::uint64_t exponent, std::int64_t modulus) {
  std::int64_t result = 1;
  base %= modulus;
  while (exponent != 0) {
    if (exponent & 1U) result = result * base % modulus;
    base = base * base % modulus;
    exponent >>= 1;
  }
  return result;
}

// The stream `draws` values further on: each word is multiplied by its multiplier to the
// power `draws`, so a jump costs a few dozen multiplications however far it goes.
UniformStream advanced(const UniformStream& stream, std::uint64_t draws);

// The clock count that seeds a run: (whole seconds mod 214748) * 10000 + milliseconds * 10.
std::int32_t clock_count(std::int64_t seconds_since_epoch, int milliseconds);

// Seeds as the interactive program does for a given clock count: words count and count + 37.
void init_random_seed(UniformStream& stream, std::int32_t count);

}  // namespace hostswitch
