#pragma once

// Parameter values as the command line reads them, and its messages for values it refuses:
// kept free of the command-line parser so that every front end gives the same messages.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/parameters.hpp"
#include "model/simulation_parameters.hpp"

namespace hostswitch {

// A bad flag value or combination: reported like the parser's own errors (exit status 2).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string in_quotes(std::string_view text);

// Each throws UsageError naming `flag`: "--n-gen: '1e3' is not an integer".
std::int32_t parse_integer(std::string_view flag, std::string_view text);
double parse_real(std::string_view flag, std::string_view text);  // finite only
std::int32_t parse_at_least(std::string_view flag, std::string_view text, std::int32_t least);
// A comma-separated list of parameter `which`'s values.
std::vector<double> parse_values(std::size_t which, std::string_view text);
// One value of parameter `which`.
double parse_value(std::size_t which, std::string_view text);

// "--sdr: 0 gives the survival function no width; ..."
std::string flag_message(const ParameterRefusal& refusal);
// parameter_refusal(), else the domain refusal with its flag.
std::optional<std::string> command_line_refusal(const SimulationParameters& p);

// "--n-pop 100 --birth-rate 0.5 ...": a grid point as flags.
std::string describe_point(const SimulationParameters& p);

}  // namespace hostswitch
