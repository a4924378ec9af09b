#include "console/cli_sweep.hpp"

#include <algorithm>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "batch/sweep_command.hpp"
#include "console/progress_line.hpp"
#include "console/run_stats.hpp"
#include "console/stop_signals.hpp"
#include "model/memory_budget.hpp"
#include "model/model_errors.hpp"
#include "model/population_model.hpp"

namespace hostswitch {

namespace {

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
summary (summary.csv -> summary.csv.json; summary.json of earlier versions is still read), or
RUN_DIR/manifest.json. A sweep locks its summary; a second sweep (or a merge) on the same file is
refused. A summary already there is never replaced without being asked: of the same experiment and
complete, there is nothing to do; incomplete, it is refused unless --resume, which continues it with
the same flags (the complete rows are kept and only the missing replicates run); of another
experiment or without a manifest, it is refused unless --overwrite, which replaces it once the new
manifest is written. In a run directory, --overwrite removes only the files the sweep of its
manifest.json wrote (parts, per-replicate summaries, their trajectories, its merged summary), all
checked before the new manifest is written; a non-empty directory without a manifest is refused.

--trajectories [PATH] also writes one row per replicate per generation (grid_index, replicate, n_g,
n_pop, n_offspring, n_HS, r_phe, rl_phe, mean_phe, sd_phe; the population as the generation
entered), default named after the summary (summary.csv -> summary.trajectories.csv; a sweep of an
earlier version is resumed with its trajectories.csv), in the summary's order, each replicate's rows
just before its summary row. It is locked and resumed with the summary: both keep the same whole
replicates; a file of other rows is refused as a summary is. In a run directory the flag takes no
path; parts write RUN_DIR/part-K.trajectories.csv and merge joins them (beside its --summary,
named after it, or merge --trajectories PATH).

With --emit-commands nothing runs: one `hostswitch run` command line per replicate is printed
(writing RUN_DIR/G-R.csv), or with --parts N one `hostswitch sweep --part K/N` line per slice of
the replicate list (writing RUN_DIR/part-K.csv, renamed into place when complete). Run them with
any scheduler, then join them; merge knows from the manifest which rows must exist:
  hostswitch sweep --emig-rate 0.05,0.1 --replicates 10 --seed 7 --emit-commands | parallel
  hostswitch merge runs --summary summary.csv
On SLURM, --slurm DIR writes a job array and a merge job: run `bash DIR/submit.sh`. Without
--parts, a pilot runs the sweep's first replicates here for about two seconds and sizes the parts so
that each array task has at least a minute's work on one CPU, at most 1000 tasks (SLURM's default
MaxArraySize refuses more). The merge job is one task on one CPU with the array's time limit unless
--slurm-merge-option says otherwise. The scripts set --array, --dependency, --output, --job-name,
--parsable and --kill-on-invalid-dep themselves: use --max-running and --job-name instead.)";

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

// Replicates on `jobs` threads, each run's generations shared by `threads`: the processors
// are split so that jobs x threads does not exceed them, replicates first (they need no
// coordination); a run gets the processors that replicates cannot use.
std::pair<unsigned, unsigned> split_cores(const SweepOptions& options,
                                          const SweepRequest& request) {
  const unsigned cores = available_cores();
  const std::int64_t rows =
      static_cast<std::int64_t>(request.grid.size()) * std::max(request.plan.replicates, 1);
  const bool jobs_given = !options.jobs.empty();
  const bool threads_given = !options.threads.empty();
  unsigned threads = threads_given ? parse_thread_count("--threads", options.threads) : 1;
  unsigned jobs =
      jobs_given ? parse_thread_count("--jobs", options.jobs) : std::max(1U, cores / threads);
  if (!jobs_given) jobs = static_cast<unsigned>(std::clamp<std::int64_t>(rows, 1, jobs));
  if (!threads_given) threads = std::max(1U, cores / jobs);
  return {jobs, threads};
}

