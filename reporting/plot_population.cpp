#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "reporting/figure_scale.hpp"
#include "reporting/plot_drawing.hpp"

namespace hostswitch::plot_detail {

namespace {

// The panel's y axis: from 0 a little above the largest population, or on a log scale
// from 1 to at least 10.
struct PopulationScale {
  bool log_scale = false;
  double lo = 0;
  double hi = 1;

  PopulationScale(const std::vector<double>& population, bool log) : log_scale(log) {
    double top = 1.0;
    for (const double v : population) top = std::max(top, v);
    lo = log_scale ? 1.0 : 0.0;
    hi = log_scale ? std::max(10.0, top * 1.2) : top * 1.08;
  }
  double px_y(double v) const {
    const double span = kPopulationBottom - kPopulationTop;
    const double t =
        log_scale ? std::log10(std::max(v, 1.0)) / std::log10(hi) : (v - lo) / (hi - lo);
    return kPopulationBottom - 4 - t * (span - 8);
  }
};

void draw_population_area(SvgWriter& svg) {
  svg.open("rect")
      .attr("id", "population-area")
      .attr("x", kPlotLeft)
      .attr("y", kPopulationTop)
      .attr("width", kPlotRight - kPlotLeft)
      .attr("height", kPopulationBottom - kPopulationTop)
      .attr("fill", "#ffffff")
      .attr("stroke", "#444444")
      .close();
}

// Labels the population ticks; returns the tick marks' path data.
std::string draw_population_ticks(SvgWriter& svg, const PopulationScale& scale) {
  const std::vector<double> ticks =
      scale.log_scale ? log_ticks(scale.lo, scale.hi, 4)
                      : linear_ticks(scale.lo, scale.hi, nice_step(scale.hi - scale.lo, 3));
  std::string marks;
  svg.open("g").attr("font-family", "sans-serif").attr("fill", "#222222");
  for (const double t : ticks) {
    append_move(marks, kPlotLeft, scale.px_y(t));
    marks += "h-5";
    text(svg, kPlotLeft - 8, scale.px_y(t) + 5, tick_text(t), "end");
  }
  svg.close();
  return marks;
}

// The population as a step line, one step per column, and the values it draws.
struct PopulationLine {
  std::string path;
  std::string values;
};

PopulationLine population_line(const Grid& grid, const std::vector<double>& population,
                               const PopulationScale& scale) {
  PopulationLine drawn;
  StepPath line;
  for (std::int64_t c = 0; c < grid.columns; ++c) {
    const double v = population[static_cast<std::size_t>(c)];
    if (c == 0) {
      line.move(grid.column_left(c), scale.px_y(v));
    } else {
      drawn.values += ' ';
    }
    line.vertical(scale.px_y(v));
    line.horizontal(grid.column_left(c + 1));
    append_svg_number(drawn.values, v, 3);
  }
  drawn.path = line.data();
  return drawn;
}

// The axis title, and beside the panel what it shows.
void draw_population_labels(SvgWriter& svg, const Grid& grid, bool log_scale) {
  std::vector<std::string> label = {"population", "(\u03a3 n_p)"};
  if (grid.per_column > 1) label.emplace_back("column mean");
  if (log_scale) label.emplace_back("log scale");
  svg.open("text")
      .attr("font-size", kTextSize)
      .attr("font-family", "sans-serif")
      .attr("text-anchor", "middle")
      .attr("fill", "#222222")
      .attr("transform", "translate(24 " + svg_number((kPopulationTop + kPopulationBottom) / 2) +
                             ") rotate(-90)")
      .text(log_scale ? "n_pop (log)" : "n_pop")
      .close();
  svg.open("g").attr("font-family", "sans-serif").attr("fill", "#222222");
  for (std::size_t i = 0; i < label.size(); ++i) {
    text(svg, kPlotRight + 12, kPopulationTop + 16 + 18 * static_cast<double>(i), label[i],
         "start");
  }
  svg.close();
}

}  // namespace

void draw_population(SvgWriter& svg, const Grid& grid, const ResultsData& data, bool log_scale) {
  const std::vector<double> population = column_population(grid, data);
  const PopulationScale scale(population, log_scale);
  draw_population_area(svg);
  std::string marks = draw_population_ticks(svg, scale);
  const PopulationLine line = population_line(grid, population, scale);
  for (const double t : generation_ticks(grid)) {
    append_move(marks, grid.px_x(t), kPopulationBottom);
    marks += "v5";
  }
  svg.open("path").raw_attr("d", marks).attr("stroke", "#444444").attr("fill", "none").close();
  // The values drawn, one per column, so that a reader (or a test) can take them back.
  svg.open("path")
      .attr("id", "population")
      .raw_attr("d", line.path)
      .attr("data-n-pop", line.values)
      .attr("stroke", "#222222")
      .attr("stroke-width", 1.75)
      .attr("fill", "none")
      .close();
  draw_population_labels(svg, grid, log_scale);
}

}  // namespace hostswitch::plot_detail
