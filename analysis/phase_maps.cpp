#include "analysis/phase_maps.hpp"

#include <algorithm>
#include <map>

#include "analysis/report_figures.hpp"

namespace hostswitch {

using namespace report_detail;

namespace {

// A map is a grid's: more values than this on an axis is a design that samples rather than
// grids its space, and would give cells too thin to read.
constexpr std::size_t kMaxMapValues = 40;
// Values of a parameter that splits the panels into columns or rows; one with more gets
// figures of its own.
constexpr std::size_t kMaxMapPanelSide = 6;
// Figures per outcome, one per combination of the further parameters.
constexpr std::size_t kMaxMapFigures = 6;

std::size_t index_of(const std::vector<double>& values, double v) {
  return static_cast<std::size_t>(std::lower_bound(values.begin(), values.end(), v) -
                                  values.begin());
}

std::string names_of(const std::vector<std::size_t>& parameters) {
  std::string text;
  for (const std::size_t which : parameters) {
    text += (text.empty() ? "" : ", ") + std::string(kParameterNames[which]);
  }
  return text;
}

// The outcomes mapped, as the statistics table names them: p_switched, p_extinct and the
// shares by each generation, not their interval bounds.
std::vector<StatsColumn> map_outcomes(std::span<const std::int32_t> at) {
  std::vector<StatsColumn> outcomes;
  for (StatsColumn& column : stats_columns(at)) {
    const bool share =
        column.generation > 0 && !column.name.ends_with("_lo") && !column.name.ends_with("_hi");
    if (column.name == "p_switched" || column.name == "p_extinct" || share) {
      outcomes.push_back(std::move(column));
    }
  }
  std::stable_partition(outcomes.begin(), outcomes.end(),
                        [](const StatsColumn& c) { return c.name == "p_switched"; });
  return outcomes;
}

std::string field_text(std::optional<double> value) {
  std::string text;
  append_stats_field(text, value, false);
  return text;
}

}  // namespace

bool matches(const SimulationParameters& p, const FixedValues& fixed) {
  return std::all_of(fixed.begin(), fixed.end(),
                     [&p](const auto& f) { return parameter_value(p, f.first) == f.second; });
}

void check_fixed(const SummaryData& summary, const FixedValues& fixed) {
  for (const auto& [which, value] : fixed) {
    const std::vector<double> values = distinct_values(summary.points, which);
    const std::string name(kParameterNames[which]);
    if (values.size() < 2) throw MapRequestError("--fix: " + name + " is not swept");
    if (!std::binary_search(values.begin(), values.end(), value)) {
      std::string known;
      for (const double v : values) known += (known.empty() ? "" : ", ") + value_text(which, v);
      throw MapRequestError("--fix: no grid point has " + name + " = " + tick_text(value) +
                            " (its values: " + known + ")");
    }
  }
}

PhaseMapBuilder::PhaseMapBuilder(const SummaryData& shown, const MapRequest& request)
    : request_(request), outcomes_(map_outcomes(shown.at_generations)) {
  const std::array<std::size_t, 8> counts = distinct_counts(shown.points);
  std::vector<std::size_t> swept;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] > 1) swept.push_back(i);
  }
  if (request.axes) {
    for (const std::size_t which : *request.axes) {
      if (counts[which] > 1) continue;
      const bool fixed = std::any_of(request.fixed.begin(), request.fixed.end(),
                                     [which](const auto& f) { return f.first == which; });
      throw MapRequestError("--map: " + std::string(kParameterNames[which]) +
                            (fixed ? " is held at one value by --fix" : " is not swept"));
    }
  }
  if (swept.size() < 2) {
    if (request.asked) {
      notes_.push_back("No phase map: it needs two swept parameters, and " +
                       (swept.empty()
                            ? std::string("none is")
                            : std::string(kParameterNames[swept.front()]) + " is the only one") +
                       ".");
    }
    return;
  }
  // The most values first; of equals, the first parameter.
  std::stable_sort(swept.begin(), swept.end(),
                   [&counts](std::size_t a, std::size_t b) { return counts[a] > counts[b]; });
  const std::size_t x = request.axes ? (*request.axes)[0] : swept[0];
  const std::size_t y = request.axes ? (*request.axes)[1] : swept[1];
  if (counts[x] > kMaxMapValues || counts[y] > kMaxMapValues) {
    if (request.asked) {
      notes_.push_back("No phase map: " + std::string(kParameterNames[x]) + " and " +
                       std::string(kParameterNames[y]) + " have " + std::to_string(counts[x]) +
                       " and " + std::to_string(counts[y]) + " values, more than a grid's " +
                       std::to_string(kMaxMapValues) + ".");
    }
    return;
  }
  for (auto [axis, which] : {std::pair{&x_, x}, std::pair{&y_, y}}) {
    axis->parameter = which;
    axis->values = distinct_values(shown.points, which);
    axis->log = map_axis_log(axis->values);
    SimulationParameters p;
    for (const double v : axis->values) {
      set_parameter_value(p, which, v);
      axis->texts.push_back(parameter_text(p, which));
    }
  }
  for (const std::size_t which : swept) {
    if (which == x || which == y) continue;
    if (counts[which] <= kMaxMapPanelSide && !column_) {
      column_ = which;
    } else if (counts[which] <= kMaxMapPanelSide && !row_) {
      row_ = which;
    } else {
      further_.push_back(which);
    }
  }
  std::sort(further_.begin(), further_.end());
  if (column_) column_values_ = distinct_values(shown.points, *column_);
  if (row_) row_values_ = distinct_values(shown.points, *row_);
  std::map<std::vector<double>, bool> combinations;
  for (const GridPointRuns& point : shown.points) {
    std::vector<double> key;
    for (const std::size_t which : further_)
      key.push_back(parameter_value(point.parameters, which));
    combinations.emplace(std::move(key), true);
  }
  all_combinations_ = combinations.size();
  for (const auto& [key, unused] : combinations) {
    if (combinations_.size() == kMaxMapFigures) break;
    combinations_.push_back(key);
  }
  drawn_ = true;
}