SweepRequest request_of(const SweepOptions& options, const std::vector<std::string>& args,
                        const CommandLineContext& context) {
  SweepRequest request;
  if (!options.design.empty()) {
    // The flags fill in the columns the design leaves out.
    for (std::size_t i = 0; i < kParameterCount; ++i) {
      if (options.parameters.given(i) &&
          options.parameters.texts[i].find(',') != std::string::npos) {
        throw UsageError(std::string(kParameters[i].flag) + ": " +
                         in_quotes(options.parameters.texts[i]) +
                         ": a list of values is for a grid; with --design give one value, for a "
                         "design without that column");
      }
    }
    const SimulationParameters base = options.parameters.single();
    try {
      use_design(request, load_design(options.design, base), options.design);
    } catch (const DesignFileError& error) {
      throw UsageError(std::string("--design: ") + error.what());
    }
  } else {
    const ParameterLists lists = options.parameters.lists();
    use_grid(request, lists, checked_grid(lists));
  }
  request.plan.replicates = parse_at_least("--replicates", options.replicates, 1);
  if (options.seed_option->count() > 0) request.base_seed = parse_integer("--seed", options.seed);
  request.clock_seed = clock_seed(context.clock);
  std::tie(request.jobs, request.threads) = split_cores(options, request);
  if (options.outputs_option->count() > 0) request.outputs = options.outputs;
  if (options.trajectories_option->count() > 0) {
    request.plan.trajectories = true;
    const bool run_directory =
        !options.part.empty() || options.emit_commands || !options.slurm.empty();
    if (run_directory && !options.trajectories.empty()) {
      throw UsageError(
          "--trajectories: with --part, --emit-commands or --slurm the trajectories "
          "go into the run directory (part-K.trajectories.csv); give the flag "
          "without a path");
    }
    if (!options.trajectories.empty()) request.trajectories_path = options.trajectories;
  }
  request.summary = options.summary;
  request.resume = options.resume;
  request.run_dir = options.run_dir;
  if (!options.parts.empty()) request.parts = parse_at_least("--parts", options.parts, 1);
  if (!options.part.empty()) std::tie(request.part, request.parts) = parse_part(options.part);
  if (!options.slurm.empty()) request.slurm_dir = options.slurm;
  request.slurm.both = options.slurm_options;
  request.slurm.array = options.slurm_array_options;
  request.slurm.merge = options.slurm_merge_options;
  request.slurm.setup = options.slurm_setup;
  if (!options.max_running.empty()) {
    request.slurm.max_running = parse_at_least("--max-running", options.max_running, 1);
  }
  if (!options.job_name.empty()) request.slurm.job_name = options.job_name;
  request.overwrite = options.overwrite;
  request.plan.command_line = {context.executable};
  request.plan.command_line.insert(request.plan.command_line.end(), args.begin(), args.end());
  request.plan.executable = context.executable;
  return request;
}

// Runs happen here: a grid point too big for this machine fails before anything is written,
// and so do --jobs runs of the largest one that do not fit together.
void require_memory(const std::vector<SimulationParameters>& grid,
                    const std::vector<std::int32_t>& grid_indices, unsigned jobs,
                    std::int64_t rows) {
  std::size_t largest = 0;
  std::size_t largest_point = 0;
  for (std::size_t g = 0; g < grid.size(); ++g) {
    try {
      require_first_generation_memory(grid[g]);
    } catch (const InsufficientMemory& error) {
      throw std::runtime_error("grid point " + std::to_string(grid_index_at(grid_indices, g)) +
                               " (" + describe_point(grid[g]) + "): " + error.what());
    }
    const std::size_t need = first_generation_bytes(grid[g]);
    if (need > largest) {
      largest = need;
      largest_point = g;
    }
  }
  const auto at_once = static_cast<std::size_t>(std::min<std::int64_t>(jobs, rows));
  if (largest == 0 || at_once <= 1 ||
      (largest <= std::numeric_limits<std::size_t>::max() / at_once &&
       MemoryBudget::fits(largest * at_once))) {
    return;
  }
  const std::size_t budget = MemoryBudget::limit() - MemoryBudget::in_use();
  throw std::runtime_error("--jobs " + std::to_string(jobs) + ": " + std::to_string(at_once) +
                           " runs of grid point " +
                           std::to_string(grid_index_at(grid_indices, largest_point)) +
                           " at once need " + std::to_string(largest) + " bytes each; the " +
                           "memory budget has " + std::to_string(budget) + " bytes, so --jobs " +
                           std::to_string(budget / largest) + " would fit");
}

}  // namespace

