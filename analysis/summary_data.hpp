#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/simulation_parameters.hpp"

namespace hostswitch {

// What the statistics need of one replicate's summary row.
struct ReplicateFacts {
  std::int32_t grid_index = 0;
  std::int32_t replicate = 0;
  std::int32_t generations_run = 0;
  std::int32_t switch_generations = 0;
  bool extinct = false;
  std::int64_t final_n_pop = 0;
  double final_r_phe = 0.0;
  // Read from summaries of 0.4.0 on (SummaryData::has_outcomes); 0 when absent.
  std::int32_t first_switch_generation = 0;  // 0: no switch
  std::int32_t longest_stay = 0;
  double farthest_host_distance = 0.0;
};

struct GridPointRuns {
  std::int32_t grid_index = 0;
  SimulationParameters parameters;
  std::span<const ReplicateFacts> replicates;  // in increasing replicate
  std::string labels;  // a design's label columns of the point, as in its first row
};

// Move-only: the grid points view the one array of replicates.
struct SummaryData {
  SummaryData() = default;
  SummaryData(SummaryData&&) = default;
  SummaryData& operator=(SummaryData&&) = default;
  SummaryData(const SummaryData&) = delete;
  SummaryData& operator=(const SummaryData&) = delete;

  std::string file;
  std::vector<std::string> label_names;  // a design's label columns, after the standard ones
  // Whether the rows carry first_switch_generation and the other columns since 0.4.0; a
  // summary of 0.3 or earlier does not.
  bool has_outcomes = true;
  // The generations G of the shares switched and extinct by G: default_generations() of the
  // largest n_gen, unless the reader of the data asks for others (report --at).
  std::vector<std::int32_t> at_generations;
  std::vector<ReplicateFacts> replicates;  // every row, by grid point then replicate
  std::vector<GridPointRuns> points;       // in increasing grid_index; only points with rows
  std::int64_t rows = 0;
  std::int32_t max_grid_index = 0;
  std::int32_t max_replicate = 0;

  // Rows absent from the full grid of the largest grid point and replicate seen.
  std::int64_t missing_rows() const {
    return static_cast<std::int64_t>(max_grid_index) * max_replicate - rows;
  }
};

// n_gen/10, n_gen/4, n_gen/2, 3 n_gen/4 and n_gen, rounded half away from zero, without
// duplicates or 0.
std::vector<std::int32_t> default_generations(std::int32_t n_gen);

// Reads and checks a summary file; throws ReportInputError naming the file and line of
// the first fault (a foreign header, a malformed or inconsistent row, a row seen twice).
SummaryData read_summary(const std::filesystem::path& path);
// The same of a summary's text, named `name` in messages.
SummaryData read_summary_text(std::string_view text, const std::string& name);

}  // namespace hostswitch
