#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "batch/summary.hpp"
#include "model/parameters.hpp"
#include "model/simulation_parameters.hpp"

namespace hostswitch {

// One list of values per parameter, in the parameter table's order; the grid is their cross
// product with the first varying slowest and the last fastest. Integer parameters hold whole
// numbers, which a double holds exactly.
struct ParameterLists {
  std::array<std::vector<double>, kParameterCount> values;

  ParameterLists() = default;
  ParameterLists(std::initializer_list<std::vector<double>> lists) {
    std::size_t i = 0;
    for (const auto& list : lists) values.at(i++) = list;
  }
  std::vector<double>& operator[](std::size_t which) { return values[which]; }
  const std::vector<double>& operator[](std::size_t which) const { return values[which]; }
  friend bool operator==(const ParameterLists&, const ParameterLists&) = default;
};

// Grid point `index` (from 0) of the cross product.
SimulationParameters grid_point(const ParameterLists& lists, std::size_t index);

// The grid points in order; grid point k (from 1) is element k - 1. Throws
// std::length_error when the grid would exceed 2147483647 points.
std::vector<SimulationParameters> expand_grid(const ParameterLists& lists);

// The clock count that seeds replicate `replicate` of grid point `grid_index` in a sweep
// with base seed `base`: splitmix64 applied in turn to the base, xor the grid index, xor
// the replicate (each taken as an unsigned 32-bit value), top 31 bits kept. So the seed
// lies in 0 ... 2147483647 and neighbouring replicates get unrelated streams.
std::int32_t replicate_seed(std::int32_t base, std::int32_t grid_index, std::int32_t replicate);

// The grid index of point `position` (from 0) of a sweep whose points carry `grid_indices`
// (a design's point column); by row, position + 1, when there are none.
inline std::int32_t grid_index_at(const std::vector<std::int32_t>& grid_indices,
                                  std::size_t position) {
  return grid_indices.empty() ? static_cast<std::int32_t>(position + 1) : grid_indices[position];
}

// Results file name of one replicate in a sweep's output directory.
std::string replicate_results_name(std::int32_t grid_index, std::int32_t replicate);

struct SweepSettings {
  std::vector<SimulationParameters> grid;
  std::int32_t replicates = 1;
  std::int32_t base_seed = 0;
  // The runs to do: rows first ... end - 1 of the canonical grid-then-replicate list (from 0);
  // by default all of them.
  std::size_t first = 0;
  std::optional<std::size_t> end;
  unsigned jobs = 1;
  // How each replicate is run (threads inside its generations); no setting changes a value.
  RunSettings run_settings;
  // Collects every replicate's trajectory rows (one a generation) with its summary row.
  bool trajectories = false;
  // A design's label columns of each grid point (comma separated), written after the standard
  // columns of its rows; none when empty.
  std::vector<std::string> labels;
  // Each grid point's grid index (grid_index_at); by row when empty.
  std::vector<std::int32_t> grid_indices;
  // Keeps every replicate's results file there; none is written otherwise.
  std::optional<std::filesystem::path> outputs;
  // Set from elsewhere (a signal handler) to stop: no new run starts, runs in flight are
  // abandoned at their next generation.
  const std::atomic<bool>* stop = nullptr;
  // Called on the calling thread about fifty times a second with (runs done, total).
  std::function<void(std::size_t, std::size_t)> progress;
};

struct SweepOutcome {
  std::size_t total = 0;    // rows in the range
  std::size_t written = 0;  // rows written, a prefix of the range
  bool interrupted = false;
  std::optional<std::string> failure;      // the first failing replicate and why
  std::int64_t individuals_simulated = 0;  // over the runs that finished
};

// Runs every replicate of every grid point on `jobs` threads and writes the summary (header,
// then one row per replicate in grid-then-replicate order whatever the timing). Each row is
// written whole and flushed once it and all rows before it are done, so an interrupted or
// failing sweep leaves only complete rows: on a failure, the rows before the failing one.
SweepOutcome run_sweep(const SweepSettings& settings, std::ostream& summary);

// As above without the header: each batch of whole rows goes to `write_rows`, which throws
// when they cannot be written.
SweepOutcome run_sweep(const SweepSettings& settings,
                       const std::function<void(std::string_view)>& write_rows);

// Takes each batch of whole summary rows together with the trajectory rows of the same
// replicates (empty unless trajectories are asked for), in the same order; throws when they
// cannot be written.
using SweepRowWriter =
    std::function<void(std::string_view summary_rows, std::string_view trajectory_rows)>;
SweepOutcome run_sweep_rows(const SweepSettings& settings, const SweepRowWriter& write_rows);

}  // namespace hostswitch
