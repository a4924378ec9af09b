#include "analysis/phase_map_figure.hpp"

#include <algorithm>
#include <cmath>

#include "analysis/report_charts.hpp"
#include "reporting/figure_words.hpp"

namespace hostswitch::report_detail {

namespace {

constexpr double kBarHeight = 54;    // the colour bar, its title above it, above the panels
constexpr double kCharWidth = 0.56;  // rough width of a sans-serif digit, per unit of size
constexpr double kCellFont = 10;     // values in cells too narrow for the tick font

// The edges of the cells along an axis, in axis units (log10 of the values on a log axis):
// half way between neighbouring values, the outer cells as wide as their neighbours.
std::vector<double> cell_edges(const MapAxis& axis) {
  std::vector<double> at;
  double positive = 0.0;
  for (const double v : axis.values) {
    if (v > 0 && (positive == 0.0 || v < positive)) positive = v;
  }
  for (const double v : axis.values) {
    if (!axis.log) {
      at.push_back(v);
    } else if (v > 0) {
      at.push_back(std::log10(v));
    } else {
      at.push_back(NAN);  // a zero: one step before the smallest positive value
    }
  }
  for (std::size_t i = 0; i < at.size(); ++i) {
    if (!std::isnan(at[i])) continue;
    double step = 1.0;
    const double first = std::log10(positive);
    for (const double u : at) {
      if (!std::isnan(u) && u > first) {
        step = u - first;
        break;
      }
    }
    at[i] = first - step;
  }
  std::vector<double> edges;
  if (at.size() == 1) return {at[0] - 0.5, at[0] + 0.5};
  edges.push_back(at[0] - (at[1] - at[0]) / 2);
  for (std::size_t i = 1; i < at.size(); ++i) edges.push_back((at[i - 1] + at[i]) / 2);
  edges.push_back(at.back() + (at.back() - at[at.size() - 2]) / 2);
  return edges;
}

// Pixel edges between p0 (the first edge) and p1 (the last).
std::vector<double> pixel_edges(const MapAxis& axis, double p0, double p1) {
  std::vector<double> edges = cell_edges(axis);
  const double lo = edges.front();
  const double hi = edges.back();
  for (double& e : edges) e = p0 + (e - lo) / (hi - lo) * (p1 - p0);
  return edges;
}

// White text on the dark end of viridis, black on the light end.
const char* ink_on(double value) { return value < 0.55 ? "#ffffff" : "#111111"; }

// Every how many'th value gets a tick label, so that labels `size` apart do not overlap.
std::size_t label_step(const std::vector<double>& edges, double size) {
  double narrowest = INFINITY;
  for (std::size_t i = 1; i < edges.size(); ++i) {
    narrowest = std::min(narrowest, std::abs(edges[i] - edges[i - 1]));
  }
  return std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(size / narrowest)));
}

// The size of the values in the cells, one for the whole map: the tick font where every
// value fits its cell, else a little smaller, else none (0).
double cell_font(const PhaseMap& map) {
  const std::vector<double> xs = pixel_edges(map.x, kLeft, kPanelWidth - kRight);
  const std::vector<double> ys = pixel_edges(map.y, kPanelHeight - kBottom, kTop);
  double size = kTickFont;
  const std::size_t nx = map.x.values.size();
  for (const MapPanel& panel : map.panels) {
    for (std::size_t k = 0; k < panel.cells.size(); ++k) {
      const std::optional<MapCell>& cell = panel.cells[k];
      if (!cell || !cell->value) continue;
      const double w = xs[k % nx + 1] - xs[k % nx];
      const double h = ys[k / nx] - ys[k / nx + 1];
      const auto chars = static_cast<double>(svg_number(*cell->value, 2).size());
      while (size > 0.0 && (w < chars * kCharWidth * size + 2 || h < size + 2)) {
        size = size > kCellFont ? kCellFont : 0.0;
      }
    }
  }
  return size;
}

