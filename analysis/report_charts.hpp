#pragma once

// The report's drawing: axes, colours, panels and whole figures as SVG.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "analysis/grid_point_stats.hpp"
#include "analysis/report.hpp"
#include "analysis/summary_format.hpp"
#include "base/svg_writer.hpp"
#include "reporting/figure_scale.hpp"

namespace hostswitch::report_detail {

// Okabe and Ito's palette, told apart with every common colour-vision deficiency; the
// yellow comes last, as it is faint on white.
inline constexpr std::array<const char*, 8> kPalette = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                                                        "#E69F00", "#56B4E9", "#000000", "#F0E442"};
inline constexpr const char* kSingleColour = "#0072B2";
inline constexpr std::size_t kMaxPanels = 48;        // grid points in the per-grid-point figures
inline constexpr std::size_t kMaxCombinations = 24;  // panels of one figure
inline constexpr std::size_t kMaxTableRows = 500;
inline constexpr std::size_t kMaxDrawnPoints = 5000;  // grid points in the figures against --x
// A parameter with more values than this is a continuous one (a design that is not a
// grid): it gets no panels of its own and, as the colour, a continuous scale.
inline constexpr std::size_t kMaxDiscreteValues = 12;
inline constexpr double kZ95 = 1.959963984540054;

// One panel in user units: pixels on the page, and one journal column (8.5 cm) in a figure
// file, where the smallest text (12.5) prints at 9.1 pt.
inline constexpr double kPanelWidth = 330;
inline constexpr double kPanelHeight = 240;
inline constexpr double kColumnCm = 8.5;
inline constexpr double kLeft = 64;
inline constexpr double kRight = 12;
inline constexpr double kTop = 26;
inline constexpr double kBottom = 46;
inline constexpr double kTickFont = 12.5;
inline constexpr double kAxisFont = 13;
inline constexpr double kGap = 8;               // between panels on the page
inline constexpr std::size_t kPageColumns = 4;  // panels side by side on the page
inline constexpr double kLegendLine = 22;       // height of one line of the legend
inline constexpr double kZeroInset = 8;         // a zero on a log axis, from the frame
inline constexpr double kLogStart = 26;         // where the decades begin after that zero

// A parameter's value for reading: whole for the integer parameters, else 4 digits.
std::string value_text(std::size_t which, double value);

struct Axis;
std::vector<double> axis_ticks(const Axis& a);
double place(const Axis& a, double v, double p0, double p1);
void text(SvgWriter& svg, double x, double y, std::string_view content, const char* anchor,
          double size, bool bold = false);

struct Axis {
  double lo = 0.0;
  double hi = 1.0;
  bool log = false;
  bool zero = false;     // a log axis whose data hold 0: drawn at the edge, past a break
  bool integer = false;  // whole-number ticks only
};

struct Colouring {
  std::optional<std::size_t> parameter;
  std::vector<double> values;

  bool continuous() const { return values.size() > kPalette.size(); }
  std::size_t index(const SimulationParameters& p) const {
    if (!parameter) return 0;
    const double v = parameter_value(p, *parameter);
    return static_cast<std::size_t>(std::lower_bound(values.begin(), values.end(), v) -
                                    values.begin());
  }
  // Viridis stops short of its yellow, which is faint on white.
  static std::string scale(double t) { return viridis_hex(0.85 * t); }
  std::string colour(const SimulationParameters& p) const {
    if (!parameter) return kSingleColour;
    if (!continuous()) return kPalette[index(p)];
    const double lo = values.front();
    const double hi = values.back();
    return scale(hi > lo ? (parameter_value(p, *parameter) - lo) / (hi - lo) : 0.5);
  }
};

struct PanelFrame {
  std::string title;
  std::string x_title;
  std::string y_title;
  Axis x;
  Axis y;
};

