#include "batch/merge.hpp"

#include <algorithm>
#include <regex>
#include <system_error>

#include "batch/summary.hpp"
#include "batch/sweep.hpp"

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

}  // namespace

RunDirectoryMerge merge_run_directory(const std::filesystem::path& run_dir,
                                      const Manifest& manifest,
                                      const std::optional<std::filesystem::path>& exclude) {
  const std::vector<SimulationParameters> grid = expand_grid(manifest.lists);
  const auto replicates = static_cast<std::int64_t>(manifest.replicates);
  const std::int64_t rows = manifest.rows();
  const std::string where_manifest = run_manifest_path(run_dir).string();

  // One slot per canonical row; the file a row came from, for messages.
  std::vector<std::string> found(static_cast<std::size_t>(rows));
  std::vector<std::string> source(static_cast<std::size_t>(rows));
  for (const auto& path : expand_summary_inputs({run_dir})) {
    if (!written_by_the_sweep(path) || (exclude && same_file(path, *exclude))) continue;
    read_summary_rows(path, [&](const SummaryFileRow& row) {
      const std::string foreign =
          row.where + ": a row of another experiment than " + where_manifest + " (grid point " +
          std::to_string(row.grid_index) + " replicate " + std::to_string(row.replicate) + ": ";
      if (row.grid_index > static_cast<std::int64_t>(grid.size()) || row.replicate > replicates) {
        throw SummaryError(foreign + "outside the grid of " + std::to_string(grid.size()) +
                           " points and " + std::to_string(replicates) + " replicates)");
      }
      const SimulationParameters& point = grid[static_cast<std::size_t>(row.grid_index - 1)];
      for (std::size_t i = 0; i < kSummaryParameterColumns; ++i) {
        if (row.fields[i] != parameter_text(point, i)) {
          throw SummaryError(foreign + std::string(kParameterNames[i]) + " is " +
                             std::string(row.fields[i]) + ", not " + parameter_text(point, i) +
                             ")");
        }
      }
      const std::string seed =
          std::to_string(replicate_seed(manifest.base_seed, row.grid_index, row.replicate));
      if (row.fields[kSummarySeedColumn] != seed) {
        throw SummaryError(foreign + "seed " + std::string(row.fields[kSummarySeedColumn]) +
                           ", not " + seed + ")");
      }
      const auto index =
          static_cast<std::size_t>((row.grid_index - 1) * replicates + (row.replicate - 1));
      if (found[index].empty()) {
        found[index] = row.line;
        source[index] = row.where;
      } else if (found[index] != row.line) {
        throw SummaryError(row.where + ": grid point " + std::to_string(row.grid_index) +
                           " replicate " + std::to_string(row.replicate) +
                           " differs from the same row read from " + source[index]);
      }
    });
  }

  RunDirectoryMerge merged;
  merged.expected = rows;
  merged.text = summary_header();
  std::int32_t last_part = 0;
  for (std::int64_t index = 0; index < rows; ++index) {
    const std::string& line = found[static_cast<std::size_t>(index)];
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

}  // namespace hostswitch
