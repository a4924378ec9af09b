#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "reporting/figure_scale.hpp"
#include "reporting/figure_words.hpp"
#include "reporting/plot_drawing.hpp"

namespace hostswitch::plot_detail {

namespace {

// The plot area: a white ground under the cells, an outline over everything drawn on them.
enum class PlotArea { kGround, kOutline };

void draw_plot_area(SvgWriter& svg, PlotArea part) {
  svg.open("rect");
  if (part == PlotArea::kGround) svg.attr("id", "plot-area");
  svg.attr("x", kPlotLeft)
      .attr("y", kPlotTop)
      .attr("width", kPlotRight - kPlotLeft)
      .attr("height", kPlotBottom - kPlotTop);
  if (part == PlotArea::kGround) {
    svg.attr("fill", "#ffffff");
  } else {
    svg.attr("fill", "none").attr("stroke", "#444444");
  }
  svg.close();
}

// Cells, grouped by colour so each rect carries only its geometry.
void draw_cells(SvgWriter& svg, const std::vector<CellBox>& boxes) {
  std::vector<std::vector<const CellBox*>> by_level(kColourLevels);
  for (const CellBox& box : boxes) by_level[static_cast<std::size_t>(box.level)].push_back(&box);
  svg.open("g").attr("id", "cells").attr("shape-rendering", "crispEdges");
  for (int level = 0; level < kColourLevels; ++level) {
    if (by_level[static_cast<std::size_t>(level)].empty()) continue;
    svg.open("g").attr("fill", level_colour(level));
    for (const CellBox* box : by_level[static_cast<std::size_t>(level)]) {
      svg.rect(box->left, box->top, box->width, box->height);
    }
    svg.close();
  }
  svg.close();
}

double column_px(const Grid& grid) { return grid.column_left(1) - grid.column_left(0); }

// A dash per generation at the new host offered.
std::string offer_dashes(const Grid& grid, const std::vector<ColumnHosts>& columns) {
  std::string offers;
  for (std::int64_t c = 0; c < grid.columns; ++c) {
    const ColumnHosts& h = columns[static_cast<std::size_t>(c)];
    if (std::isnan(h.rl_min)) continue;
    const double centre = (grid.column_left(c) + grid.column_left(c + 1)) / 2;
    const double half = std::clamp(0.3 * column_px(grid), 0.75, 4.0);
    append_move(offers, centre - half, grid.px_y(h.rl_min));
    offers += 'h';
    append_svg_number(offers, 2 * half);
  }
  return offers;
}

// Step lines along the lowest and along the highest new host offered in each column.
std::string offer_edges(const Grid& grid, const std::vector<ColumnHosts>& columns) {
  std::string offers;
  for (const bool lowest : {true, false}) {
    StepPath edge;
    bool drawing = false;
    for (std::int64_t c = 0; c < grid.columns; ++c) {
      const ColumnHosts& h = columns[static_cast<std::size_t>(c)];
      if (std::isnan(h.rl_min)) {
        drawing = false;
        continue;
      }
      const double y = grid.px_y(lowest ? h.rl_min : h.rl_max);
      if (!drawing) {
        edge.move(grid.column_left(c), y);
        drawing = true;
      }
      edge.vertical(y);
      edge.horizontal(grid.column_left(c + 1));
    }
    offers += edge.data();
  }
  return offers;
}

// New hosts offered: a dash per generation. A column of many generations gets a thin
// line at its lowest and at its highest offer instead: the span of all its offers would
// cover the cells, as the offers reach max_dist either side of the host every few
// generations.
void draw_new_hosts(SvgWriter& svg, const Grid& grid, const std::vector<ColumnHosts>& columns) {
  const bool dashes = grid.per_column == 1;
  svg.open("path")
      .attr("id", "new-host")
      .raw_attr("d", dashes ? offer_dashes(grid, columns) : offer_edges(grid, columns))
      .attr("fill", "none")
      .attr("stroke", kOfferColour)
      .attr("stroke-width", dashes ? 1.5 : 0.75)
      .attr("stroke-opacity", dashes ? 1.0 : 0.8)
      .close();
}

// Host in use: a step line; a column that spans several hosts shows their range.
void draw_host_in_use(SvgWriter& svg, const Grid& grid, const std::vector<ColumnHosts>& columns) {
  StepPath host;
  bool drawing = false;
  for (std::int64_t c = 0; c < grid.columns; ++c) {
    const ColumnHosts& h = columns[static_cast<std::size_t>(c)];
    if (std::isnan(h.r_first)) {
      drawing = false;
      continue;
    }
    if (!drawing) {
      host.move(grid.column_left(c), grid.px_y(h.r_first));
      drawing = true;
    }
    host.vertical(grid.px_y(h.r_first));
    host.vertical(grid.px_y(h.r_min));
    host.vertical(grid.px_y(h.r_max));
    host.vertical(grid.px_y(h.r_last));
    host.horizontal(grid.column_left(c + 1));
  }
  const std::string host_path = host.data();
  svg.open("g").attr("id", "host-in-use").attr("fill", "none").attr("stroke-linejoin", "round");
  host_line(svg, host_path, 2.0);
  svg.close();
}

// A mark in the strip above the plot for each column with a host switch.
void draw_switches(SvgWriter& svg, const Grid& grid, const std::vector<ColumnHosts>& columns) {
  std::string switch_marks;
  for (std::int64_t c = 0; c < grid.columns; ++c) {
    if (!columns[static_cast<std::size_t>(c)].switched) continue;
    append_move(switch_marks, (grid.column_left(c) + grid.column_left(c + 1)) / 2, kStripTop);
    switch_marks += 'V';
    append_svg_number(switch_marks, kStripBottom);
  }
  svg.open("path")
      .attr("id", "host-switches")
      .raw_attr("d", switch_marks)
      .attr("stroke", kHostColour)
      .attr("stroke-width", std::clamp(0.6 * column_px(grid), 1.0, 3.0))
      .attr("fill", "none")
      .close();
  svg.open("text")
      .attr("x", kPlotLeft - 8)
      .attr("y", kStripBottom - 1)
      .attr("font-size", kTextSize)
      .attr("font-family", "sans-serif")
      .attr("text-anchor", "end")
      .attr("fill", "#222222")
      .text("switch")
      .close();
}

void draw_axes(SvgWriter& svg, const Grid& grid) {
  SvgWriter& g = svg.open("g").attr("stroke", "#444444").attr("stroke-width", 1.0);
  std::string marks;
  const std::vector<double> x_ticks = generation_ticks(grid);
  for (double t : x_ticks) {
    append_move(marks, grid.px_x(t), kPlotBottom);
    marks += "v5";
  }
  const double y_step = nice_step(grid.y_high() - grid.y_low, 8);
  const std::vector<double> y_ticks = linear_ticks(grid.y_low, grid.y_high(), y_step);
  for (double t : y_ticks) {
    append_move(marks, kPlotLeft, grid.px_y(t));
    marks += "h-5";
  }
  g.open("path").raw_attr("d", marks).attr("fill", "none").close();
  svg.close();

  svg.open("g").attr("font-family", "sans-serif").attr("fill", "#222222");
  // The generations are labelled once, under the population panel that shares them.
  for (double t : x_ticks) {
    text(svg, grid.px_x(t), kPopulationBottom + 21, svg_number(t, 0), "middle");
  }
  const int decimals = step_decimals(y_step);
  for (double t : y_ticks) {
    text(svg, kPlotLeft - 8, grid.px_y(t) + 5, svg_number(t, decimals), "end");
  }
  text(svg, (kPlotLeft + kPlotRight) / 2, kPopulationBottom + 48, figure_label("n_g"), "middle",
       kAxisTitleSize);
  const double mid_y = (kPlotTop + kPlotBottom) / 2;
  svg.open("text")
      .attr("x", 0.0)
      .attr("y", 0.0)
      .attr("font-size", kAxisTitleSize)
      .attr("text-anchor", "middle")
      .attr("transform", "translate(24 " + svg_number(mid_y) + ") rotate(-90)")
      .text(figure_label("p_phe"))
      .close();
  svg.close();
}

}  // namespace

void draw_heatmap(SvgWriter& svg, const Grid& grid, const std::vector<CellBox>& boxes,
                  const ResultsData& data) {
  draw_plot_area(svg, PlotArea::kGround);
  draw_cells(svg, boxes);
  const std::vector<ColumnHosts> columns = column_hosts(grid, data);
  draw_new_hosts(svg, grid, columns);
  draw_host_in_use(svg, grid, columns);
  draw_switches(svg, grid, columns);
  draw_plot_area(svg, PlotArea::kOutline);
  draw_axes(svg, grid);
}

}  // namespace hostswitch::plot_detail
