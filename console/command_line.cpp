#include "console/command_line.hpp"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "analysis/report.hpp"
#include "batch/manifest.hpp"
#include "batch/summary.hpp"
#include "batch/sweep.hpp"
#include "batch/sweep_command.hpp"
#include "batch/trajectory.hpp"
#include "console/completion.hpp"
#include "console/help_formatter.hpp"
#include "console/run_stats.hpp"
#include "model/model_errors.hpp"
#include "model/number_chars.hpp"
#include "model/population_model.hpp"
#include "model/simulation_parameters.hpp"
#include "model/uniform_stream.hpp"
#include "reporting/io_failure.hpp"
#include "reporting/plot.hpp"
#include "reporting/results_file.hpp"

namespace hostswitch {

namespace {

constexpr int kRuntimeFailure = 1;
constexpr int kUsageFailure = 2;

// A bad flag value or combination: reported like the parser's own errors.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string in_quotes(std::string_view text) { return "'" + std::string(text) + "'"; }

std::string_view without_plus(std::string_view text) {
  if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
  return text;
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

template <class T, class Parse>
std::vector<T> parse_list(std::string_view flag, std::string_view text, Parse parse) {
  std::vector<T> values;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item = text.substr(start, comma - start);
    if (item.empty()) {
      throw UsageError(std::string(flag) + ": " + in_quotes(text) + " holds an empty value");
    }
    values.push_back(parse(flag, item));
    if (comma == std::string_view::npos) return values;
    start = comma + 1;
  }
}

// The eight parameter flags in the order of the dialogue's questions, which is also the order
// of the sweep's grid (first slowest).
enum Parameter { kNPop, kBirthRate, kCapacity, kEmigRate, kSdr, kSdv, kMaxDist, kNGen, kCount };
constexpr std::array<const char*, kCount> kFlags = {"--n-pop",     "--birth-rate", "--capacity",
                                                    "--emig-rate", "--sdr",        "--sdv",
                                                    "--max-dist",  "--n-gen"};
constexpr std::array<const char*, kCount> kMeanings = {
    "initial population size",
    "births per individual per generation",
    "carrying capacity",
    "emigration rate",
    "standard deviation of the survival probability function (eqn 1)",
    "standard deviation of phenotypic variation (eqn 2)",
    "maximum distance between two consecutive hosts",
    "number of generations"};
constexpr std::array<bool, kCount> kIsInteger = {true,  false, true,  false,
                                                 false, false, false, true};

struct ParameterOptions {
  std::array<std::string, kCount> texts;
  std::array<CLI::Option*, kCount> options{};

  void add_to(CLI::App& command, bool lists) {
    const SimulationParameters typical = typical_parameters();
    for (int i = 0; i < kCount; ++i) {
      std::string help = kMeanings[static_cast<std::size_t>(i)];
      if (lists) help += "; a comma-separated list sweeps over its values";
      options[static_cast<std::size_t>(i)] =
          command
              .add_option(kFlags[static_cast<std::size_t>(i)], texts[static_cast<std::size_t>(i)],
                          help)
              ->type_name(kIsInteger[static_cast<std::size_t>(i)] ? (lists ? "INT,..." : "INT")
                                                                  : (lists ? "REAL,..." : "REAL"))
              ->default_str(parameter_text(typical, static_cast<std::size_t>(i)));
    }
  }

  bool given(int which) const { return options[static_cast<std::size_t>(which)]->count() > 0; }
  const std::string& text(int which) const { return texts[static_cast<std::size_t>(which)]; }

  SimulationParameters single() const {
    SimulationParameters p = typical_parameters();
    for (int i = 0; i < kCount; ++i) {
      if (given(i) && text(i).find(',') != std::string::npos) {
        throw UsageError(std::string(kFlags[static_cast<std::size_t>(i)]) + ": " +
                         in_quotes(text(i)) + ": a list of values is only for sweep");
      }
    }
    if (given(kNPop)) p.n_pop = parse_integer("--n-pop", text(kNPop));
    if (given(kBirthRate)) p.birth_rate = parse_real("--birth-rate", text(kBirthRate));
    if (given(kCapacity)) p.capacity = parse_integer("--capacity", text(kCapacity));
    if (given(kEmigRate)) p.emig_rate = parse_real("--emig-rate", text(kEmigRate));
    if (given(kSdr)) p.sdr = parse_real("--sdr", text(kSdr));
    if (given(kSdv)) p.sdv = parse_real("--sdv", text(kSdv));
    if (given(kMaxDist)) p.max_dist = parse_real("--max-dist", text(kMaxDist));
    if (given(kNGen)) p.n_gen = parse_integer("--n-gen", text(kNGen));
    if (const auto refusal = command_line_refusal(p))
      throw UsageError("refused parameters: " + *refusal);
    return p;
  }

