#include "batch/merge.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
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

namespace {

// Whether `name` is one a run directory's commands write for `manifest`: part-K.csv (and, while
// staged, part-K.csv.tmp) of its parts, or G-R.csv of its rows, with their trajectories.
bool named_by_the_sweep(const std::string& name, const Manifest& manifest) {
  static const std::regex names(
      R"((part-([0-9]+)|([0-9]+)-([0-9]+))(\.trajectories)?\.csv(\.tmp)?)");
  std::smatch match;
  if (!std::regex_match(name, match, names)) return false;
  if (match[2].matched) {
    const std::int32_t part = label_number(match[2].str());
    return manifest.parts > 0 && part >= 1 && part <= manifest.parts;
  }
  if (manifest.parts > 0 || match[6].matched) return false;
  const std::int32_t grid_index = label_number(match[3].str());
  const std::int32_t replicate = label_number(match[4].str());
  return grid_index >= 1 && grid_index <= manifest.grid_points() && replicate >= 1 &&
         replicate <= manifest.replicates;
}

// Whether `path` is a merge's output of `manifest`'s rows: a summary of its header whose rows
// are all rows of that sweep, or trajectories of its grid points and replicates.
bool merged_from(const std::filesystem::path& path, const Manifest& manifest) {
  try {
    if (path.filename() != "summary.csv") {
      for (const auto& [label, block] : trajectory_blocks(path)) {
        if (label.first > manifest.grid_points() || label.second > manifest.replicates) {
          return false;
        }
      }
      return true;
    }
    const std::string header = manifest_summary_header(manifest);
    if (read_text_file(path).compare(0, header.size(), header) != 0) return false;
    const std::vector<SimulationParameters> grid = manifest_points(manifest);
    bool all = true;
    read_summary_rows(path, [&](const SummaryFileRow& row) {
      const std::vector<std::string_view> own(row.fields.begin(),
                                              row.fields.begin() + row.standard_columns);
      all = all && row.grid_index >= 1 && row.replicate >= 1 &&
            row.grid_index <= static_cast<std::int64_t>(grid.size()) &&
            row.replicate <= manifest.replicates &&
            !row_difference(own, grid[static_cast<std::size_t>(row.grid_index - 1)], row.grid_index,
                            row.replicate, manifest.base_seed);
    });
    return all;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

std::vector<std::filesystem::path> sweep_files_to_remove(const std::filesystem::path& run_dir) {
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::symlink_status(run_dir, error))) return {};
  const std::filesystem::path manifest_path = run_manifest_path(run_dir);
  const std::optional<Manifest> manifest = stored_manifest(manifest_path);
  std::vector<std::filesystem::path> doomed;
  std::filesystem::directory_iterator entries(run_dir, error);
  if (error) throw IoFailure("read the directory", run_dir, error.value());
  for (const auto& entry : entries) {
    if (!manifest) {
      // Without a manifest nothing says which sweep wrote what.
      throw std::runtime_error("--overwrite: " + run_dir.string() + " holds " +
                               entry.path().string() + " but no " +
                               manifest_path.filename().string() +
                               " saying which sweep wrote it; use another run directory, or "
                               "empty it yourself");
    }
    const std::string name = entry.path().filename().string();
    const bool merged =
        name == "summary.csv" || name == "trajectories.csv" || name == "summary.trajectories.csv";
    if (!named_by_the_sweep(name, *manifest) && !merged) continue;
    struct stat status {};
    if (::lstat(entry.path().c_str(), &status) != 0) {
      throw IoFailure("remove", entry.path(), errno);
    }
    if (merged) {
      if (S_ISREG(status.st_mode) && merged_from(entry.path(), *manifest)) {
        doomed.push_back(entry.path());
      }
      continue;
    }
    if (!S_ISREG(status.st_mode)) {
      throw std::runtime_error("--overwrite: " + entry.path().string() +
                               " is not a file the sweep of " + manifest_path.string() +
                               " wrote (not a regular file); move it away first");
    }
    doomed.push_back(entry.path());
  }
  if (error) throw IoFailure("read the directory", run_dir, error.value());
  if (!doomed.empty() && ::access(run_dir.c_str(), W_OK | X_OK) != 0) {
    throw IoFailure("remove", doomed.front(), errno);
  }
  return doomed;
}

void remove_files(const std::vector<std::filesystem::path>& paths) {
  for (const auto& path : paths) {
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
  if (row.fields.size() == row.standard_columns) {
    line.insert(line.size() - 1, "," + wanted);
  } else if (row.fields.size() != row.standard_columns + label_columns ||
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
  const std::size_t standard_columns = manifest_standard_columns(manifest);
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
      if (row.standard_columns != standard_columns) {
        throw SummaryError(foreign + "the columns of another version than " + manifest.version +
                           ")");
      }
      const auto point = static_cast<std::size_t>(row.grid_index - 1);
      const std::vector<std::string_view> own(row.fields.begin(),
                                              row.fields.begin() + row.standard_columns);
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
  // Its parts are numbered by row; a sweep writing them refuses designs numbered otherwise.
  if (manifest.design && !manifest.design->points.empty()) {
    throw std::runtime_error(run_dir.string() +
                             ": the manifest's design numbers its points other than 1 to N by "
                             "row; a run directory cannot hold such a sweep");
  }
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

namespace {

// The lines of `kept` (rows of an existing file) the new file would not hold; `rows` counts
// them all.
std::size_t lines_lost(std::string_view kept, const std::function<bool(std::string_view)>& held,
                       std::size_t& rows) {
  rows = 0;
  std::size_t lost = 0;
  for (std::size_t start = 0; start < kept.size();) {
    const std::size_t end = std::min(kept.find('\n', start), kept.size());
    ++rows;
    if (!held(kept.substr(start, end - start))) ++lost;
    start = end + 1;
  }
  return lost;
}

// Whether a line is one of the lines of `text`.
std::function<bool(std::string_view)> among_lines(std::string_view text) {
  auto lines = std::make_shared<std::unordered_set<std::string_view>>();
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines->insert(text.substr(start, end - start));
    start = end + 1;
  }
  return [lines](std::string_view line) { return lines->contains(line); };
}

// The text of the regular, non-empty file at `path`; none for anything else.
std::optional<std::string> replaced_text(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) {
    return std::nullopt;
  }
  return read_text_file(path);
}

}  // namespace

namespace {

void refuse_losing_summary_rows(const std::filesystem::path& path,
                                const std::function<bool(std::string_view)>& held) {
  const std::optional<std::string> found = replaced_text(path);
  if (!found) return;
  const std::string& old = *found;
  // The standard columns of any version (0.3's are the start of the current ones), perhaps
  // followed by more and a design's labels.
  const std::string standard = summary_header_03().substr(0, summary_header_03().size() - 1);
  const std::string header = old.substr(0, old.find('\n') + 1);
  const std::string where = path.string();
  if (header.empty() || header.compare(0, standard.size(), standard) != 0) {
    if (old.size() < standard.size() && standard.compare(0, old.size(), old) == 0) return;
    throw std::runtime_error(where +
                             " is not a summary (its first line is not the summary "
                             "header); " +
                             std::string(kReplaceRemedies));
  }
  std::size_t rows = 0;
  const std::size_t lost = lines_lost(std::string_view(old).substr(header.size()), held, rows);
  if (lost == 0) return;
  std::string seed;
  if (const auto stored = stored_summary_manifest(path)) {
    seed = ", seed base " + std::to_string(stored->manifest.base_seed) + " (" +
           stored->path.string() + ")";
  }
  throw std::runtime_error(where + " holds " + std::to_string(rows) +
                           (rows == 1 ? " row" : " rows") + seed + ", " + std::to_string(lost) +
                           " not among the rows written now; " + std::string(kReplaceRemedies));
}

}  // namespace

void refuse_losing_rows(const std::filesystem::path& path, std::string_view text) {
  refuse_losing_summary_rows(path, among_lines(text));
}

void refuse_losing_rows_of_run(const std::filesystem::path& path, const std::string& row_start) {
  refuse_losing_summary_rows(path, [&row_start](std::string_view line) {
    return line.substr(0, row_start.size()) == row_start;
  });
}

void refuse_losing_trajectories(const std::filesystem::path& path, std::string_view text) {
  const std::optional<std::string> found = replaced_text(path);
  if (!found) return;
  const std::string& old = *found;
  const std::string header = trajectory_header();
  if (old.compare(0, header.size(), header) != 0) {
    if (old.size() < header.size() && header.compare(0, old.size(), old) == 0) return;
    throw std::runtime_error(path.string() +
                             " is not a trajectories file (its first line is not the "
                             "trajectories header); " +
                             std::string(kReplaceTrajectoriesRemedies));
  }
  std::size_t rows = 0;
  const std::size_t lost =
      lines_lost(std::string_view(old).substr(header.size()), among_lines(text), rows);
  if (lost == 0) return;
  throw std::runtime_error(path.string() + " holds " + std::to_string(rows) + " trajectory rows, " +
                           std::to_string(lost) + " not among the rows written now; " +
                           std::string(kReplaceTrajectoriesRemedies));
}

namespace {

// What a merge writes: the text of each file it was asked for, written once all are checked.
struct MergeOutputs {
  std::string summary;
  std::optional<std::string> trajectories;
  std::optional<std::string> missing_commands;
};

// The merged text of a run directory checked against its manifest, with its trajectories;
// rows missing are a warning only when allowed.
MergeOutputs merged_run_directory(const MergeRequest& request, const Manifest& stored,
                                  CommandReport& report) {
  const std::filesystem::path& dir = request.inputs.front();
  Manifest manifest = stored;
  manifest.run_dir = dir.string();  // the directory may have moved since
  const RunDirectoryMerge merged = merge_run_directory(dir, manifest, std::nullopt);
  MergeOutputs outputs;
  if (merged.missing > 0) {
    if (request.missing_commands) {
      std::string commands;
      for (const auto& command : merged.missing_commands) commands += command + '\n';
      outputs.missing_commands = std::move(commands);
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
      return outputs;
    }
    report.warnings.push_back(std::move(message));
  }
  if (manifest.trajectories) outputs.trajectories = merged.trajectories;
  outputs.summary = merged.text;
  return outputs;
}

// The merged text of summary files (and directories of them).
std::string merged_summaries(const MergeRequest& request, CommandReport& report) {
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

// Every file the merge reads: the summaries (a directory's *.csv files), or a run directory's
// manifest and the files its commands write, with their trajectories.
std::vector<std::filesystem::path> files_read(const MergeRequest& request, bool run_directory) {
  if (!run_directory) return expand_summary_inputs(request.inputs);
  const std::filesystem::path& dir = request.inputs.front();
  std::vector<std::filesystem::path> read = {run_manifest_path(dir)};
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (!written_by_the_sweep(entry.path())) continue;
    read.push_back(entry.path());
    read.push_back(trajectories_path_of(entry.path()));
  }
  if (error) throw IoFailure("read the directory", dir, error.value());
  return read;
}

// A merge never writes over what it reads (not even with --overwrite), nor one output over
// another; a summary named in a directory of summaries read would be read by the next merge.
void refuse_outputs_read(
    const MergeRequest& request, bool run_directory,
    const std::vector<std::pair<std::string, std::filesystem::path>>& outputs) {
  const std::vector<std::filesystem::path> read = files_read(request, run_directory);
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const auto& [flag, output] = outputs[i];
    for (const auto& input : read) {
      if (same_path(output, input)) {
        const std::string as = input == output ? "" : " (as " + input.string() + ")";
        throw std::runtime_error(flag + ": " + output.string() + " is read by the merge" + as +
                                 "; write the merge elsewhere");
      }
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (same_path(output, outputs[j].second)) {
        throw std::runtime_error(flag + ": " + output.string() + " is the " + outputs[j].first +
                                 " too; give each its own name");
      }
    }
  }
  if (run_directory || request.summary == std::nullopt) return;
  const std::filesystem::path& output = *request.summary;
  const std::filesystem::path parent =
      output.has_parent_path() ? output.parent_path() : std::filesystem::path(".");
  std::error_code error;
  for (const auto& input : request.inputs) {
    if (output.extension() == ".csv" && std::filesystem::is_directory(input, error) &&
        same_path(input, parent)) {
      throw std::runtime_error(output.string() + " is among the summaries read (" + input.string() +
                               "); write the merge elsewhere");
    }
  }
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
  std::optional<Manifest> manifest;
  std::optional<std::filesystem::path> trajectories;
  if (run_directory) {
    const std::filesystem::path& dir = request.inputs.front();
    manifest = read_manifest(run_manifest_path(dir));
    if (!manifest->trajectories && request.trajectories) {
      throw std::runtime_error("--trajectories: the sweep of " + dir.string() +
                               " writes no trajectories (its manifest.json says so)");
    }
    // Named after the merged summary, as a sweep names its own; beside the parts without one.
    if (manifest->trajectories) {
      trajectories = request.trajectories.value_or(
          request.summary ? trajectories_path_of(*request.summary) : dir / "trajectories.csv");
    }
  }
  std::vector<std::pair<std::string, std::filesystem::path>> outputs;
  if (request.summary) outputs.emplace_back("--summary", *request.summary);
  if (trajectories) outputs.emplace_back("--trajectories", *trajectories);
  if (request.missing_commands)
    outputs.emplace_back("--missing-commands", *request.missing_commands);
  refuse_outputs_read(request, run_directory, outputs);

  CommandReport report;
  MergeOutputs merged;
  if (run_directory) {
    merged = merged_run_directory(request, *manifest, report);
  } else {
    merged.summary = merged_summaries(request, report);
  }
  const bool complete = report.status == 0;
  // Every refusal before the first write.
  if (complete && !request.overwrite) {
    if (request.summary) refuse_losing_rows(*request.summary, merged.summary);
    if (trajectories) refuse_losing_trajectories(*trajectories, *merged.trajectories);
  }
  if (merged.missing_commands) {
    write_file_atomically(*request.missing_commands, *merged.missing_commands);
  }
  if (!complete) return report;
  // The trajectories before the summary, so a merged summary never stands without them.
  if (trajectories) write_file_atomically(*trajectories, *merged.trajectories);
  if (request.summary) {
    write_file_atomically(*request.summary, merged.summary);
  } else {
    errno = 0;
    out << merged.summary;
    out.flush();
    // A full disk or a closed pipe must not pass for a merge.
    if (!out) throw IoFailure("write", "standard output", errno);
  }
  return report;
}

}  // namespace hostswitch