// One panel: background, grid, ticks, frame and titles; data drawn through x() and y().
class Panel {
 public:
  Panel(SvgWriter& svg, double left, double top, const PanelFrame& frame)
      : svg_(svg), frame_(frame) {
    svg_.open("g")
        .attr("class", "panel")
        .attr("transform", "translate(" + svg_number(left) + " " + svg_number(top) + ")");
    svg_.open("rect")
        .attr("width", kPanelWidth)
        .attr("height", kPanelHeight)
        .attr("fill", "#ffffff")
        .close();
    text(svg_, 6, 17, frame.title, "start", kAxisFont, true);
    const double bottom = kPanelHeight - kBottom;
    for (const double v : axis_ticks(frame.x)) {
      const double px = x(v);
      line(px, bottom, px, bottom + 4, "#444444");
      text(svg_, px, bottom + 17, tick_text(v), "middle", kTickFont);
    }
    for (const double v : axis_ticks(frame.y)) {
      const double py = y(v);
      line(kLeft, py, kPanelWidth - kRight, py, "#e4e4e4");
      line(kLeft - 4, py, kLeft, py, "#444444");
      text(svg_, kLeft - 6, py + 4.5, tick_text(v), "end", kTickFont);
    }
    svg_.open("rect")
        .attr("x", kLeft)
        .attr("y", kTop)
        .attr("width", kPanelWidth - kLeft - kRight)
        .attr("height", kPanelHeight - kTop - kBottom)
        .attr("fill", "none")
        .attr("stroke", "#444444")
        .close();
    if (frame.x.log && frame.x.zero) {
      // The break between the zero and the first decade: two short slants across the axis.
      const double at = kLeft + (kZeroInset + kLogStart) / 2;
      for (const double dx : {-2.5, 2.5}) {
        line(at + dx - 2.5, bottom + 4, at + dx + 2.5, bottom - 4, "#444444", 1.2);
      }
    }
    text(svg_, (kLeft + kPanelWidth - kRight) / 2, kPanelHeight - 8, frame.x_title, "middle",
         kAxisFont);
    svg_.open("text")
        .attr("font-size", kAxisFont)
        .attr("text-anchor", "middle")
        .attr("transform",
              "translate(16 " + svg_number((kTop + kPanelHeight - kBottom) / 2) + ") rotate(-90)")
        .text(frame.y_title)
        .close();
  }
  ~Panel() { svg_.close(); }
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  double x(double v) const { return place(frame_.x, v, kLeft, kPanelWidth - kRight); }
  double y(double v) const { return place(frame_.y, v, kPanelHeight - kBottom, kTop); }

  void line(double x1, double y1, double x2, double y2, std::string_view colour, double width = 1.0,
            bool dashed = false) {
    svg_.open("line").attr("x1", x1).attr("y1", y1).attr("x2", x2).attr("y2", y2);
    svg_.attr("stroke", colour).attr("stroke-width", width);
    if (dashed) svg_.attr("stroke-dasharray", "3 2");
    svg_.close();
  }
  void path(const std::string& d, std::string_view fill, std::string_view stroke,
            double width = 1.0, double fill_opacity = 1.0) {
    svg_.open("path").raw_attr("d", d).attr("fill", fill).attr("stroke", stroke);
    if (stroke != "none") svg_.attr("stroke-width", width);
    if (fill_opacity < 1.0) svg_.attr("fill-opacity", fill_opacity);
    svg_.close();
  }
  // A point estimate; an open mark is one that lies beyond what the data reach.
  void mark(double cx, double cy, std::string_view colour, bool open = false) {
    svg_.open("circle").attr("cx", cx).attr("cy", cy).attr("r", 3.4);
    svg_.attr("fill", open ? "#ffffff" : colour).attr("stroke", colour).attr("stroke-width", 1.5);
    svg_.close();
  }
  void bar(double x0, double x1, double y0, double y1, std::string_view colour,
           double fill_opacity) {
    svg_.open("rect")
        .attr("x", std::min(x0, x1))
        .attr("y", std::min(y0, y1))
        .attr("width", std::abs(x1 - x0))
        .attr("height", std::abs(y1 - y0))
        .attr("fill", colour)
        .attr("fill-opacity", fill_opacity)
        .attr("stroke", colour)
        .attr("stroke-width", 1.0)
        .close();
  }

 private:
  SvgWriter& svg_;
  const PanelFrame& frame_;
};

struct PanelSpec {
  PanelFrame frame;
  std::size_t row = 0;  // panels of one row share their x range
  std::function<void(Panel&)> draw;
};

struct Figure {
  std::string id;    // on the page
  std::string name;  // the file's stem: what it shows
  std::string caption;
  std::vector<std::string> notes;
  std::vector<PanelSpec> panels;
};

Axis padded_axis(double lo, double hi);
// The x axis of a parameter's values: logarithmic when asked, or when the positive values
// span two decades or more (a zero then sits at the left edge past a break); else linear.
Axis parameter_axis(const std::vector<double>& values, bool log_x);
std::string point_xy(double x, double y);
// Appends a path step: M for the first point, L after.
void path_to(std::string& d, double x, double y);
// The figure as one SVG: the legend, then the panels, row by row (on the page at most four
// side by side; in a figure file one above the other, a column wide).
std::string render_figure(const Figure& figure, const Colouring& colouring, bool for_file);

}  // namespace hostswitch::report_detail
