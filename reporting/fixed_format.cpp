#include "reporting/fixed_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <system_error>

#include "base/number_chars.hpp"

namespace hostswitch {

namespace {

char* fill(char* out, char c, int count) {
  std::memset(out, c, static_cast<std::size_t>(count));
  return out + count;
}

char* put_word(char* out, std::string_view word, int width) {
  // One blank, the word, blanks to the end of the field (asterisks if even that is too wide).
  if (static_cast<int>(word.size()) + 1 > width) return fill(out, '*', width);
  out[0] = ' ';
  std::memcpy(out + 1, word.data(), word.size());
  return fill(out + 1 + word.size(), ' ', width - 1 - static_cast<int>(word.size()));
}

char* put_right(char* out, const char* text, int length, int width) {
  if (length > width) return fill(out, '*', width);
  out = fill(out, ' ', width - length);
  std::memcpy(out, text, static_cast<std::size_t>(length));
  return out + length;
}

}  // namespace

char* put_fixed3(char* out, double value, int width) {
  if (std::isnan(value)) return put_word(out, "NaN", width);
  if (std::isinf(value)) return put_word(out, value < 0.0 ? "-Infinity" : "Infinity", width);
  // Anything at or beyond 1e17 is wider than any field; skip the long digit strings.
  if (std::fabs(value) >= 1e17) return fill(out, '*', width);
  char text[32];
  const std::to_chars_result result = double_to_chars_fixed(text, text + sizeof text, value, 3);
  if (result.ec != std::errc{}) return fill(out, '*', width);
  const char* begin = text;
  int length = static_cast<int>(result.ptr - text);
  if (length == 6 && std::memcmp(text, "-0.000", 6) == 0) {
    ++begin;  // a value that rounds to zero carries no sign
    --length;
  }
  return put_right(out, begin, length, width);
}

char* put_integer(char* out, std::int64_t value, int width) {
  char text[24];
  const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
  return put_right(out, text, static_cast<int>(result.ptr - text), width);
}

char* put_class_record(char* out, std::int32_t n_g, double centre, std::int32_t count, double r_phe,
                       double rl_phe, std::int32_t n_HS) {
  *out++ = ' ';
  out = put_integer(out, n_g, 8);
  *out++ = ' ';
  out = put_fixed3(out, centre, 15);
  *out++ = ' ';
  out = put_integer(out, count, 10);
  *out++ = ' ';
  out = put_fixed3(out, r_phe, 15);
  *out++ = ' ';
  out = put_fixed3(out, rl_phe, 15);
  *out++ = ' ';
  out = put_integer(out, n_HS, 8);
  *out++ = '\r';
  *out++ = '\n';
  return out;
}

}  // namespace hostswitch
