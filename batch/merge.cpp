#include "batch/merge.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <map>
#include <ostream>
#include <regex>
#include <stdexcept>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "base/atomic_file.hpp"
#include "base/io_failure.hpp"
#include "base/text_file.hpp"
#include "batch/ordered_csv.hpp"
#include "batch/summary.hpp"
#include "batch/summary_check.hpp"
#include "batch/sweep.hpp"
#include "batch/trajectory.hpp"

namespace hostswitch {

namespace {

// The files a run directory's commands write: part-K.csv, or G-R.csv for one replicate.
bool written_by_the_sweep(const std::filesystem::path& path) {
  static const std::regex names(R"((part-[0-9]+|[0-9]+-[0-9]+)\.csv)");
  return std::regex_match(path.filename().string(), names);
}

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code error;
  const bool same = std::filesystem::equivalent(a, b, error);
  return !error && same;
}

std::int32_t label_number(std::string_view text) {
  std::int32_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() ? value : 0;
}

// The rows of a trajectories file by replicate (each replicate's rows are one block); none
// for a file that is not there.
std::map<std::pair<std::int32_t, std::int32_t>, std::string> trajectory_blocks(
    const std::filesystem::path& path) {
  std::map<std::pair<std::int32_t, std::int32_t>, std::string> blocks;
  std::ifstream file(path, std::ios::binary);
  if (!file) return blocks;
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  const std::string header = trajectory_header();
  if (text.compare(0, header.size(), header) != 0) {
    throw SummaryError(path.string() +
                       ":1: not a trajectories file (its first line is not the "
                       "header)");
  }
  std::size_t start = header.size();
  for (std::size_t line_number = 2; start < text.size(); ++line_number) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      throw SummaryError(path.string() + ":" + std::to_string(line_number) + ": a torn last line");
    }
    const std::string_view line = std::string_view(text).substr(start, end + 1 - start);
    const std::size_t first_comma = line.find(',');
    const std::size_t second_comma =
        first_comma == std::string_view::npos ? first_comma : line.find(',', first_comma + 1);
    const std::int32_t grid_index = label_number(line.substr(0, first_comma));
    const std::int32_t replicate =
        second_comma == std::string_view::npos
            ? 0
            : label_number(line.substr(first_comma + 1, second_comma - first_comma - 1));
    if (grid_index < 1 || replicate < 1) {
      throw SummaryError(path.string() + ":" + std::to_string(line_number) +
                         ": not a trajectory row (grid_index, replicate, ...)");
    }
    blocks[{grid_index, replicate}] += line;
    start = end + 1;
  }
  return blocks;
}

}  // namespace

void remove_sweep_files(const std::filesystem::path& run_dir) {
  std::vector<std::filesystem::path> doomed;
  for (const auto& name : {"summary.csv", "trajectories.csv", "missing-commands.txt"}) {
    doomed.push_back(run_dir / name);
  }
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(run_dir, error)) {
    if (!written_by_the_sweep(entry.path())) continue;
    doomed.push_back(entry.path());
    doomed.push_back(trajectories_path_of(entry.path()));
  }
  if (error) throw IoFailure("read the directory", run_dir, error.value());
  for (const auto& path : doomed) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw IoFailure("remove", path, errno);
  }
}

