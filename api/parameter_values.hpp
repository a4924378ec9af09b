#pragma once

// Parameter values as the command line reads them, and its messages for values it refuses:
// kept free of the command-line parser so that every front end gives the same messages.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "batch/sweep.hpp"
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

// The processors this process may run on.
unsigned available_cores();
// A count of threads given to `flag`, 1 to 1024; empty: available_cores().
unsigned parse_thread_count(std::string_view flag, const std::string& text);
unsigned parse_jobs(const std::string& text);  // --jobs

// The grid of the lists, every point checked before anything runs ("refused parameters at grid
// point G (...): ...").
std::vector<SimulationParameters> checked_grid(const ParameterLists& lists);

// Parameter values by name (n_pop ... n_gen), each a list of texts as its flag takes them, as
// the language bindings hand them over; parameters not named keep the typical run's value.
// Throws UsageError for an unknown name or an empty list, and as the flags do.
using NamedValueTexts = std::vector<std::pair<std::string, std::vector<std::string>>>;
ParameterLists parameter_lists_of(const NamedValueTexts& given);
// One value each, refused as `run` refuses them ("refused parameters: ...").
SimulationParameters single_parameters_of(const NamedValueTexts& given);

}  // namespace hostswitch
