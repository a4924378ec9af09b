#pragma once

// What the design generators and the design file reader share: parameter names, numbers in
// text, and what `run` refuses of a point.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/number_chars.hpp"
#include "model/parameters.hpp"
#include "model/simulation_parameters.hpp"

namespace hostswitch::design_values {

inline bool integer_parameter(std::size_t which) { return kParameters[which].integer; }

// As in a summary (n_pop) or as its flag without the dashes (n-pop).
inline std::optional<std::size_t> parameter_named(std::string_view name) {
  if (const auto which = parameter_by_name(name)) return which;
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    if (name == kParameterFlags[i].substr(2)) return i;
  }
  return std::nullopt;
}

// What `run` refuses of a point: the data model's limits, then the parameter's domain, the
// latter as "NAME: reason" with NAME its flag or its column.
inline std::optional<std::string> point_refusal(const SimulationParameters& p, bool by_flag) {
  if (auto refusal = parameter_refusal(p)) return refusal;
  if (const auto refusal = domain_refusal(p)) {
    const ParameterInfo& info = kParameters[refusal->parameter];
    return std::string(by_flag ? info.flag : info.name) + ": " + refusal->reason;
  }
  return std::nullopt;
}

inline std::optional<double> real_of(std::string_view text) {
  double value = 0.0;
  if (text.empty()) return std::nullopt;
  const char* end = text.data() + text.size();
  const auto result = double_from_chars(text.data(), end, value);
  if (result.ec != std::errc{} || result.ptr != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace hostswitch::design_values