  ParameterLists lists() const {
    const SimulationParameters t = typical_parameters();
    auto ints = [this](int which, std::int32_t fallback) {
      if (!given(which)) return std::vector<std::int32_t>{fallback};
      return parse_list<std::int32_t>(kFlags[static_cast<std::size_t>(which)], text(which),
                                      parse_integer);
    };
    auto reals = [this](int which, double fallback) {
      if (!given(which)) return std::vector<double>{fallback};
      return parse_list<double>(kFlags[static_cast<std::size_t>(which)], text(which), parse_real);
    };
    return ParameterLists{ints(kNPop, t.n_pop),        reals(kBirthRate, t.birth_rate),
                          ints(kCapacity, t.capacity), reals(kEmigRate, t.emig_rate),
                          reals(kSdr, t.sdr),          reals(kSdv, t.sdv),
                          reals(kMaxDist, t.max_dist), ints(kNGen, t.n_gen)};
  }
};

std::string describe_point(const SimulationParameters& p) {
  std::string text;
  for (int i = 0; i < kCount; ++i) {
    if (i > 0) text += ' ';
    text += std::string(kFlags[static_cast<std::size_t>(i)]) + " " +
            parameter_text(p, static_cast<std::size_t>(i));
  }
  return text;
}

std::int32_t clock_seed(const Clock& clock) {
  const ClockReading reading = clock.now();
  return clock_count(reading.seconds_since_epoch, reading.milliseconds);
}

// ---------------------------------------------------------------------------------------------
// run

// Passes every generation on, then tells the context how far the run is.
class ProgressReporter final : public Reporter {
 public:
  ProgressReporter(Reporter& inner, const CommandLineContext& context, std::int32_t n_gen)
      : inner_(inner), context_(context), n_gen_(n_gen) {}
  void report(const GenerationRecord& generation) override {
    inner_.report(generation);
    if (context_.on_progress) context_.on_progress(generation.n_g, n_gen_);
  }
  ClassTally* begin_tally(std::span<const double> pop, double pop_min, double pop_max) override {
    return inner_.begin_tally(pop, pop_min, pop_max);
  }

