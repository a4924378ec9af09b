// The sweeps of a run directory: its parts, the commands that make them and the SLURM jobs
// that run them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "base/atomic_file.hpp"
#include "base/text_file.hpp"
#include "batch/merge.hpp"
#include "batch/ordered_csv.hpp"
#include "batch/slurm.hpp"
#include "batch/summary_check.hpp"
#include "batch/sweep_command.hpp"
#include "batch/trajectory.hpp"

namespace hostswitch {

namespace {

std::int64_t line_count(const std::string& text) {
  return static_cast<std::int64_t>(std::count(text.begin(), text.end(), '\n'));
}

// How a command uses a run directory: the flag its messages name.
enum class RunDirectoryUse { part, commands, slurm };

std::string flag_of(RunDirectoryUse use) {
  switch (use) {
    case RunDirectoryUse::part:
      return "--part";
    case RunDirectoryUse::commands:
      return "--emit-commands";
    case RunDirectoryUse::slurm:
      return "--slurm";
  }
  return {};
}

// A run directory's manifest: the stored one when there is one (and the same experiment),
// else the one asked for. With --overwrite a stored one is set aside, to be replaced.
Manifest run_directory_manifest(const SweepRequest& request, std::int32_t parts,
                                std::string run_dir, RunDirectoryUse use) {
  const std::filesystem::path path = run_manifest_path(request.run_dir);
  const auto stored = request.overwrite ? std::nullopt : stored_manifest(path);
  const std::string flag = flag_of(use);
  // Parts, commands and the merge number the points by row, 1 to N.
  if (!request.grid_indices.empty()) {
    throw std::runtime_error(
        flag + ": the design's point column numbers its points other than 1 to N by row (point " +
        std::to_string(request.grid_indices.front()) +
        " first), and a run directory numbers them by row: sweep this design into a summary");
  }
  // Parts run apart from each other, so they cannot each take the clock's seed.
  if (!request.base_seed && !stored && use == RunDirectoryUse::part) {
    throw std::runtime_error(flag + " needs --seed (or a manifest in " + request.run_dir.string() +
                             ")");
  }
  Manifest manifest =
      request.manifest(request.base_seed.value_or(stored ? stored->base_seed : request.clock_seed));
  manifest.parts = parts;
  manifest.run_dir = std::move(run_dir);
  if (request.outputs) manifest.outputs = request.outputs->string();
  if (stored) {
    if (const auto difference = manifest_difference(*stored, manifest, path)) {
      // Parts run side by side: one of them replacing the directory would drop the others'.
      const std::string remedy =
          use == RunDirectoryUse::part ? "remove it" : "--overwrite to replace it";
      throw std::runtime_error(flag + ": " + *difference +
                               "; that run directory holds another sweep (use another one, or " +
                               remedy + ")");
    }
  }
  return manifest;
}

// What an --overwrite removes, all of it checked before anything is written.
std::vector<std::filesystem::path> replaced_files(const SweepRequest& request,
                                                  const std::filesystem::path& dir) {
  return request.overwrite ? sweep_files_to_remove(dir) : std::vector<std::filesystem::path>();
}

// The run directory's manifest takes its name first, so a kill leaves either the old sweep
// or the new one's manifest; the old sweep's files go once it stands.
void write_run_directory_manifest(const std::filesystem::path& dir, const Manifest& manifest,
                                  const std::vector<std::filesystem::path>& replaced) {
  write_file_atomically(run_manifest_path(dir), manifest_json(manifest));
  remove_files(replaced);
}

}  // namespace

CommandReport sweep_part(const SweepRequest& request) {
  const std::int32_t part = *request.part;
  const std::int32_t parts = *request.parts;
  const Manifest manifest =
      run_directory_manifest(request, parts, request.run_dir.string(), RunDirectoryUse::part);
  const std::int64_t rows = manifest.rows();
  if (parts > rows) {
    throw std::runtime_error("--part: " + std::to_string(parts) + " parts for " +
                             std::to_string(rows) + " rows; at most one part a row");
  }
  std::filesystem::create_directories(request.run_dir);
  const std::filesystem::path manifest_path = run_manifest_path(request.run_dir);
  std::error_code error;
  if (!std::filesystem::exists(manifest_path, error)) {
    write_file_atomically(manifest_path, manifest_json(manifest));
  }

  const RowRange range = part_rows(rows, part, parts);
  const std::filesystem::path path = part_path(request.run_dir, part);
  const std::filesystem::path trajectories_path = trajectories_path_of(path);
  const std::string label = "part " + std::to_string(part) + "/" + std::to_string(parts);
  if (std::filesystem::exists(path, error) &&
      (!manifest.trajectories || std::filesystem::exists(trajectories_path, error))) {
    const std::string text = read_text_file(path);
    const std::string header = manifest_summary_header(manifest);
    bool complete = !text.empty() && text.back() == '\n' &&
                    line_count(text) == range.end - range.first + 1 &&
                    text.compare(0, header.size(), header) == 0;
    if (complete) {
      // Only this part's own rows make it complete; others are made again.
      try {
        check_kept_rows(text.substr(header.size()), request.grid, {}, manifest.replicates,
                        manifest.base_seed, range.first, path.string(), 2);
      } catch (const std::runtime_error&) {
        complete = false;
      }
    }
    if (complete) return {0, label + " is complete already: " + path.string(), {}};
  }

  OrderedCsvFile file(path, manifest_summary_header(manifest), OrderedCsvFile::Mode::staged);
  file.set_stop(request.stop);
  std::optional<OrderedCsvFile> trajectories;
  if (manifest.trajectories) {
    trajectories.emplace(trajectories_path, trajectory_header(), OrderedCsvFile::Mode::staged);
    trajectories->set_stop(request.stop);
  }
  SweepSettings settings = request.settings(manifest.base_seed);
  settings.first = static_cast<std::size_t>(range.first);
  settings.end = static_cast<std::size_t>(range.end);
  const SweepOutcome outcome = request.run_rows(settings, file, trajectories);
  if (outcome.failure || outcome.interrupted) {
    return {outcome.failure ? 1 : kSweepInterrupted,
            label + (outcome.failure ? ": " + *outcome.failure : ": interrupted") +
                "; nothing kept, run it again",
            {}};
  }
  // The trajectories take their name first: a complete part-K.csv has its trajectories.
  if (trajectories) trajectories->commit();
  file.commit();
  return {
      0, label + ": " + std::to_string(outcome.written) + " runs written to " + path.string(), {}};
}

int emit_sweep_commands(const SweepRequest& request, std::ostream& out) {
  const std::int32_t parts = request.parts.value_or(0);
  Manifest manifest =
      run_directory_manifest(request, parts, request.run_dir.string(), RunDirectoryUse::commands);
  if (parts > manifest.rows()) {
    throw std::runtime_error("--parts: " + std::to_string(parts) + " parts for " +
                             std::to_string(manifest.rows()) + " rows; at most one part a row");
  }
  const std::vector<std::filesystem::path> replaced = replaced_files(request, request.run_dir);
  std::filesystem::create_directories(request.run_dir);
  if (request.outputs) std::filesystem::create_directories(*request.outputs);
  write_run_directory_manifest(request.run_dir, manifest, replaced);
  if (parts > 0) {
    for (std::int32_t k = 1; k <= parts; ++k) out << part_command(manifest, k) << '\n';
  } else {
    for (std::size_t g = 0; g < request.grid.size(); ++g) {
      for (std::int32_t r = 1; r <= request.plan.replicates; ++r) {
        out << replicate_command(manifest, request.grid[g], static_cast<std::int32_t>(g + 1), r)
            << '\n';
      }
    }
  }
  out.flush();
  return out ? 0 : 1;
}

std::int32_t default_parts(std::int64_t rows, double seconds_per_row) {
  const auto by_work = static_cast<std::int64_t>(
      std::min(static_cast<double>(rows) * seconds_per_row / kTaskSeconds, 1e9));
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(by_work, 1, std::min<std::int64_t>(rows, kMaxDefaultParts)));
}

