#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/replicate_stats.hpp"
#include "analysis/summary_data.hpp"
#include "batch/manifest.hpp"
#include "model/parameters.hpp"

namespace hostswitch {

// A run of equal switch counts, or a range of them, with the replicates that fall in it.
struct SwitchBin {
  std::int32_t from = 0;  // inclusive
  std::int32_t to = 0;    // inclusive
  std::int64_t replicates = 0;
};

// Of a grid point's replicates, the shares that had switched host, and gone extinct, at or
// before generation `at`, with their Wilson 95% intervals.
struct SharesBy {
  std::int32_t at = 0;
  std::optional<double> p_switched;  // none for a summary without first_switch_generation
  ProportionInterval p_switched_interval;
  double p_extinct = 0.0;
  ProportionInterval p_extinct_interval;
};

struct GridPointStats {
  std::int32_t grid_index = 0;
  SimulationParameters parameters;
  std::int64_t replicates = 0;
  std::int64_t extinct = 0;
  double p_extinct = 0.0;
  ProportionInterval p_extinct_interval;
  std::int64_t switched = 0;
  double p_switched = 0.0;
  ProportionInterval p_switched_interval;
  double mean_switches = 0.0;
  // Standard error of mean_switches (sample sd / sqrt(n); 0 for one replicate), for the
  // figures only: the table leaves it out.
  double se_switches = 0.0;
  double median_switches = 0.0;
  MedianWithInterval km_median;
  double mean_final_n_pop = 0.0;
  double mean_final_displacement = 0.0;
  std::vector<KaplanMeierStep> survival;
  std::vector<SwitchBin> switch_bins;  // at most kMaxSwitchBins, covering 0 .. the largest
  // Mean of switch_generations / generations_run; none when no replicate ran a generation.
  std::optional<double> mean_switch_rate;
  std::vector<SharesBy> by_generation;  // at the summary's at_generations
};

inline constexpr std::int32_t kMaxSwitchBins = 30;

// Statistics of one grid point after another; the scratch storage is kept between points.
class GridPointStatsBuilder {
 public:
  // With the shares by the generations of `summary.at_generations`.
  explicit GridPointStatsBuilder(const SummaryData& summary)
      : at_(summary.at_generations), first_switches_(summary.has_outcomes) {}
  GridPointStatsBuilder(std::vector<std::int32_t> at, bool first_switches)
      : at_(std::move(at)), first_switches_(first_switches) {}
  // With `drawn`, the curve and the switch bins too.
  GridPointStats operator()(const GridPointRuns& point, bool drawn);

 private:
  std::vector<SurvivalObservation> observations_;
  std::vector<std::int32_t> switches_;
  std::vector<KaplanMeierStep> survival_;
  std::vector<std::int32_t> at_;
  bool first_switches_ = true;
};

// Statistics of every grid point with rows; the curve and the switch bins are kept only for
// the first `drawn` grid points, which is all a page shows.
std::vector<GridPointStats> grid_point_stats(const SummaryData& summary,
                                             std::size_t drawn = SIZE_MAX);

// One column of the statistics table after the parameters: its name and its value of a grid
// point (none for an empty field). Every per-point output another command may ask for by
// name comes from this one list.
struct StatsColumn {
  std::string name;
  std::optional<double> (*value)(const GridPointStats&, std::int32_t generation);
  std::int32_t generation = 0;  // of a share by generation (p_switched_by_G ...)
  bool count = false;           // written as a whole number
  std::optional<double> of(const GridPointStats& stats) const { return value(stats, generation); }
};
// The columns of a table with the shares by the generations `at`.
std::vector<StatsColumn> stats_columns(std::span<const std::int32_t> at);
// The column named `name`, if the table has one at some generation.
std::optional<StatsColumn> stats_column(std::string_view name);

// The statistics table as CSV: header and one row per grid point with rows; `at` are the
// generations of the shares by generation, the rows' by_generation.
std::string stats_table_header(std::span<const std::int32_t> at);
std::string stats_table_row(const GridPointStats& stats);
// One field of the table as it is written: a count whole, any other value in shortest
// round-trip form, nothing for none.
void append_stats_field(std::string& out, std::optional<double> value, bool count);
void append_stats_table_row(std::string& out, const GridPointStats& stats);

}  // namespace hostswitch
