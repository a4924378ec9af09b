#include "batch/sweep_command.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "base/atomic_file.hpp"
#include "base/io_failure.hpp"
#include "base/text_file.hpp"
#include "batch/merge.hpp"
#include "batch/ordered_csv.hpp"
#include "batch/slurm.hpp"
#include "batch/summary.hpp"
#include "batch/summary_check.hpp"
#include "batch/trajectory.hpp"

namespace hostswitch {

namespace {

// A sweep that ended early: what the summary holds now.
std::optional<CommandReport> early_end(const SweepOutcome& outcome, std::size_t before,
                                       std::size_t all, const std::string& where, std::int32_t base,
                                       const std::atomic<bool>* stop) {
  const std::string held = where + " holds the first " + std::to_string(before + outcome.written) +
                           " of " + std::to_string(all) + " rows (seed base " +
                           std::to_string(base) + ")";
  // A stop request also ends a write blocked on a pipe, which then fails.
  const bool stopped = stop != nullptr && stop->load();
  if (outcome.failure && !stopped) return CommandReport{1, *outcome.failure + "; " + held, {}};
  if (outcome.interrupted || stopped) {
    return CommandReport{kSweepInterrupted, "interrupted; " + held, {}};
  }
  return std::nullopt;
}

}  // namespace

void use_grid(SweepRequest& request, const ParameterLists& lists,
              std::vector<SimulationParameters> grid) {
  request.plan.lists = lists;
  request.plan.design.reset();
  request.grid = std::move(grid);
  request.labels.clear();
  request.grid_indices.clear();
}

void use_design(SweepRequest& request, Design design, std::string source) {
  // The manifest's value lists then only say where the design begins.
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    request.plan.lists[i] = {parameter_value(design.points.front(), i)};
  }
  request.plan.design = design_record(design, std::move(source));
  request.grid = std::move(design.points);
  request.labels = std::move(design.labels);
  request.grid_indices = std::move(design.grid_indices);
}

Manifest SweepRequest::manifest(std::int32_t base_seed) const {
  Manifest manifest = plan;
  manifest.base_seed = base_seed;
  return manifest;
}

SweepSettings SweepRequest::settings(std::int32_t base_seed) const {
  SweepSettings settings;
  settings.grid = grid;
  settings.replicates = plan.replicates;
  settings.base_seed = base_seed;
  settings.jobs = jobs;
  settings.run_settings.threads = threads;
  settings.outputs = outputs;
  settings.trajectories = plan.trajectories;
  settings.labels = labels;
  settings.grid_indices = grid_indices;
  if (settings.outputs) std::filesystem::create_directories(*settings.outputs);
  settings.stop = stop;
  settings.progress = progress;
  return settings;
}

SweepOutcome SweepRequest::run_rows(const SweepSettings& settings, OrderedCsvFile& summary,
                                    std::optional<OrderedCsvFile>& trajectories) const {
  // A replicate's trajectory goes first, so a summary row never stands without it.
  const SweepOutcome outcome =
      run_sweep_rows(settings, [&](std::string_view lines, std::string_view trajectory_lines) {
        if (trajectories) trajectories->append(trajectory_lines);
        summary.append(lines);
      });
  if (progress_end) progress_end();
  if (on_outcome) on_outcome(outcome);
  return outcome;
}

