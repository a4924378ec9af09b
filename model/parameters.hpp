#pragma once

// The eight parameters of a run in the order of the dialogue's questions, which is also the
// order of a sweep's grid (first slowest) and of a summary's columns: the one list of their
// names, flags, meanings, types and Table 1 columns, and access to them by position.

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
  std::string_view meaning;  // help text of the flag
  bool integer;              // a signed 32-bit count; otherwise a double
  // The columns of Table 1 of the model's description (docs/model.md), which a test holds
  // to this table; the typical value is typical_parameters()'s.
  std::string_view definition;
  std::string_view unit;
  std::string_view domain;
  // A figure's axis title, short enough for one column; the name follows it in parentheses.
  std::string_view words;
};

inline constexpr std::size_t kParameterCount = 8;
inline constexpr std::array<ParameterInfo, kParameterCount> kParameters = {{
    {"n_pop", "--n-pop", "initial population size", true, "initial population size", "individuals",
     "integer, 1 ≤ n_pop ≤ capacity", "initial population size"},
    {"birth_rate", "--birth-rate", "births per individual per generation", false,
     "births per individual per generation", "per individual per generation", "real ≥ 0",
     "birth rate"},
    {"capacity", "--capacity", "carrying capacity", true,
     "carrying capacity: the most individuals a generation may hold after births", "individuals",
     "integer, n_pop ≤ capacity ≤ 2147483647", "carrying capacity"},
    {"emig_rate", "--emig-rate", "emigration rate", false,
     "probability that an individual emigrates to the new host in a generation",
     "probability per individual per generation", "real in [0, 1]", "emigration rate"},
    {"sdr", "--sdr", "standard deviation of the survival probability function (eqn 1)", false,
     "standard deviation of the survival probability function (eqn 1)", "phenotype units",
     "real > 0", "s.d. of survival function"},
    {"sdv", "--sdv", "standard deviation of phenotypic variation (eqn 2)", false,
     "standard deviation that defines phenotypic variation (eqn 2)", "phenotype units", "real > 0",
     "s.d. of phenotypic variation"},
    {"max_dist", "--max-dist", "maximum distance between two consecutive hosts", false,
     "maximum distance between the optima of two consecutive hosts", "phenotype units", "real ≥ 0",
     "max. distance between hosts"},
    {"n_gen", "--n-gen", "number of generations", true, "number of generations to simulate",
     "generations", "integer ≥ 1", "number of generations"},
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
// Parameter `which` of the typical run as Table 1 gives it: a real keeps its decimal point
// ("1.0").
std::string typical_value_text(std::size_t which);

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
