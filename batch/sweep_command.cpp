#include "batch/sweep_command.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <system_error>

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
  return manifest;
}

SweepSettings settings_of(const SweepRequest& request, std::int32_t base_seed) {
  SweepSettings settings;
  settings.grid = request.grid;
  settings.replicates = request.replicates;
  settings.base_seed = base_seed;
  settings.jobs = request.jobs;
  settings.outputs = request.outputs;
  settings.trajectories = request.trajectories;
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

void refuse_difference(const Manifest& stored, const Manifest& wanted,
                       const std::filesystem::path& where, std::string_view what) {
  if (const auto difference = manifest_difference(stored, wanted, where)) {
    throw std::runtime_error(std::string(what) + ": " + *difference);
  }
}

// The rows kept from an earlier sweep must be the first rows of this one, in order.
void check_prefix(const std::string& rows, std::size_t replicates, const std::string& where) {
  std::size_t index = 0;
  std::size_t start = 0;
  while (start < rows.size()) {
    const std::size_t end = rows.find('\n', start);
    const std::string_view line = std::string_view(rows).substr(start, end - start);
    std::size_t labels = 0;  // just past the eighth comma: grid_index,replicate,...
    for (std::size_t i = 0; i < kSummaryParameterColumns && labels != std::string_view::npos; ++i) {
      labels = line.find(',', labels);
      if (labels != std::string_view::npos) ++labels;
    }
    const std::string expected =
        std::to_string(index / replicates + 1) + "," + std::to_string(index % replicates + 1) + ",";
    if (labels == std::string_view::npos || line.compare(labels, expected.size(), expected) != 0) {
      throw std::runtime_error(where + ":" + std::to_string(index + 2) + ": not grid point " +
                               std::to_string(index / replicates + 1) + " replicate " +
                               std::to_string(index % replicates + 1) +
                               ", the row a resumed sweep expects there");
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
                   const std::string& where, std::int32_t base, std::ostream& err) {
  const std::string held = where + " holds the first " + std::to_string(before + outcome.written) +
                           " of " + std::to_string(all) + " rows (seed base " +
                           std::to_string(base) + ")";
  if (outcome.failure) {
    err << "hostswitch sweep: " << *outcome.failure << "; " << held << '\n';
    return 1;
  }
  if (outcome.interrupted) {
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

int sweep_into_summary(const SweepRequest& request, std::ostream& out, std::ostream& err) {
  const std::filesystem::path manifest_path = summary_manifest_path(request.summary);
  if (manifest_path == request.summary) {
    throw std::runtime_error("--summary: " + request.summary.string() +
                             " would be its own manifest; give the summary another extension");
  }
  const std::string where = request.summary.string();
  std::optional<Manifest> stored;
  if (request.resume) {
    stored = stored_manifest(manifest_path);
    std::error_code error;
    if (!stored && std::filesystem::file_size(request.summary, error) > 0 && !error) {
      throw std::runtime_error("--resume: " + where + " has no manifest " + manifest_path.string() +
                               ", so it cannot be checked; run without "
                               "--resume to start it again");
    }
  }
  const std::int32_t base =
      request.base_seed.value_or(stored ? stored->base_seed : request.clock_seed);
  const Manifest manifest = manifest_of(request, base);
  if (stored) refuse_difference(*stored, manifest, manifest_path, "--resume");

  // Locked before anything is truncated, so a second sweep leaves the first one's file alone.
  OrderedCsvFile file(request.summary, summary_header(),
                      stored ? OrderedCsvFile::Mode::resume : OrderedCsvFile::Mode::fresh);
  const std::size_t all = static_cast<std::size_t>(manifest.rows());
  std::optional<OrderedCsvFile> trajectories;
  if (request.trajectories) {
    const std::string trajectories_where = request.trajectories_path.string();
    std::error_code error;
    if (std::filesystem::equivalent(request.trajectories_path, request.summary, error) ||
        std::filesystem::equivalent(request.trajectories_path, manifest_path, error) ||
        request.trajectories_path.lexically_normal() == request.summary.lexically_normal()) {
      throw std::runtime_error("--trajectories: " + trajectories_where +
                               " is the summary or its manifest; give it another name");
    }
    // Replicates cannot be kept without their trajectories: a missing file is a mistake, not
    // a reason to run the whole sweep again.
    if (stored && file.kept_rows() > 0 &&
        !std::filesystem::exists(request.trajectories_path, error)) {
      throw std::runtime_error("--resume: " + trajectories_where + " does not exist, but " + where +
                               " holds rows; give the trajectories file of this sweep");
    }
    trajectories.emplace(request.trajectories_path, trajectory_header(),
                         stored ? OrderedCsvFile::Mode::resume : OrderedCsvFile::Mode::fresh);
  }
  std::size_t kept = file.kept_rows();
  if (stored) {
    if (kept > all) {
      throw std::runtime_error("--resume: " + where + " holds " + std::to_string(kept) +
                               " rows, more than the " + std::to_string(all) + " of the sweep");
    }
    check_prefix(file.rows_text(), static_cast<std::size_t>(request.replicates), where);
    if (trajectories) {
      const KeptReplicates whole = whole_replicates(file.rows_text(), trajectories->rows_text(),
                                                    request.trajectories_path.string());
      trajectories->keep_first_rows(whole.trajectory_lines);
      file.keep_first_rows(whole.replicates);
      kept = whole.replicates;
    }
    if (kept == all) {
      out << "nothing to do: " << where << " already holds all " << all << " rows (seed base "
          << base << ")\n";
      out.flush();
      return 0;
    }
  } else {
    // The summary is empty now, so the old manifest describes nothing. Removed first because
    // renaming over a file makes some file systems (ext4) write the new one out at once.
    std::error_code ignored;
    std::filesystem::remove(manifest_path, ignored);
    write_file_atomically(manifest_path, manifest_json(manifest));
  }

  SweepSettings settings = settings_of(request, base);
  settings.first = kept;
  // A replicate's trajectory goes first, so a summary row never stands without it.
  const SweepOutcome outcome =
      run_sweep_rows(settings, [&](std::string_view lines, std::string_view trajectory_lines) {
        if (trajectories) trajectories->append(trajectory_lines);
        file.append(lines);
      });
  if (request.progress_end) request.progress_end();
  if (request.on_outcome) request.on_outcome(outcome);
  const int status = report_outcome(outcome, kept, all, where, base, err);
  if (status != 0) return status;
  if (stored) {
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
    if (!text.empty() && text.back() == '\n' && line_count(text) == range.end - range.first + 1 &&
        text.compare(0, summary_header().size(), summary_header()) == 0) {
      out << label << " is complete already: " << path.string() << '\n';
      out.flush();
      return 0;
    }
  }

  OrderedCsvFile file(path, summary_header(), OrderedCsvFile::Mode::staged);
  std::optional<OrderedCsvFile> trajectories;
  if (manifest.trajectories) {
    trajectories.emplace(trajectories_path, trajectory_header(), OrderedCsvFile::Mode::staged);
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

std::int32_t default_parts(std::int64_t rows) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>((rows + 99) / 100, 1, 1000));
}

int write_slurm_sweep(const SweepRequest& request, std::ostream& out) {
  const std::filesystem::path dir =
      std::filesystem::absolute(*request.slurm_dir).lexically_normal();
  std::filesystem::create_directories(dir);
  SweepRequest in_dir = request;
  in_dir.run_dir = dir;
  if (in_dir.outputs)
    in_dir.outputs = std::filesystem::absolute(*in_dir.outputs).lexically_normal();
  const std::int64_t rows = static_cast<std::int64_t>(request.grid.size()) * request.replicates;
  const std::int32_t parts = request.parts.value_or(default_parts(rows));
  if (parts > rows) {
    throw std::runtime_error("--parts: " + std::to_string(parts) + " parts for " +
                             std::to_string(rows) + " rows; at most one part a row");
  }
  const Manifest manifest = run_directory_manifest(in_dir, parts, dir.string(), "--slurm");
  write_file_atomically(run_manifest_path(dir), manifest_json(manifest));
  write_slurm_scripts(dir, manifest, request.slurm_options);
  out << "wrote " << (dir / "submit.sh").string() << ": a job array of " << parts << " tasks for "
      << rows << " rows and a merge job; submit with: bash "
      << shell_quote((dir / "submit.sh").string()) << '\n';
  out.flush();
  return out ? 0 : 1;
}

int merge_command(const MergeRequest& request, std::ostream& out, std::ostream& err) {
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