 private:
  Reporter& inner_;
  const CommandLineContext& context_;
  std::int32_t n_gen_;
};

struct RunArgs {
  ParameterOptions parameters;
  std::string seed, grid_index, replicate;
  CLI::Option* seed_option = nullptr;
  std::string output = std::string(kResultsFileName);
  bool no_output = false;
  std::string summary, plot;
  CLI::Option* summary_option = nullptr;
  CLI::Option* plot_option = nullptr;
  bool stats = false;
  std::string trajectory;
  CLI::Option* trajectory_option = nullptr;
};

int run_command(const RunArgs& args, const CommandLineContext& context) {
  const RunStatsMeter meter;
  const SimulationParameters parameters = args.parameters.single();
  RunLabel label;
  if (!args.grid_index.empty())
    label.grid_index = parse_at_least("--grid-index", args.grid_index, 1);
  if (!args.replicate.empty()) label.replicate = parse_at_least("--replicate", args.replicate, 1);
  const bool seeded = args.seed_option->count() > 0;
  label.seed = seeded ? parse_integer("--seed", args.seed) : clock_seed(context.clock);
  require_first_generation_memory(parameters);  // before the results file is replaced

  RunResult result;
  try {
    std::optional<TrajectoryFile> trajectory;
    if (args.trajectory_option->count() > 0) {
      trajectory.emplace(args.trajectory, parameters, label.grid_index, label.replicate);
    }
    NullReporter none;
    Reporter& steps = trajectory ? static_cast<Reporter&>(*trajectory) : none;
    UniformStream stream;
    if (args.no_output) {
      ProgressReporter reporter(steps, context, parameters.n_gen);
      init_random_seed(stream, label.seed);
      result = run_population(parameters, stream, reporter);
    } else {
      // Opened before the stream is seeded, as the interactive program does.
      ResultsFile results(args.output, parameters.sdr / 10.0);
      ReporterPair both(results, steps);
      ProgressReporter reporter(both, context, parameters.n_gen);
      init_random_seed(stream, label.seed);
      result = run_into(results, reporter, parameters, stream);
    }
    if (trajectory) trajectory->close();
  } catch (const std::bad_alloc&) {
    throw InsufficientMemory();
  }

  const RunOutcome& outcome = result.outcome;
  std::string line = outcome.extinct
                         ? "extinct at generation " + std::to_string(outcome.n_g)
                         : "completed after " + std::to_string(outcome.n_g) + " generations";
  line += "; host switch in " + std::to_string(result.switch_generations) + " of " +
          std::to_string(outcome.n_g) + " generations";
  line += "; final population " + std::to_string(result.final_population.size());
  line += "; seed " + std::to_string(label.seed) + (seeded ? "" : " (from the clock)");
  context.out << line << '\n';
  context.out.flush();

  if (args.summary_option->count() > 0) {
    write_whole_file(args.summary,
                     summary_header() + summary_line(summarize(parameters, label, result)));
  }
  if (args.plot_option->count() > 0) {
    plot_results_file(PlotOptions{args.output, args.plot});
  }
  if (args.stats) {
    context.err << stats_report("hostswitch run", meter.stats(result.individuals_simulated));
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// sweep

std::atomic<bool> g_stop_requested{false};
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

extern "C" void request_stop(int signal_number) {
  g_stop_signal.store(signal_number);
  g_stop_requested.store(true);
}

// While alive, SIGINT and SIGTERM ask the sweep to stop; a second one acts as usual. A signal
// the process was told to ignore (a background job of a script) stays ignored.
class StopSignals {
 public:
  StopSignals() {
    g_stop_requested.store(false);
    g_stop_signal.store(0);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      struct sigaction current {};
      sigaction(kSignals[i], nullptr, &current);
      if (current.sa_handler == SIG_IGN) continue;
      struct sigaction handler {};
      handler.sa_handler = request_stop;
      sigemptyset(&handler.sa_mask);
      handler.sa_flags = SA_RESETHAND;
      installed_[i] = sigaction(kSignals[i], &handler, &previous_[i]) == 0;
    }
  }
  ~StopSignals() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      if (installed_[i]) sigaction(kSignals[i], &previous_[i], nullptr);
    }
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static constexpr std::array<int, 2> kSignals = {SIGINT, SIGTERM};
  std::array<struct sigaction, 2> previous_{};
  std::array<bool, 2> installed_{};
};

std::string clock_text(double seconds) {
  const auto whole = static_cast<long long>(seconds);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                whole % 60);
  return buffer;
}

class ProgressLine {
 public:
  explicit ProgressLine(std::ostream& err) : err_(err) {}
  void show(std::size_t done, std::size_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    drawn_ = true;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    std::string eta = "--:--:--";
    if (done > 0) {
      eta = clock_text(elapsed * static_cast<double>(total - done) / static_cast<double>(done));
    }
    err_ << "\r\x1b[K" << done << '/' << total << " runs, elapsed " << clock_text(elapsed)
         << ", ETA " << eta << std::flush;
  }
  void clear() {
    if (drawn_) err_ << "\r\x1b[K" << std::flush;
  }

 private:
  std::ostream& err_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_;
  bool drawn_ = false;
};

struct SweepArgs {
  ParameterOptions parameters;
  std::string replicates = "1", seed, jobs;
  CLI::Option* seed_option = nullptr;
  std::string summary = "summary.csv";
  std::string outputs;
  CLI::Option* outputs_option = nullptr;
  bool emit_commands = false;
  std::string run_dir = "runs";
  bool stats = false;
  bool resume = false;
  std::string part, parts, slurm;
  std::vector<std::string> slurm_options;
  std::string trajectories;
  CLI::Option* trajectories_option = nullptr;
};

// --part K/N
std::pair<std::int32_t, std::int32_t> parse_part(const std::string& text) {
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos) {
    throw UsageError("--part: " + in_quotes(text) + " is not K/N (part K of N)");
  }
  const std::int32_t parts = parse_at_least("--part", text.substr(slash + 1), 1);
  const std::int32_t part = parse_at_least("--part", text.substr(0, slash), 1);
  if (part > parts) {
    throw UsageError("--part: " + in_quotes(text) + ": part " + std::to_string(part) +
                     " is outside 1.." + std::to_string(parts));
  }
  return {part, parts};
}

