#include "console/cli_run.hpp"

#include <new>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/io_failure.hpp"
#include "batch/manifest.hpp"
#include "batch/merge.hpp"
#include "batch/single_run.hpp"
#include "batch/summary.hpp"
#include "batch/sweep_command.hpp"
#include "batch/trajectory.hpp"
#include "console/run_stats.hpp"
#include "model/kernel.hpp"
#include "model/model_errors.hpp"
#include "model/population_model.hpp"
#include "model/uniform_stream.hpp"
#include "reporting/plot.hpp"
#include "reporting/results_file.hpp"

namespace hostswitch {

namespace {

// Passes every generation on, then tells the context how far the run is.
class ProgressReporter final : public ForwardingReporter {
 public:
  ProgressReporter(const CommandLineContext& context, std::int32_t n_gen)
      : context_(context), n_gen_(n_gen) {}
  void report(const GenerationRecord& generation) override {
    ForwardingReporter::report(generation);
    if (context_.on_progress) context_.on_progress(generation.n_g, n_gen_);
  }

 private:
  const CommandLineContext& context_;
  std::int32_t n_gen_;
};

std::string outcome_line(const RunResult& result, const RunLabel& label, bool seeded) {
  const RunOutcome& outcome = result.outcome;
  std::string line = outcome.extinct
                         ? "extinct at generation " + std::to_string(outcome.n_g)
                         : "completed after " + std::to_string(outcome.n_g) + " generations";
  line += "; host switch in " + std::to_string(result.switch_generations) + " of " +
          std::to_string(outcome.n_g) + " generations";
  line += "; final population " + std::to_string(result.final_population.size());
  line += "; seed " + std::to_string(label.seed) + (seeded ? "" : " (from the clock)");
  return line;
}

// Every refusal of a run comes before its first write: outputs named twice, a picture's
// name, and a summary holding rows this run's would not replace (a run's row is fixed by its
// parameters, labels and seed).
void check_run_outputs(const RunOptions& options, const SimulationParameters& parameters,
                       const RunLabel& label) {
  std::vector<std::pair<std::string, std::filesystem::path>> outputs;
  if (!options.no_output) outputs.emplace_back("--output", options.output);
  if (options.summary_option->count() > 0) outputs.emplace_back("--summary", options.summary);
  if (options.trajectory_option->count() > 0) {
    outputs.emplace_back("--trajectory", options.trajectory);
  }
  if (options.plot_option->count() > 0) outputs.emplace_back("--plot", options.plot);
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (same_path(outputs[i].second, outputs[j].second)) {
        throw UsageError(outputs[i].first + ": " + in_quotes(outputs[i].second.string()) +
                         " is the " + outputs[j].first + " too; give each its own name");
      }
    }
  }
  if (options.plot_option->count() > 0)
    check_plot_options(PlotOptions{options.output, options.plot});
  if (options.summary_option->count() > 0 && !options.overwrite) {
    const std::string line = summary_line(summarize(parameters, label, RunResult{}));
    std::size_t end = 0;
    for (std::size_t comma = 0; comma <= kSummarySeedColumn; ++comma) {
      end = line.find(',', end) + 1;
    }
    refuse_losing_rows_of_run(options.summary, line.substr(0, end));
  }
}

}  // namespace

