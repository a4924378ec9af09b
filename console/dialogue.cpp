#include "console/dialogue.hpp"

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <istream>
#include <ostream>
#include <string>

#include "api/parameter_values.hpp"
#include "base/io_failure.hpp"
#include "batch/single_run.hpp"
#include "console/free_form.hpp"
#include "model/model_errors.hpp"
#include "model/population_model.hpp"
#include "model/simulation_parameters.hpp"
#include "model/uniform_stream.hpp"
#include "reporting/free_form_writer.hpp"
#include "reporting/results_file.hpp"

namespace hostswitch {

ClockReading SystemClock::now() const {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return ClockReading{millis / 1000, static_cast<int>(millis % 1000)};
}

std::optional<std::string> SystemShell::run(const std::string& command) {
  errno = 0;
  const int status = std::system(command.c_str());
  const int error_number = errno;
  // A shell that cannot be started (no shell, an argument list too long for the system)
  // looks like a shell that exited with 127, with the cause left in errno.
  const bool not_run = status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) == 127);
  if (!not_run) return std::nullopt;
  if (error_number != 0) return "the command could not be run: " + cause_text(error_number);
  return std::string("the command could not be run (exit status 127)");
}

namespace {

constexpr std::string_view kRule = "---------------------------------------------";
constexpr std::string_view kTitle = "INDIVIDUAL-BASED SIMULATION OF PARASITE HOST SWITCHING";
constexpr std::string_view kCredit =
    " by the authors of the manuscript, who describe the model, its parameters and their "
    "meaning in its methods section";
constexpr std::string_view kPausePrompt = "Enter a command, or press Enter to continue.";
constexpr std::string_view kSeeResults = "See your results at the generated file \"output.txt\"";
constexpr int kFatalStatus = 1;

void write_record(std::ostream& out, std::initializer_list<FreeFormItem> items) {
  out << free_form_record(items);
}

void write_banner(std::ostream& out) {
  write_record(out, {kRule});
  write_record(out, {"Welcome! This executable is part of the manuscript:"});
  write_record(out, {kTitle});
  write_record(out, {kCredit});
  write_record(out, {kRule});
  write_record(out,
               {"Please, enter with the following parameters (see table 1 of the manuscript)"});
}

SimulationParameters ask_parameters(std::istream& in, std::ostream& out) {
  FreeFormReader reader(in, "standard input");
  SimulationParameters p;
  auto ask = [&](std::string_view prompt, auto& field) {
    write_record(out, {prompt});
    out.flush();
    if constexpr (std::is_same_v<std::remove_reference_t<decltype(field)>, std::int32_t>) {
      field = reader.read_integer();
    } else {
      field = reader.read_real();
    }
  };
  ask(" Initial population size (integer number):", p.n_pop);
  ask("Birth rate:", p.birth_rate);
  ask("Carrying capacity (integer number):", p.capacity);
  ask("Emigration rate:", p.emig_rate);
  ask("Standard deviation of the survival probability function (eqn 1):", p.sdr);
  ask("Standard deviation that defines phenotypic variation (eqn 2 ):", p.sdv);
  ask("Maximum distance between two consecutive resources:", p.max_dist);
  ask("Time of this simulation (in generation units):", p.n_gen);
  return p;
}

void write_outcome(std::ostream& out, const RunOutcome& outcome) {
  write_record(out, {kRule});
  if (outcome.extinct) {
    write_record(out, {"This simulation ran successfully WITH POPULATION EXTINCTION"});
    write_record(out, {"at generation n=", outcome.n_g});
  } else {
    write_record(out, {"This simulation ran successfully without population extinction"});
  }
  write_record(out, {kSeeResults});
  write_record(out, {kRule});
}

void pause(std::istream& in, std::ostream& out, std::ostream& err, CommandRunner& shell) {
  for (;;) {
    write_record(out, {kPausePrompt});
    out.flush();
    std::string line;
    if (!std::getline(in, line)) return;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) return;
    if (const auto failure = shell.run(line)) {
      out.flush();
      err << "hostswitch: " << *failure << '\n';
      err.flush();
    }
  }
}

int fatal(std::ostream& out, std::ostream& err, std::string_view message) {
  out.flush();
  err << "hostswitch: " << message << '\n';
  err.flush();
  return kFatalStatus;
}

}  // namespace

int run_dialogue(std::istream& in, std::ostream& out, std::ostream& err, const Clock& clock,
                 const std::filesystem::path& directory, CommandRunner& shell,
                 const DialogueOptions& options) {
  write_banner(out);
  SimulationParameters parameters;
  try {
    parameters = ask_parameters(in, out);
  } catch (const FreeFormInputError& error) {
    return fatal(out, err, error.what());
  }
  if (const auto refusal = parameter_refusal(parameters)) {
    return fatal(out, err, "parameters refused: " + *refusal);
  }

  RunOutcome outcome;
  try {
    SingleRun run;
    run.parameters = parameters;
    run.results = directory / kResultsFileName;
    run.settings.threads = available_cores();  // the bytes do not depend on it
    run.seed = [&] {
      if (options.seed_count) return *options.seed_count;
      const ClockReading reading = clock.now();
      return clock_count(reading.seconds_since_epoch, reading.milliseconds);
    };
    outcome = run_single(run).outcome;
  } catch (const ResultsFileError& error) {
    return fatal(out, err, error.what());
  } catch (const ExpDomainError& error) {
    return fatal(out, err, error.what());
  } catch (const InsufficientMemory& error) {
    return fatal(out, err, error.what());
  } catch (const std::bad_alloc&) {
    return fatal(out, err, InsufficientMemory().what());
  }

  write_outcome(out, outcome);
  pause(in, out, err, shell);
  out.flush();
  return 0;
}

}  // namespace hostswitch
