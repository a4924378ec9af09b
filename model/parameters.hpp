#pragma once

// The eight parameters of a run in the order of the dialogue's questions, which is also the
// order of a sweep's grid (first slowest) and of a summary's columns: the one list of their
// names, flags, meanings and types, and access to them by position.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "model/simulation_parameters.hpp"

namespace hostswitch {

struct ParameterInfo {
  std::string_view name;     // summary column, manifest key, argument name in R and Python
  std::string_view flag;     // command-line flag
  std::string_view meaning;  // help text
  bool integer;              // a signed 32-bit count; otherwise a double
};

inline constexpr std::size_t kParameterCount = 8;
inline constexpr std::array<ParameterInfo, kParameterCount> kParameters = {{
    {"n_pop", "--n-pop", "initial population size", true},
    {"birth_rate", "--birth-rate", "births per individual per generation", false},
    {"capacity", "--capacity", "carrying capacity", true},
    {"emig_rate", "--emig-rate", "emigration rate", false},
    {"sdr", "--sdr", "standard deviation of the survival probability function (eqn 1)", false},
    {"sdv", "--sdv", "standard deviation of phenotypic variation (eqn 2)", false},
    {"max_dist", "--max-dist", "maximum distance between two consecutive hosts", false},
    {"n_gen", "--n-gen", "number of generations", true},
}};

namespace detail {
template <std::string_view ParameterInfo::*Field>
constexpr std::array<std::string_view, kParameterCount> field_of_each() {
  std::array<std::string_view, kParameterCount> fields{};
  for (std::size_t i = 0; i < kParameterCount; ++i) fields[i] = kParameters[i].*Field;
  return fields;
}
}  // namespace detail

inline constexpr std::array<std::string_view, kParameterCount> kParameterNames =
    detail::field_of_each<&ParameterInfo::name>();
inline constexpr std::array<std::string_view, kParameterCount> kParameterFlags =
    detail::field_of_each<&ParameterInfo::flag>();

// Parameter `which` of `p`; integers convert exactly.
double parameter_value(const SimulationParameters& p, std::size_t which);
// Sets parameter `which`; an integer parameter takes `value` truncated, which the caller has
// checked to be a whole number in the 32-bit range.
void set_parameter_value(SimulationParameters& p, std::size_t which, double value);
// Parameter `which` as the command line and a summary write it: an integer, or the shortest
// text that reads back as the same double.
std::string parameter_text(const SimulationParameters& p, std::size_t which);

std::optional<std::size_t> parameter_by_name(std::string_view name);

// Why parameter `parameter` cannot be run, in words that follow its flag or name.
struct ParameterRefusal {
  std::size_t parameter = 0;
  std::string reason;
};

// What `run` and `sweep` refuse beyond parameter_refusal(): an sdr or sdv of 0, or so small
// that its square is 0 (the survival or mutation function would have no width and the run
// would end in "exp: DOMAIN error"), fewer than one generation, an emigration rate outside
// [0, 1] and a negative maximum distance. The interactive program runs these as its dialogue
// defines.
std::optional<ParameterRefusal> domain_refusal(const SimulationParameters& p);

}  // namespace hostswitch
