#include "console/cli_support.hpp"

#include <algorithm>
#include <thread>

#include "model/uniform_stream.hpp"

namespace hostswitch {

void ParameterOptions::add_to(CLI::App& command, bool lists) {
  const SimulationParameters typical = typical_parameters();
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    const ParameterInfo& parameter = kParameters[i];
    std::string help(parameter.meaning);
    if (lists) help += "; a comma-separated list sweeps over its values";
    options[i] = command.add_option(std::string(parameter.flag), texts[i], help)
                     ->type_name(parameter.integer ? (lists ? "INT,..." : "INT")
                                                   : (lists ? "REAL,..." : "REAL"))
                     ->default_str(parameter_text(typical, i));
  }
}

SimulationParameters ParameterOptions::single() const {
  SimulationParameters p = typical_parameters();
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    if (given(i) && texts[i].find(',') != std::string::npos) {
      throw UsageError(std::string(kParameters[i].flag) + ": " + in_quotes(texts[i]) +
                       ": a list of values is only for sweep");
    }
  }
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    if (given(i)) set_parameter_value(p, i, parse_value(i, texts[i]));
  }
  if (const auto refusal = command_line_refusal(p)) {
    throw UsageError("refused parameters: " + *refusal);
  }
  return p;
}

ParameterLists ParameterOptions::lists() const {
  const SimulationParameters typical = typical_parameters();
  ParameterLists lists;
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    lists[i] =
        given(i) ? parse_values(i, texts[i]) : std::vector<double>{parameter_value(typical, i)};
  }
  return lists;
}

std::int32_t clock_seed(const Clock& clock) {
  const ClockReading reading = clock.now();
  return clock_count(reading.seconds_since_epoch, reading.milliseconds);
}

const char* const kStatsHelp =
    "at the end, print to standard error the wall and CPU time, the peak resident memory, the "
    "individuals simulated (the population after births, summed over generations) and the "
    "nanoseconds per individual-generation";

}  // namespace hostswitch
