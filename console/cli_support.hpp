#pragma once

// What every subcommand of the command line shares: the parameter flags, the seed from the
// clock and the exit statuses.

#include <CLI/CLI.hpp>
#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "api/parameter_values.hpp"
#include "batch/command_report.hpp"
#include "batch/sweep.hpp"
#include "console/dialogue.hpp"
#include "model/parameters.hpp"

namespace hostswitch {

inline constexpr int kRuntimeFailure = 1;
inline constexpr int kUsageFailure = 2;

// The eight parameter flags of a command: one value each for `run`, a list each for `sweep`.
struct ParameterOptions {
  std::array<std::string, kParameterCount> texts;
  std::array<CLI::Option*, kParameterCount> options{};

  void add_to(CLI::App& command, bool lists);
  bool given(std::size_t which) const { return options[which]->count() > 0; }
  // The typical run with the given flags; refuses lists and what the command line refuses.
  SimulationParameters single() const;
  // One list per parameter, the typical value where a flag is not given.
  ParameterLists lists() const;
};

std::int32_t clock_seed(const Clock& clock);

// Refuses a value of an option of `command` that is one of the command's own flags
// (`--plot --no-output`: the value was forgotten), naming both; a file of that name can still be
// given as `--plot=./--no-output`.
void refuse_flags_as_values(const CLI::App& command);

extern const char* const kStatsHelp;

// Tells what a sweep or merge did in the program's voice: warnings and a failure to `err` as
// "hostswitch COMMAND: ...", the closing line to `out`. Returns the report's status; throws
// IoFailure when `out` cannot be written.
int tell(const CommandReport& report, const std::string& command, std::ostream& out,
         std::ostream& err);

}  // namespace hostswitch
