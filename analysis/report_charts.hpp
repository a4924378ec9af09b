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
#include <utility>
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
// Past this many points their intervals hide one another: points alone, or binned means.
inline constexpr std::size_t kMaxIntervalPoints = 300;
// A parameter with more values than this is a continuous one (a design that is not a
// grid): it gets no panels of its own and, as the colour, a continuous scale.
inline constexpr std::size_t kMaxDiscreteValues = 12;
inline constexpr double kZ95 = 1.959963984540054;

// One panel in user units: pixels on the page, and one journal column (8.5 cm) in a figure
// file, where the smallest text (12.5) prints at 9.1 pt.
inline constexpr double kPanelWidth = 330;
inline constexpr double kPanelHeight = 240;
inline constexpr double kColumnCm = 8.5;
inline constexpr double kLeft = 76;  // room for a y title of two lines
inline constexpr double kRight = 12;
inline constexpr double kTop = 26;
inline constexpr double kBottom = 46;
inline constexpr double kTickFont = 12.5;
inline constexpr double kAxisFont = 13;
inline constexpr double kGap = 8;               // between panels on the page
inline constexpr std::size_t kPageColumns = 4;  // panels side by side on the page
inline constexpr double kLegendLine = 22;       // height of one line of the legend
inline constexpr double kFootnoteFont = 11;
inline constexpr double kFootnoteLine = 14;
inline constexpr double kZeroInset = 8;  // a zero on a log axis, from the frame
inline constexpr double kLogStart = 26;  // where the decades begin after that zero