int sweep_command(const SweepArgs& args, const std::vector<std::string>& command_line,
                  const CommandLineContext& context) {
  const RunStatsMeter meter;
  SweepRequest request;
  request.lists = args.parameters.lists();
  request.grid = [&] {
    try {
      return expand_grid(request.lists);
    } catch (const std::length_error& error) {
      throw UsageError(error.what());
    }
  }();
  for (std::size_t g = 0; g < request.grid.size(); ++g) {
    if (const auto refusal = command_line_refusal(request.grid[g])) {
      throw UsageError("refused parameters at grid point " + std::to_string(g + 1) + " (" +
                       describe_point(request.grid[g]) + "): " + *refusal);
    }
  }
  request.replicates = parse_at_least("--replicates", args.replicates, 1);
  if (args.seed_option->count() > 0) request.base_seed = parse_integer("--seed", args.seed);
  request.clock_seed = clock_seed(context.clock);
  if (args.jobs.empty()) {
    request.jobs = std::max(std::thread::hardware_concurrency(), 1U);
  } else {
    const std::int32_t jobs = parse_at_least("--jobs", args.jobs, 1);
    if (jobs > 1024) throw UsageError("--jobs: " + in_quotes(args.jobs) + " must be at most 1024");
    request.jobs = static_cast<unsigned>(jobs);
  }
  if (args.outputs_option->count() > 0) request.outputs = args.outputs;
  if (args.trajectories_option->count() > 0) {
    request.trajectories = true;
    const bool run_directory = !args.part.empty() || args.emit_commands || !args.slurm.empty();
    if (run_directory && !args.trajectories.empty()) {
      throw UsageError(
          "--trajectories: with --part, --emit-commands or --slurm the trajectories "
          "go into the run directory (part-K.trajectories.csv); give the flag "
          "without a path");
    }
    if (!args.trajectories.empty()) request.trajectories_path = args.trajectories;
  }
  request.summary = args.summary;
  request.resume = args.resume;
  request.run_dir = args.run_dir;
  if (!args.parts.empty()) request.parts = parse_at_least("--parts", args.parts, 1);
  if (!args.part.empty()) std::tie(request.part, request.parts) = parse_part(args.part);
  if (!args.slurm.empty()) request.slurm_dir = args.slurm;
  request.slurm_options = args.slurm_options;
  request.command_line = command_line;
  request.executable = context.executable;

  if (request.slurm_dir) return write_slurm_sweep(request, context.out);
  if (args.emit_commands) return emit_sweep_commands(request, context.out);

  // Runs happen here: a grid point too big for this machine fails before anything is written.
  for (std::size_t g = 0; g < request.grid.size(); ++g) {
    try {
      require_first_generation_memory(request.grid[g]);
    } catch (const InsufficientMemory& error) {
      throw std::runtime_error("grid point " + std::to_string(g + 1) + " (" +
                               describe_point(request.grid[g]) + "): " + error.what());
    }
  }

  ProgressLine progress(context.err);
  if (context.show_progress || context.on_progress) {
    request.progress = [&progress, &context](std::size_t done, std::size_t total) {
      if (context.show_progress) progress.show(done, total);
      if (context.on_progress) {
        context.on_progress(static_cast<std::int64_t>(done), static_cast<std::int64_t>(total));
      }
    };
    request.progress_end = [&progress] { progress.clear(); };
  }
  std::int64_t individuals_simulated = 0;
  request.on_outcome = [&individuals_simulated](const SweepOutcome& outcome) {
    individuals_simulated += outcome.individuals_simulated;
  };
  int status = 0;
  {
    const StopSignals signals;
    request.stop = &g_stop_requested;
    status = request.part ? sweep_part(request, context.out, context.err)
                          : sweep_into_summary(request, context.out, context.err);
  }
  if (args.stats) {
    context.err << stats_report("hostswitch sweep", meter.stats(individuals_simulated));
  }
  if (status != kSweepInterrupted) return status;
  const int signal_number = g_stop_signal.load();
  return signal_number > 0 ? 128 + signal_number : kRuntimeFailure;
}

// ---------------------------------------------------------------------------------------------
// report

struct ReportArgs {
  std::string summary, trajectories, table = "stats.csv", html = "report.html", x, colour;
  CLI::Option* trajectories_option = nullptr;
};

