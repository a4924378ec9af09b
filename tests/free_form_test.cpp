#include "console/free_form.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "reporting/free_form_writer.hpp"

namespace hostswitch {
namespace {

// Text of n characters that cycles through the alphabet, so a lost or doubled character shows.
std::string letters(std::size_t n, char first = 'a') {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += static_cast<char>(first + i % 26);
  return text;
}

std::vector<std::string> split_lines(const std::string& record, const std::string& line_end) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < record.size()) {
    const std::size_t end = record.find(line_end, start);
    EXPECT_NE(end, std::string::npos) << "record not ended by its line end";
    if (end == std::string::npos) break;
    lines.push_back(record.substr(start, end - start));
    start = end + line_end.size();
  }
  return lines;
}

TEST(FreeFormRecord, TextGetsOneLeadingBlankAndLineEnd) {
  EXPECT_EQ(free_form_record({"Birth rate:"}), " Birth rate:\n");
  EXPECT_EQ(free_form_record({"Birth rate:"}, kFileLineEnd), " Birth rate:\r\n");
  // A text that itself begins with a blank makes the line begin with two.
  EXPECT_EQ(free_form_record({" Initial population size (integer number):"}),
            "  Initial population size (integer number):\n");
}

TEST(FreeFormRecord, IntegerIsRightJustifiedInTwelveColumnsAfterText) {
  EXPECT_EQ(free_form_record({"at generation n=", 37}), " at generation n=          37\n");
  EXPECT_EQ(free_form_record({"at generation n=", 1}), " at generation n=           1\n");
  EXPECT_EQ(free_form_record({"at generation n=", 1}, kFileLineEnd),
            " at generation n=           1\r\n");
  EXPECT_EQ(free_form_record({"x", std::numeric_limits<std::int32_t>::min()}), " x -2147483648\n");
  EXPECT_EQ(free_form_record({"n", 123456789, 5}), " n   123456789           5\n");
}

TEST(FreeFormRecord, LongTextIsCutEvery79Characters) {
  const std::string exact = letters(79);
  EXPECT_EQ(free_form_record({exact}), " " + exact + "\n");  // 80 columns exactly

  const std::string text = letters(100);
  EXPECT_EQ(free_form_record({text}), " " + text.substr(0, 79) + "\n " + text.substr(79) + "\n");

  const std::string two = letters(158);
  EXPECT_EQ(free_form_record({two}, kFileLineEnd),
            " " + two.substr(0, 79) + "\r\n " + two.substr(79) + "\r\n");

  // A credit line that starts with a blank is cut at its own 79th character.
  const std::string credit = " by " + letters(90, 'A');
  EXPECT_EQ(free_form_record({credit}),
            " " + credit.substr(0, 79) + "\n " + credit.substr(79) + "\n");
}

TEST(FreeFormRecord, ItemThatDoesNotFitStartsANewLine) {
  const std::string a = letters(50);
  const std::string b = letters(40, 'A');
  EXPECT_EQ(free_form_record({a, b}), " " + a + "\n " + b + "\n");
  // 1 + 50 + 29 = 80 columns: still fits.
  const std::string c = letters(29, 'A');
  EXPECT_EQ(free_form_record({a, c}), " " + a + c + "\n");
  // An integer needs its 12 columns: 1 + 70 leaves 9.
  const std::string d = letters(70);
  EXPECT_EQ(free_form_record({d, 42}), " " + d + "\n           42\n");
  // A long text after another item is cut on lines of its own.
  const std::string e = letters(100, 'A');
  EXPECT_EQ(free_form_record({"abc", e}),
            " abc\n " + e.substr(0, 79) + "\n " + e.substr(79) + "\n");
}

