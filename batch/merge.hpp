#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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

}  // namespace hostswitch