CLI::App* setup_run(CLI::App& app, RunOptions& options) {
  CLI::App* run = app.add_subcommand("run",
                                     "One run without the dialogue; parameters default to the "
                                     "typical run. Writes the same results file as the "
                                     "interactive program.");
  options.output = std::string(kResultsFileName);
  options.parameters.add_to(*run, false);
  options.seed_option = run->add_option("--seed", options.seed,
                                        "clock count to seed the stream with (default: the clock)")
                            ->type_name("INT");
  CLI::Option* output = run->add_option("--output", options.output, "results file")
                            ->type_name("PATH")
                            ->capture_default_str();
  CLI::Option* no_output = run->add_flag("--no-output", options.no_output, "write no results file");
  options.summary_option = run->add_option("--summary", options.summary,
                                           "also write the run's facts as a one-row summary CSV")
                               ->type_name("PATH");
  options.plot_option =
      run->add_option(
             "--plot", options.plot,
             "also draw the results file as a picture (.svg, .pdf or .png), titled with the "
             "parameters and seed")
          ->type_name("PATH");
  options.trajectory_option =
      run->add_option("--trajectory", options.trajectory,
                      "also write one CSV row per generation (n_g, n_pop, n_offspring, n_HS, "
                      "r_phe, rl_phe, mean_phe, sd_phe)")
          ->type_name("PATH");
  run->add_option("--grid-index", options.grid_index,
                  "grid point written in the summary row (set by sweep --emit-commands)")
      ->type_name("INT")
      ->default_str("1");
  run->add_option("--replicate", options.replicate,
                  "replicate written in the summary row (set by sweep --emit-commands)")
      ->type_name("INT")
      ->default_str("1");
  run->add_option("--threads", options.threads,
                  "threads that share each generation; the results do not depend on it "
                  "(default: one per processor)")
      ->type_name("INT");
  run->add_flag("--stats", options.stats, kStatsHelp);
  run->add_flag("--overwrite", options.overwrite,
                "replace a --summary holding other rows (another experiment's)");
  output->excludes(no_output);
  options.plot_option->excludes(no_output);
  return run;
}

int run_run(const RunOptions& options, const CommandLineContext& context) {
  const RunStatsMeter meter;
  const SimulationParameters parameters = options.parameters.single();
  RunLabel label;
  if (!options.grid_index.empty()) {
    label.grid_index = parse_at_least("--grid-index", options.grid_index, 1);
  }
  if (!options.replicate.empty()) {
    label.replicate = parse_at_least("--replicate", options.replicate, 1);
  }
  const bool seeded = options.seed_option->count() > 0;
  label.seed = seeded ? parse_integer("--seed", options.seed) : clock_seed(context.clock);
  const RunSettings settings{parse_thread_count("--threads", options.threads)};
  require_first_generation_memory(parameters);  // before the results file is replaced
  check_run_outputs(options, parameters, label);
  // Opened now, so a summary that cannot be written fails before the results file is replaced.
  std::optional<AtomicFile> summary;
  if (options.summary_option->count() > 0) summary.emplace(options.summary);

  RunResult result;
  try {
    std::optional<TrajectoryFile> trajectory;
    if (options.trajectory_option->count() > 0) {
      trajectory.emplace(options.trajectory, parameters, label.grid_index, label.replicate);
    }
    ProgressReporter progress(context, parameters.n_gen);
    SingleRun run;
    run.parameters = parameters;
    if (!options.no_output) run.results = options.output;
    run.seed = [&label] { return label.seed; };
    run.steps = trajectory ? &*trajectory : nullptr;
    run.around = &progress;
    run.settings = settings;
    result = run_single(run);
    if (trajectory) trajectory->close();
  } catch (const std::bad_alloc&) {
    throw InsufficientMemory();
  }

  context.out << outcome_line(result, label, seeded) << '\n';
  context.out.flush();

  if (summary) {
    const std::string text = summary_header() + summary_line(summarize(parameters, label, result));
    if (!options.overwrite) refuse_losing_rows(options.summary, text);
    summary->write(text);
    summary->commit();
  }
  if (options.plot_option->count() > 0) {
    plot_results_file(PlotOptions{options.output, options.plot,
                                  PlotStyle{run_title(parameters, label.seed), false}});
  }
  if (options.stats) {
    RunStats stats = meter.stats(result.individuals_simulated);
    stats.kernel = std::string(kernel_name(kernel_for(parameters)));
    context.err << stats_report("hostswitch run", stats);
  }
  return 0;
}

}  // namespace hostswitch