int report_command(const ReportArgs& args, const CommandLineContext& context) {
  auto parameter = [](std::string_view flag,
                      const std::string& name) -> std::optional<std::size_t> {
    if (name.empty()) return std::nullopt;
    const auto which = parameter_by_name(name);
    if (!which) {
      throw UsageError(std::string(flag) + ": " + in_quotes(name) +
                       " is not a parameter (n_pop, birth_rate, capacity, emig_rate, sdr, sdv, "
                       "max_dist, n_gen)");
    }
    return which;
  };
  ReportOptions options;
  options.summary = args.summary;
  if (args.trajectories_option->count() > 0) options.trajectories = args.trajectories;
  options.table = args.table;
  options.html = args.html;
  options.x = parameter("--x", args.x);
  options.colour = parameter("--colour", args.colour);
  if (options.x && options.colour && *options.x == *options.colour) {
    throw UsageError("--x and --colour must name different parameters");
  }
  const ReportFacts facts = write_report(options);
  if (facts.missing_rows > 0) {
    context.err << "hostswitch report: warning: " << facts.missing_rows
                << " rows missing from the grid; each grid point is reported with the "
                   "replicates it has\n";
  }
  context.out << facts.rows << " runs over " << facts.grid_points << " grid points: " << args.table
              << ", " << args.html << '\n';
  context.out.flush();
  return 0;
}

// ---------------------------------------------------------------------------------------------
// plot and merge

int plot_command(const std::string& results, const std::string& svg) {
  plot_results_file(PlotOptions{results, svg});
  return 0;
}

constexpr const char* kStatsHelp =
    "at the end, print to standard error the wall and CPU time, the peak resident memory, the "
    "individuals simulated (the population after births, summed over generations) and the "
    "nanoseconds per individual-generation";

constexpr const char* kSweepFooter = R"(
The grid is the cross product of the value lists, in the order of the flags above: --n-pop varies
slowest, --n-gen fastest. Grid points and replicates are numbered from 1. Replicate r of grid point g
is seeded with the clock count splitmix64(splitmix64(splitmix64(BASE) ^ g) ^ r) >> 33, a value in
0..2147483647, so any row can be rerun with `hostswitch run ... --seed SEED`.

The summary has one row per replicate, in grid-then-replicate order whatever the thread timing.
final_mean_phe and final_sd_phe (the population standard deviation, dividing by n) are empty for an
extinct population. Rows are written whole as soon as they and all rows before them are done, so an
interrupted (SIGINT, SIGTERM) or failing sweep leaves only complete rows.

Every sweep first writes a manifest of its grid, replicates and seed: SUMMARY.json beside the
summary (summary.csv -> summary.json), or RUN_DIR/manifest.json. A sweep locks its summary; a second
sweep on the same file is refused. --resume continues an interrupted sweep with the same flags: the
complete rows are kept and only the missing replicates run.

--trajectories [PATH] also writes one row per replicate per generation (grid_index, replicate, n_g,
n_pop, n_offspring, n_HS, r_phe, rl_phe, mean_phe, sd_phe; the population as the generation
entered), default trajectories.csv, in the summary's order, each replicate's rows just before its
summary row. It is locked and resumed with the summary: both keep the same whole replicates. In a
run directory the flag takes no path; parts write RUN_DIR/part-K.trajectories.csv and merge joins
them into RUN_DIR/trajectories.csv (or merge --trajectories PATH).

With --emit-commands nothing runs: one `hostswitch run` command line per replicate is printed
(writing RUN_DIR/G-R.csv), or with --parts N one `hostswitch sweep --part K/N` line per slice of
the replicate list (writing RUN_DIR/part-K.csv, renamed into place when complete). Run them with
any scheduler, then join them; merge knows from the manifest which rows must exist:
  hostswitch sweep --emig-rate 0.05,0.1 --replicates 10 --seed 7 --emit-commands | parallel
  hostswitch merge runs --summary summary.csv
On SLURM, --slurm DIR writes a job array and a merge job: run `bash DIR/submit.sh`.)";

}  // namespace

