#include "batch/sweep_command.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "base/atomic_file.hpp"
#include "base/io_failure.hpp"
#include "batch/merge.hpp"
#include "batch/ordered_csv.hpp"
#include "batch/slurm.hpp"
#include "batch/summary.hpp"
#include "batch/trajectory.hpp"

namespace hostswitch {

namespace {

Manifest manifest_of(const SweepRequest& request, std::int32_t base_seed) {
  Manifest manifest;
  manifest.lists = request.lists;
  manifest.replicates = request.replicates;
  manifest.base_seed = base_seed;
  manifest.command_line = request.command_line;
  manifest.trajectories = request.trajectories;
  if (request.design) manifest.design = design_record(*request.design, request.design_source);
  return manifest;
}

SweepSettings settings_of(const SweepRequest& request, std::int32_t base_seed) {
  SweepSettings settings;
  settings.grid = request.grid;
  settings.replicates = request.replicates;
  settings.base_seed = base_seed;
  settings.jobs = request.jobs;
  settings.run_settings.threads = request.threads;
  settings.outputs = request.outputs;
  settings.trajectories = request.trajectories;
  if (request.design) settings.labels = request.design->labels;
  if (settings.outputs) std::filesystem::create_directories(*settings.outputs);
  settings.stop = request.stop;
  settings.progress = request.progress;
  return settings;
}

// The stored manifest, when there is one; its seed stands in for a seed not given.
std::optional<Manifest> stored_manifest(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::nullopt;
  return read_manifest(path);
}

// The rows kept from an earlier sweep must be the rows this one writes first, in order: the
// parameters and seed of their grid point and replicate, and figures a run gives. Rows from
// `first` (from 0) of the canonical list.
void check_kept_rows(const std::string& rows, const std::vector<SimulationParameters>& grid,
                     std::int32_t replicates, std::int32_t base_seed, std::int64_t first,
                     const std::string& where, std::int64_t first_line) {
  std::int64_t index = first;
  std::size_t start = 0;
  while (start < rows.size()) {
    const std::size_t end = rows.find('\n', start);
    std::string_view line = std::string_view(rows).substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto g = static_cast<std::int32_t>(index / replicates + 1);
    const auto r = static_cast<std::int32_t>(index % replicates + 1);
    const std::string at = where + ":" + std::to_string(first_line + index - first);
    if (line.size() > kMaxSummaryLine) {
      throw std::runtime_error(at + ": a line of " + std::to_string(line.size()) +
                               " characters, longer than any summary row");
    }
    if (line.find('\0') != std::string_view::npos) {
      throw std::runtime_error(at + ": a NUL character, not a summary row");
    }
    std::vector<std::string_view> fields = split_summary_fields(line);
    if (fields.size() > kSummaryColumns) fields.resize(kSummaryColumns);  // a design's labels
    if (static_cast<std::size_t>(g - 1) >= grid.size()) {
      throw std::runtime_error(at + ": grid point " + std::to_string(g) + " lies outside the " +
                               std::to_string(grid.size()) + " points of this sweep");
    }
    if (const auto difference =
            row_difference(fields, grid[static_cast<std::size_t>(g - 1)], g, r, base_seed)) {
      throw std::runtime_error(at + ": not the row of grid point " + std::to_string(g) +
                               " replicate " + std::to_string(r) + " this sweep writes (" +
                               *difference + ")");
    }
    ++index;
    start = end + 1;
  }
}

// Field `which` (from 0) of a CSV line without quoting.
std::string_view field_of(std::string_view line, std::size_t which) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < which && start != std::string_view::npos; ++i) {
    start = line.find(',', start);
    if (start != std::string_view::npos) ++start;
  }
  if (start == std::string_view::npos) return {};
  return line.substr(start, line.find(',', start) - start);
}

constexpr std::size_t kGenerationsRunColumn = 12;

