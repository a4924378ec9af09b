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

namespace {

using Stats = GridPointStats;
using Value = std::optional<double>;

struct FixedColumn {
  std::string_view name;
  Value (*value)(const Stats&, std::int32_t);
  bool count = false;  // written as a whole number
};

constexpr std::array<FixedColumn, 18> kFixedColumns = {{
    {"grid_index", [](const Stats& s, std::int32_t) -> Value { return s.grid_index; }, true},
    {"replicates",
     [](const Stats& s, std::int32_t) -> Value { return static_cast<double>(s.replicates); }, true},
    {"extinct",
     [](const Stats& s, std::int32_t) -> Value { return static_cast<double>(s.extinct); }, true},
    {"p_extinct", [](const Stats& s, std::int32_t) -> Value { return s.p_extinct; }},
    {"p_extinct_lo", [](const Stats& s, std::int32_t) -> Value { return s.p_extinct_interval.lo; }},
    {"p_extinct_hi", [](const Stats& s, std::int32_t) -> Value { return s.p_extinct_interval.hi; }},
    {"switched",
     [](const Stats& s, std::int32_t) -> Value { return static_cast<double>(s.switched); }, true},
    {"p_switched", [](const Stats& s, std::int32_t) -> Value { return s.p_switched; }},
    {"p_switched_lo",
     [](const Stats& s, std::int32_t) -> Value { return s.p_switched_interval.lo; }},
    {"p_switched_hi",
     [](const Stats& s, std::int32_t) -> Value { return s.p_switched_interval.hi; }},
    {"mean_switches", [](const Stats& s, std::int32_t) -> Value { return s.mean_switches; }},
    {"median_switches", [](const Stats& s, std::int32_t) -> Value { return s.median_switches; }},
    {"km_median_extinction", [](const Stats& s, std::int32_t) { return s.km_median.median; }},
    {"km_median_lo", [](const Stats& s, std::int32_t) { return s.km_median.lo; }},
    {"km_median_hi", [](const Stats& s, std::int32_t) { return s.km_median.hi; }},
    {"mean_final_n_pop", [](const Stats& s, std::int32_t) -> Value { return s.mean_final_n_pop; }},
    {"mean_final_displacement",
     [](const Stats& s, std::int32_t) -> Value { return s.mean_final_displacement; }},
    {"mean_switch_rate", [](const Stats& s, std::int32_t) { return s.mean_switch_rate; }},
}};

const SharesBy* shares_at(const Stats& s, std::int32_t generation) {
  const auto found = std::find_if(s.by_generation.begin(), s.by_generation.end(),
                                  [&](const SharesBy& shares) { return shares.at == generation; });
  return found == s.by_generation.end() ? nullptr : &*found;
}

// The six columns of each generation of the shares by generation, in the table's order; a
// summary without first switches leaves p_switched_by_G and its interval empty.
struct ByColumn {
  std::string_view suffix_before;  // "p_switched" ...
  std::string_view suffix_after;   // "", "_lo", "_hi"
  Value (*value)(const Stats&, std::int32_t);
};
constexpr std::array<ByColumn, 6> kByColumns = {{
    {"p_switched", "",
     [](const Stats& s, std::int32_t g) -> Value {
       const SharesBy* b = shares_at(s, g);
       return b ? b->p_switched : std::nullopt;
     }},
    {"p_switched", "_lo",
     [](const Stats& s, std::int32_t g) -> Value {
       const SharesBy* b = shares_at(s, g);
       return b && b->p_switched ? Value(b->p_switched_interval.lo) : std::nullopt;
     }},
    {"p_switched", "_hi",
     [](const Stats& s, std::int32_t g) -> Value {
       const SharesBy* b = shares_at(s, g);
       return b && b->p_switched ? Value(b->p_switched_interval.hi) : std::nullopt;
     }},
    {"p_extinct", "",
     [](const Stats& s, std::int32_t g) -> Value {
       const SharesBy* b = shares_at(s, g);
       return b ? Value(b->p_extinct) : std::nullopt;
     }},
    {"p_extinct", "_lo",
     [](const Stats& s, std::int32_t g) -> Value {
       const SharesBy* b = shares_at(s, g);
       return b ? Value(b->p_extinct_interval.lo) : std::nullopt;
     }},
    {"p_extinct", "_hi",
     [](const Stats& s, std::int32_t g) -> Value {
       const SharesBy* b = shares_at(s, g);
       return b ? Value(b->p_extinct_interval.hi) : std::nullopt;
     }},
}};

StatsColumn by_column(const ByColumn& by, std::int32_t generation) {
  std::string name(by.suffix_before);
  name.append("_by_").append(std::to_string(generation)).append(by.suffix_after);
  return StatsColumn{std::move(name), by.value, generation, false};
}

}  // namespace

std::vector<StatsColumn> stats_columns(std::span<const std::int32_t> at) {
  std::vector<StatsColumn> columns;
  for (const FixedColumn& column : kFixedColumns) {
    columns.push_back(StatsColumn{std::string(column.name), column.value, 0, column.count});
  }
  for (const std::int32_t g : at) {
    for (const ByColumn& by : kByColumns) columns.push_back(by_column(by, g));
  }
  return columns;
}

std::optional<StatsColumn> stats_column(std::string_view name) {
  for (const FixedColumn& column : kFixedColumns) {
    if (column.name == name) return StatsColumn{std::string(name), column.value, 0, column.count};
  }
  // p_switched_by_G, p_extinct_by_G and their bounds, G a whole generation from 1.
  for (const ByColumn& by : kByColumns) {
    const std::string prefix = std::string(by.suffix_before) + "_by_";
    if (!name.starts_with(prefix) || !name.ends_with(by.suffix_after)) continue;
    const std::string_view digits =
        name.substr(prefix.size(), name.size() - prefix.size() - by.suffix_after.size());
    if (digits.empty() || digits.front() == '0' ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    std::int32_t generation = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), generation);
    if (error == std::errc() && end == digits.data() + digits.size()) {
      return by_column(by, generation);
    }
  }
  return std::nullopt;
}

std::string stats_table_header(std::span<const std::int32_t> at) {
  std::string header;
  for (const std::string_view name : kParameterNames) {
    header += name;
    header += ',';
  }
  for (const StatsColumn& column : stats_columns(at)) {
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

void append_stats_field(std::string& out, std::optional<double> value, bool count) {
  if (!value) return;
  // Counts whole; the rest in shortest round-trip form, as the summary writes its numbers.
  std::array<char, 32> buffer{};
  const auto result = count ? std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                            static_cast<std::int64_t>(*value))
                            : double_to_chars(buffer.data(), buffer.data() + buffer.size(), *value);
  out.append(buffer.data(), result.ptr);
}

void append_stats_table_row(std::string& row, const GridPointStats& s) {
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    row += parameter_text(s.parameters, i);
    row += ',';
  }
  const auto append = [&row](const Value value, bool count) {
    append_stats_field(row, value, count);
    row += ',';
  };
  for (const FixedColumn& column : kFixedColumns) append(column.value(s, 0), column.count);
  for (const SharesBy& shares : s.by_generation) {
    for (const ByColumn& by : kByColumns) append(by.value(s, shares.at), false);
  }
  row.back() = '\n';
}

}  // namespace hostswitch
