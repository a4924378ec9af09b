#include "console/free_form.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "base/number_chars.hpp"

namespace hostswitch {

FreeFormInputError::FreeFormInputError(std::string condition, std::string channel)
    : std::runtime_error(condition + " (reading " + channel + ")"),
      condition_(std::move(condition)),
      channel_(std::move(channel)) {}

namespace {

constexpr int kEof = std::char_traits<char>::eof();

enum class Failure { kSyntax, kConversion };

struct Fault {
  Failure failure;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_exponent_letter(char c) {
  return c == 'D' || c == 'd' || c == 'E' || c == 'e' || c == 'Q' || c == 'q';
}

// A number split into its parts; the views point into the value's text.
struct Number {
  bool negative = false;
  std::string_view sign_and_digits;  // integer-looking values only, '+' left off
  std::string_view integer_digits;
  std::string_view fraction_digits;
  bool has_point = false;
  bool has_exponent = false;
  bool exponent_negative = false;
  std::string_view exponent_digits;

  bool integer_looking() const { return !has_point && !has_exponent; }
};

Number parse_number(std::string_view text) {
  Number number;
  std::size_t i = 0;
  auto take_digits = [&] {
    const std::size_t start = i;
    while (i < text.size() && is_digit(text[i])) ++i;
    return text.substr(start, i - start);
  };
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    number.negative = text[i] == '-';
    ++i;
  }
  const std::size_t unsigned_start = text[0] == '+' ? 1 : 0;
  number.integer_digits = take_digits();
  if (i < text.size() && text[i] == '.') {
    number.has_point = true;
    ++i;
    number.fraction_digits = take_digits();
  }
  if (number.integer_digits.empty() && number.fraction_digits.empty())
    throw Fault{Failure::kSyntax};
  if (i < text.size() && is_exponent_letter(text[i])) {
    number.has_exponent = true;
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      number.exponent_negative = text[i] == '-';
      ++i;
    }
    number.exponent_digits = take_digits();
    if (number.exponent_digits.empty()) throw Fault{Failure::kSyntax};
  }
  if (i != text.size()) throw Fault{Failure::kSyntax};
  if (number.integer_looking()) number.sign_and_digits = text.substr(unsigned_start);
  return number;
}

// Correctly rounded value of a number. The digits are rewritten as 0.ddd...e<n> with leading
// and trailing zeros dropped, so that exponents of any length and mantissas of any length
// reach from_chars in a form it takes; beyond the largest double is a conversion error,
// below the smallest subnormal gives a signed zero.
double to_real(const Number& number) {
  const double zero = number.negative ? -0.0 : 0.0;
  const std::size_t total = number.integer_digits.size() + number.fraction_digits.size();
  auto digit_at = [&](std::size_t k) {
    return k < number.integer_digits.size()
               ? number.integer_digits[k]
               : number.fraction_digits[k - number.integer_digits.size()];
  };
  std::size_t first = 0;
  while (first < total && digit_at(first) == '0') ++first;
  if (first == total) return zero;
  std::size_t last = total;
  while (digit_at(last - 1) == '0') --last;

  // Saturating: any exponent past this bound is far outside the double range either way.
  constexpr std::int64_t kExponentCap = std::int64_t{1} << 40;
  std::int64_t exponent = 0;
  for (char c : number.exponent_digits) {
    exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), kExponentCap);
  }
  if (number.exponent_negative) exponent = -exponent;
  // Value is 0.d(first)...d(last-1) times ten to this power.
  // A count compared as 64-bit, so the cap means the same where std::size_t is 32-bit.
  auto capped = [](std::size_t count) {
    return static_cast<std::uint64_t>(count) > std::uint64_t{kExponentCap}
               ? kExponentCap
               : static_cast<std::int64_t>(count);
  };
  const std::int64_t integer_count = capped(number.integer_digits.size());
  const std::int64_t leading = capped(first);
  const std::int64_t scale = exponent + integer_count - leading;
  if (scale > 310) throw Fault{Failure::kConversion};  // at least 1e309
  if (scale < -330) return zero;                       // below half the smallest subnormal

  std::string normal;
  normal.reserve(last - first + 32);
  if (number.negative) normal += '-';
  normal += "0.";
  for (std::size_t k = first; k < last; ++k) normal += digit_at(k);
  normal += 'e';
  char scale_text[24];
  const auto scale_end = std::to_chars(scale_text, scale_text + sizeof scale_text, scale).ptr;
  normal.append(scale_text, scale_end);

  double value = 0.0;
  const auto result = double_from_chars(normal.data(), normal.data() + normal.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    // from_chars reports underflow the same way as overflow.
    if (scale > 0) throw Fault{Failure::kConversion};
    return zero;
  }
  if (result.ec != std::errc{} || result.ptr != normal.data() + normal.size()) {
    throw Fault{Failure::kSyntax};  // not reached: the digits were checked above
  }
  return value;
}