// A resumed sweep keeps a replicate only when both files hold it whole: its summary row and
// one trajectory row per generation it ran. A kill leaves the trajectories at most a batch
// ahead of the summary (or, from a file system that lost the tail, behind it).
struct KeptReplicates {
  std::size_t replicates = 0;
  std::size_t trajectory_lines = 0;
};
KeptReplicates whole_replicates(const std::string& summary_rows, const std::string& trajectory_rows,
                                const std::string& where) {
  KeptReplicates kept;
  std::size_t summary_start = 0;
  std::size_t start = 0;
  while (summary_start < summary_rows.size()) {
    const std::size_t summary_end = summary_rows.find('\n', summary_start);
    const std::string_view row =
        std::string_view(summary_rows).substr(summary_start, summary_end - summary_start);
    summary_start = summary_end + 1;
    const std::string labels = std::string(field_of(row, kSummaryParameterColumns)) + "," +
                               std::string(field_of(row, kSummaryParameterColumns + 1)) + ",";
    const std::string_view generations_text = field_of(row, kGenerationsRunColumn);
    std::int64_t generations = 0;
    std::from_chars(generations_text.data(), generations_text.data() + generations_text.size(),
                    generations);
    std::size_t lines = 0;
    for (std::int64_t n_g = 1; n_g <= generations; ++n_g) {
      if (start >= trajectory_rows.size()) return kept;  // cut short: run it again
      const std::size_t end = trajectory_rows.find('\n', start);
      const std::string_view line = std::string_view(trajectory_rows).substr(start, end - start);
      const std::string expected = labels + std::to_string(n_g) + ",";
      if (line.compare(0, expected.size(), expected) != 0) {
        throw std::runtime_error(
            "--resume: " + where + ":" + std::to_string(kept.trajectory_lines + lines + 2) +
            ": not grid point " + std::string(field_of(row, kSummaryParameterColumns)) +
            " replicate " + std::string(field_of(row, kSummaryParameterColumns + 1)) +
            " generation " + std::to_string(n_g) +
            ", the row a resumed sweep expects there; those trajectories belong to another sweep");
      }
      start = end + 1;
      ++lines;
    }
    ++kept.replicates;
    kept.trajectory_lines += lines;
  }
  return kept;
}

int report_outcome(const SweepOutcome& outcome, std::size_t before, std::size_t all,
                   const std::string& where, std::int32_t base, const std::atomic<bool>* stop,
                   std::ostream& err) {
  const std::string held = where + " holds the first " + std::to_string(before + outcome.written) +
                           " of " + std::to_string(all) + " rows (seed base " +
                           std::to_string(base) + ")";
  // A stop request also ends a write blocked on a pipe, which then fails.
  const bool stopped = stop != nullptr && stop->load();
  if (outcome.failure && !stopped) {
    err << "hostswitch sweep: " << *outcome.failure << "; " << held << '\n';
    return 1;
  }
  if (outcome.interrupted || stopped) {
    err << "hostswitch sweep: interrupted; " << held << '\n';
    return kSweepInterrupted;
  }
  return 0;
}

std::int64_t line_count(const std::string& text) {
  return static_cast<std::int64_t>(std::count(text.begin(), text.end(), '\n'));
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A run directory's manifest: the stored one when there is one (and the same experiment),
// else the one asked for, written now.
Manifest run_directory_manifest(const SweepRequest& request, std::int32_t parts,
                                std::string run_dir, std::string_view what) {
  const std::filesystem::path path = run_manifest_path(request.run_dir);
  const auto stored = stored_manifest(path);
  // Parts run apart from each other, so they cannot each take the clock's seed.
  if (!request.base_seed && !stored && what == "--part") {
    throw std::runtime_error(std::string(what) + " needs --seed (or a manifest in " +
                             request.run_dir.string() + ")");
  }
  Manifest manifest = manifest_of(
      request, request.base_seed.value_or(stored ? stored->base_seed : request.clock_seed));
  manifest.parts = parts;
  manifest.executable = request.executable;
  manifest.run_dir = std::move(run_dir);
  if (request.outputs) manifest.outputs = request.outputs->string();
  if (stored) {
    if (const auto difference = manifest_difference(*stored, manifest, path)) {
      throw std::runtime_error(std::string(what) + ": " + *difference +
                               "; that run directory holds another sweep (use another one, or "
                               "remove it)");
    }
  }
  return manifest;
}

}  // namespace