// The distinct values of one parameter over the grid points (anything with `parameters`), in
// increasing order. A grid sweeps few values of many points: the set keeps the sort small.
template <class Points>
std::vector<double> distinct_values(const Points& points, std::size_t which) {
  std::unordered_set<double> seen;
  std::vector<double> values;
  for (const auto& point : points) {
    const double value = parameter_value(point.parameters, which);
    if (!values.empty() && values.back() == value) continue;
    if (seen.insert(value).second) values.push_back(value);
  }
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

template <class Points>
std::array<std::size_t, 8> distinct_counts(const Points& stats) {
  std::array<std::size_t, 8> counts{};
  for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = distinct_values(stats, i).size();
  return counts;
}

// A parameter's value for reading: whole for the integer parameters, else 4 digits.
std::string value_text(std::size_t which, double value);

struct Axis;
// The ticks of an axis; along `pixels` (when given), few enough that their labels do not touch.
std::vector<double> axis_ticks(const Axis& a, double pixels = 0.0);
double place(const Axis& a, double v, double p0, double p1);
void text(SvgWriter& svg, double x, double y, std::string_view content, const char* anchor,
          double size, bool bold = false);
// An axis title centred at (x, y) within `room` units, made smaller if it would not fit; a y
// axis's (rotated) goes on two lines first, the words and then the name in parentheses.
void axis_title(SvgWriter& svg, const std::string& title, double x, double y, double room,
                bool rotated);
// Rough width of text in a sans-serif font: some 0.6 of its size a character (DejaVu Sans).
double text_width(std::string_view text, double size);

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
  PanelFrame() = default;
  PanelFrame(std::string title_, std::string x_title_, std::string y_title_, Axis x_, Axis y_)
      : title(std::move(title_)),
        x_title(std::move(x_title_)),
        y_title(std::move(y_title_)),
        x(x_),
        y(y_) {}

  std::string title;
  std::string x_title;
  std::string y_title;
  Axis x;
  Axis y;
  // Named places on the y axis in place of its numbers (a parameter per row).
  std::vector<std::pair<double, std::string>> y_labels;
  double width = kPanelWidth;
  double height = kPanelHeight;
  double left = kLeft;  // where the plotting area begins
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
        .attr("width", frame.width)
        .attr("height", frame.height)
        .attr("fill", "#ffffff")
        .close();
    text(svg_, 6, 17, frame.title, "start", kAxisFont, true);
    const double bottom = frame.height - kBottom;
    const double right = frame.width - kRight;
    for (const double v : axis_ticks(frame.x, right - frame.left)) {
      const double px = x(v);
      if (!frame.y_labels.empty()) line(px, kTop, px, bottom, "#e4e4e4");
      line(px, bottom, px, bottom + 4, "#444444");
      text(svg_, px, bottom + 17, tick_text(v), "middle", kTickFont);
    }
    if (frame.y_labels.empty()) {
      for (const double v : axis_ticks(frame.y)) {
        const double py = y(v);
        line(frame.left, py, right, py, "#e4e4e4");
        line(frame.left - 4, py, frame.left, py, "#444444");
        text(svg_, frame.left - 6, py + 4.5, tick_text(v), "end", kTickFont);
      }
    }
    for (const auto& [v, label] : frame.y_labels) {
      // Words above, the name below them, when both do not fit beside the axis.
      const std::size_t open = label.rfind(" (");
      const double py = y(v);
      if (text_width(label, kTickFont) > frame.left - 10 && open != std::string::npos) {
        text(svg_, frame.left - 6, py - 1.5, label.substr(0, open), "end", kTickFont);
        text(svg_, frame.left - 6, py + 12.5, label.substr(open + 1), "end", kTickFont);
      } else {
        text(svg_, frame.left - 6, py + 4.5, label, "end", kTickFont);
      }
    }
    svg_.open("rect")
        .attr("x", frame.left)
        .attr("y", kTop)
        .attr("width", right - frame.left)
        .attr("height", bottom - kTop)
        .attr("fill", "none")
        .attr("stroke", "#444444")
        .close();
    if (frame.x.log && frame.x.zero) {
      // The break between the zero and the first decade: two short slants across the axis.
      const double at = frame.left + (kZeroInset + kLogStart) / 2;
      for (const double dx : {-2.5, 2.5}) {
        line(at + dx - 2.5, bottom + 4, at + dx + 2.5, bottom - 4, "#444444", 1.2);
      }
    }
    // Centred under the plotting area, or the panel when it would not fit there.
    const double centre = (frame.left + right) / 2;
    const double room = 2 * std::min(centre, frame.width - centre) - 8;
    if (text_width(frame.x_title, kAxisFont) <= room) {
      axis_title(svg_, frame.x_title, centre, frame.height - 8, room, false);
    } else {
      axis_title(svg_, frame.x_title, frame.width / 2, frame.height - 8, frame.width - 8, false);
    }
    if (frame.y_labels.empty()) {
      axis_title(svg_, frame.y_title, 20, (kTop + bottom) / 2, frame.height - 24, true);
    }
  }
  ~Panel() { svg_.close(); }
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  double x(double v) const { return place(frame_.x, v, frame_.left, frame_.width - kRight); }
  double y(double v) const { return place(frame_.y, v, frame_.height - kBottom, kTop); }

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
  // Where the plotting area begins and ends across.
  double x_min() const { return frame_.left; }
  double x_max() const { return frame_.width - kRight; }
  void label(double x, double y, std::string_view content, const char* anchor) {
    text(svg_, x, y, content, anchor, kTickFont);
  }
  // A small filled point, for many of them.
  void dot(double cx, double cy, double r, std::string_view colour, double opacity) {
    svg_.open("circle").attr("cx", cx).attr("cy", cy).attr("r", r).attr("fill", colour);
    if (opacity < 1.0) svg_.attr("fill-opacity", opacity);
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

struct LegendEntry {
  enum class Style {
    line,    // a line through a filled mark
    dashed,  // a dashed line through an open mark
    bar,     // a filled swatch
    dot      // a mark alone
  };
  std::string label;
  std::string colour;
  Style style = Style::line;
};

struct Figure {
  std::string id;    // on the page
  std::string name;  // the file's stem: what it shows
  std::string caption;
  std::vector<std::string> notes;
  std::vector<PanelSpec> panels;
  // The figure's own key, in place of the colouring's.
  std::vector<LegendEntry> key;
  // The line under the panels: what every panel holds fixed (figure_footnote).
  std::string footnote;
};

// The parameters a summary holds fixed, its n_gen and its replicates, as a figure's footnote:
// "Fixed: n_pop = 100, birth_rate = 0.5, ...; n_gen = 50; 20 replicates per point."
std::string figure_footnote(const SummaryData& summary);
// The footnote broken into lines that fit `width` at the footnote's font.
std::vector<std::string> footnote_lines(const std::string& footnote, double width);
// The room the footnote's lines take under the panels, and their drawing there.
double footnote_height(const std::vector<std::string>& lines);
void draw_footnote(SvgWriter& svg, const std::vector<std::string>& lines, double panels_end);
// A figure's SVG: its size (in a file, one 8.5 cm column a panel), font, title and white ground.
SvgWriter figure_svg(double width, double height, bool for_file, const std::string& title);

Axis padded_axis(double lo, double hi);
// The x axis of a parameter's values: logarithmic when asked, or when the positive values
// span two decades or more (a zero then sits at the left edge past a break); else linear.
// `values` distinct and increasing. A design's many values (more than kMaxDiscreteValues) go
// on the scale they were drawn on instead, which the summary does not record:
// sampled_on_log_scale.
Axis parameter_axis(const std::vector<double>& values, bool log_x);
// Whether distinct, increasing, positive values lie more evenly on a log scale than on a
// linear one, as those of a range sampled with :log do (rank against place, at its worst).
bool sampled_on_log_scale(const std::vector<double>& values);
std::string point_xy(double x, double y);
// Appends a path step: M for the first point, L after.
void path_to(std::string& d, double x, double y);
// The figure as one SVG: the legend, then the panels, row by row (on the page at most four
// side by side; in a figure file one above the other, a column wide).
std::string render_figure(const Figure& figure, const Colouring& colouring, bool for_file);

}  // namespace hostswitch::report_detail
