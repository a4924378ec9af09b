#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/simulation_parameters.hpp"

// Whether rows read back from a summary are the rows a sweep writes: the checks of a resume,
// of a part found on disk and of a merge against its manifest.
namespace hostswitch {

// How a summary row (its fields, without the line end) differs from the row a sweep writes for
// grid point `point`, labelled `grid_index`, `replicate` and seeded from `base_seed`:
// "sdr is 2, not 1", "seed 5, not 6", or a figure no run gives ("final_r_phe 'nan' is not a
// finite number"); none when it is such a row.
std::optional<std::string> row_difference(const std::vector<std::string_view>& fields,
                                          const SimulationParameters& point,
                                          std::int32_t grid_index, std::int32_t replicate,
                                          std::int32_t base_seed);

// The rows kept from an earlier sweep must be the rows this one writes first, in order: the
// parameters and seed of their grid point and replicate, and figures a run gives. `rows` are
// rows `first` (from 0) onwards of the canonical list, read from `where` at line `first_line`;
// throws std::runtime_error naming WHERE:LINE otherwise.
void check_kept_rows(const std::string& rows, const std::vector<SimulationParameters>& grid,
                     const std::vector<std::int32_t>& grid_indices, std::int32_t replicates,
                     std::int32_t base_seed, std::int64_t first, const std::string& where,
                     std::int64_t first_line);

// A resumed sweep keeps a replicate only when both files hold it whole: its summary row and
// one trajectory row per generation it ran. A kill leaves the trajectories at most a batch
// ahead of the summary (or, from a file system that lost the tail, behind it). Throws naming
// `where` (the trajectories file) when they belong to another sweep.
struct KeptReplicates {
  std::size_t replicates = 0;
  std::size_t trajectory_lines = 0;
};
KeptReplicates whole_replicates(const std::string& summary_rows, const std::string& trajectory_rows,
                                const std::string& where);

}  // namespace hostswitch
