#pragma once

// Which phase maps the report draws: the per-point outcomes over two swept parameters, in
// panels over up to two more, one figure per combination of the rest.

#include <array>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "analysis/grid_point_stats.hpp"
#include "analysis/phase_map_figure.hpp"
#include "analysis/summary_data.hpp"

namespace hostswitch {

// Parameters held at one value: the grid points the figures show (report --fix).
using FixedValues = std::vector<std::pair<std::size_t, double>>;

struct MapRequest {
  bool asked = false;                              // --map given
  std::optional<std::array<std::size_t, 2>> axes;  // --map X,Y
  FixedValues fixed;                               // --fix, to name the files
};

// A --map or --fix that does not fit the summary, naming the parameter.
class MapRequestError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

bool matches(const SimulationParameters& p, const FixedValues& fixed);
// Throws MapRequestError for a --fix of a parameter the summary does not sweep, or of a value
// none of its grid points has.
void check_fixed(const SummaryData& summary, const FixedValues& fixed);

struct PhaseMaps {
  std::vector<report_detail::PhaseMap> maps;
  std::vector<std::string> notes;
};

// Fed the statistics of every grid point shown, one after another.
class PhaseMapBuilder {
 public:
  // `shown`: the grid points the page is about (those --fix keeps). Throws MapRequestError
  // for a --map parameter that is not swept there.
  PhaseMapBuilder(const SummaryData& shown, const MapRequest& request);
  void add(const GridPointStats& stats);
  PhaseMaps finish();
  // Whether any map is to be drawn, so the grid points are wanted.
  bool drawing() const { return drawn_; }

 private:
  struct Entry {
    std::size_t figure = 0;
    std::size_t panel = 0;
    std::size_t cell = 0;
    std::int32_t grid_index = 0;
    std::vector<std::optional<double>> values;  // one per outcome
  };
  MapRequest request_;
  bool drawn_ = false;
  std::vector<std::string> notes_;
  std::vector<StatsColumn> outcomes_;
  report_detail::MapAxis x_;
  report_detail::MapAxis y_;
  std::optional<std::size_t> column_;
  std::optional<std::size_t> row_;
  std::vector<double> column_values_;
  std::vector<double> row_values_;
  std::vector<std::size_t> further_;
  std::vector<std::vector<double>> combinations_;  // of further_, those drawn
  std::size_t all_combinations_ = 0;
  std::vector<Entry> entries_;
};

}  // namespace hostswitch