namespace {

// The rows of a run directory's files, one slot per canonical row (empty: missing).
struct FoundRows {
  std::vector<std::string> lines;
  std::vector<std::string> source;  // where each was read, for messages
  // The summary file each row was first taken from, for its trajectories.
  std::vector<std::filesystem::path> files;
  std::vector<std::size_t> file_of;
};

// The row as the merged summary holds it: with the design's label columns of its grid point,
// added to a row a `run` command wrote, checked on a part's row.
std::string with_design_columns(const SummaryFileRow& row, const std::string& wanted,
                                std::size_t label_columns, const std::string& foreign) {
  std::string line = row.line;
  if (label_columns == 0) return line;
  if (row.fields.size() == kSummaryColumns) {
    line.insert(line.size() - 1, "," + wanted);
  } else if (row.fields.size() != kSummaryColumns + label_columns ||
             line.size() < wanted.size() + 2 ||
             line.compare(line.size() - 1 - wanted.size(), wanted.size(), wanted) != 0 ||
             line[line.size() - 2 - wanted.size()] != ',') {
    throw SummaryError(foreign + "its design columns are not " + wanted + ")");
  }
  return line;
}

FoundRows found_rows(const std::filesystem::path& run_dir, const Manifest& manifest,
                     const std::vector<SimulationParameters>& grid,
                     const std::optional<std::filesystem::path>& exclude) {
  const std::string where_manifest = run_manifest_path(run_dir).string();
  // A design's label columns: carried by part rows, added to the rows `run` commands write.
  std::vector<std::string> labels;
  if (manifest.design && !manifest.design->columns.empty()) {
    labels = design_of_record(*manifest.design, where_manifest).labels;
  }
  const std::size_t label_columns = manifest.design ? manifest.design->columns.size() : 0;
  const auto replicates = static_cast<std::int64_t>(manifest.replicates);
  const auto rows = static_cast<std::size_t>(manifest.rows());
  FoundRows found{std::vector<std::string>(rows),
                  std::vector<std::string>(rows),
                  {},
                  std::vector<std::size_t>(rows)};
  for (const auto& path : expand_summary_inputs({run_dir})) {
    if (!written_by_the_sweep(path) || (exclude && same_file(path, *exclude))) continue;
    found.files.push_back(path);
    // A torn last line (a copy cut short) is a missing row, made again by its command.
    read_summary_rows(path, TornTail::skip, [&](const SummaryFileRow& row) {
      const std::string foreign =
          row.where + ": a row of another experiment than " + where_manifest + " (grid point " +
          std::to_string(row.grid_index) + " replicate " + std::to_string(row.replicate) + ": ";
      if (row.grid_index > static_cast<std::int64_t>(grid.size()) || row.replicate > replicates) {
        throw SummaryError(foreign + "outside the grid of " + std::to_string(grid.size()) +
                           " points and " + std::to_string(replicates) + " replicates)");
      }
      const auto point = static_cast<std::size_t>(row.grid_index - 1);
      const std::vector<std::string_view> own(row.fields.begin(),
                                              row.fields.begin() + kSummaryColumns);
      if (const auto difference =
              row_difference(own, grid[point], row.grid_index, row.replicate, manifest.base_seed)) {
        throw SummaryError(foreign + *difference + ")");
      }
      const auto index =
          static_cast<std::size_t>((row.grid_index - 1) * replicates + (row.replicate - 1));
      const std::string line = with_design_columns(
          row, label_columns > 0 ? labels[point] : std::string(), label_columns, foreign);
      if (found.lines[index].empty()) {
        found.lines[index] = line;
        found.source[index] = row.where;
        found.file_of[index] = found.files.size() - 1;
      } else if (found.lines[index] != line) {
        throw SummaryError(row.where + ": grid point " + std::to_string(row.grid_index) +
                           " replicate " + std::to_string(row.replicate) +
                           " differs from the same row read from " + found.source[index]);
      }
    });
  }
  return found;
}

// The trajectories of the rows found, in their order. A part's trajectories are read once,
// when its first row is reached, and dropped after its last.
std::string found_trajectories(const FoundRows& found, std::int64_t replicates) {
  std::string text = trajectory_header();
  std::size_t open_file = found.files.size();
  std::map<std::pair<std::int32_t, std::int32_t>, std::string> blocks;
  for (std::size_t slot = 0; slot < found.lines.size(); ++slot) {
    if (found.lines[slot].empty()) continue;
    if (found.file_of[slot] != open_file) {
      open_file = found.file_of[slot];
      blocks = trajectory_blocks(trajectories_path_of(found.files[open_file]));
    }
    const auto index = static_cast<std::int64_t>(slot);
    const auto g = static_cast<std::int32_t>(index / replicates + 1);
    const auto r = static_cast<std::int32_t>(index % replicates + 1);
    const auto block = blocks.find({g, r});
    if (block == blocks.end()) {
      throw SummaryError(trajectories_path_of(found.files[open_file]).string() +
                         ": no trajectory rows of grid point " + std::to_string(g) + " replicate " +
                         std::to_string(r) + ", whose summary row is " + found.source[slot]);
    }
    text += block->second;
  }
  return text;
}

}  // namespace