TEST(FreeFormRecord, LinesNeverExceed80ColumnsAndKeepEveryCharacter) {
  // Many mixes of text lengths: each line starts with a blank, holds at most 80 columns,
  // and the lines without their blanks give back the texts in order.
  std::uint32_t state = 12345;
  auto next = [&state](std::uint32_t bound) {
    state = state * 1103515245U + 12345U;
    return (state >> 16) % bound;
  };
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<std::string> texts;
    const std::uint32_t count = 1 + next(4);
    for (std::uint32_t i = 0; i < count; ++i) {
      texts.push_back(letters(1 + next(200), static_cast<char>('a' + i)));
    }
    std::string record;
    switch (count) {
      case 1:
        record = free_form_record({texts[0]}, kFileLineEnd);
        break;
      case 2:
        record = free_form_record({texts[0], texts[1]}, kFileLineEnd);
        break;
      case 3:
        record = free_form_record({texts[0], texts[1], texts[2]}, kFileLineEnd);
        break;
      default:
        record = free_form_record({texts[0], texts[1], texts[2], texts[3]}, kFileLineEnd);
    }
    std::string joined;
    for (const std::string& line : split_lines(record, "\r\n")) {
      ASSERT_FALSE(line.empty());
      EXPECT_EQ(line[0], ' ');
      EXPECT_LE(line.size(), 80U);
      joined += line.substr(1);
    }
    std::string expected;
    for (const std::string& text : texts) expected += text;
    EXPECT_EQ(joined, expected);
  }
}

// ---------------------------------------------------------------- reader

struct Input {
  explicit Input(const std::string& text, std::string channel = "standard input")
      : stream(text), reader(stream, std::move(channel)) {}
  std::istringstream stream;
  FreeFormReader reader;
};

std::int32_t one_integer(const std::string& text) { return Input(text).reader.read_integer(); }
double one_real(const std::string& text) { return Input(text).reader.read_real(); }

// The message of the error a read of `text` raises, or "" if it succeeds.
std::string integer_error(const std::string& text) {
  try {
    one_integer(text);
  } catch (const FreeFormInputError& error) {
    return error.what();
  }
  return "";
}
std::string real_error(const std::string& text) {
  try {
    one_real(text);
  } catch (const FreeFormInputError& error) {
    return error.what();
  }
  return "";
}

const std::string kSyntax = "list-directed I/O syntax error (reading standard input)";
const std::string kConversion = "input conversion error (reading standard input)";
const std::string kEof = "end-of-file during read (reading standard input)";

TEST(FreeFormReader, EachReadTakesOneValueFromAFreshLine) {
  Input input("100 200\n300,400\n\t 5\t6/7\n");
  EXPECT_EQ(input.reader.read_integer(), 100);
  EXPECT_EQ(input.reader.read_integer(), 300);
  EXPECT_EQ(input.reader.read_real(), 5.0);
  EXPECT_EQ(integer_error(""), kEof);
  EXPECT_THROW(input.reader.read_integer(), FreeFormInputError);
}

TEST(FreeFormReader, BlankLinesAreSkipped) {
  Input input("\n   \n\t\n  42  \n\n7");
  EXPECT_EQ(input.reader.read_integer(), 42);
  EXPECT_EQ(input.reader.read_integer(), 7);  // a last line without newline counts
  EXPECT_EQ(integer_error("\n \t \n"), kEof);
}

TEST(FreeFormReader, CarriageReturnBeforeLineFeedEndsTheLine) {
  Input input("12\r\n  \r\n\r\n1.5 9\r\n-3\r");
  EXPECT_EQ(input.reader.read_integer(), 12);
  EXPECT_EQ(input.reader.read_real(), 1.5);
  EXPECT_EQ(input.reader.read_integer(), -3);
  EXPECT_THROW(input.reader.read_integer(), FreeFormInputError);
  // Anywhere else a carriage return is a stray character.
  EXPECT_EQ(integer_error("1\r2\n"), kSyntax);
}

TEST(FreeFormReader, RealValuesInIntegerFieldTruncateTowardZero) {
  EXPECT_EQ(one_integer("1e3"), 1000);
  EXPECT_EQ(one_integer("100.9"), 100);
  EXPECT_EQ(one_integer("100.5"), 100);
  EXPECT_EQ(one_integer("2.9"), 2);
  EXPECT_EQ(one_integer("-2.7"), -2);
  EXPECT_EQ(one_integer("5."), 5);
  EXPECT_EQ(one_integer(".5"), 0);
  EXPECT_EQ(one_integer("1.5d2"), 150);
  EXPECT_EQ(one_integer("1e-400"), 0);
}