namespace {

// The flags that exclude or need others.
struct SweepFlags {
  CLI::Option* jobs = nullptr;
  CLI::Option* summary = nullptr;
  CLI::Option* emit = nullptr;
  CLI::Option* stats = nullptr;
  CLI::Option* resume = nullptr;
  CLI::Option* part = nullptr;
  CLI::Option* slurm = nullptr;
  CLI::Option* overwrite = nullptr;
  std::vector<CLI::Option*> slurm_only;
};

// What is run: the grid or design, replicates, seeds, threads and the files written.
void add_experiment_options(CLI::App* sweep, SweepOptions& options, SweepFlags& flags) {
  options.parameters.add_to(*sweep, true);
  sweep
      ->add_option("--design", options.design,
                   "run the rows of this design CSV (from `hostswitch design`, R, Python, a "
                   "spreadsheet) instead of a grid; parameters it leaves out take their flag's "
                   "value")
      ->type_name("FILE");
  sweep->add_option("--replicates", options.replicates, "runs per grid point")
      ->type_name("INT")
      ->capture_default_str();
  options.seed_option =
      sweep->add_option("--seed", options.seed, "base seed of the replicates (default: the clock)")
          ->type_name("INT");
  flags.jobs =
      sweep
          ->add_option("--jobs", options.jobs,
                       "replicates run at once (default: one per processor, at most one per row)")
          ->type_name("INT");
  sweep
      ->add_option("--threads", options.threads,
                   "threads that share each replicate's generations (default: the processors "
                   "--jobs leaves, at least 1); the results do not depend on it")
      ->type_name("INT");
  flags.summary = sweep->add_option("--summary", options.summary, "summary file")
                      ->type_name("PATH")
                      ->capture_default_str();
  options.outputs_option =
      sweep
          ->add_option("--outputs", options.outputs,
                       "keep every replicate's results file in this directory, as "
                       "output-G-R.txt (none by default)")
          ->type_name("DIR");
  options.trajectories_option =
      sweep
          ->add_option("--trajectories", options.trajectories,
                       "also write one CSV row per replicate per generation (default "
                       "SUMMARY's stem + .trajectories.csv; in a run directory "
                       "part-K.trajectories.csv)")
          ->type_name("[PATH]")
          ->expected(0, 1);
}

// Where it runs: commands, parts, SLURM; and how it meets an existing summary.
void add_batch_options(CLI::App* sweep, SweepOptions& options, SweepFlags& flags) {
  flags.emit = sweep->add_flag("--emit-commands", options.emit_commands,
                               "print one `hostswitch run` command line per replicate instead of "
                               "running them");
  options.run_dir_option =
      sweep
          ->add_option("--run-dir", options.run_dir,
                       "with --emit-commands: directory of the per-run summaries")
          ->type_name("DIR")
          ->capture_default_str();
  flags.stats = sweep->add_flag("--stats", options.stats, kStatsHelp);
  flags.resume =
      sweep->add_flag("--resume", options.resume,
                      "continue the sweep in --summary: keep its complete rows, run the rest");
  flags.part = sweep
                   ->add_option("--part", options.part,
                                "run part K of N contiguous slices of the replicate list "
                                "into RUN_DIR/part-K.csv")
                   ->type_name("K/N");
  options.parts_option =
      sweep
          ->add_option("--parts", options.parts,
                       "with --emit-commands or --slurm: slices, one command or array task each")
          ->type_name("N");
  flags.slurm =
      sweep
          ->add_option("--slurm", options.slurm,
                       "write a SLURM job array, a merge job and submit.sh into DIR; run nothing")
          ->type_name("DIR");
  options.slurm_option_option =
      sweep
          ->add_option("--slurm-option", options.slurm_options,
                       "with --slurm: an #SBATCH line for both jobs (--time=1:00:00); repeatable")
          ->type_name("OPT")
          ->allow_extra_args(false);
  flags.overwrite = sweep->add_flag(
      "--overwrite", options.overwrite,
      "replace a summary (or the files a run directory's manifest says its sweep wrote) of "
      "another experiment, once the new manifest stands");
}

// The job array's and merge job's own settings.
void add_slurm_options(CLI::App* sweep, SweepOptions& options, SweepFlags& flags) {
  auto& slurm_only = flags.slurm_only;
  slurm_only.push_back(options.slurm_option_option);
  slurm_only.push_back(
      sweep
          ->add_option("--slurm-array-option", options.slurm_array_options,
                       "with --slurm: an #SBATCH line of the job array only; repeatable")
          ->type_name("OPT")
          ->allow_extra_args(false));
  slurm_only.push_back(
      sweep
          ->add_option("--slurm-merge-option", options.slurm_merge_options,
                       "with --slurm: an #SBATCH line of the merge job only; repeatable")
          ->type_name("OPT")
          ->allow_extra_args(false));
  slurm_only.push_back(sweep
                           ->add_option("--slurm-setup", options.slurm_setup,
                                        "with --slurm: a shell line both jobs run before the "
                                        "program (module load ...); repeatable")
                           ->type_name("LINE")
                           ->allow_extra_args(false));
  slurm_only.push_back(
      sweep
          ->add_option("--max-running", options.max_running,
                       "with --slurm: at most M array tasks at once (--array=1-N%M)")
          ->type_name("M"));
  slurm_only.push_back(sweep
                           ->add_option("--job-name", options.job_name,
                                        "with --slurm: the jobs' names, NAME-sweep and "
                                        "NAME-merge (default hostswitch)")
                           ->type_name("NAME"));
}

}  // namespace