void PhaseMapBuilder::add(const GridPointStats& stats) {
  if (!drawn_) return;
  const SimulationParameters& p = stats.parameters;
  std::vector<double> key;
  for (const std::size_t which : further_) key.push_back(parameter_value(p, which));
  const auto figure = std::find(combinations_.begin(), combinations_.end(), key);
  if (figure == combinations_.end()) return;
  Entry entry;
  entry.figure = static_cast<std::size_t>(figure - combinations_.begin());
  const std::size_t columns = column_ ? column_values_.size() : 1;
  entry.panel = (row_ ? index_of(row_values_, parameter_value(p, *row_)) * columns : 0) +
                (column_ ? index_of(column_values_, parameter_value(p, *column_)) : 0);
  entry.cell = index_of(y_.values, parameter_value(p, y_.parameter)) * x_.values.size() +
               index_of(x_.values, parameter_value(p, x_.parameter));
  entry.grid_index = stats.grid_index;
  for (const StatsColumn& outcome : outcomes_) entry.values.push_back(outcome.of(stats));
  entries_.push_back(std::move(entry));
}

PhaseMaps PhaseMapBuilder::finish() {
  PhaseMaps result;
  result.notes = std::move(notes_);
  if (!drawn_) return result;
  const std::size_t columns = column_ ? column_values_.size() : 1;
  const std::size_t rows = row_ ? row_values_.size() : 1;
  const std::size_t cells = x_.values.size() * y_.values.size();
  // A design whose points do not fill the grid of x and y (one that samples its space) gets
  // no map; nor do two grid points in one cell.
  std::vector<std::vector<std::optional<std::size_t>>> at(
      combinations_.size(), std::vector<std::optional<std::size_t>>(columns * rows * cells));
  std::size_t filled = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    std::optional<std::size_t>& slot = at[e.figure][e.panel * cells + e.cell];
    if (slot) {
      filled = 0;
      break;
    }
    slot = i;
    ++filled;
  }
  const std::string x_name(kParameterNames[x_.parameter]);
  const std::string y_name(kParameterNames[y_.parameter]);
  if (2 * filled < combinations_.size() * columns * rows * cells) {
    if (request_.asked) {
      result.notes.push_back("No phase map: the grid points do not fill a grid in " + x_name +
                             " and " + y_name + ".");
    }
    return result;
  }
  std::string panels;
  if (column_) {
    panels = "; one panel per value of " + std::string(kParameterNames[*column_]) +
             (row_ ? " (columns) and of " + std::string(kParameterNames[*row_]) + " (rows)" : "");
  }
  std::string scales;
  if (x_.log || y_.log) {
    scales = "; " +
             (x_.log && y_.log ? x_name + " and " + y_name
              : x_.log         ? x_name
                               : y_name) +
             " on a logarithmic scale";
  }
  for (std::size_t o = 0; o < outcomes_.size(); ++o) {
    const StatsColumn& outcome = outcomes_[o];
    if (std::none_of(entries_.begin(), entries_.end(),
                     [o](const Entry& e) { return e.values[o].has_value(); })) {
      continue;  // a summary without first switches has no p_switched_by_G
    }
    for (std::size_t f = 0; f < combinations_.size(); ++f) {
      FixedValues fixed = request_.fixed;
      for (std::size_t k = 0; k < further_.size(); ++k) {
        fixed.emplace_back(further_[k], combinations_[f][k]);
      }
      std::sort(fixed.begin(), fixed.end());
      std::string suffix;
      std::string held;
      for (const auto& [which, value] : fixed) {
        SimulationParameters p;
        set_parameter_value(p, which, value);
        suffix.append("-").append(kParameterNames[which]).append("=");
        suffix += parameter_text(p, which);
        held += (held.empty() ? "" : ", ") + std::string(kParameterNames[which]) + " = " +
                value_text(which, value);
      }
      PhaseMap map;
      map.outcome = outcome.name;
      map.name = outcome.name + "-map-" + x_name + "-" + y_name + suffix;
      map.id = "map-" + outcome.name + suffix;
      map.caption = outcome.name + " over " + x_name + " and " + y_name +
                    ", its value (rounded to 2 decimals) in each cell and in colour from 0 to 1" +
                    panels + scales + (held.empty() ? "" : "; " + held) +
                    ". A grey cell has no value; a blank one, no grid point.";
      map.x = x_;
      map.y = y_;
      map.columns = columns;
      for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < columns; ++c) {
          MapPanel panel;
          std::string title;
          if (column_) {
            title = std::string(kParameterNames[*column_]) + " = " +
                    value_text(*column_, column_values_[c]);
          }
          if (row_) {
            title.append(", ").append(kParameterNames[*row_]).append(" = ");
            title += value_text(*row_, row_values_[r]);
          }
          panel.title = title.empty() ? outcome.name : title;
          panel.cells.resize(cells);
          const std::size_t index = r * columns + c;
          for (std::size_t cell = 0; cell < cells; ++cell) {
            const auto& slot = at[f][index * cells + cell];
            if (!slot) continue;
            const std::optional<double> value = entries_[*slot].values[o];
            panel.cells[cell] = MapCell{value, field_text(value), entries_[*slot].grid_index};
          }
          map.panels.push_back(std::move(panel));
        }
      }
      result.maps.push_back(std::move(map));
    }
  }
  if (all_combinations_ > combinations_.size()) {
    result.notes.push_back("Phase maps of the first " + std::to_string(combinations_.size()) +
                           " of " + std::to_string(all_combinations_) + " combinations of " +
                           names_of(further_) +
                           "; report --fix NAME=VALUE draws those of other values.");
  }
  return result;
}

}  // namespace hostswitch