double pilot_seconds_per_row(const SweepRequest& request, double budget_seconds) {
  SweepRequest pilot = request;
  pilot.outputs.reset();
  pilot.plan.trajectories = false;
  SweepSettings settings = pilot.settings(request.base_seed.value_or(request.clock_seed));
  settings.jobs = 1;
  const std::size_t rows = request.grid.size() * static_cast<std::size_t>(request.plan.replicates);
  settings.end = std::min<std::size_t>(rows, 1000);
  std::atomic<bool> stop{false};
  settings.stop = &stop;
  settings.progress = nullptr;
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> finished{false};
  std::thread timer([&] {
    while (!finished.load() && std::chrono::steady_clock::now() - start <
                                   std::chrono::duration<double>(budget_seconds)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop.store(true);
  });
  std::size_t done = 0;
  SweepOutcome outcome;
  try {
    outcome = run_sweep_rows(settings, [&done](std::string_view lines, std::string_view) {
      done += static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
    });
  } catch (...) {
    finished.store(true);
    timer.join();
    throw;
  }
  finished.store(true);
  timer.join();
  if (outcome.failure) throw std::runtime_error("the timing pilot: " + *outcome.failure);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Not one row within the budget: each takes at least that long.
  return done == 0 ? elapsed : elapsed / static_cast<double>(done);
}

CommandReport write_slurm_sweep(const SweepRequest& request) {
  // Everything is checked before anything is written, so a refusal leaves nothing behind.
  check_slurm_job_options(request.slurm);
  const std::filesystem::path dir =
      std::filesystem::absolute(*request.slurm_dir).lexically_normal();
  SweepRequest in_dir = request;
  in_dir.run_dir = dir;
  if (in_dir.outputs)
    in_dir.outputs = std::filesystem::absolute(*in_dir.outputs).lexically_normal();
  const std::int64_t rows =
      static_cast<std::int64_t>(request.grid.size()) * request.plan.replicates;
  const std::int32_t parts =
      request.parts ? *request.parts : default_parts(rows, pilot_seconds_per_row(request));
  if (parts > rows) {
    throw std::runtime_error("--parts: " + std::to_string(parts) + " parts for " +
                             std::to_string(rows) + " rows; at most one part a row");
  }
  CommandReport report;
  if (parts > kMaxDefaultParts) {
    report.warnings.push_back("--parts " + std::to_string(parts) + " makes an array of more than " +
                              std::to_string(kMaxDefaultParts) +
                              " tasks, which SLURM refuses by default (MaxArraySize 1001)");
  }
  std::vector<std::filesystem::path> shared = {dir, request.plan.executable};
  if (in_dir.outputs) shared.push_back(*in_dir.outputs);
  if (const auto local = unshared_path(shared)) {
    report.warnings.push_back(local->string() +
                              " lies on a file system compute nodes usually do not share (/tmp, "
                              "/dev/shm, /run, tmpfs); the jobs may not find it");
  }
  const Manifest manifest =
      run_directory_manifest(in_dir, parts, dir.string(), RunDirectoryUse::slurm);
  const std::vector<SlurmScript> scripts = slurm_scripts(dir, manifest, request.slurm);
  const std::vector<std::filesystem::path> replaced = replaced_files(in_dir, dir);
  std::filesystem::create_directories(dir);
  write_run_directory_manifest(dir, manifest, replaced);
  write_slurm_scripts(scripts);
  report.message = "wrote " + (dir / "submit.sh").string() + ": a job array of " +
                   std::to_string(parts) + " tasks for " + std::to_string(rows) +
                   " rows and a merge job; submit with: bash " +
                   shell_quote((dir / "submit.sh").string());
  return report;
}

}  // namespace hostswitch