TEST(FreeFormReader, IntegerFieldKeepsLow32BitsOfTheTruncation) {
  EXPECT_EQ(one_integer("4294967396.5"), 100);    // 2^32 + 100
  EXPECT_EQ(one_integer("-4294967396.5"), -100);  // -(2^32 + 100)
  EXPECT_EQ(one_integer("2147483648.0"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(one_integer("9.2233720368547748e18"), -1024);  // 2^63 - 1024: low word 0xFFFFFC00
  // Beyond the 64-bit range the truncation is 0x8000000000000000, low word 0.
  EXPECT_EQ(one_integer("1e19"), 0);
  EXPECT_EQ(one_integer("-1e300"), 0);
}

TEST(FreeFormReader, IntegerLookingValuesMustFit32Bits) {
  EXPECT_EQ(one_integer("2147483647"), 2147483647);
  EXPECT_EQ(one_integer("-2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(one_integer("+17"), 17);
  EXPECT_EQ(one_integer(std::string(1000000, '0') + "5"), 5);
  EXPECT_EQ(integer_error("2147483648"), kConversion);
  EXPECT_EQ(integer_error("99999999999"), kConversion);
  EXPECT_EQ(integer_error("-2147483649"), kConversion);
  EXPECT_EQ(integer_error(std::string(1000000, '9')), kConversion);
  EXPECT_EQ(one_real("99999999999"), 99999999999.0);
}

TEST(FreeFormReader, NumberForms) {
  EXPECT_EQ(one_real("100"), 100.0);
  EXPECT_EQ(one_real("-3"), -3.0);
  EXPECT_EQ(one_real("0.05"), 0.05);
  EXPECT_EQ(one_real(".5"), 0.5);
  EXPECT_EQ(one_real("5."), 5.0);
  EXPECT_EQ(one_real("1e3"), 1000.0);
  EXPECT_EQ(one_real("1.5D-2"), 0.015);
  EXPECT_EQ(one_real("1.5d-2"), 0.015);
  EXPECT_EQ(one_real("2Q3"), 2000.0);
  EXPECT_EQ(one_real("2q+3"), 2000.0);
  EXPECT_EQ(one_real("2.5E+1"), 25.0);
  EXPECT_EQ(one_real("-0.125e1"), -1.25);
}

TEST(FreeFormReader, RealRangeLimits) {
  EXPECT_EQ(one_real("1.7976931348623157e308"), DBL_MAX);
  EXPECT_EQ(real_error("1.7976931348623159e308"), kConversion);  // rounds past DBL_MAX
  EXPECT_EQ(real_error("1e400"), kConversion);
  EXPECT_EQ(real_error("-1e400"), kConversion);
  EXPECT_EQ(integer_error("1e400"), kConversion);
  EXPECT_EQ(real_error("1e" + std::string(100000, '9')), kConversion);
  EXPECT_EQ(real_error(std::string(400, '1')), kConversion);
  // Underflow is not an error: zero or a subnormal.
  EXPECT_EQ(one_real("1e-400"), 0.0);
  EXPECT_EQ(one_real("1e-" + std::string(100000, '9')), 0.0);
  const double tiny = one_real("1e-310");
  EXPECT_GT(tiny, 0.0);
  EXPECT_LT(tiny, DBL_MIN);
  EXPECT_EQ(one_real("4.9406564584124654e-324"), DBL_TRUE_MIN);
  EXPECT_EQ(one_real("0e99999"), 0.0);
}

TEST(FreeFormReader, LongMantissasAreCorrectlyRounded) {
  // 2^53 + 1 lies halfway between two doubles: ties go to the even one, 2^53 ...
  const std::string half = "9007199254740993";
  EXPECT_EQ(one_real(half), 9007199254740992.0);
  EXPECT_EQ(one_real(half + "." + std::string(100000, '0')), 9007199254740992.0);
  // ... but any nonzero digit far out tips it up.
  EXPECT_EQ(one_real(half + "." + std::string(100000, '0') + "1"), 9007199254740994.0);
  EXPECT_EQ(one_real(half + std::string(100000, '0') + "1e-100001"), 9007199254740994.0);
  // Leading zeros and a large exponent that cancel out.
  EXPECT_EQ(one_real("0." + std::string(100000, '0') + "1e100001"), 1.0);
  EXPECT_EQ(one_integer("0." + std::string(100000, '0') + "1e100003"), 100);
}

TEST(FreeFormReader, LogicalValues) {
  EXPECT_EQ(one_integer("T"), -1);
  EXPECT_EQ(one_integer("true"), -1);
  EXPECT_EQ(one_integer("Txyz!,3"), -1);
  EXPECT_EQ(one_integer("F"), 0);
  EXPECT_EQ(one_integer("fALSE"), 0);
  EXPECT_EQ(one_real("t"), -1.0);
  EXPECT_EQ(one_real("f"), 0.0);
}

TEST(FreeFormReader, RepeatForms) {
  EXPECT_EQ(one_integer("3*7"), 7);
  EXPECT_EQ(one_integer("3*7 8"), 7);
  EXPECT_EQ(one_real("12*2.5"), 2.5);
  EXPECT_EQ(one_integer("2*T"), -1);
  EXPECT_EQ(one_integer("3*1e3"), 1000);
  // r* without a value is a null; the read still ends its line.
  Input input("3*\n3*,5\n3* 9\n3*/\n8\n");
  EXPECT_EQ(input.reader.read_integer(), 0);
  EXPECT_EQ(input.reader.read_integer(), 0);
  EXPECT_EQ(input.reader.read_integer(), 0);
  EXPECT_EQ(input.reader.read_real(), 0.0);
  EXPECT_EQ(input.reader.read_integer(), 8);
  EXPECT_EQ(integer_error("0*7"), kSyntax);
  EXPECT_EQ(integer_error("*7"), kSyntax);
  EXPECT_EQ(integer_error("-2*7"), kSyntax);
  EXPECT_EQ(integer_error("3*4*5"), kSyntax);
  EXPECT_EQ(integer_error("3*x"), kSyntax);
  EXPECT_EQ(integer_error("3*'a'"), kConversion);
  EXPECT_EQ(integer_error("3*99999999999"), kConversion);
}

TEST(FreeFormReader, NullValueAndSlashGiveZeroAndEndTheLine) {
  Input input(",5\n  /7\n ,\n/\n9\n");
  EXPECT_EQ(input.reader.read_integer(), 0);
  EXPECT_EQ(input.reader.read_real(), 0.0);
  EXPECT_EQ(input.reader.read_integer(), 0);
  EXPECT_EQ(input.reader.read_integer(), 0);
  EXPECT_EQ(input.reader.read_integer(), 9);
}

TEST(FreeFormReader, SyntaxErrors) {
  const std::vector<std::string> cases = {"-",
                                          "+",
                                          ".",
                                          "+.",
                                          "-.e5",
                                          "1e",
                                          "1e+",
                                          "E5",
                                          "12a",
                                          "1.2.3",
                                          "1..2",
                                          "--1",
                                          "1+5",
                                          "abc",
                                          "1e5.0",
                                          "1d2d3",
                                          "\x80",
                                          "0x10",
                                          "inf",
                                          "nan",
                                          "1_000",
                                          std::string("4\0", 2),
                                          std::string("\0", 1)};
  for (const std::string& text : cases) {
    EXPECT_EQ(integer_error(text), kSyntax) << text;
    EXPECT_EQ(real_error(text), kSyntax) << text;
  }
}

TEST(FreeFormReader, QuotedTextIsAConversionError) {
  EXPECT_EQ(integer_error("'abc'"), kConversion);
  EXPECT_EQ(real_error("\"5\""), kConversion);
  EXPECT_EQ(real_error("'1 2, 3'"), kConversion);
}

TEST(FreeFormReader, ErrorNamesConditionAndChannel) {
  Input input("x\n", "unit 5");
  try {
    input.reader.read_real();
    FAIL() << "no error";
  } catch (const FreeFormInputError& error) {
    EXPECT_EQ(error.condition(), kSyntaxError);
    EXPECT_EQ(error.channel(), "unit 5");
    EXPECT_STREQ(error.what(), "list-directed I/O syntax error (reading unit 5)");
  }
  Input empty("5\n");
  EXPECT_EQ(empty.reader.read_integer(), 5);
  try {
    empty.reader.read_integer();
    FAIL() << "no error";
  } catch (const FreeFormInputError& error) {
    EXPECT_EQ(error.condition(), kEndOfFile);
    EXPECT_EQ(error.what(), kEof);
  }
}

TEST(FreeFormReader, RestOfAHugeLineIsDiscarded) {
  Input input("5" + std::string(1000000, ' ') + "garbage\n7\n");
  EXPECT_EQ(input.reader.read_integer(), 5);
  EXPECT_EQ(input.reader.read_integer(), 7);
}

}  // namespace
}  // namespace hostswitch
