#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/parameters.hpp"
#include "model/population_model.hpp"
#include "model/simulation_parameters.hpp"

namespace hostswitch {

// Where a run sits in a sweep: grid point and replicate are counted from 1; a lone
// `run` is grid point 1, replicate 1.
struct RunLabel {
  std::int32_t grid_index = 1;
  std::int32_t replicate = 1;
  std::int32_t seed = 0;  // the clock count the stream was seeded with
};

// The facts of one finished run, as one row of a summary file.
struct SummaryRow {
  SimulationParameters parameters;
  RunLabel label;
  bool extinct = false;
  std::int32_t generations_run = 0;
  std::int32_t switch_generations = 0;
  std::int64_t final_n_pop = 0;
  double final_r_phe = 0.0;
  std::optional<double> final_mean_phe;      // none for an extinct population
  std::optional<double> final_sd_phe;        // population standard deviation (divides by n)
  std::int32_t first_switch_generation = 0;  // 0: no switch
  double farthest_host_distance = 0.0;
  std::int32_t longest_stay = 0;
};

SummaryRow summarize(const SimulationParameters& parameters, const RunLabel& label,
                     const RunResult& result);

// Shortest text that reads back as the same double.
std::string shortest(double value);

// The header line and one row, each ended by a line feed.
std::string summary_header();
// The header followed by further columns (a design's labels), each row's after its own.
// With `before_0_4`, the standard columns of 0.3 and earlier.
std::string summary_header_with(const std::vector<std::string>& extra_columns,
                                bool before_0_4 = false);
std::string summary_line(const SummaryRow& row);

class SummaryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Columns of a summary row: the parameters come first, then the run's labels and facts.
inline constexpr std::size_t kSummaryParameterColumns = kParameterCount;
struct SummaryColumn {
  static constexpr std::size_t grid_index = kParameterCount;
  static constexpr std::size_t replicate = grid_index + 1;
  static constexpr std::size_t seed = grid_index + 2;
  static constexpr std::size_t outcome = grid_index + 3;
  static constexpr std::size_t generations_run = grid_index + 4;
  static constexpr std::size_t extinction_generation = grid_index + 5;
  static constexpr std::size_t switch_generations = grid_index + 6;
  static constexpr std::size_t final_n_pop = grid_index + 7;
  static constexpr std::size_t final_r_phe = grid_index + 8;
  static constexpr std::size_t final_mean_phe = grid_index + 9;
  static constexpr std::size_t final_sd_phe = grid_index + 10;
  // Columns since 0.4.0; a summary of 0.3 or earlier ends its standard part before them.
  static constexpr std::size_t first_switch_generation = grid_index + 11;
  static constexpr std::size_t switch_rate = grid_index + 12;
  static constexpr std::size_t farthest_host_distance = grid_index + 13;
  static constexpr std::size_t longest_stay = grid_index + 14;
};
inline constexpr std::size_t kSummarySeedColumn = SummaryColumn::seed;
inline constexpr std::size_t kSummaryColumns =
    SummaryColumn::longest_stay + 1;  // before a design's label columns
// The standard columns of a summary written by 0.3 or earlier.
inline constexpr std::size_t kSummaryColumns03 = SummaryColumn::final_sd_phe + 1;
// The standard columns a summary's header starts with: kSummaryColumns or kSummaryColumns03;
// 0 when it is not a summary header. Labels after them are a design's.
std::size_t summary_standard_columns(std::span<const std::string_view> header);
// The header of a summary written by 0.3 or earlier (ended by a line feed).
std::string summary_header_03();
// The longest standard part of a row (23 fields of at most 24 characters and their commas);
// a design's labels after it must keep the row within kMaxCsvRecord, which readers refuse past.
inline constexpr std::size_t kMaxSummaryStandardRow = kSummaryColumns * 25;

// What a user may do about a summary that would lose rows it holds.
inline constexpr std::string_view kReplaceRemedies =
    "give another --summary, or --overwrite to replace it";
// The same of a trajectories file.
inline constexpr std::string_view kReplaceTrajectoriesRemedies =
    "give another --trajectories, or --overwrite to replace it";

// One row of a summary file as read: its text (ended by a line feed, whatever line end the
// file used), its fields, and where it was read ("FILE:LINE").
struct SummaryFileRow {
  std::string line;
  std::vector<std::string_view> fields;  // into `line`: valid during the call only
  std::int32_t grid_index = 0;
  std::int32_t replicate = 0;
  std::string where;
  std::string file;
  std::string header;                              // the file's first line, ended by a line feed
  std::size_t standard_columns = kSummaryColumns;  // kSummaryColumns03 for a 0.3 summary
};

// Calls `take` for every row of the summary file `path`, in file order. Line ends may be LF or
// CR LF. Throws SummaryError for a file that cannot be read, a foreign header, or a torn or
// malformed row.
void read_summary_rows(const std::filesystem::path& path,
                       const std::function<void(const SummaryFileRow&)>& take);
// As above; with TornTail::skip a last line without its line end is left out, not refused.
enum class TornTail { refuse, skip };
void read_summary_rows(const std::filesystem::path& path, TornTail torn,
                       const std::function<void(const SummaryFileRow&)>& take);

// Every *.csv file of the directories among `inputs` (in name order) and the other inputs.
std::vector<std::filesystem::path> expand_summary_inputs(
    const std::vector<std::filesystem::path>& inputs);

// Joins summary files (each a header followed by rows) into one summary ordered by grid
// point, then replicate. A directory stands for every *.csv file in it. Throws
// SummaryError as read_summary_rows does, and for the same grid point and replicate twice with
// different figures; a row found twice alike is taken once.
struct MergedSummary {
  std::string text;
  // Rows absent from a full grid of the largest grid point and replicate seen, and the
  // first few of them.
  std::int64_t missing_count = 0;
  std::vector<RunLabel> first_missing;
};
MergedSummary merge_summaries(const std::vector<std::filesystem::path>& inputs);

}  // namespace hostswitch
