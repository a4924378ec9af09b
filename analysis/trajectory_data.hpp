#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/summary_data.hpp"

namespace hostswitch {

// n_pop across the replicates of one grid point at one generation; a replicate extinct
// before the generation counts 0.
struct PopulationQuartiles {
  double q25 = 0.0;
  double median = 0.0;
  double q75 = 0.0;
};

struct GridPointTrajectory {
  std::int32_t grid_index = 0;
  std::vector<PopulationQuartiles> by_generation;  // generation n_g at n_g - 1
};

// Reads a trajectories file and checks that it belongs to `summary`: rows in canonical
// order, exactly the summary's replicates, each with its generations_run rows from n_g 1,
// its start population and births, and its switch generations. Throws ReportInputError
// with the file and line of the first fault.
std::vector<GridPointTrajectory> read_trajectories(const std::filesystem::path& path,
                                                   const SummaryData& summary);
// The same of a trajectories file's text, named `name` in messages.
std::vector<GridPointTrajectory> read_trajectories_text(std::string_view text,
                                                        const std::string& name,
                                                        const SummaryData& summary);

}  // namespace hostswitch
