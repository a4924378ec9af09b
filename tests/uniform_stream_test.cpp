#include "model/uniform_stream.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

namespace hostswitch {
namespace {

TEST(UniformStream, ScaleIsAHairBelowTheReciprocalOfTheFirstModulus) {
  EXPECT_LT(UniformStream::kScale, 1.0 / 2147483563.0);
  // Nine units in the last place below the correctly rounded reciprocal.
  EXPECT_EQ(std::bit_cast<std::uint64_t>(1.0 / 2147483563.0) -
                std::bit_cast<std::uint64_t>(UniformStream::kScale),
            9U);
  EXPECT_DOUBLE_EQ(UniformStream::kScale, 4.65661305739176e-10);
}

TEST(UniformStream, UnseededStateIsTheLargestWords) {
  UniformStream stream;
  EXPECT_EQ(stream.s1(), 2147483562);
  EXPECT_EQ(stream.s2(), 2147483398);
}

TEST(UniformStream, FirstValuesFromUnitWordsWorkedByHand) {
  UniformStream stream;
  stream.put_seed(1, 1);
  // 40014 - 40692 is negative, so 2147483562 is added.
  EXPECT_EQ(stream.next(), 2147482884.0 * UniformStream::kScale);
  EXPECT_EQ(stream.s1(), 40014);
  EXPECT_EQ(stream.s2(), 40692);
  // 40014^2 and 40692^2 are both below their moduli.
  EXPECT_EQ(stream.next(), 2092764894.0 * UniformStream::kScale);
  EXPECT_EQ(stream.s1(), 1601120196);
  EXPECT_EQ(stream.s2(), 1655838864);
}

TEST(UniformStream, ProductsNeedMoreThan32BitsAndReduceExactly) {
  UniformStream stream;
  stream.put_seed(2147483562, 2147483398);
  stream.next();
  // 40014 * (m1 - 1) mod m1 = m1 - 40014, and likewise for the second word.
  EXPECT_EQ(stream.s1(), 2147483563 - 40014);
  EXPECT_EQ(stream.s2(), 2147483399 - 40692);
}

TEST(UniformStream, ValuesStayStrictlyInsideTheUnitInterval) {
  EXPECT_GT(1.0 * UniformStream::kScale, 0.0);
  EXPECT_LT(2147483562.0 * UniformStream::kScale, 1.0);
  UniformStream stream;
  stream.put_seed(12345, 67890);
  for (int i = 0; i < 200000; ++i) {
    const double u = stream.next();
    ASSERT_GT(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
}

TEST(UniformStreamSeeding, WordsAreComparedAsUnsigned) {
  UniformStream stream;
  stream.put_seed(0, 0);
  EXPECT_EQ(stream.s1(), 2147483562);
  EXPECT_EQ(stream.s2(), 2147483398);

  // -1 is 4294967295: less 2147483562 twice gives 171; less 2147483398 twice gives 499.
  stream.put_seed(-1, -1);
  EXPECT_EQ(stream.s1(), 171);
  EXPECT_EQ(stream.s2(), 499);

  // Just above the limit: one subtraction suffices.
  stream.put_seed(2147483563, 2147483399);
  EXPECT_EQ(stream.s1(), 1);
  EXPECT_EQ(stream.s2(), 1);

  stream.put_seed(2147483562, 2147483398);
  EXPECT_EQ(stream.s1(), 2147483562);
  EXPECT_EQ(stream.s2(), 2147483398);

  // INT32_MIN is 2147483648 unsigned: above both limits once.
  stream.put_seed(INT32_MIN, INT32_MIN);
  EXPECT_EQ(stream.s1(), 86);
  EXPECT_EQ(stream.s2(), 250);
}

TEST(UniformStreamSeeding, ClockCountOfZeroGivesTheLargestFirstWordAnd37) {
  UniformStream stream;
  init_random_seed(stream, 0);
  EXPECT_EQ(stream.s1(), 2147483562);
  EXPECT_EQ(stream.s2(), 37);
}

TEST(UniformStreamSeeding, SecondWordIsTheCountPlus37) {
  UniformStream stream;
  init_random_seed(stream, 1230);
  EXPECT_EQ(stream.s1(), 1230);
  EXPECT_EQ(stream.s2(), 1267);
  // The largest count wraps like a 32-bit word: 2147483647 + 37 is -2147483612,
  // 2147483684 unsigned, less 2147483398 once.
  init_random_seed(stream, 2147483647);
  EXPECT_EQ(stream.s1(), 85);
  EXPECT_EQ(stream.s2(), 286);
}

TEST(UniformStreamSeeding, ClockCountWrapsEvery214748Seconds) {
  EXPECT_EQ(clock_count(0, 0), 0);
  EXPECT_EQ(clock_count(1, 0), 10000);
  EXPECT_EQ(clock_count(3, 456), 34560);
  EXPECT_EQ(clock_count(214748, 0), 0);
  EXPECT_EQ(clock_count(214747, 999), 214747 * 10000 + 9990);
  // 1765000000 s = 8218 * 214748 + 200936.
  EXPECT_EQ(clock_count(1765000000, 250), 200936 * 10000 + 2500);
  EXPECT_EQ(clock_count(1765000000, 250) % 10, 0);
}

}  // namespace
}  // namespace hostswitch
