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
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "batch/summary.hpp"
#include "batch/sweep.hpp"
#include "model/model_errors.hpp"
#include "model/population_model.hpp"
#include "model/simulation_parameters.hpp"
#include "model/uniform_stream.hpp"
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
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
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

std::string parameter_text(const SimulationParameters& p, int which) {
  switch (which) {
    case kNPop:
      return std::to_string(p.n_pop);
    case kBirthRate:
      return shortest(p.birth_rate);
    case kCapacity:
      return std::to_string(p.capacity);
    case kEmigRate:
      return shortest(p.emig_rate);
    case kSdr:
      return shortest(p.sdr);
    case kSdv:
      return shortest(p.sdv);
    case kMaxDist:
      return shortest(p.max_dist);
    default:
      return std::to_string(p.n_gen);
  }
}

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
              ->default_str(parameter_text(typical, i));
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
    if (const auto refusal = parameter_refusal(p))
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
    text += std::string(kFlags[static_cast<std::size_t>(i)]) + " " + parameter_text(p, i);
  }
  return text;
}

std::int32_t clock_seed(const Clock& clock) {
  const ClockReading reading = clock.now();
  return clock_count(reading.seconds_since_epoch, reading.milliseconds);
}

// Safe to paste into a POSIX shell: plain words stay as they are, anything else is put in
// single quotes.
std::string shell_quote(std::string_view word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_-+=./:,@%") == std::string_view::npos;
  if (plain) return std::string(word);
  std::string text = "'";
  for (const char c : word) {
    if (c == '\'') {
      text += "'\\''";
    } else {
      text += c;
    }
  }
  return text + "'";
}

void write_text_file(const std::filesystem::path& path, const std::string& text,
                     std::string_view what) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file)
    throw std::runtime_error("cannot write the " + std::string(what) + " " + path.string());
}

// ---------------------------------------------------------------------------------------------
// run

struct RunArgs {
  ParameterOptions parameters;
  std::string seed, grid_index, replicate;
  CLI::Option* seed_option = nullptr;
  std::string output = std::string(kResultsFileName);
  bool no_output = false;
  std::string summary, plot;
  CLI::Option* summary_option = nullptr;
  CLI::Option* plot_option = nullptr;
};

