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

std::vector<SharesBy> shares_by(const GridPointRuns& point, std::span<const std::int32_t> at,
                                bool first_switches) {
  std::vector<SharesBy> shares;
  const auto n = static_cast<std::int64_t>(point.replicates.size());
  for (const std::int32_t g : at) {
    std::int64_t switched = 0;
    std::int64_t extinct = 0;
    for (const ReplicateFacts& r : point.replicates) {
      switched += r.first_switch_generation > 0 && r.first_switch_generation <= g;
      extinct += r.extinct && r.generations_run <= g;
    }
    SharesBy share;
    share.at = g;
    if (first_switches) {
      share.p_switched = static_cast<double>(switched) / static_cast<double>(n);
      share.p_switched_interval = wilson_interval(switched, n);
    }
    share.p_extinct = static_cast<double>(extinct) / static_cast<double>(n);
    share.p_extinct_interval = wilson_interval(extinct, n);
    shares.push_back(share);
  }
  return shares;
}

std::optional<double> mean_switch_rate(const GridPointRuns& point) {
  double sum = 0.0;
  std::int64_t runs = 0;
  for (const ReplicateFacts& r : point.replicates) {
    if (r.generations_run == 0) continue;
    sum += static_cast<double>(r.switch_generations) / r.generations_run;
    ++runs;
  }
  if (runs == 0) return std::nullopt;
  return sum / static_cast<double>(runs);
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
  s.mean_switch_rate = mean_switch_rate(point);
  s.by_generation = shares_by(point, at_, first_switches_);
  return s;
}

std::vector<GridPointStats> grid_point_stats(const SummaryData& summary, std::size_t drawn) {
  std::vector<GridPointStats> table;
  table.reserve(summary.points.size());
  GridPointStatsBuilder builder(summary);
  for (const GridPointRuns& point : summary.points) {
    table.push_back(builder(point, table.size() < drawn));
  }
  return table;
}

std::string stats_table_header(std::span<const std::int32_t> at) {
  std::string header;
  for (const std::string_view name : kParameterNames) {
    header += name;
    header += ',';
  }
  header +=
      "grid_index,replicates,extinct,p_extinct,p_extinct_lo,p_extinct_hi,switched,p_switched,"
      "p_switched_lo,p_switched_hi,mean_switches,median_switches,km_median_extinction,"
      "km_median_lo,km_median_hi,mean_final_n_pop,mean_final_displacement,mean_switch_rate";
  for (const std::int32_t g : at) {
    const std::string by = "_by_" + std::to_string(g);
    for (const char* share : {"p_switched", "p_extinct"}) {
      header += std::string(",") + share + by + "," + share + by + "_lo," + share + by + "_hi";
    }
  }
  return header + '\n';
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
  const auto add_number = [&row](auto value) {
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    row.append(buffer.data(), result.ptr);
  };
  // Shortest round-trip form, as the summary writes its numbers.
  const auto add_real = [&row](double value) {
    std::array<char, 32> buffer{};
    const auto result = double_to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    row.append(buffer.data(), result.ptr);
  };
  const auto add_optional = [&](const std::optional<double>& value) {
    if (value) add_real(*value);
    row += ',';
  };
  add_number(s.grid_index);
  row += ',';
  add_number(s.replicates);
  row += ',';
  add_number(s.extinct);
  row += ',';
  for (const double value : {s.p_extinct, s.p_extinct_interval.lo, s.p_extinct_interval.hi}) {
    add_real(value);
    row += ',';
  }
  add_number(s.switched);
  row += ',';
  for (const double value : {s.p_switched, s.p_switched_interval.lo, s.p_switched_interval.hi,
                             s.mean_switches, s.median_switches}) {
    add_real(value);
    row += ',';
  }
  add_optional(s.km_median.median);
  add_optional(s.km_median.lo);
  add_optional(s.km_median.hi);
  add_real(s.mean_final_n_pop);
  row += ',';
  add_real(s.mean_final_displacement);
  row += ',';
  if (s.mean_switch_rate) add_real(*s.mean_switch_rate);
  for (const SharesBy& share : s.by_generation) {
    for (const double value : {share.p_switched.value_or(0.0), share.p_switched_interval.lo,
                               share.p_switched_interval.hi}) {
      row += ',';
      if (share.p_switched) add_real(value);
    }
    for (const double value :
         {share.p_extinct, share.p_extinct_interval.lo, share.p_extinct_interval.hi}) {
      row += ',';
      add_real(value);
    }
  }
  row += '\n';
}

}  // namespace hostswitch
