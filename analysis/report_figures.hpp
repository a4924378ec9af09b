#pragma once

// The report's figures: grid points grouped into panels, against --x or overlaid per panel.

#include <map>

#include "analysis/report_charts.hpp"
#include "analysis/trajectory_data.hpp"

namespace hostswitch::report_detail {

struct FigureContext {
  const std::vector<GridPointStats>& stats;
  std::size_t grid_points;
  const ReportAxes& axes;
  const Colouring& colouring;
  std::vector<std::size_t> panels;  // discrete parameters that split panels
  std::vector<std::size_t> swept;
  std::array<std::size_t, 8> counts;
};

struct Estimate {
  double value = 0.0;
  double lo = 0.0;
  double hi = 0.0;
  bool open = false;  // beyond what the data reach, drawn as an open mark
};

struct Measure {
  std::string name;       // column of the table, and the y title
  std::string caption;    // what is drawn, after the name
  std::optional<Axis> y;  // fixed, or from the data
  std::function<Estimate(const GridPointStats&)> estimate;
};

std::string swept_description(const SimulationParameters& p, const std::vector<std::size_t>& swept);
std::vector<std::size_t> discrete(const std::vector<std::size_t>& parameters,
                                  const std::array<std::size_t, 8>& counts);
Figure against_x_figure(const FigureContext& c, const Measure& m);
Measure proportion_measure(bool extinction);
Measure mean_switches_measure();
Measure km_median_measure();
Figure survival_figure(const FigureContext& c);
Figure shares_by_generation_figure(const FigureContext& c);
Figure trajectory_figure(const FigureContext& c,
                         const std::vector<GridPointTrajectory>& trajectories);
Figure switches_figure(const FigureContext& c);

}  // namespace hostswitch::report_detail