namespace {

// The summary's experiment as stored and as asked for. With --overwrite a stored one is set
// aside, to be replaced.
struct SummaryExperiment {
  std::optional<StoredManifest> stored;
  Manifest wanted;
  std::optional<std::string> difference;  // none: the same experiment, or none stored
  std::int32_t base_seed = 0;
  std::filesystem::path trajectories;  // with plan.trajectories: where they go
};

// The trajectories' file: the path given, else named after the summary. A sweep of an earlier
// version, whose default was trajectories.csv, is carried on with that file.
std::filesystem::path trajectories_file(const SweepRequest& request,
                                        const SummaryExperiment& experiment) {
  if (request.trajectories_path) return *request.trajectories_path;
  const std::filesystem::path earlier = "trajectories.csv";
  std::error_code error;
  // A summary sent to a pipe or device (/dev/stdout) has no folder of its own to name them in.
  const auto kind = std::filesystem::status(request.summary, error).type();
  if (!error && kind != std::filesystem::file_type::regular &&
      kind != std::filesystem::file_type::not_found) {
    return earlier;
  }
  const std::filesystem::path named = trajectories_path_of(request.summary);
  const bool same = experiment.stored && !experiment.difference;
  if (same && experiment.stored->manifest.trajectories &&
      !std::filesystem::exists(std::filesystem::symlink_status(named, error)) &&
      std::filesystem::exists(earlier, error)) {
    return earlier;
  }
  return named;
}

SummaryExperiment summary_experiment(const SweepRequest& request) {
  const std::filesystem::path manifest_path = summary_manifest_path(request.summary);
  const std::string where = request.summary.string();
  std::error_code error;
  const bool exists =
      std::filesystem::exists(std::filesystem::symlink_status(request.summary, error));
  if (request.resume && !exists) {
    throw std::runtime_error("nothing to resume: " + where + " does not exist");
  }
  SummaryExperiment experiment;
  if (!request.overwrite) experiment.stored = stored_summary_manifest(request.summary);
  const auto& stored = experiment.stored;
  experiment.base_seed =
      request.base_seed.value_or(stored ? stored->manifest.base_seed : request.clock_seed);
  experiment.wanted = request.manifest(experiment.base_seed);
  if (stored) {
    experiment.difference = manifest_difference(stored->manifest, experiment.wanted, stored->path);
  }
  if (request.plan.trajectories) {
    experiment.trajectories = trajectories_file(request, experiment);
    const std::filesystem::path& path = experiment.trajectories;
    if (same_path(path, request.summary) || same_path(path, manifest_path) ||
        same_path(path, legacy_summary_manifest_path(request.summary))) {
      throw std::runtime_error("--trajectories: " + path.string() +
                               " is the summary or its manifest; give it another name");
    }
  }
  if (request.resume) {
    if (!stored) {
      throw std::runtime_error("nothing to resume: " + where + " has no manifest " +
                               manifest_path.string() +
                               " to check it against; run without "
                               "--resume, and --overwrite to replace it");
    }
    if (experiment.difference) throw std::runtime_error("--resume: " + *experiment.difference);
  }
  return experiment;
}

// Rows an --overwrite that was killed at once left behind: the old sweep's, to be replaced.
bool left_behind(const SummaryExperiment& experiment, const OrderedCsvFile& file) {
  const auto& stored = experiment.stored;
  return stored && !experiment.difference && stored->manifest.replaces &&
         *stored->manifest.replaces == file.identity();
}

// Whether the rows in `file` are this experiment's to carry on (or find complete); refuses a
// file of another experiment, or not a summary, unless --overwrite. Checks the kept rows.
bool carries_on(const SweepRequest& request, const SummaryExperiment& experiment,
                OrderedCsvFile& file) {
  const std::string where = request.summary.string();
  const auto& stored = experiment.stored;
  const bool holds_something = file.regular() && !file.holds_nothing();
  const bool old_rows = left_behind(experiment, file);
  const bool same = stored && !experiment.difference && !old_rows;
  if (request.overwrite || !holds_something || old_rows) return false;
  if (!file.has_header() || !same) {
    const std::string what =
        !file.has_header()
            ? " is not a summary (its first line is not the summary header)"
            : " holds " + std::to_string(file.kept_rows()) + " rows of another experiment (" +
                  (stored ? "seed base " + std::to_string(stored->manifest.base_seed) + "; " +
                                *experiment.difference
                          : "no manifest " + summary_manifest_path(request.summary).string() +
                                " says which") +
                  ")";
    throw std::runtime_error(where + what + "; " + std::string(kReplaceRemedies));
  }
  // Only a resume changes the file (a torn last line is cut); a refusal leaves it as it is.
  if (request.resume) file.keep_whole_rows();
  const auto all = static_cast<std::size_t>(experiment.wanted.rows());
  if (file.kept_rows() > all) {
    throw std::runtime_error(where + " holds " + std::to_string(file.kept_rows()) +
                             " rows, more than the " + std::to_string(all) + " of the sweep");
  }
  check_kept_rows(file.rows_text(), request.grid, request.grid_indices, request.plan.replicates,
                  experiment.base_seed, 0, where, 2);
  return true;
}

// The trajectories beside a summary carried on or started afresh, into `trajectories`. A
// fresh start refuses a file holding another experiment's rows, as it refuses such a summary.
void open_trajectories(const SweepRequest& request, const SummaryExperiment& experiment,
                       bool continued, const OrderedCsvFile& file,
                       std::optional<OrderedCsvFile>& trajectories) {
  if (!request.plan.trajectories) return;
  const std::filesystem::path& path = experiment.trajectories;
  std::error_code error;
  // Replicates cannot be kept without their trajectories: a missing file is a mistake, not
  // a reason to run the whole sweep again.
  if (continued && file.kept_rows() > 0 && !std::filesystem::exists(path, error)) {
    throw std::runtime_error((request.resume ? "--resume: " : "") + path.string() +
                             " does not exist, but " + request.summary.string() +
                             " holds rows; give the trajectories file of this sweep");
  }
  trajectories.emplace(path, trajectory_header(), OrderedCsvFile::Mode::keep);
  const bool replaceable = continued || request.overwrite || left_behind(experiment, file) ||
                           !trajectories->regular() || trajectories->holds_nothing() ||
                           (trajectories->has_header() && trajectories->kept_rows() == 0);
  if (!replaceable) {
    const std::string what =
        trajectories->has_header()
            ? " holds " + std::to_string(trajectories->kept_rows()) +
                  " trajectory rows of another experiment"
            : " is not a trajectories file (its first line is not the trajectories header)";
    throw std::runtime_error(path.string() + what + "; " +
                             std::string(kReplaceTrajectoriesRemedies));
  }
  if (continued && request.resume) trajectories->keep_whole_rows();
}

// The whole replicates a carried-on sweep keeps: rows with their trajectories (a resume cuts
// the files to them).
std::size_t kept_replicates(const SweepRequest& request, OrderedCsvFile& file,
                            std::optional<OrderedCsvFile>& trajectories) {
  std::size_t kept = file.kept_rows();
  if (!trajectories) return kept;
  const KeptReplicates whole =
      whole_replicates(file.rows_text(), trajectories->rows_text(), trajectories->path().string());
  if (request.resume) {
    trajectories->keep_first_rows(whole.trajectory_lines);
    file.keep_first_rows(whole.replicates);
  }
  return std::min(kept, whole.replicates);
}

// Starts the summary afresh. The old files stay until the new manifest stands, so a kill in
// between leaves the old sweep whole; once it stands, the emptied summary is a resumable start
// of the new one. A device or pipe holds nothing to resume, so it gets no manifest. The
// manifest is on disk before it takes its name, and the summary is emptied right after, so no
// slow step lies between the two.
void start_afresh(const SweepRequest& request, const Manifest& manifest, OrderedCsvFile& file,
                  std::optional<OrderedCsvFile>& trajectories) {
  const std::filesystem::path manifest_path = summary_manifest_path(request.summary);
  std::optional<AtomicFile> manifest_file;
  if (file.regular()) {
    Manifest written = manifest;
    if (!file.holds_nothing()) written.replaces = file.identity();
    manifest_file.emplace(manifest_path);
    manifest_file->write(manifest_json(written));
    manifest_file->sync();
    manifest_file->commit(false);
  }
  file.restart();
  if (trajectories) trajectories->restart();
  if (manifest_file) sync_directory_of(manifest_path);
}

}  // namespace