namespace {

// The manifest stored for a summary: SUMMARY.json-after-its-name, else the name of earlier
// versions (SUMMARY-without-extension.json); none when neither exists.
std::optional<std::pair<Manifest, std::filesystem::path>> summary_manifest(
    const std::filesystem::path& summary) {
  for (const auto& path : {summary_manifest_path(summary), legacy_summary_manifest_path(summary)}) {
    if (path == summary) continue;
    if (auto manifest = stored_manifest(path)) return std::make_pair(*manifest, path);
  }
  return std::nullopt;
}

std::string remedies() { return "give another --summary, or --overwrite to replace it"; }

}  // namespace

void use_design(SweepRequest& request, Design design, std::string source) {
  request.grid = design.points;
  // The manifest's value lists then only say where the design begins.
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    request.lists[i] = {parameter_value(design.points.front(), i)};
  }
  request.design = std::move(design);
  request.design_source = std::move(source);
}

int sweep_into_summary(const SweepRequest& request, std::ostream& out, std::ostream& err) {
  const std::filesystem::path manifest_path = summary_manifest_path(request.summary);
  const std::string where = request.summary.string();
  std::error_code error;
  if (request.trajectories &&
      (std::filesystem::equivalent(request.trajectories_path, request.summary, error) ||
       std::filesystem::equivalent(request.trajectories_path, manifest_path, error) ||
       request.trajectories_path.lexically_normal() == request.summary.lexically_normal() ||
       request.trajectories_path.lexically_normal() == manifest_path.lexically_normal())) {
    throw std::runtime_error("--trajectories: " + request.trajectories_path.string() +
                             " is the summary or its manifest; give it another name");
  }
  const bool exists =
      std::filesystem::exists(std::filesystem::symlink_status(request.summary, error));
  if (request.resume && !exists) {
    throw std::runtime_error("nothing to resume: " + where + " does not exist");
  }
  const auto found = request.overwrite ? std::nullopt : summary_manifest(request.summary);
  std::optional<Manifest> stored;
  if (found) stored = found->first;
  const std::int32_t base =
      request.base_seed.value_or(stored ? stored->base_seed : request.clock_seed);
  const Manifest manifest = manifest_of(request, base);
  const std::optional<std::string> difference =
      stored ? manifest_difference(*stored, manifest, found->second) : std::nullopt;
  if (request.resume) {
    if (!stored) {
      throw std::runtime_error("nothing to resume: " + where + " has no manifest " +
                               manifest_path.string() +
                               " to check it against; run without "
                               "--resume, and --overwrite to replace it");
    }
    if (difference) throw std::runtime_error("--resume: " + *difference);
  }

  // Locked before anything is changed, so a second sweep or a merge leaves this one's file
  // alone; nothing in it changes before the decision below.
  std::optional<OrderedCsvFile> file;
  file.emplace(request.summary, manifest_summary_header(manifest), OrderedCsvFile::Mode::keep);
  const std::size_t all = static_cast<std::size_t>(manifest.rows());
  const bool holds_something = file->regular() && !file->holds_nothing();
  // The same experiment: carried on (--resume), or found complete.
  // Rows an --overwrite that was killed at once left behind: the old sweep's, to be replaced.
  const bool left_behind =
      stored && !difference && stored->replaces && *stored->replaces == file->identity();
  const bool continued = !request.overwrite && holds_something && file->has_header() && stored &&
                         !difference && !left_behind;
  if (!request.overwrite && holds_something && !continued && !left_behind) {
    const std::string what =
        !file->has_header()
            ? " is not a summary (its first line is not the summary header)"
            : " holds " + std::to_string(file->kept_rows()) + " rows of another experiment (" +
                  (stored ? "seed base " + std::to_string(stored->base_seed) + "; " + *difference
                          : "no manifest " + manifest_path.string() + " says which") +
                  ")";
    throw std::runtime_error(where + what + "; " + remedies());
  }
  if (continued) {
    // Only a resume changes the file (a torn last line is cut); a refusal leaves it as it is.
    if (request.resume) file->keep_whole_rows();
    if (file->kept_rows() > all) {
      throw std::runtime_error(where + " holds " + std::to_string(file->kept_rows()) +
                               " rows, more than the " + std::to_string(all) + " of the sweep");
    }
    check_kept_rows(file->rows_text(), request.grid, request.replicates, base, 0, where, 2);
  }
  std::optional<OrderedCsvFile> trajectories;
  if (request.trajectories) {
    const std::string trajectories_where = request.trajectories_path.string();
    // Replicates cannot be kept without their trajectories: a missing file is a mistake, not
    // a reason to run the whole sweep again.
    if (continued && file->kept_rows() > 0 &&
        !std::filesystem::exists(request.trajectories_path, error)) {
      throw std::runtime_error((request.resume ? "--resume: " : "") + trajectories_where +
                               " does not exist, but " + where +
                               " holds rows; give the trajectories file of this sweep");
    }
    trajectories.emplace(request.trajectories_path, trajectory_header(),
                         OrderedCsvFile::Mode::keep);
    if (continued && request.resume) trajectories->keep_whole_rows();
  }
  std::size_t kept = file->kept_rows();
  if (continued) {
    if (trajectories) {
      const KeptReplicates whole = whole_replicates(file->rows_text(), trajectories->rows_text(),
                                                    request.trajectories_path.string());
      if (!request.resume && whole.replicates < kept) kept = whole.replicates;
      if (request.resume) {
        trajectories->keep_first_rows(whole.trajectory_lines);
        file->keep_first_rows(whole.replicates);
        kept = whole.replicates;
      }
    }
    if (kept == all) {
      out << "nothing to do: " << where << " already holds all " << all << " rows (seed base "
          << base << ")\n";
      out.flush();
      return 0;
    }
    if (!request.resume) {
      throw std::runtime_error(where + " holds " + std::to_string(kept) + " of the " +
                               std::to_string(all) + " rows of this sweep (seed base " +
                               std::to_string(base) +
                               "); add --resume to finish it, or "
                               "--overwrite to start it again");
    }
  } else {
    // The old files stay until the new manifest stands, so a kill in between leaves the old
    // sweep whole; once it stands, the emptied summary is a resumable start of the new one.
    // A device or pipe holds nothing to resume, so it gets no manifest. The manifest is on disk
    // before it takes its name, and the summary is emptied right after, so no slow step lies
    // between the two.
    std::optional<AtomicFile> manifest_file;
    if (file->regular()) {
      Manifest written = manifest;
      if (holds_something) written.replaces = file->identity();
      manifest_file.emplace(manifest_path);
      manifest_file->write(manifest_json(written));
      manifest_file->sync();
      manifest_file->commit(false);
    }
    file->restart();
    if (trajectories) trajectories->restart();
    if (manifest_file) sync_directory_of(manifest_path);
    kept = 0;
  }
  file->set_stop(request.stop);
  if (trajectories) trajectories->set_stop(request.stop);
  const bool resumed = continued;

  SweepSettings settings = settings_of(request, base);
  settings.first = kept;
  // A replicate's trajectory goes first, so a summary row never stands without it.
  const SweepOutcome outcome =
      run_sweep_rows(settings, [&](std::string_view lines, std::string_view trajectory_lines) {
        if (trajectories) trajectories->append(trajectory_lines);
        file->append(lines);
      });
  if (request.progress_end) request.progress_end();
  if (request.on_outcome) request.on_outcome(outcome);
  const int status = report_outcome(outcome, kept, all, where, base, request.stop, err);
  if (status != 0) return status;
  if (resumed) {
    out << "resumed: " << outcome.written << " runs written to " << where << ", which holds all "
        << all << " rows (seed base " << base << ")\n";
  } else {
    out << outcome.written << " runs written to " << where << " (seed base " << base << ")\n";
  }
  out.flush();
  return out ? 0 : 1;
}

