#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/io_failure.hpp"
#include "batch/design.hpp"
#include "batch/sweep.hpp"
#include "hostswitch_version.hpp"
#include "model/parameters.hpp"
#include "model/simulation_parameters.hpp"

namespace hostswitch {

// A whole value list as the command line takes it.
std::string list_text(const ParameterLists& lists, std::size_t which);

// Safe to paste into a POSIX shell: plain words stay as they are, anything else is quoted.
std::string shell_quote(std::string_view word);

// A sweep over the rows of a design rather than a grid: each row (its eight parameters and its
// label columns, as design_rows gives them) is one grid point.
struct DesignRecord {
  std::string kind;                  // design_kind_name
  std::string source;                // the file it was read from
  std::vector<std::string> columns;  // the label columns, carried into the summary
  std::vector<std::string> rows;
  std::string checksum;              // design_checksum of the rows (each after its point, if any)
  std::vector<std::int32_t> points;  // Design::grid_indices, one a row; empty: by row
};
DesignRecord design_record(const Design& design, std::string source);
// The design again, from the rows; throws DesignFileError naming `where` for a faulty row.
Design design_of_record(const DesignRecord& record, const std::string& where);

// What a sweep is: enough to know every row it must produce and the commands that make them.
struct Manifest {
  std::string version = HOSTSWITCH_VERSION;
  ParameterLists lists;
  std::int32_t replicates = 1;
  std::int32_t base_seed = 0;
  std::vector<std::string> command_line;
  // Whether the sweep writes trajectories beside its summary rows.
  bool trajectories = false;
  // A run directory's sweep only: its slices (0: one `run` command per replicate), the program
  // that runs them, where they write, and the results-file directory if any.
  std::int32_t parts = 0;
  std::string executable = "hostswitch";
  std::string run_dir;
  std::optional<std::string> outputs;
  // A summary sweep started with --overwrite: the identity of the file it replaces, so a resume
  // after a kill between the manifest and the emptying knows those rows are the old sweep's.
  std::optional<std::string> replaces;
  // With a design, its rows are the grid points and `lists` holds only its first row.
  std::optional<DesignRecord> design;

  std::int64_t grid_points() const;
  std::int64_t rows() const { return grid_points() * replicates; }
};

std::string manifest_json(const Manifest& manifest);
// The grid points: the design's rows, or the cross product of the lists.
std::vector<SimulationParameters> manifest_points(const Manifest& manifest);
// The summary's header: the standard columns, then the design's label columns.
std::string manifest_summary_header(const Manifest& manifest);
// The standard columns of the summaries the manifest's version writes (fewer before 0.4.0).
std::size_t manifest_standard_columns(const Manifest& manifest);
// Reads the design of a sweep: a design CSV (parameters not in it take `base`), or the rows a
// manifest (a *.json file, such as RUN_DIR/manifest.json) records.
Design load_design(const std::filesystem::path& path, const SimulationParameters& base);
// Throws std::runtime_error naming the file when it cannot be read or is not a manifest.
Manifest read_manifest(const std::filesystem::path& path);
// The first way `wanted` is not the experiment `stored` (read from `where`) describes, as
// "--sdr is 1,2 here but 1,2.5 in PATH"; none when they are the same experiment. The command
// line, the program's location and the result directories may differ.
std::optional<std::string> manifest_difference(const Manifest& stored, const Manifest& wanted,
                                               const std::filesystem::path& where);

// The manifest at `path`, when there is one (throws as read_manifest for a faulty one).
std::optional<Manifest> stored_manifest(const std::filesystem::path& path);
// The manifest stored for a summary and where it was found: SUMMARY.json-after-its-name, else
// the name of earlier versions; none when neither exists.
struct StoredManifest {
  Manifest manifest;
  std::filesystem::path path;
};
std::optional<StoredManifest> stored_summary_manifest(const std::filesystem::path& summary);

// summary.csv -> summary.csv.json, unique to the summary (today's name).
std::filesystem::path summary_manifest_path(const std::filesystem::path& summary);
// summary.csv -> summary.json, the name sweeps of earlier versions wrote, still read.
std::filesystem::path legacy_summary_manifest_path(const std::filesystem::path& summary);
std::filesystem::path run_manifest_path(const std::filesystem::path& run_dir);
std::filesystem::path part_path(const std::filesystem::path& run_dir, std::int32_t part);
// Whether two names are one file: the same inode, or the same name once links and dots are
// resolved (for a file not there yet).
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);
// part-K.csv -> part-K.trajectories.csv, G-R.csv -> G-R.trajectories.csv; and a summary's
// default trajectories, summary.csv -> summary.trajectories.csv
std::filesystem::path trajectories_path_of(const std::filesystem::path& summary);

// Part `part` (from 1) of `parts` contiguous, near-equal slices of the canonical row list.
struct RowRange {
  std::int64_t first = 0;
  std::int64_t end = 0;
};
RowRange part_rows(std::int64_t rows, std::int32_t part, std::int32_t parts);
// The part holding canonical row `row` (from 0).
std::int32_t part_of_row(std::int64_t rows, std::int32_t parts, std::int64_t row);

// The command lines that produce a run directory's rows.
std::string part_command(const Manifest& manifest, std::int32_t part);
// The same with `part_word` (already shell text, "K/N") after --part.
std::string part_command(const Manifest& manifest, std::string_view part_word);
std::string replicate_command(const Manifest& manifest, const SimulationParameters& point,
                              std::int32_t grid_index, std::int32_t replicate);

}  // namespace hostswitch
