#include "console/cli_support.hpp"

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/io_failure.hpp"
#include "model/uniform_stream.hpp"

namespace hostswitch {

void refuse_flags_as_values(const CLI::App& command) {
  std::vector<std::string> flags;
  for (const CLI::Option* option : command.get_options()) {
    for (const auto& name : option->get_lnames()) flags.push_back("--" + name);
    for (const auto& name : option->get_snames()) flags.push_back("-" + name);
  }
  for (const CLI::Option* option : command.get_options()) {
    if (option->get_type_size() == 0) continue;  // a flag takes no value
    for (const std::string& value : option->results()) {
      const std::string word = value.substr(0, value.find('='));
      if (std::find(flags.begin(), flags.end(), word) == flags.end()) continue;
      const std::string name = option->get_name(false, true);
      throw UsageError(name + ": " + in_quotes(value) + " is the flag " + word + " of " +
                       command.get_name() + ", not a value; give the value after " + name +
                       " (a file of that name as " + name + "=./" + value + ")");
    }
  }
}

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

int tell(const CommandReport& report, const std::string& command, std::ostream& out,
         std::ostream& err) {
  const std::string program = "hostswitch " + command + ": ";
  for (const std::string& warning : report.warnings)
    err << program << "warning: " << warning << '\n';
  if (report.status != 0) {
    err << program << report.message << '\n';
    return report.status;
  }
  if (!report.message.empty()) {
    errno = 0;
    out << report.message << '\n';
    out.flush();
    if (!out) throw IoFailure("write", "standard output", errno);
  }
  return 0;
}

}  // namespace hostswitch