int sweep_part(const SweepRequest& request, std::ostream& out, std::ostream& err) {
  const std::int32_t part = *request.part;
  const std::int32_t parts = *request.parts;
  const Manifest manifest =
      run_directory_manifest(request, parts, request.run_dir.string(), "--part");
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
    const std::string text = read_text(path);
    const std::string header = manifest_summary_header(manifest);
    bool complete = !text.empty() && text.back() == '\n' &&
                    line_count(text) == range.end - range.first + 1 &&
                    text.compare(0, header.size(), header) == 0;
    if (complete) {
      // Only this part's own rows make it complete; others are made again.
      try {
        check_kept_rows(text.substr(header.size()), request.grid, manifest.replicates,
                        manifest.base_seed, range.first, path.string(), 2);
      } catch (const std::runtime_error&) {
        complete = false;
      }
    }
    if (complete) {
      out << label << " is complete already: " << path.string() << '\n';
      out.flush();
      return 0;
    }
  }

  OrderedCsvFile file(path, manifest_summary_header(manifest), OrderedCsvFile::Mode::staged);
  file.set_stop(request.stop);
  std::optional<OrderedCsvFile> trajectories;
  if (manifest.trajectories) {
    trajectories.emplace(trajectories_path, trajectory_header(), OrderedCsvFile::Mode::staged);
    trajectories->set_stop(request.stop);
  }
  SweepSettings settings = settings_of(request, manifest.base_seed);
  settings.first = static_cast<std::size_t>(range.first);
  settings.end = static_cast<std::size_t>(range.end);
  const SweepOutcome outcome =
      run_sweep_rows(settings, [&](std::string_view lines, std::string_view trajectory_lines) {
        if (trajectories) trajectories->append(trajectory_lines);
        file.append(lines);
      });
  if (request.progress_end) request.progress_end();
  if (request.on_outcome) request.on_outcome(outcome);
  if (outcome.failure || outcome.interrupted) {
    err << "hostswitch sweep: " << label
        << (outcome.failure ? ": " + *outcome.failure : ": interrupted")
        << "; nothing kept, run it again\n";
    return outcome.failure ? 1 : kSweepInterrupted;
  }
  // The trajectories take their name first: a complete part-K.csv has its trajectories.
  if (trajectories) trajectories->commit();
  file.commit();
  out << label << ": " << outcome.written << " runs written to " << path.string() << '\n';
  out.flush();
  return out ? 0 : 1;
}

