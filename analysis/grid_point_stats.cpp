#include "analysis/grid_point_stats.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "analysis/summary_format.hpp"
#include "base/number_chars.hpp"
#include "model/population_model.hpp"

namespace hostswitch {

namespace {

std::vector<SwitchBin> switch_bins(const std::vector<std::int32_t>& sorted) {
  const std::int32_t largest = sorted.back();
  const std::int64_t width = static_cast<std::int64_t>(largest) / kMaxSwitchBins + 1;
  std::vector<SwitchBin> bins;
  auto low = sorted.begin();
  for (std::int64_t from = 0; from <= largest; from += width) {
    const std::int64_t to = std::min<std::int64_t>(from + width - 1, largest);
    const auto high = std::upper_bound(low, sorted.end(), static_cast<std::int32_t>(to));
    bins.push_back(SwitchBin{static_cast<std::int32_t>(from), static_cast<std::int32_t>(to),
                             static_cast<std::int64_t>(high - low)});
    low = high;
  }
  return bins;
}

}  // namespace

GridPointStats GridPointStatsBuilder::operator()(const GridPointRuns& point, bool drawn) {
  GridPointStats s;
  s.grid_index = point.grid_index;
  s.parameters = point.parameters;
  s.replicates = static_cast<std::int64_t>(point.replicates.size());
  observations_.clear();
  switches_.clear();
  double switch_sum = 0.0;
  double final_n_pop_sum = 0.0;
  double displacement_sum = 0.0;
  for (const ReplicateFacts& r : point.replicates) {
    if (r.extinct) ++s.extinct;
    if (r.switch_generations > 0) ++s.switched;
    switch_sum += r.switch_generations;
    switches_.push_back(r.switch_generations);
    final_n_pop_sum += r.extinct ? 0.0 : static_cast<double>(r.final_n_pop);
    displacement_sum += r.final_r_phe - kInitialOptimum;
    observations_.push_back(SurvivalObservation{r.generations_run, r.extinct});
  }
  const auto n = static_cast<double>(s.replicates);
  s.p_extinct = static_cast<double>(s.extinct) / n;
  s.p_extinct_interval = wilson_interval(s.extinct, s.replicates);
  s.p_switched = static_cast<double>(s.switched) / n;
  s.p_switched_interval = wilson_interval(s.switched, s.replicates);
  s.mean_switches = switch_sum / n;
  if (s.replicates > 1) {
    double squares = 0.0;
    for (const std::int32_t k : switches_) squares += (k - s.mean_switches) * (k - s.mean_switches);
    s.se_switches = std::sqrt(squares / (n - 1.0) / n);
  }
  std::sort(switches_.begin(), switches_.end());
  s.median_switches = sorted_quantile(switches_, 0.5);
  kaplan_meier(observations_, survival_);
  s.km_median = kaplan_meier_median(survival_);
  if (drawn) {
    s.switch_bins = switch_bins(switches_);
    s.survival = survival_;
  }
  s.mean_final_n_pop = final_n_pop_sum / n;
  s.mean_final_displacement = displacement_sum / n;
  return s;
}

std::vector<GridPointStats> grid_point_stats(const SummaryData& summary, std::size_t drawn) {
  std::vector<GridPointStats> table;
  table.reserve(summary.points.size());
  GridPointStatsBuilder builder;
  for (const GridPointRuns& point : summary.points) {
    table.push_back(builder(point, table.size() < drawn));
  }
  return table;
}

namespace {

using Stats = GridPointStats;
using Value = std::optional<double>;

constexpr std::array<StatsColumn, 17> kStatsColumns = {{
    {"grid_index", [](const Stats& s) -> Value { return s.grid_index; }, true},
    {"replicates", [](const Stats& s) -> Value { return static_cast<double>(s.replicates); }, true},
    {"extinct", [](const Stats& s) -> Value { return static_cast<double>(s.extinct); }, true},
    {"p_extinct", [](const Stats& s) -> Value { return s.p_extinct; }},
    {"p_extinct_lo", [](const Stats& s) -> Value { return s.p_extinct_interval.lo; }},
    {"p_extinct_hi", [](const Stats& s) -> Value { return s.p_extinct_interval.hi; }},
    {"switched", [](const Stats& s) -> Value { return static_cast<double>(s.switched); }, true},
    {"p_switched", [](const Stats& s) -> Value { return s.p_switched; }},
    {"p_switched_lo", [](const Stats& s) -> Value { return s.p_switched_interval.lo; }},
    {"p_switched_hi", [](const Stats& s) -> Value { return s.p_switched_interval.hi; }},
    {"mean_switches", [](const Stats& s) -> Value { return s.mean_switches; }},
    {"median_switches", [](const Stats& s) -> Value { return s.median_switches; }},
    {"km_median_extinction", [](const Stats& s) { return s.km_median.median; }},
    {"km_median_lo", [](const Stats& s) { return s.km_median.lo; }},
    {"km_median_hi", [](const Stats& s) { return s.km_median.hi; }},
    {"mean_final_n_pop", [](const Stats& s) -> Value { return s.mean_final_n_pop; }},
    {"mean_final_displacement", [](const Stats& s) -> Value { return s.mean_final_displacement; }},
}};

}  // namespace

std::span<const StatsColumn> stats_columns() { return kStatsColumns; }

const StatsColumn* stats_column(std::string_view name) {
  for (const StatsColumn& column : kStatsColumns) {
    if (column.name == name) return &column;
  }
  return nullptr;
}

std::string stats_table_header() {
  std::string header;
  for (const std::string_view name : kParameterNames) {
    header += name;
    header += ',';
  }
  for (const StatsColumn& column : kStatsColumns) {
    header += column.name;
    header += ',';
  }
  header.back() = '\n';
  return header;
}

std::string stats_table_row(const GridPointStats& s) {
  std::string row;
  append_stats_table_row(row, s);
  return row;
}

void append_stats_table_row(std::string& row, const GridPointStats& s) {
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    row += parameter_text(s.parameters, i);
    row += ',';
  }
  std::array<char, 32> buffer{};
  for (const StatsColumn& column : kStatsColumns) {
    if (const Value value = column.value(s)) {
      // Counts whole; the rest in shortest round-trip form, as the summary writes its numbers.
      const auto result =
          column.count ? std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                       static_cast<std::int64_t>(*value))
                       : double_to_chars(buffer.data(), buffer.data() + buffer.size(), *value);
      row.append(buffer.data(), result.ptr);
    }
    row += ',';
  }
  row.back() = '\n';
}

}  // namespace hostswitch