int run_command(const RunArgs& args, const CommandLineContext& context) {
  const SimulationParameters parameters = args.parameters.single();
  RunLabel label;
  if (!args.grid_index.empty())
    label.grid_index = parse_at_least("--grid-index", args.grid_index, 1);
  if (!args.replicate.empty()) label.replicate = parse_at_least("--replicate", args.replicate, 1);
  const bool seeded = args.seed_option->count() > 0;
  label.seed = seeded ? parse_integer("--seed", args.seed) : clock_seed(context.clock);

  RunResult result;
  try {
    UniformStream stream;
    if (args.no_output) {
      NullReporter none;
      init_random_seed(stream, label.seed);
      result = run_population(parameters, stream, none);
    } else {
      // Opened before the stream is seeded, as the interactive program does.
      ResultsFile results(args.output, parameters.sdr / 10.0);
      init_random_seed(stream, label.seed);
      result = run_into(results, results, parameters, stream);
    }
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
    write_text_file(args.summary,
                    summary_header() + summary_line(summarize(parameters, label, result)),
                    "summary");
  }
  if (args.plot_option->count() > 0) {
    plot_results_file(PlotOptions{args.output, args.plot});
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
};

int emit_commands(const SweepArgs& args, const std::vector<SimulationParameters>& grid,
                  std::int32_t replicates, std::int32_t base, const CommandLineContext& context) {
  const std::filesystem::path run_dir = args.run_dir;
  std::filesystem::create_directories(run_dir);
  const bool keep_results = args.outputs_option->count() > 0;
  if (keep_results) std::filesystem::create_directories(args.outputs);
  const std::string program = shell_quote(context.executable);
  for (std::size_t g = 0; g < grid.size(); ++g) {
    std::string fixed = program + " run";
    for (int i = 0; i < kCount; ++i) {
      fixed +=
          std::string(" ") + kFlags[static_cast<std::size_t>(i)] + " " + parameter_text(grid[g], i);
    }
    const auto grid_index = static_cast<std::int32_t>(g + 1);
    for (std::int32_t r = 1; r <= replicates; ++r) {
      std::string line = fixed;
      line += " --seed " + std::to_string(replicate_seed(base, grid_index, r));
      line += " --grid-index " + std::to_string(grid_index) + " --replicate " + std::to_string(r);
      const std::string name = std::to_string(grid_index) + "-" + std::to_string(r);
      line += " --summary " + shell_quote((run_dir / (name + ".csv")).string());
      if (keep_results) {
        line += " --output " + shell_quote((std::filesystem::path(args.outputs) /
                                            replicate_results_name(grid_index, r))
                                               .string());
      } else {
        line += " --no-output";
      }
      context.out << line << '\n';
    }
  }
  context.out.flush();
  return context.out ? 0 : kRuntimeFailure;
}

int sweep_command(const SweepArgs& args, const CommandLineContext& context) {
  const std::vector<SimulationParameters> grid = [&] {
    try {
      return expand_grid(args.parameters.lists());
    } catch (const std::length_error& error) {
      throw UsageError(error.what());
    }
  }();
  for (std::size_t g = 0; g < grid.size(); ++g) {
    if (const auto refusal = parameter_refusal(grid[g])) {
      throw UsageError("refused parameters at grid point " + std::to_string(g + 1) + " (" +
                       describe_point(grid[g]) + "): " + *refusal);
    }
  }
  const std::int32_t replicates = parse_at_least("--replicates", args.replicates, 1);
  const std::int32_t base = args.seed_option->count() > 0 ? parse_integer("--seed", args.seed)
                                                          : clock_seed(context.clock);
  if (args.emit_commands) return emit_commands(args, grid, replicates, base, context);

  SweepSettings settings;
  settings.grid = grid;
  settings.replicates = replicates;
  settings.base_seed = base;
  if (args.jobs.empty()) {
    settings.jobs = std::max(std::thread::hardware_concurrency(), 1U);
  } else {
    const std::int32_t jobs = parse_at_least("--jobs", args.jobs, 1);
    if (jobs > 1024) throw UsageError("--jobs: " + in_quotes(args.jobs) + " must be at most 1024");
    settings.jobs = static_cast<unsigned>(jobs);
  }
  if (args.outputs_option->count() > 0) {
    settings.outputs = args.outputs;
    std::filesystem::create_directories(*settings.outputs);
  }

  std::ofstream summary(args.summary, std::ios::binary | std::ios::trunc);
  if (!summary) throw std::runtime_error("cannot create the summary " + args.summary);

  ProgressLine progress(context.err);
  if (context.show_progress) {
    settings.progress = [&progress](std::size_t done, std::size_t total) {
      progress.show(done, total);
    };
  }
  SweepOutcome outcome;
  {
    const StopSignals signals;
    settings.stop = &g_stop_requested;
    outcome = run_sweep(settings, summary);
  }
  progress.clear();
  summary.close();

  const std::string held = args.summary + " holds the first " + std::to_string(outcome.written) +
                           " of " + std::to_string(outcome.total) + " rows (seed base " +
                           std::to_string(base) + ")";
  if (outcome.failure) {
    context.err << "hostswitch sweep: " << *outcome.failure << "; " << held << '\n';
    return kRuntimeFailure;
  }
  if (outcome.interrupted) {
    context.err << "hostswitch sweep: interrupted; " << held << '\n';
    const int signal_number = g_stop_signal.load();
    return signal_number > 0 ? 128 + signal_number : kRuntimeFailure;
  }
  context.out << outcome.written << " runs written to " << args.summary << " (seed base " << base
              << ")\n";
  context.out.flush();
  return 0;
}

// ---------------------------------------------------------------------------------------------
// plot and merge

int plot_command(const std::string& results, const std::string& svg) {
  plot_results_file(PlotOptions{results, svg});
  return 0;
}

int merge_command(const std::vector<std::string>& files, const std::string& summary, bool to_file,
                  const CommandLineContext& context) {
  const std::vector<std::filesystem::path> inputs(files.begin(), files.end());
  const MergedSummary merged = merge_summaries(inputs);
  if (merged.missing_count > 0) {
    context.err << "hostswitch merge: warning: " << merged.missing_count
                << " rows missing from the grid, first:";
    for (const RunLabel& label : merged.first_missing) {
      context.err << " grid point " << label.grid_index << " replicate " << label.replicate << ';';
    }
    context.err << '\n';
  }
  if (to_file) {
    write_text_file(summary, merged.text, "summary");
  } else {
    context.out << merged.text;
    context.out.flush();
  }
  return 0;
}

constexpr const char* kSweepFooter = R"(
The grid is the cross product of the value lists, in the order of the flags above: --n-pop varies
slowest, --n-gen fastest. Grid points and replicates are numbered from 1. Replicate r of grid point g
is seeded with the clock count splitmix64(splitmix64(splitmix64(BASE) ^ g) ^ r) >> 33, a value in
0..2147483647, so any row can be rerun with `hostswitch run ... --seed SEED`.

The summary has one row per replicate, in grid-then-replicate order whatever the thread timing.
final_mean_phe and final_sd_phe (the population standard deviation, dividing by n) are empty for an
extinct population. Rows are written whole as soon as they and all rows before them are done, so an
interrupted (SIGINT, SIGTERM) or failing sweep leaves only complete rows.

With --emit-commands nothing runs: one `hostswitch run` command line per replicate is printed,
writing its one-row summary to RUN_DIR/G-R.csv. Run them with any scheduler, then join them:
  hostswitch sweep --emig-rate 0.05,0.1 --replicates 10 --seed 7 --emit-commands | parallel
  hostswitch merge runs --summary summary.csv
Line k of the list is task k of a job array: sed -n "${SLURM_ARRAY_TASK_ID}p" commands.txt | sh)";

}  // namespace

int command_line_main(const std::vector<std::string>& args, const CommandLineContext& context) {
  CLI::App app{
      "Individual-based simulation of parasite host switching.\nWithout a command, runs the "
      "interactive program: the eight questions, output.txt, the closing pause.",
      "hostswitch"};
  app.set_version_flag("--version", HOSTSWITCH_VERSION);
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
  std::string merge_summary;
  CLI::App* merge_app = app.add_subcommand(
      "merge", "Join per-run summaries into one, ordered by grid point then replicate.");
  merge_app->add_option("files", merge_files, "summary files, or directories of *.csv files")
      ->type_name("FILES...")
      ->required();
  CLI::Option* merge_summary_option =
      merge_app->add_option("--summary", merge_summary, "merged summary (default: standard output)")
          ->type_name("PATH");

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
    if (run_dir_option->count() > 0 && emit_option->count() == 0) {
      throw UsageError("--run-dir is only for --emit-commands");
    }
    if (run_app->parsed()) return run_command(run, context);
    if (sweep_app->parsed()) return sweep_command(sweep, context);
    if (plot_app->parsed()) return plot_command(plot_results, plot_svg);
    if (merge_app->parsed()) {
      return merge_command(merge_files, merge_summary, merge_summary_option->count() > 0, context);
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