// Truncated toward zero, then the low 32 bits of the 64-bit integer. A truncation outside the
// 64-bit range is taken as 0x8000000000000000 (the "integer indefinite" an x86 conversion
// gives), whose low 32 bits are 0.
std::int32_t truncate_to_integer(double value) {
  const double truncated = std::trunc(value);
  constexpr double kTwo63 = 9223372036854775808.0;
  std::uint64_t bits = std::uint64_t{1} << 63;
  if (truncated >= -kTwo63 && truncated < kTwo63) {
    bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(truncated));
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(bits & 0xFFFFFFFFU));
}

// What a single (non-repeat) value stands for.
struct Item {
  enum class Kind { kNull, kTrue, kFalse, kNumber } kind = Kind::kNull;
  Number number;
};

Item classify_single(std::string_view text) {
  Item item;
  const char first = text.front();
  if (first == '\'' || first == '"') throw Fault{Failure::kConversion};
  if (first == 'T' || first == 't') {
    item.kind = Item::Kind::kTrue;
  } else if (first == 'F' || first == 'f') {
    item.kind = Item::Kind::kFalse;
  } else {
    item.kind = Item::Kind::kNumber;
    item.number = parse_number(text);
  }
  return item;
}

Item classify(std::string_view text) {
  const std::size_t star = text.find('*');
  if (star == std::string_view::npos) return classify_single(text);
  const std::string_view count = text.substr(0, star);
  bool nonzero = false;
  for (char c : count) {
    if (!is_digit(c)) throw Fault{Failure::kSyntax};
    nonzero = nonzero || c != '0';
  }
  if (!nonzero) throw Fault{Failure::kSyntax};  // also an empty count
  const std::string_view repeated = text.substr(star + 1);
  if (repeated.empty()) return Item{};  // r* is a null value
  if (repeated.find('*') != std::string_view::npos) throw Fault{Failure::kSyntax};
  return classify_single(repeated);
}

bool is_separator(int c) { return c == ' ' || c == '\t' || c == ',' || c == '/'; }

}  // namespace

FreeFormReader::FreeFormReader(std::istream& input, std::string channel)
    : input_(input), channel_(std::move(channel)) {}

std::optional<std::string> FreeFormReader::next_value() {
  auto at_line_end_after_cr = [this] {
    // Called with '\r' just taken: a CR ends the line when LF or the end of input follows.
    const int next = input_.peek();
    if (next == '\n') input_.get();
    return next == '\n' || next == kEof;
  };
  auto discard_line = [this] { input_.ignore(std::numeric_limits<std::streamsize>::max(), '\n'); };

  int c = 0;
  for (;;) {
    c = input_.get();
    if (c == kEof) throw FreeFormInputError(std::string(kEndOfFile), channel_);
    if (c == ' ' || c == '\t' || c == '\n') continue;
    if (c == '\r' && at_line_end_after_cr()) continue;
    break;
  }
  if (c == ',' || c == '/') {  // a null value or a slash: the field keeps its 0
    discard_line();
    return std::nullopt;
  }
  std::string value(1, static_cast<char>(c));
  for (;;) {
    c = input_.peek();
    if (c == kEof) return value;
    input_.get();
    if (c == '\n') return value;
    if (c == '\r' && at_line_end_after_cr()) return value;
    if (is_separator(c)) break;
    value += static_cast<char>(c);
  }
  discard_line();
  return value;
}

std::int32_t FreeFormReader::read_integer() {
  const std::optional<std::string> text = next_value();
  if (!text) return 0;
  try {
    const Item item = classify(*text);
    switch (item.kind) {
      case Item::Kind::kNull:
      case Item::Kind::kFalse:
        return 0;
      case Item::Kind::kTrue:
        return -1;
      case Item::Kind::kNumber:
        break;
    }
    const Number& number = item.number;
    if (!number.integer_looking()) return truncate_to_integer(to_real(number));
    std::int32_t value = 0;
    const std::string_view digits = number.sign_and_digits;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (result.ec != std::errc{}) throw Fault{Failure::kConversion};
    return value;
  } catch (const Fault& fault) {
    fail(fault.failure == Failure::kSyntax);
  }
}

double FreeFormReader::read_real() {
  const std::optional<std::string> text = next_value();
  if (!text) return 0.0;
  try {
    const Item item = classify(*text);
    switch (item.kind) {
      case Item::Kind::kNull:
      case Item::Kind::kFalse:
        return 0.0;
      case Item::Kind::kTrue:
        return -1.0;
      case Item::Kind::kNumber:
        break;
    }
    return to_real(item.number);
  } catch (const Fault& fault) {
    fail(fault.failure == Failure::kSyntax);
  }
}

void FreeFormReader::fail(bool syntax) const {
  throw FreeFormInputError(std::string(syntax ? kSyntaxError : kConversionError), channel_);
}

}  // namespace hostswitch