void draw_colour_bar(SvgWriter& svg, const std::string& title, double width) {
  svg.open("g").attr("class", "colour-bar");
  // The title on a line of its own, so that no length of words crowds the bar or its values.
  text(svg, 6, 14, title, "start",
       std::min<double>(kTickFont,
                        (width - 12) / (kCharWidth * static_cast<double>(title.size()) + 1)));
  const double left = 14;
  const double bar = std::min(260.0, width - left - 16);
  constexpr int kSteps = 50;
  for (int i = 0; i < kSteps; ++i) {
    svg.open("rect")
        .attr("x", left + bar * i / kSteps)
        .attr("y", 20)
        .attr("width", bar / kSteps + 0.3)
        .attr("height", 12)
        .attr("fill", viridis_hex((i + 0.5) / kSteps))
        .close();
  }
  svg.open("rect")
      .attr("x", left)
      .attr("y", 20)
      .attr("width", bar)
      .attr("height", 12)
      .attr("fill", "none")
      .attr("stroke", "#444444")
      .close();
  for (int i = 0; i <= 4; ++i) {
    const double at = left + bar * i / 4;
    svg.open("line").attr("x1", at).attr("y1", 32).attr("x2", at).attr("y2", 36);
    svg.attr("stroke", "#444444").close();
    text(svg, at, 48, tick_text(i / 4.0), "middle", kTickFont);
  }
  svg.close();
}

void draw_panel(SvgWriter& svg, const PhaseMap& map, const MapPanel& panel, double left, double top,
                double size) {
  svg.open("g")
      .attr("class", "panel map")
      .attr("transform", "translate(" + svg_number(left) + " " + svg_number(top) + ")");
  svg.open("rect")
      .attr("width", kPanelWidth)
      .attr("height", kPanelHeight)
      .attr("fill", "#ffffff")
      .close();
  text(svg, 6, 17, panel.title, "start", kAxisFont, true);
  const double bottom = kPanelHeight - kBottom;
  const std::vector<double> xs = pixel_edges(map.x, kLeft, kPanelWidth - kRight);
  const std::vector<double> ys = pixel_edges(map.y, bottom, kTop);
  const std::size_t nx = map.x.values.size();
  const std::size_t ny = map.y.values.size();
  svg.open("g").attr("class", "cells");
  for (std::size_t j = 0; j < ny; ++j) {
    for (std::size_t i = 0; i < nx; ++i) {
      const std::optional<MapCell>& cell = panel.cells[j * nx + i];
      if (!cell) continue;
      const double w = xs[i + 1] - xs[i];
      const double h = ys[j] - ys[j + 1];
      svg.open("rect")
          .attr("class", "cell")
          .attr("x", xs[i])
          .attr("y", ys[j + 1])
          .attr("width", w)
          .attr("height", h)
          .attr("fill", cell->value ? viridis_hex(*cell->value) : "#d9d9d9")
          .attr("stroke", "#ffffff")
          .attr("stroke-width", 0.6)
          .attr("data-x", map.x.texts[i])
          .attr("data-y", map.y.texts[j])
          .attr("data-value", cell->text)
          .attr("data-grid-index", std::int64_t{cell->grid_index})
          .close();
      if (!cell->value || size == 0.0) continue;
      svg.open("text")
          .attr("x", xs[i] + w / 2)
          .attr("y", ys[j + 1] + h / 2 + 0.35 * size)
          .attr("font-size", size)
          .attr("text-anchor", "middle")
          .attr("fill", ink_on(*cell->value))
          .text(svg_number(*cell->value, 2))
          .close();
    }
  }
  svg.close();
  svg.open("rect")
      .attr("x", kLeft)
      .attr("y", kTop)
      .attr("width", kPanelWidth - kLeft - kRight)
      .attr("height", bottom - kTop)
      .attr("fill", "none")
      .attr("stroke", "#444444")
      .close();
  auto tick = [&svg](double x1, double y1, double x2, double y2) {
    svg.open("line").attr("x1", x1).attr("y1", y1).attr("x2", x2).attr("y2", y2);
    svg.attr("stroke", "#444444").close();
  };
  std::size_t widest = 1;
  for (const double v : map.x.values) {
    widest = std::max(widest, value_text(map.x.parameter, v).size());
  }
  const std::size_t x_step =
      label_step(xs, kCharWidth * kTickFont * static_cast<double>(widest) + 6);
  for (std::size_t i = 0; i < nx; i += x_step) {
    const double at = (xs[i] + xs[i + 1]) / 2;
    tick(at, bottom, at, bottom + 4);
    text(svg, at, bottom + 17, value_text(map.x.parameter, map.x.values[i]), "middle", kTickFont);
  }
  const std::size_t y_step = label_step(ys, kTickFont + 2);
  for (std::size_t j = 0; j < ny; j += y_step) {
    const double at = (ys[j] + ys[j + 1]) / 2;
    tick(kLeft - 4, at, kLeft, at);
    text(svg, kLeft - 6, at + 4.5, value_text(map.y.parameter, map.y.values[j]), "end", kTickFont);
  }
  text(svg, (kLeft + kPanelWidth - kRight) / 2, kPanelHeight - 8,
       figure_label(kParameterNames[map.x.parameter]), "middle", kAxisFont);
  // Long words take two lines (the words, then the column), and shrink only if a line still
  // runs past the panel's height.
  const std::string y_label = figure_label(kParameterNames[map.y.parameter]);
  std::vector<std::string> lines{y_label};
  const double room = bottom - kTop;
  if (kCharWidth * kAxisFont * static_cast<double>(y_label.size()) > room) {
    const std::size_t split = y_label.rfind(" (");
    if (split != std::string::npos) lines = {y_label.substr(0, split), y_label.substr(split + 1)};
  }
  std::size_t longest = 0;
  for (const std::string& line : lines) longest = std::max(longest, line.size());
  const double y_font =
      std::min<double>(kAxisFont, room / (kCharWidth * static_cast<double>(longest) + 1));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const double x = lines.size() == 1 ? 16 : 12 + 15 * static_cast<double>(i);
    svg.open("text")
        .attr("font-size", y_font)
        .attr("text-anchor", "middle")
        .attr("transform", "translate(" + svg_number(x) + " " + svg_number((kTop + bottom) / 2) +
                               ") rotate(-90)")
        .text(lines[i])
        .close();
  }
  svg.close();
}

}  // namespace

