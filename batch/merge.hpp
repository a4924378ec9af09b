#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/command_report.hpp"
#include "batch/manifest.hpp"

namespace hostswitch {

// A run directory joined against its manifest, which names every row that must exist.
struct RunDirectoryMerge {
  std::string text;  // header, then the rows found in canonical order
  // When the manifest's sweep writes trajectories: their header, then the trajectory rows of
  // the replicates in `text`, in the same order.
  std::string trajectories;
  std::int64_t expected = 0;
  std::int64_t missing = 0;
  // The commands that produce the missing rows: the parts holding them, or one `run` per
  // replicate for a directory of per-replicate summaries.
  std::vector<std::string> missing_commands;
};

// Reads the files of `run_dir` that its commands write (part-K.csv, G-R.csv), never `exclude`
// (the merged summary, which may live there under such a name too) nor any other file. Rows found
// twice alike are taken once. Throws SummaryError naming the files for the same row twice with
// different figures and for a row the manifest does not describe (a grid point or replicate outside
// it, other parameter values or another seed). With trajectories, each row's replicate must have
// its rows in the trajectories file beside the summary file it came from (part-K.trajectories.csv,
// G-R.trajectories.csv); a summary row without them is refused.
RunDirectoryMerge merge_run_directory(const std::filesystem::path& run_dir,
                                      const Manifest& manifest,
                                      const std::optional<std::filesystem::path>& exclude);

// What an --overwrite of `run_dir` removes once the new manifest stands: the files the sweep of
// its manifest wrote there (its parts or per-replicate summaries with their trajectories, and a
// merge's summary.csv, summary.trajectories.csv or trajectories.csv of its rows), no other file.
// Checked before anything is written: throws naming a file when there is no manifest to say
// which sweep wrote them (an empty or missing directory needs none), when a name of the sweep's
// is not a regular file, or when the directory does not let them be removed.
std::vector<std::filesystem::path> sweep_files_to_remove(const std::filesystem::path& run_dir);
// Throws IoFailure naming a file that cannot be removed; a file already gone is no failure.
void remove_files(const std::vector<std::filesystem::path>& paths);

struct MergeRequest {
  std::vector<std::filesystem::path> inputs;
  std::optional<std::filesystem::path> summary;  // none: standard output
  std::optional<std::filesystem::path> missing_commands;
  // Of a run directory whose sweep writes trajectories: where the joined trajectories go
  // (default: named after the summary, SUMMARY.trajectories.csv; RUN_DIR/trajectories.csv
  // when the summary goes to standard output).
  std::optional<std::filesystem::path> trajectories;
  bool allow_missing = false;
  bool overwrite = false;  // replace a summary holding rows the merge does not
};

// Refuses to replace the summary at `path` by `text` when it holds a row `text` lacks (another
// experiment's, or more of this one's), naming what it holds and the remedies (another
// --summary, or --overwrite); anything but a regular file, and a file of no rows, is replaced.
void refuse_losing_rows(const std::filesystem::path& path, std::string_view text);
// The same before a run whose one row begins with `row_start` (its parameters, labels and
// seed, which fix the rest): only rows beginning so are kept by it.
void refuse_losing_rows_of_run(const std::filesystem::path& path, const std::string& row_start);
// The same of a trajectories file: only one holding nothing but rows of `text` is replaced.
void refuse_losing_trajectories(const std::filesystem::path& path, std::string_view text);
// Joins summaries; a lone run directory with a manifest is checked against it (exit 3 when
// rows are missing, unless allowed). Outputs that are among the files read are refused, even
// with --overwrite; every refusal comes before the first write.
// The merged summary goes to `request.summary`, else to `out`.
CommandReport merge_command(const MergeRequest& request, std::ostream& out);

}  // namespace hostswitch