CommandReport sweep_into_summary(const SweepRequest& request) {
  const SummaryExperiment experiment = summary_experiment(request);
  const std::int32_t base = experiment.base_seed;
  const std::string where = request.summary.string();
  const auto all = static_cast<std::size_t>(experiment.wanted.rows());
  // Locked before anything is changed, so a second sweep or a merge leaves this one's file
  // alone; nothing in it changes before the decision.
  OrderedCsvFile file(request.summary, manifest_summary_header(experiment.wanted),
                      OrderedCsvFile::Mode::keep);
  const bool continued = carries_on(request, experiment, file);
  std::optional<OrderedCsvFile> trajectories;
  open_trajectories(request, experiment, continued, file, trajectories);
  std::size_t kept = 0;
  if (continued) {
    kept = kept_replicates(request, file, trajectories);
    if (kept == all) {
      return {0,
              "nothing to do: " + where + " already holds all " + std::to_string(all) +
                  " rows (seed base " + std::to_string(base) + ")",
              {}};
    }
    if (!request.resume) {
      throw std::runtime_error(where + " holds " + std::to_string(kept) + " of the " +
                               std::to_string(all) + " rows of this sweep (seed base " +
                               std::to_string(base) +
                               "); add --resume to finish it, or "
                               "--overwrite to start it again");
    }
  } else {
    start_afresh(request, experiment.wanted, file, trajectories);
  }
  file.set_stop(request.stop);
  if (trajectories) trajectories->set_stop(request.stop);

  SweepSettings settings = request.settings(base);
  settings.first = kept;
  const SweepOutcome outcome = request.run_rows(settings, file, trajectories);
  if (auto ended = early_end(outcome, kept, all, where, base, request.stop)) return *ended;
  const std::string written = std::to_string(outcome.written) + " runs written to " + where;
  const std::string seed = "(seed base " + std::to_string(base) + ")";
  if (continued) {
    return {0,
            "resumed: " + written + ", which holds all " + std::to_string(all) + " rows " + seed,
            {}};
  }
  return {0, written + " " + seed, {}};
}

}  // namespace hostswitch
