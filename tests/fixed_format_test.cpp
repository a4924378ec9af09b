#include "reporting/fixed_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace hostswitch {
namespace {

std::string fixed(double value, int width = 15) {
  std::string text(static_cast<std::size_t>(width), '?');
  char* const end = put_fixed3(text.data(), value, width);
  EXPECT_EQ(end, text.data() + width);
  return text;
}

std::string integer(std::int64_t value, int width) {
  std::string text(static_cast<std::size_t>(width), '?');
  char* const end = put_integer(text.data(), value, width);
  EXPECT_EQ(end, text.data() + width);
  return text;
}

std::string right(const std::string& text, std::size_t width = 15) {
  return std::string(width - text.size(), ' ') + text;
}

// Exact decimal rounding by integer arithmetic on the binary value m * 2^e, for |x| < 2^53:
// thousandths = m * 1000 / 2^-e, rounded half to even. Independent of any float printing.
std::string exact_fixed3(double x) {
  const bool negative = std::signbit(x);
  const double a = std::fabs(x);
  int exponent = 0;
  const double fraction = std::frexp(a, &exponent);  // a = fraction * 2^exponent
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const int shift = 53 - exponent;  // a = mantissa / 2^shift
  std::uint64_t thousandths = 0;
  if (a == 0.0 || shift >= 64) {
    thousandths = 0;  // below 2^53 * 1000 / 2^64, under half a thousandth
  } else if (shift <= 0) {
    thousandths = (mantissa << -shift) * 1000;
  } else {
    const std::uint64_t scaled = mantissa * 1000;  // < 2^63
    thousandths = scaled >> shift;
    const std::uint64_t remainder = scaled & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (remainder > half || (remainder == half && (thousandths & 1) != 0)) ++thousandths;
  }
  const std::uint64_t part = thousandths % 1000;
  const char decimals[] = {static_cast<char>('0' + part / 100),
                           static_cast<char>('0' + part / 10 % 10),
                           static_cast<char>('0' + part % 10), '\0'};
  const std::string sign = negative && thousandths != 0 ? "-" : "";
  return sign + std::to_string(thousandths / 1000) + "." + decimals;
}

TEST(FixedFormat, TiesRoundToEven) {
  EXPECT_EQ(fixed(10.0625), "         10.062");
  EXPECT_EQ(fixed(10.1875), "         10.188");
  EXPECT_EQ(fixed(-10.0625), "        -10.062");
  EXPECT_EQ(fixed(0.0625), "          0.062");
  EXPECT_EQ(fixed(0.3125), "          0.312");
  EXPECT_EQ(fixed(0.4375), "          0.438");
  // Every tie at three decimals is an odd multiple of 1/16.
  for (int whole : {0, 1, 7, 10, 999, 123456789}) {
    for (int odd = 1; odd < 16; odd += 2) {
      for (const double sign : {1.0, -1.0}) {
        const double x = sign * (whole + odd / 16.0);
        EXPECT_EQ(fixed(x), right(exact_fixed3(x))) << x;
      }
    }
  }
}

TEST(FixedFormat, MatchesExactRoundingOfTheBinaryValue) {
  std::mt19937_64 random(20240611);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> scale(-12, 10);
  for (int i = 0; i < 200000; ++i) {
    const double x = unit(random) * std::pow(10.0, scale(random));
    ASSERT_EQ(fixed(x), right(exact_fixed3(x))) << std::hexfloat << x;
  }
  // Values one unit in the last place either side of the half-thousandth points.
  for (int n = -20000; n <= 20000; n += 1) {
    const double mid = (n + 0.5) / 1000.0;
    for (const double x : {std::nextafter(mid, -1e9), mid, std::nextafter(mid, 1e9)}) {
      ASSERT_EQ(fixed(x), right(exact_fixed3(x))) << std::hexfloat << x;
    }
  }
}

TEST(FixedFormat, LeadingDigitAndNoNegativeZero) {
  EXPECT_EQ(fixed(0.5), "          0.500");
  EXPECT_EQ(fixed(0.0), "          0.000");
  EXPECT_EQ(fixed(-0.0), "          0.000");
  EXPECT_EQ(fixed(-0.0004), "          0.000");
  EXPECT_EQ(fixed(-0.0005), "         -0.001");  // the double lies just beyond the tie
  EXPECT_EQ(fixed(-std::numeric_limits<double>::denorm_min()), "          0.000");
  EXPECT_EQ(fixed(-1.5), "         -1.500");
}

TEST(FixedFormat, TooWideFillsTheField) {
  EXPECT_EQ(fixed(99999999999.999), "99999999999.999");
  EXPECT_EQ(fixed(-9999999999.999), "-9999999999.999");
  EXPECT_EQ(fixed(99999999999.9996), "***************");  // rounds up to 12 digits
  EXPECT_EQ(fixed(100000000000.0), "***************");
  EXPECT_EQ(fixed(-10000000000.0), "***************");
  EXPECT_EQ(fixed(1e300), "***************");
  EXPECT_EQ(fixed(-std::numeric_limits<double>::max()), "***************");
}

TEST(FixedFormat, NotANumberAndInfinityStartOneBlankIn) {
  EXPECT_EQ(fixed(std::numeric_limits<double>::quiet_NaN()), " NaN           ");
  EXPECT_EQ(fixed(-std::numeric_limits<double>::quiet_NaN()), " NaN           ");
  EXPECT_EQ(fixed(std::numeric_limits<double>::infinity()), " Infinity      ");
  EXPECT_EQ(fixed(-std::numeric_limits<double>::infinity()), " -Infinity     ");
}

TEST(FixedFormat, IntegersRightJustifiedOrAsterisks) {
  EXPECT_EQ(integer(1, 8), "       1");
  EXPECT_EQ(integer(0, 8), "       0");
  EXPECT_EQ(integer(99999999, 8), "99999999");
  EXPECT_EQ(integer(100000000, 8), "********");
  EXPECT_EQ(integer(-9999999, 8), "-9999999");
  EXPECT_EQ(integer(-10000000, 8), "********");
  EXPECT_EQ(integer(2147483647, 10), "2147483647");
  EXPECT_EQ(integer(-2147483648LL, 10), "**********");
  EXPECT_EQ(integer(100, 10), "       100");
}

TEST(FixedFormat, ClassRecordIs77ColumnsAndCrLf) {
  char line[kClassRecordBytes + 1] = {};
  char* const end = put_class_record(line, 1, 10.05, 100, 10.0, 9.5, 0);
  ASSERT_EQ(end - line, kClassRecordBytes);
  EXPECT_EQ(std::string(line, kClassRecordBytes),
            "        1          10.050        100          10.000           9.500        0\r\n");
  put_class_record(line, 123456789, std::numeric_limits<double>::quiet_NaN(), 2147483647,
                   -std::numeric_limits<double>::infinity(), -0.0001, -5);
  EXPECT_EQ(std::string(line, kClassRecordBytes),
            " ********  NaN            2147483647  -Infinity                0.000       -5\r\n");
}

}  // namespace
}  // namespace hostswitch