int emit_sweep_commands(const SweepRequest& request, std::ostream& out) {
  const std::int32_t parts = request.parts.value_or(0);
  Manifest manifest =
      run_directory_manifest(request, parts, request.run_dir.string(), "--emit-commands");
  if (parts > manifest.rows()) {
    throw std::runtime_error("--parts: " + std::to_string(parts) + " parts for " +
                             std::to_string(manifest.rows()) + " rows; at most one part a row");
  }
  std::filesystem::create_directories(request.run_dir);
  if (request.outputs) std::filesystem::create_directories(*request.outputs);
  write_file_atomically(run_manifest_path(request.run_dir), manifest_json(manifest));
  if (parts > 0) {
    for (std::int32_t k = 1; k <= parts; ++k) out << part_command(manifest, k) << '\n';
  } else {
    for (std::size_t g = 0; g < request.grid.size(); ++g) {
      for (std::int32_t r = 1; r <= request.replicates; ++r) {
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
  pilot.trajectories = false;
  SweepSettings settings = settings_of(pilot, request.base_seed.value_or(request.clock_seed));
  settings.jobs = 1;
  const std::size_t rows = request.grid.size() * static_cast<std::size_t>(request.replicates);
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

int write_slurm_sweep(const SweepRequest& request, std::ostream& out, std::ostream& err) {
  // Everything is checked before anything is written, so a refusal leaves nothing behind.
  check_slurm_job_options(request.slurm);
  const std::filesystem::path dir =
      std::filesystem::absolute(*request.slurm_dir).lexically_normal();
  SweepRequest in_dir = request;
  in_dir.run_dir = dir;
  if (in_dir.outputs)
    in_dir.outputs = std::filesystem::absolute(*in_dir.outputs).lexically_normal();
  const std::int64_t rows = static_cast<std::int64_t>(request.grid.size()) * request.replicates;
  const std::int32_t parts =
      request.parts ? *request.parts : default_parts(rows, pilot_seconds_per_row(request));
  if (parts > rows) {
    throw std::runtime_error("--parts: " + std::to_string(parts) + " parts for " +
                             std::to_string(rows) + " rows; at most one part a row");
  }
  if (parts > kMaxDefaultParts) {
    err << "hostswitch sweep: warning: --parts " << parts << " makes an array of more than "
        << kMaxDefaultParts << " tasks, which SLURM refuses by default (MaxArraySize 1001)\n";
  }
  std::vector<std::filesystem::path> shared = {dir, request.executable};
  if (in_dir.outputs) shared.push_back(*in_dir.outputs);
  if (const auto local = unshared_path(shared)) {
    err << "hostswitch sweep: warning: " << local->string()
        << " lies on a file system compute nodes usually do not share (/tmp, /dev/shm, /run, "
           "tmpfs); the jobs may not find it\n";
  }
  const Manifest manifest = run_directory_manifest(in_dir, parts, dir.string(), "--slurm");
  const std::vector<SlurmScript> scripts = slurm_scripts(dir, manifest, request.slurm);
  std::filesystem::create_directories(dir);
  write_file_atomically(run_manifest_path(dir), manifest_json(manifest));
  write_slurm_scripts(scripts);
  out << "wrote " << (dir / "submit.sh").string() << ": a job array of " << parts << " tasks for "
      << rows << " rows and a merge job; submit with: bash "
      << shell_quote((dir / "submit.sh").string()) << '\n';
  out.flush();
  return out ? 0 : 1;
}

void refuse_losing_rows(const std::filesystem::path& path, std::string_view text) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) return;
  const std::string old = read_text(path);
  // The standard columns, perhaps followed by a design's labels.
  const std::string standard = summary_header().substr(0, summary_header().size() - 1);
  const std::string header = old.substr(0, old.find('\n') + 1);
  const std::string where = path.string();
  if (header.empty() || header.compare(0, standard.size(), standard) != 0) {
    if (old.size() < standard.size() && standard.compare(0, old.size(), old) == 0) return;
    throw std::runtime_error(where +
                             " is not a summary (its first line is not the summary "
                             "header); " +
                             remedies());
  }
  std::unordered_set<std::string_view> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines.insert(text.substr(start, end - start));
    start = end + 1;
  }
  std::size_t rows = 0;
  std::size_t lost = 0;
  const std::string_view kept = std::string_view(old).substr(header.size());
  for (std::size_t start = 0; start < kept.size();) {
    const std::size_t end = std::min(kept.find('\n', start), kept.size());
    ++rows;
    if (!lines.contains(kept.substr(start, end - start))) ++lost;
    start = end + 1;
  }
  if (lost == 0) return;
  std::string seed;
  if (const auto found = summary_manifest(path)) {
    seed = ", seed base " + std::to_string(found->first.base_seed) + " (" + found->second.string() +
           ")";
  }
  throw std::runtime_error(where + " holds " + std::to_string(rows) +
                           (rows == 1 ? " row" : " rows") + seed + ", " + std::to_string(lost) +
                           " not among the rows written now; " + remedies());
}

int merge_command(const MergeRequest& request, std::ostream& out, std::ostream& err) {
  // Held until the merged summary stands: a sweep writing it refuses to start, and a merge
  // refuses while a sweep writes it.
  std::optional<SummaryLock> lock;
  if (request.summary) lock.emplace(*request.summary);
  std::error_code error;
  const bool run_directory = request.inputs.size() == 1 &&
                             std::filesystem::is_directory(request.inputs.front(), error) &&
                             std::filesystem::exists(run_manifest_path(request.inputs.front()));
  if (!run_directory && (request.missing_commands || request.allow_missing)) {
    throw std::runtime_error(
        "--missing-commands and --allow-missing need a run directory with a manifest.json");
  }
  if (!run_directory && request.trajectories) {
    throw std::runtime_error("--trajectories needs a run directory with a manifest.json");
  }
  std::string text;
  if (run_directory) {
    const std::filesystem::path& dir = request.inputs.front();
    Manifest manifest = read_manifest(run_manifest_path(dir));
    manifest.run_dir = dir.string();  // the directory may have moved since
    const RunDirectoryMerge merged = merge_run_directory(dir, manifest, request.summary);
    if (merged.missing > 0) {
      if (request.missing_commands) {
        std::string commands;
        for (const auto& command : merged.missing_commands) commands += command + '\n';
        write_file_atomically(*request.missing_commands, commands);
      }
      err << "hostswitch merge: " << (request.allow_missing ? "warning: " : "") << merged.missing
          << " of " << merged.expected << " rows missing";
      if (request.missing_commands) {
        err << "; the commands that make them are in " << request.missing_commands->string();
      } else if (!merged.missing_commands.empty()) {
        err << "; the first command that makes them: " << merged.missing_commands.front();
      }
      err << '\n';
      if (!request.allow_missing) return kRowsMissing;
    }
    if (manifest.trajectories) {
      // Before the summary, so a merged summary never stands without its trajectories.
      write_file_atomically(request.trajectories.value_or(dir / "trajectories.csv"),
                            merged.trajectories);
    } else if (request.trajectories) {
      throw std::runtime_error("--trajectories: the sweep of " + dir.string() +
                               " writes no trajectories (its manifest.json says so)");
    }
    text = merged.text;
  } else {
    if (request.summary) {
      const std::filesystem::path& output = *request.summary;
      const std::filesystem::path parent =
          output.has_parent_path() ? output.parent_path() : std::filesystem::path(".");
      for (const auto& input : request.inputs) {
        const bool read_now = std::filesystem::equivalent(input, output, error);
        const bool read_next = output.extension() == ".csv" &&
                               std::filesystem::is_directory(input, error) &&
                               std::filesystem::equivalent(input, parent, error);
        if (read_now || read_next) {
          throw std::runtime_error(output.string() + " is among the summaries read (" +
                                   input.string() + "); write the merge elsewhere");
        }
      }
    }
    const MergedSummary merged = merge_summaries(request.inputs);
    if (merged.missing_count > 0) {
      err << "hostswitch merge: warning: " << merged.missing_count
          << " rows missing from the grid, first:";
      for (const RunLabel& label : merged.first_missing) {
        err << " grid point " << label.grid_index << " replicate " << label.replicate << ';';
      }
      err << '\n';
    }
    text = merged.text;
  }
  if (request.summary) {
    if (!request.overwrite) refuse_losing_rows(*request.summary, text);
    write_file_atomically(*request.summary, text);
  } else {
    errno = 0;
    out << text;
    out.flush();
    // A full disk or a closed pipe must not pass for a merge.
    if (!out) throw IoFailure("write", "standard output", errno);
  }
  return 0;
}

}  // namespace hostswitch
