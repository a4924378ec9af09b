#include "base/number_chars.hpp"

#include <system_error>

#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 14000
#define HOSTSWITCH_OWN_DOUBLE_CHARS 1
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#endif

namespace hostswitch {

#ifndef HOSTSWITCH_OWN_DOUBLE_CHARS

std::to_chars_result double_to_chars(char* first, char* last, double value) {
  return std::to_chars(first, last, value);
}

std::to_chars_result double_to_chars_fixed(char* first, char* last, double value, int decimals) {
  return std::to_chars(first, last, value, std::chars_format::fixed, decimals);
}

std::from_chars_result double_from_chars(const char* first, const char* last, double& value,
                                         std::chars_format format) {
  return std::from_chars(first, last, value, format);
}

#else

namespace {

std::to_chars_result put(char* first, char* last, const std::string& text) {
  if (text.size() > static_cast<std::size_t>(last - first)) {
    return {last, std::errc::value_too_large};
  }
  std::memcpy(first, text.data(), text.size());
  return {first + text.size(), std::errc{}};
}

bool starts_with_word(const char* p, const char* last, const char* word) {
  const std::size_t n = std::strlen(word);
  if (static_cast<std::size_t>(last - p) < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = p[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != word[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::to_chars_result double_to_chars(char* first, char* last, double value) {
  const std::string sign = std::signbit(value) ? "-" : "";
  if (std::isnan(value)) return put(first, last, sign + "nan");
  if (std::isinf(value)) return put(first, last, sign + "inf");
  if (value == 0.0) return put(first, last, sign + "0");
  // The fewest significant digits that read back as the value, correctly rounded: then no
  // other string of that length lies closer.
  char scientific[40];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(scientific, sizeof scientific, "%.*e", digits - 1, std::fabs(value));
    if (std::strtod(scientific, nullptr) == std::fabs(value)) break;
  }
  const char* e = std::strchr(scientific, 'e');
  std::string digits;
  for (const char* p = scientific; p < e; ++p) {
    if (*p != '.') digits += *p;
  }
  const int exponent = std::atoi(e + 1);
  const auto count = static_cast<int>(digits.size());

  std::string exponent_text = std::to_string(exponent < 0 ? -exponent : exponent);
  if (exponent_text.size() < 2) exponent_text.insert(0, "0");
  std::string as_scientific = digits.substr(0, 1);
  if (count > 1) as_scientific += "." + digits.substr(1);
  as_scientific += (exponent < 0 ? "e-" : "e+") + exponent_text;

  std::string as_fixed;
  if (exponent >= count - 1) {
    as_fixed = digits + std::string(static_cast<std::size_t>(exponent - count + 1), '0');
  } else if (exponent >= 0) {
    as_fixed = digits.substr(0, static_cast<std::size_t>(exponent + 1)) + "." +
               digits.substr(static_cast<std::size_t>(exponent + 1));
  } else {
    as_fixed = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  }
  // The shorter notation; fixed on a tie.
  return put(first, last,
             sign + (as_fixed.size() <= as_scientific.size() ? as_fixed : as_scientific));
}

std::to_chars_result double_to_chars_fixed(char* first, char* last, double value, int decimals) {
  const int length = std::snprintf(nullptr, 0, "%.*f", decimals, value);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
  text.pop_back();
  return put(first, last, text);
}

std::from_chars_result double_from_chars(const char* first, const char* last, double& value,
                                         std::chars_format format) {
  const char* p = first;
  const bool negative = p < last && *p == '-';
  if (negative) ++p;
  if (starts_with_word(p, last, "inf")) {
    p += starts_with_word(p, last, "infinity") ? 8 : 3;
    value = negative ? -HUGE_VAL : HUGE_VAL;
    return {p, std::errc{}};
  }
  if (starts_with_word(p, last, "nan")) {
    p += 3;
    if (p < last && *p == '(') {
      const char* q = p + 1;
      while (q < last &&
             (is_digit(*q) || (*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z') || *q == '_')) {
        ++q;
      }
      if (q < last && *q == ')') p = q + 1;
    }
    value = negative ? -std::nan("") : std::nan("");
    return {p, std::errc{}};
  }
  bool any_digit = false;
  bool nonzero = false;
  auto digits = [&] {
    for (; p < last && is_digit(*p); ++p) {
      any_digit = true;
      nonzero = nonzero || *p != '0';
    }
  };
  digits();
  if (p < last && *p == '.') {
    ++p;
    digits();
  }
  if (!any_digit) return {first, std::errc::invalid_argument};
  if (format != std::chars_format::fixed && p < last && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    if (q < last && (*q == '+' || *q == '-')) ++q;
    if (q < last && is_digit(*q)) {
      while (q < last && is_digit(*q)) ++q;
      p = q;
    }
  }
  const std::string text(first, p);
  const double read = std::strtod(text.c_str(), nullptr);
  if (std::isinf(read) || (read == 0.0 && nonzero)) return {p, std::errc::result_out_of_range};
  value = read;
  return {p, std::errc{}};
}

#endif

}  // namespace hostswitch