int command_line_main(const std::vector<std::string>& args, const CommandLineContext& context) {
  CLI::App app{
      "Individual-based simulation of parasite host switching.\nWithout a command, runs the "
      "interactive program: the eight questions, output.txt, the closing pause.",
      "hostswitch"};
  app.set_version_flag("--version", HOSTSWITCH_VERSION);
  app.set_help_all_flag("--help-all", "Print the help of every command and exit");
  app.formatter(std::make_shared<HelpFormatter>());
  app.require_subcommand(0, 1);
  std::string dialogue_seed;
  CLI::Option* dialogue_seed_option =
      app.add_option("--seed", dialogue_seed,
                     "run the interactive program seeded with this clock count instead of the "
                     "clock's")
          ->type_name("INT");

  RunArgs run;
  CLI::App* run_app =
      app.add_subcommand("run",
                         "One run without the dialogue; parameters default to the "
                         "typical run. Writes the same results file as the interactive "
                         "program.");
  run.parameters.add_to(*run_app, false);
  run.seed_option = run_app
                        ->add_option("--seed", run.seed,
                                     "clock count to seed the stream with (default: the clock)")
                        ->type_name("INT");
  CLI::Option* output_option = run_app->add_option("--output", run.output, "results file")
                                   ->type_name("PATH")
                                   ->capture_default_str();
  CLI::Option* no_output_option =
      run_app->add_flag("--no-output", run.no_output, "write no results file");
  run.summary_option = run_app
                           ->add_option("--summary", run.summary,
                                        "also write the run's facts as a one-row summary CSV")
                           ->type_name("PATH");
  run.plot_option =
      run_app->add_option("--plot", run.plot, "also draw the results file as an SVG picture")
          ->type_name("PATH");
  run.trajectory_option =
      run_app
          ->add_option("--trajectory", run.trajectory,
                       "also write one CSV row per generation (n_g, n_pop, n_offspring, n_HS, "
                       "r_phe, rl_phe, mean_phe, sd_phe)")
          ->type_name("PATH");
  run_app
      ->add_option("--grid-index", run.grid_index,
                   "grid point written in the summary row (set by sweep --emit-commands)")
      ->type_name("INT")
      ->default_str("1");
  run_app
      ->add_option("--replicate", run.replicate,
                   "replicate written in the summary row (set by sweep --emit-commands)")
      ->type_name("INT")
      ->default_str("1");
  run_app->add_flag("--stats", run.stats, kStatsHelp);

  SweepArgs sweep;
  CLI::App* sweep_app = app.add_subcommand(
      "sweep",
      "Replicate runs over a grid of parameter values, on several threads, into one "
      "summary CSV.");
  sweep.parameters.add_to(*sweep_app, true);
  sweep_app->add_option("--replicates", sweep.replicates, "runs per grid point")
      ->type_name("INT")
      ->capture_default_str();
  sweep.seed_option =
      sweep_app
          ->add_option("--seed", sweep.seed, "base seed of the replicates (default: the clock)")
          ->type_name("INT");
  CLI::Option* jobs_option =
      sweep_app->add_option("--jobs", sweep.jobs, "threads (default: one per processor)")
          ->type_name("INT");
  CLI::Option* summary_option = sweep_app->add_option("--summary", sweep.summary, "summary file")
                                    ->type_name("PATH")
                                    ->capture_default_str();
  sweep.outputs_option =
      sweep_app
          ->add_option("--outputs", sweep.outputs,
                       "keep every replicate's results file in this directory, as "
                       "output-G-R.txt (none by default)")
          ->type_name("DIR");
  sweep.trajectories_option =
      sweep_app
          ->add_option("--trajectories", sweep.trajectories,
                       "also write one CSV row per replicate per generation (default "
                       "trajectories.csv; in a run directory part-K.trajectories.csv)")
          ->type_name("[PATH]")
          ->expected(0, 1);
  CLI::Option* emit_option =
      sweep_app->add_flag("--emit-commands", sweep.emit_commands,
                          "print one `hostswitch run` command line per replicate instead of "
                          "running them");
  CLI::Option* run_dir_option =
      sweep_app
          ->add_option("--run-dir", sweep.run_dir,
                       "with --emit-commands: directory of the per-run summaries")
          ->type_name("DIR")
          ->capture_default_str();
  CLI::Option* sweep_stats_option = sweep_app->add_flag("--stats", sweep.stats, kStatsHelp);
  sweep_app->add_flag("--resume", sweep.resume,
                      "continue the sweep in --summary: keep its complete rows, run the rest");
  CLI::Option* part_option =
      sweep_app
          ->add_option("--part", sweep.part,
                       "run part K of N contiguous slices of the replicate list into "
                       "RUN_DIR/part-K.csv")
          ->type_name("K/N");
  CLI::Option* parts_option =
      sweep_app
          ->add_option("--parts", sweep.parts,
                       "with --emit-commands or --slurm: slices, one command or array task each")
          ->type_name("N");
  CLI::Option* slurm_option =
      sweep_app
          ->add_option("--slurm", sweep.slurm,
                       "write a SLURM job array, a merge job and submit.sh into DIR; run nothing")
          ->type_name("DIR");
  CLI::Option* slurm_extra_option =
      sweep_app
          ->add_option("--slurm-option", sweep.slurm_options,
                       "with --slurm: an #SBATCH line for both jobs (--time=1:00:00); repeatable")
          ->type_name("OPT")
          ->allow_extra_args(false);
  sweep_app->footer(kSweepFooter);

  std::string plot_results = std::string(kResultsFileName);
  std::string plot_svg = "output.svg";
  CLI::App* plot_app = app.add_subcommand("plot", "Draw a results file as an SVG picture.");
  plot_app->add_option("results", plot_results, "results file")
      ->type_name("RESULTS")
      ->capture_default_str();
  plot_app->add_option("-o,--output", plot_svg, "picture to write")
      ->type_name("PLOT.svg")
      ->capture_default_str();

  std::vector<std::string> merge_files;
  std::string merge_summary, merge_missing, merge_trajectories;
  bool merge_allow_missing = false;
  CLI::App* merge_app = app.add_subcommand(
      "merge", "Join per-run summaries into one, ordered by grid point then replicate.");
  merge_app->add_option("files", merge_files, "summary files, or directories of *.csv files")
      ->type_name("FILES...")
      ->required();
  CLI::Option* merge_summary_option =
      merge_app->add_option("--summary", merge_summary, "merged summary (default: standard output)")
          ->type_name("PATH");
  CLI::Option* merge_missing_option =
      merge_app
          ->add_option("--missing-commands", merge_missing,
                       "of a run directory: write the commands that make its missing rows here")
          ->type_name("FILE");
  CLI::Option* merge_trajectories_option =
      merge_app
          ->add_option("--trajectories", merge_trajectories,
                       "of a run directory with trajectories: the joined trajectories (default "
                       "RUN_DIR/trajectories.csv)")
          ->type_name("PATH");
  merge_app->add_flag("--allow-missing", merge_allow_missing,
                      "of a run directory: write the rows there are, warn, and exit 0");
  merge_app->footer(
      "A run directory with a manifest.json is checked against it: every row of the sweep must\n"
      "be there (else exit status 3 and \"K of M rows missing\"), rows of another experiment and\n"
      "rows found twice with different figures are refused; rows found twice alike count once.\n"
      "A merged summary written into the run directory is left out of what is read.");

  ReportArgs report;
  CLI::App* report_app = app.add_subcommand(
      "report", "Statistics per grid point of a summary, as a CSV table and an HTML report.");
  report_app->add_option("summary", report.summary, "summary file")
      ->type_name("SUMMARY.csv")
      ->required();
  report.trajectories_option =
      report_app
          ->add_option("--trajectories", report.trajectories,
                       "trajectories of the same runs: adds the n_pop figure")
          ->type_name("PATH");
  report_app->add_option("--table", report.table, "statistics table")
      ->type_name("PATH")
      ->capture_default_str();
  report_app->add_option("-o,--output", report.html, "report page")
      ->type_name("REPORT.html")
      ->capture_default_str();
  report_app
      ->add_option("--x", report.x,
                   "parameter on the x axis of the probabilities (default: the one with most "
                   "values)")
      ->type_name("PARAM");
  report_app
      ->add_option("--colour", report.colour,
                   "parameter whose values get one colour each (default: the next with most)")
      ->type_name("PARAM");
  // Not in the help: the build installs this script.
  if (args.size() == 1 && args.front() == "--bash-completion") {
    context.out << bash_completion_script(app, "hostswitch");
    return context.out ? 0 : kRuntimeFailure;
  }

  std::vector<const char*> argv;
  argv.push_back("hostswitch");
  for (const auto& arg : args) argv.push_back(arg.c_str());

  std::string command = "hostswitch";
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
    if (!app.get_subcommands().empty()) {
      command += " " + app.get_subcommands().front()->get_name();
      if (dialogue_seed_option->count() > 0) {
        throw UsageError("--seed before a command is for the interactive program; put it after " +
                         app.get_subcommands().front()->get_name());
      }
    }
    auto refuse_together = [](const CLI::Option* first, const CLI::Option* second) {
      if (first->count() > 0 && second->count() > 0) {
        throw UsageError(first->get_name() + " and " + second->get_name() +
                         " cannot be given together");
      }
    };
    refuse_together(output_option, no_output_option);
    refuse_together(run.plot_option, no_output_option);
    refuse_together(emit_option, jobs_option);
    refuse_together(emit_option, summary_option);
    refuse_together(emit_option, sweep_stats_option);
    refuse_together(slurm_option, sweep_stats_option);
    refuse_together(emit_option, slurm_option);
    refuse_together(part_option, slurm_option);
    refuse_together(part_option, emit_option);
    refuse_together(part_option, parts_option);
    refuse_together(part_option, summary_option);
    refuse_together(sweep_app->get_option("--resume"), part_option);
    refuse_together(sweep_app->get_option("--resume"), emit_option);
    refuse_together(sweep_app->get_option("--resume"), slurm_option);
    refuse_together(slurm_option, run_dir_option);
    refuse_together(slurm_option, summary_option);
    refuse_together(slurm_option, jobs_option);
    if (run_dir_option->count() > 0 && emit_option->count() == 0 && part_option->count() == 0) {
      throw UsageError("--run-dir is only for --emit-commands and --part");
    }
    if (parts_option->count() > 0 && emit_option->count() == 0 && slurm_option->count() == 0) {
      throw UsageError("--parts is only for --emit-commands and --slurm");
    }
    if (slurm_extra_option->count() > 0 && slurm_option->count() == 0) {
      throw UsageError("--slurm-option is only for --slurm");
    }
    if (run_app->parsed()) return run_command(run, context);
    if (sweep_app->parsed()) {
      std::vector<std::string> command_line{context.executable};
      command_line.insert(command_line.end(), args.begin(), args.end());
      return sweep_command(sweep, command_line, context);
    }
    if (plot_app->parsed()) return plot_command(plot_results, plot_svg);
    if (report_app->parsed()) return report_command(report, context);
    if (merge_app->parsed()) {
      MergeRequest request;
      request.inputs.assign(merge_files.begin(), merge_files.end());
      if (merge_summary_option->count() > 0) request.summary = merge_summary;
      if (merge_missing_option->count() > 0) request.missing_commands = merge_missing;
      if (merge_trajectories_option->count() > 0) request.trajectories = merge_trajectories;
      request.allow_missing = merge_allow_missing;
      return merge_command(request, context.out, context.err);
    }
    DialogueOptions options;
    if (dialogue_seed_option->count() > 0) {
      options.seed_count = parse_integer("--seed", dialogue_seed);
    }
    return run_dialogue(context.in, context.out, context.err, context.clock, context.directory,
                        context.shell, options);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error, context.out, context.err);
    if (!app.get_subcommands().empty()) command += " " + app.get_subcommands().front()->get_name();
    context.err << command << ": " << error.what() << "\nRun with --help for more information.\n";
    return kUsageFailure;
  } catch (const UsageError& error) {
    context.err << command << ": " << error.what() << "\nRun with --help for more information.\n";
    return kUsageFailure;
  } catch (const std::bad_alloc&) {
    context.err << command << ": " << InsufficientMemory().what() << '\n';
    return kRuntimeFailure;
  } catch (const std::exception& error) {
    context.err << command << ": " << error.what() << '\n';
    return kRuntimeFailure;
  }
}

int command_line_main(int argc, char** argv, std::istream& in, std::ostream& out,
                      std::ostream& err) {
  const SystemClock clock;
  SystemShell shell;
  std::error_code error;
  std::string executable = std::filesystem::read_symlink("/proc/self/exe", error).string();
  if (error || executable.empty()) executable = "hostswitch";
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  // current_path() fails once the working directory is removed; "." still names it.
  std::filesystem::path directory = std::filesystem::current_path(error);
  if (error) directory = ".";
  const CommandLineContext context{in,    out,       err,        clock,
                                   shell, directory, executable, isatty(STDERR_FILENO) == 1};
  return command_line_main(args, context);
}

}  // namespace hostswitch
