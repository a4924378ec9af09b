#include "console/parameter_values.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "base/number_chars.hpp"

namespace hostswitch {

namespace {

std::string_view without_plus(std::string_view text) {
  if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
  return text;
}

}  // namespace

std::string in_quotes(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '\'';
  quoted += text;
  quoted += '\'';
  return quoted;
}

std::int32_t parse_integer(std::string_view flag, std::string_view text) {
  const std::string_view digits = without_plus(text);
  std::int64_t wide = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), wide);
  if (digits.empty() || end != digits.data() + digits.size() ||
      (error != std::errc{} && error != std::errc::result_out_of_range)) {
    throw UsageError(std::string(flag) + ": " + in_quotes(text) + " is not an integer");
  }
  if (error == std::errc::result_out_of_range || wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max()) {
    throw UsageError(std::string(flag) + ": " + in_quotes(text) +
                     " is outside the 32-bit integer range -2147483648 to 2147483647");
  }
  return static_cast<std::int32_t>(wide);
}

double parse_real(std::string_view flag, std::string_view text) {
  const std::string_view number = without_plus(text);
  double value = 0.0;
  const auto [end, error] = double_from_chars(number.data(), number.data() + number.size(), value);
  if (number.empty() || end != number.data() + number.size() ||
      (error != std::errc{} && error != std::errc::result_out_of_range)) {
    throw UsageError(std::string(flag) + ": " + in_quotes(text) + " is not a number");
  }
  if (error == std::errc::result_out_of_range) {
    throw UsageError(std::string(flag) + ": " + in_quotes(text) +
                     " is out of the range of a double");
  }
  if (!std::isfinite(value)) {
    throw UsageError(std::string(flag) + ": " + in_quotes(text) + " is not a finite number");
  }
  return value;
}

std::int32_t parse_at_least(std::string_view flag, std::string_view text, std::int32_t least) {
  const std::int32_t value = parse_integer(flag, text);
  if (value < least) {
    throw UsageError(std::string(flag) + ": " + in_quotes(text) + " must be at least " +
                     std::to_string(least));
  }
  return value;
}

double parse_value(std::size_t which, std::string_view text) {
  const ParameterInfo& parameter = kParameters[which];
  return parameter.integer ? parse_integer(parameter.flag, text) : parse_real(parameter.flag, text);
}

std::vector<double> parse_values(std::size_t which, std::string_view text) {
  std::vector<double> values;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item = text.substr(start, comma - start);
    if (item.empty()) {
      throw UsageError(std::string(kParameters[which].flag) + ": " + in_quotes(text) +
                       " holds an empty value");
    }
    values.push_back(parse_value(which, item));
    if (comma == std::string_view::npos) return values;
    start = comma + 1;
  }
}

std::string flag_message(const ParameterRefusal& refusal) {
  return std::string(kParameters[refusal.parameter].flag) + ": " + refusal.reason;
}

std::optional<std::string> command_line_refusal(const SimulationParameters& p) {
  if (auto refusal = parameter_refusal(p)) return refusal;
  if (const auto refusal = domain_refusal(p)) return flag_message(*refusal);
  return std::nullopt;
}

std::string describe_point(const SimulationParameters& p) {
  std::string text;
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    if (i > 0) text += ' ';
    text += std::string(kParameters[i].flag) + " " + parameter_text(p, i);
  }
  return text;
}

}  // namespace hostswitch