RunDirectoryMerge merge_run_directory(const std::filesystem::path& run_dir,
                                      const Manifest& manifest,
                                      const std::optional<std::filesystem::path>& exclude) {
  const std::vector<SimulationParameters> grid = manifest_points(manifest);
  const auto replicates = static_cast<std::int64_t>(manifest.replicates);
  const std::int64_t rows = manifest.rows();
  const FoundRows found = found_rows(run_dir, manifest, grid, exclude);

  RunDirectoryMerge merged;
  merged.expected = rows;
  merged.text = manifest_summary_header(manifest);
  if (manifest.trajectories) merged.trajectories = found_trajectories(found, replicates);
  std::int32_t last_part = 0;
  for (std::int64_t index = 0; index < rows; ++index) {
    const std::string& line = found.lines[static_cast<std::size_t>(index)];
    if (!line.empty()) {
      merged.text += line;
      continue;
    }
    ++merged.missing;
    if (manifest.parts > 0) {
      const std::int32_t part = part_of_row(rows, manifest.parts, index);
      if (part != last_part) merged.missing_commands.push_back(part_command(manifest, part));
      last_part = part;
    } else {
      const auto g = static_cast<std::int32_t>(index / replicates + 1);
      const auto r = static_cast<std::int32_t>(index % replicates + 1);
      merged.missing_commands.push_back(
          replicate_command(manifest, grid[static_cast<std::size_t>(g - 1)], g, r));
    }
  }
  return merged;
}

void refuse_losing_rows(const std::filesystem::path& path, std::string_view text) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) return;
  const std::string old = read_text_file(path);
  // The standard columns, perhaps followed by a design's labels.
  const std::string standard = summary_header().substr(0, summary_header().size() - 1);
  const std::string header = old.substr(0, old.find('\n') + 1);
  const std::string where = path.string();
  if (header.empty() || header.compare(0, standard.size(), standard) != 0) {
    if (old.size() < standard.size() && standard.compare(0, old.size(), old) == 0) return;
    throw std::runtime_error(where +
                             " is not a summary (its first line is not the summary "
                             "header); " +
                             std::string(kReplaceRemedies));
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
  if (const auto found = stored_summary_manifest(path)) {
    seed = ", seed base " + std::to_string(found->manifest.base_seed) + " (" +
           found->path.string() + ")";
  }
  throw std::runtime_error(where + " holds " + std::to_string(rows) +
                           (rows == 1 ? " row" : " rows") + seed + ", " + std::to_string(lost) +
                           " not among the rows written now; " + std::string(kReplaceRemedies));
}

namespace {

// The merged text of a run directory checked against its manifest, with its trajectories
// written beside; rows missing are a warning only when allowed.
std::string merged_run_directory(const MergeRequest& request, CommandReport& report) {
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
    std::string message =
        std::to_string(merged.missing) + " of " + std::to_string(merged.expected) + " rows missing";
    if (request.missing_commands) {
      message += "; the commands that make them are in " + request.missing_commands->string();
    } else if (!merged.missing_commands.empty()) {
      message += "; the first command that makes them: " + merged.missing_commands.front();
    }
    if (!request.allow_missing) {
      report.status = kRowsMissing;
      report.message = std::move(message);
      return {};
    }
    report.warnings.push_back(std::move(message));
  }
  if (manifest.trajectories) {
    // Before the summary, so a merged summary never stands without its trajectories.
    write_file_atomically(request.trajectories.value_or(dir / "trajectories.csv"),
                          merged.trajectories);
  } else if (request.trajectories) {
    throw std::runtime_error("--trajectories: the sweep of " + dir.string() +
                             " writes no trajectories (its manifest.json says so)");
  }
  return merged.text;
}

// The merged text of summary files (and directories of them), which must not include the
// summary written.
std::string merged_summaries(const MergeRequest& request, CommandReport& report) {
  std::error_code error;
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
    std::string warning =
        std::to_string(merged.missing_count) + " rows missing from the grid, first:";
    for (const RunLabel& label : merged.first_missing) {
      warning += " grid point " + std::to_string(label.grid_index) + " replicate " +
                 std::to_string(label.replicate) + ';';
    }
    report.warnings.push_back(std::move(warning));
  }
  return merged.text;
}

}  // namespace

CommandReport merge_command(const MergeRequest& request, std::ostream& out) {
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
  CommandReport report;
  const std::string text =
      run_directory ? merged_run_directory(request, report) : merged_summaries(request, report);
  if (report.status != 0) return report;
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
  return report;
}

}  // namespace hostswitch
