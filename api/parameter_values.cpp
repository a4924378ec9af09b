#include "api/parameter_values.hpp"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "base/number_chars.hpp"
#include "model/memory_budget.hpp"
#include "model/model_errors.hpp"

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

unsigned available_cores() {
#if defined(__linux__)
  // A batch system or taskset may give the process fewer processors than the machine has.
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&set));
  }
#endif
  return std::max(std::thread::hardware_concurrency(), 1U);
}

unsigned parse_thread_count(std::string_view flag, const std::string& text) {
  if (text.empty()) return available_cores();
  const std::int32_t count = parse_at_least(flag, text, 1);
  if (count > 1024) {
    throw UsageError(std::string(flag) + ": " + in_quotes(text) + " must be at most 1024");
  }
  return static_cast<unsigned>(count);
}

unsigned parse_jobs(const std::string& text) { return parse_thread_count("--jobs", text); }

std::vector<SimulationParameters> checked_grid(const ParameterLists& lists) {
  std::vector<SimulationParameters> grid;
  // The grid is held whole: counted against the memory budget before it is made, so a task in a
  // small cgroup is refused with a message instead of being killed.
  std::size_t points = 1;
  for (const auto& values : lists.values) {
    points = values.empty() || points > std::numeric_limits<std::size_t>::max() / values.size()
                 ? std::numeric_limits<std::size_t>::max()
                 : points * values.size();
  }
  const std::size_t need =
      points > std::numeric_limits<std::size_t>::max() / sizeof(SimulationParameters)
          ? std::numeric_limits<std::size_t>::max()
          : points * sizeof(SimulationParameters);
  if (points <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) &&
      !MemoryBudget::fits(need)) {
    const std::size_t budget = MemoryBudget::limit();
    const std::size_t held = MemoryBudget::in_use();
    throw InsufficientMemory("the grid of " + std::to_string(points) + " points needs " +
                             std::to_string(need) + " bytes to hold; the memory budget has " +
                             std::to_string(budget > held ? budget - held : 0) + " bytes");
  }
  try {
    grid = expand_grid(lists);
  } catch (const std::length_error& error) {
    throw UsageError(error.what());
  }
  for (std::size_t g = 0; g < grid.size(); ++g) {
    if (const auto refusal = command_line_refusal(grid[g])) {
      throw UsageError("refused parameters at grid point " + std::to_string(g + 1) + " (" +
                       describe_point(grid[g]) + "): " + *refusal);
    }
  }
  return grid;
}

ParameterLists parameter_lists_of(const NamedValueTexts& given) {
  const SimulationParameters typical = typical_parameters();
  ParameterLists lists;
  for (std::size_t i = 0; i < kParameterCount; ++i) lists[i] = {parameter_value(typical, i)};
  for (const auto& [name, texts] : given) {
    const auto which = parameter_by_name(name);
    if (!which) {
      std::string known;
      for (const std::string_view n : kParameterNames) {
        known += (known.empty() ? "" : ", ") + std::string(n);
      }
      throw UsageError("unknown parameter " + in_quotes(name) + "; the parameters are " + known);
    }
    if (texts.empty()) throw UsageError(std::string(kParameters[*which].flag) + ": no value");
    lists[*which].clear();
    for (const std::string& text : texts) lists[*which].push_back(parse_value(*which, text));
  }
  return lists;
}

SimulationParameters single_parameters_of(const NamedValueTexts& given) {
  for (const auto& [name, texts] : given) {
    if (texts.size() > 1) {
      throw UsageError(name + ": a run takes one value, got " + std::to_string(texts.size()));
    }
  }
  const SimulationParameters p = grid_point(parameter_lists_of(given), 0);
  if (const auto refusal = command_line_refusal(p)) {
    throw UsageError("refused parameters: " + *refusal);
  }
  return p;
}

}  // namespace hostswitch