bool map_axis_log(const std::vector<double>& values) {
  double lo = 0.0;
  double hi = 0.0;
  for (const double v : values) {
    if (v < 0) return false;
    if (v > 0) {
      lo = lo > 0 ? std::min(lo, v) : v;
      hi = std::max(hi, v);
    }
  }
  return lo > 0 && hi / lo >= 100.0;
}

std::string phase_map_svg(const PhaseMap& map, bool for_file) {
  const std::size_t columns = std::max<std::size_t>(1, std::min(map.columns, map.panels.size()));
  const std::size_t rows = (map.panels.size() + columns - 1) / columns;
  const double width = static_cast<double>(columns) * (kPanelWidth + kGap) - kGap;
  const std::vector<std::string> footnote = footnote_lines(map.footnote, width);
  const double panels_end = kBarHeight + static_cast<double>(rows) * (kPanelHeight + kGap) - kGap;
  SvgWriter svg = figure_svg(width, panels_end + footnote_height(footnote), for_file, map.name);
  draw_colour_bar(svg, figure_label(map.outcome), width);
  const double size = cell_font(map);
  for (std::size_t k = 0; k < map.panels.size(); ++k) {
    draw_panel(svg, map, map.panels[k], static_cast<double>(k % columns) * (kPanelWidth + kGap),
               kBarHeight + static_cast<double>(k / columns) * (kPanelHeight + kGap), size);
  }
  draw_footnote(svg, footnote, panels_end);
  std::string document = svg.finish();
  if (!for_file) document.erase(0, document.find("<svg"));
  return document;
}

}  // namespace hostswitch::report_detail
