#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "batch/command_report.hpp"
#include "batch/manifest.hpp"
#include "batch/slurm.hpp"
#include "batch/sweep.hpp"

namespace hostswitch {

class OrderedCsvFile;

// A sweep as the command line asks for it, values already parsed and checked.
struct SweepRequest {
  // What rows the sweep makes, parsed once: its value lists (or design), replicates, whether
  // it writes trajectories, the command line and the program. The manifest written is this
  // plan with its base seed (and, in a run directory, the parts and where they write); the
  // runs, the parts, the SLURM scripts and the merge all read it.
  Manifest plan;
  // The plan's grid points, in order: the lists' cross product or the design's rows.
  std::vector<SimulationParameters> grid;
  // A design's label columns of each grid point, carried into its rows.
  std::vector<std::string> labels;
  // A design's grid index of each grid point (grid_index_at); by row when empty.
  std::vector<std::int32_t> grid_indices;
  std::optional<std::int32_t> base_seed;  // none: the manifest's, when resuming, else `clock_seed`
  std::int32_t clock_seed = 0;
  unsigned jobs = 1;
  unsigned threads = 1;  // inside each replicate's generations
  std::filesystem::path summary = "summary.csv";
  std::optional<std::filesystem::path> outputs;
  // With plan.trajectories, the trajectory rows beside the summary: into `trajectories_path`
  // in process (none: named after the summary, trajectories_path_of), into
  // RUN_DIR/part-K.trajectories.csv for a part.
  std::optional<std::filesystem::path> trajectories_path;
  bool resume = false;
  // Replace a summary (or run directory) of another experiment, once the new manifest stands.
  bool overwrite = false;
  // --part K/N, --parts N, --run-dir, --slurm DIR and its #SBATCH options.
  std::optional<std::int32_t> part;
  std::optional<std::int32_t> parts;
  std::filesystem::path run_dir = "runs";
  std::optional<std::filesystem::path> slurm_dir;
  SlurmJobOptions slurm;
  const std::atomic<bool>* stop = nullptr;
  std::function<void(std::size_t, std::size_t)> progress;
  std::function<void()> progress_end;                   // before the closing messages
  std::function<void(const SweepOutcome&)> on_outcome;  // once the runs are over

  // The manifest of the plan seeded from `base_seed`.
  Manifest manifest(std::int32_t base_seed) const;
  // The runs of the plan seeded from `base_seed`, all of them; creates the results directory.
  SweepSettings settings(std::int32_t base_seed) const;
  // Runs `settings` into `summary` and `trajectories` (when open), then calls progress_end and
  // on_outcome.
  SweepOutcome run_rows(const SweepSettings& settings, OrderedCsvFile& summary,
                        std::optional<OrderedCsvFile>& trajectories) const;
};

// The plan of a grid: the lists, and their cross product as the grid points.
void use_grid(SweepRequest& request, const ParameterLists& lists,
              std::vector<SimulationParameters> grid);
// Makes the rows of `design` (read from `source`) the sweep's grid points, in order.
void use_design(SweepRequest& request, Design design, std::string source);

// The in-process sweep into `summary`, fresh or resumed, with its manifest beside it.
CommandReport sweep_into_summary(const SweepRequest& request);
// A run directory's sweep (in batch/run_directory_sweep.cpp).
// One part of it, into RUN_DIR/part-K.csv.
CommandReport sweep_part(const SweepRequest& request);
// Writes RUN_DIR/manifest.json and prints the commands that make the run directory's rows.
int emit_sweep_commands(const SweepRequest& request, std::ostream& out);
// Writes the manifest, the job-array and merge scripts and submit.sh into the SLURM directory;
// warnings: a directory compute nodes may not share, more tasks than SLURM takes.
// Without --parts, a timing pilot sizes them.
CommandReport write_slurm_sweep(const SweepRequest& request);

// Parts for a job array when none are asked for: each task at least a minute's work on one CPU
// (rows times `seconds_per_row`, split in minutes), at most one a row and at most 1000.
inline constexpr double kTaskSeconds = 60.0;
inline constexpr std::int32_t kMaxDefaultParts = 1000;
std::int32_t default_parts(std::int64_t rows, double seconds_per_row);
// Seconds a row takes on one CPU here: the sweep's first replicates, run for about
// `budget_seconds` and abandoned then; when not one finished, the budget (a lower bound).
double pilot_seconds_per_row(const SweepRequest& request, double budget_seconds = 2.0);

}  // namespace hostswitch