CLI::App* setup_sweep(CLI::App& app, SweepOptions& options) {
  CLI::App* sweep = app.add_subcommand(
      "sweep",
      "Replicate runs over a grid of parameter values, on several threads, into one "
      "summary CSV.");
  SweepFlags flags;
  add_experiment_options(sweep, options, flags);
  add_batch_options(sweep, options, flags);
  add_slurm_options(sweep, options, flags);
  sweep->footer(kSweepFooter);
  flags.overwrite->excludes(flags.resume)->excludes(flags.part);
  flags.emit->excludes(flags.jobs)
      ->excludes(flags.summary)
      ->excludes(flags.stats)
      ->excludes(flags.slurm);
  flags.slurm->excludes(flags.stats)
      ->excludes(options.run_dir_option)
      ->excludes(flags.summary)
      ->excludes(flags.jobs);
  flags.part->excludes(flags.slurm)
      ->excludes(flags.emit)
      ->excludes(options.parts_option)
      ->excludes(flags.summary);
  flags.resume->excludes(flags.part)->excludes(flags.emit)->excludes(flags.slurm);
  for (CLI::Option* option : flags.slurm_only) option->needs(flags.slurm);
  return sweep;
}

int run_sweep_command(const SweepOptions& options, const std::vector<std::string>& args,
                      const CommandLineContext& context) {
  if (options.run_dir_option->count() > 0 && !options.emit_commands && options.part.empty()) {
    throw UsageError("--run-dir is only for --emit-commands and --part");
  }
  if (options.parts_option->count() > 0 && !options.emit_commands && options.slurm.empty()) {
    throw UsageError("--parts is only for --emit-commands and --slurm");
  }
  const RunStatsMeter meter;
  SweepRequest request = request_of(options, args, context);
  if (request.slurm_dir) {
    return tell(write_slurm_sweep(request), "sweep", context.out, context.err);
  }
  if (options.emit_commands) return emit_sweep_commands(request, context.out);
  require_memory(request.grid, request.grid_indices, request.jobs,
                 static_cast<std::int64_t>(request.grid.size()) * request.plan.replicates);

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
    const CommandReport report = request.part ? sweep_part(request) : sweep_into_summary(request);
    status = tell(report, "sweep", context.out, context.err);
  }
  if (options.stats) {
    context.err << stats_report("hostswitch sweep", meter.stats(individuals_simulated));
  }
  if (status != kSweepInterrupted) return status;
  return StopSignals::stopped_status(kRuntimeFailure);
}

}  // namespace hostswitch
