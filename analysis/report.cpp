#include "analysis/report.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <unordered_set>

#include "analysis/csv_input.hpp"
#include "analysis/sensitivity_report.hpp"
#include "analysis/summary_format.hpp"
#include "base/io_failure.hpp"
#include "base/svg_writer.hpp"
#include "reporting/figure_scale.hpp"
#include "reporting/svg_convert.hpp"

namespace hostswitch {

namespace {

// Okabe and Ito's palette, told apart with every common colour-vision deficiency; the
// yellow comes last, as it is faint on white.
constexpr std::array<const char*, 8> kPalette = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                                                 "#E69F00", "#56B4E9", "#000000", "#F0E442"};
constexpr const char* kSingleColour = "#0072B2";
constexpr std::size_t kMaxPanels = 48;        // grid points in the per-grid-point figures
constexpr std::size_t kMaxCombinations = 24;  // panels of one figure
constexpr std::size_t kMaxTableRows = 500;
constexpr std::size_t kMaxDrawnPoints = 5000;  // grid points in the figures against --x
// A parameter with more values than this is a continuous one (a design that is not a
// grid): it gets no panels of its own and, as the colour, a continuous scale.
constexpr std::size_t kMaxDiscreteValues = 12;
constexpr double kZ95 = 1.959963984540054;

// One panel in user units: pixels on the page, and one journal column (8.5 cm) in a figure
// file, where the smallest text (12.5) prints at 9.1 pt.
constexpr double kPanelWidth = 330;
constexpr double kPanelHeight = 240;
constexpr double kColumnCm = 8.5;
constexpr double kLeft = 64;
constexpr double kRight = 12;
constexpr double kTop = 26;
constexpr double kBottom = 46;
constexpr double kTickFont = 12.5;
constexpr double kAxisFont = 13;
constexpr double kGap = 8;               // between panels on the page
constexpr std::size_t kPageColumns = 4;  // panels side by side on the page
constexpr double kLegendLine = 22;       // height of one line of the legend
constexpr double kZeroInset = 8;         // a zero on a log axis, from the frame
constexpr double kLogStart = 26;         // where the decades begin after that zero

std::string value_text(std::size_t which, double value) {
  const bool whole = which == 0 || which == 2 || which == 7;
  return whole ? std::to_string(static_cast<std::int64_t>(value)) : tick_text(value);
}

// ---- axes

struct Axis {
  double lo = 0.0;
  double hi = 1.0;
  bool log = false;
  bool zero = false;     // a log axis whose data hold 0: drawn at the edge, past a break
  bool integer = false;  // whole-number ticks only
};

// Where v lies between the pixel ends p0 (at lo) and p1 (at hi).
double place(const Axis& a, double v, double p0, double p1) {
  if (!a.log) return p0 + (v - a.lo) / (a.hi - a.lo) * (p1 - p0);
  const double direction = p1 > p0 ? 1.0 : -1.0;
  double start = p0;
  if (a.zero) {
    if (!(v > 0)) return p0 + direction * kZeroInset;
    start = p0 + direction * kLogStart;
  }
  const double t = (std::log10(v) - std::log10(a.lo)) / (std::log10(a.hi) - std::log10(a.lo));
  return start + t * (p1 - start);
}

Axis padded_axis(double lo, double hi) {
  if (!(hi > lo)) {
    const double pad = lo == 0.0 ? 1.0 : std::abs(lo) * 0.1;
    return Axis{lo - pad, hi + pad};
  }
  const double pad = (hi - lo) * 0.05;
  return Axis{lo - pad, hi + pad};
}

// The x axis of a parameter's values: logarithmic when asked, or when the positive values
// span two decades or more (a zero then sits at the left edge past a break); else linear.
Axis parameter_axis(const std::vector<double>& values, bool log_x) {
  double lowest = values.front();
  double positive_lo = 0.0;
  double positive_hi = 0.0;
  bool zero = false;
  for (const double v : values) {
    lowest = std::min(lowest, v);
    if (v > 0) {
      positive_lo = positive_lo > 0 ? std::min(positive_lo, v) : v;
      positive_hi = std::max(positive_hi, v);
    } else {
      zero = true;
    }
  }
  const bool can_log = lowest >= 0.0 && positive_hi > 0.0;
  if (can_log && (log_x || positive_hi / positive_lo >= 100.0)) {
    const double decades = std::max(std::log10(positive_hi / positive_lo), 1.0);
    const double pad = std::pow(10.0, 0.05 * decades);
    return Axis{positive_lo / pad, positive_hi * pad, true, zero};
  }
  return padded_axis(values.front(), values.back());
}

std::vector<double> axis_ticks(const Axis& a) {
  std::vector<double> ticks;
  if (a.log) {
    if (a.zero) ticks.push_back(0.0);
    for (const double v : log_ticks(a.lo, a.hi, 6)) ticks.push_back(v);
    return ticks;
  }
  double step = nice_step(a.hi - a.lo, 5);
  if (a.integer) step = std::max(1.0, std::round(step));
  return linear_ticks(a.lo, a.hi, step);
}

// ---- colours

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

// ---- panels and figures

struct PanelFrame {
  std::string title;
  std::string x_title;
  std::string y_title;
  Axis x;
  Axis y;
};

void text(SvgWriter& svg, double x, double y, std::string_view content, const char* anchor,
          double size, bool bold = false) {
  svg.open("text").attr("x", x).attr("y", y).attr("font-size", size);
  if (std::string_view(anchor) != "start") svg.attr("text-anchor", anchor);
  if (bold) svg.attr("font-weight", "bold");
  svg.text(content).close();
}

std::string point_xy(double x, double y) {
  std::string text;
  append_svg_number(text, x);
  text += ',';
  append_svg_number(text, y);
  return text;
}

// Appends a path step: M for the first point, L after.
void path_to(std::string& d, double x, double y) {
  d += d.empty() ? 'M' : 'L';
  d += point_xy(x, y);
}

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

struct LegendEntry {
  std::string label;
  std::string colour;
};

std::vector<LegendEntry> legend_entries(const Colouring& colouring) {
  std::vector<LegendEntry> entries;
  if (!colouring.parameter || colouring.continuous()) return entries;
  const std::string name(kParameterNames[*colouring.parameter]);
  for (std::size_t i = 0; i < colouring.values.size(); ++i) {
    entries.push_back(
        {name + " = " + value_text(*colouring.parameter, colouring.values[i]), kPalette[i]});
  }
  return entries;
}

// Rough width of a legend label: sans-serif at 12.5 averages some 7 units a character.
double label_width(const std::string& label) {
  return 22.0 + 7.0 * static_cast<double>(label.size());
}

// The legend above the panels: a swatch per value, or for a continuous parameter a colour
// scale from its smallest to its largest value. Returns its height.
double legend_height(const Colouring& colouring, double width) {
  if (!colouring.parameter) return 0.0;
  if (colouring.continuous()) return kLegendLine + 6;
  double line_x = 0.0;
  double lines = 1.0;
  for (const LegendEntry& entry : legend_entries(colouring)) {
    const double w = label_width(entry.label) + 12;
    if (line_x > 0 && line_x + w > width) {
      lines += 1.0;
      line_x = 0.0;
    }
    line_x += w;
  }
  return lines * kLegendLine + 6;
}

void draw_legend(SvgWriter& svg, const Colouring& colouring, double width) {
  if (!colouring.parameter) return;
  svg.open("g").attr("class", "legend");
  const double base = 16;
  if (colouring.continuous()) {
    const std::size_t which = *colouring.parameter;
    const std::string name(kParameterNames[which]);
    text(svg, 6, base, name, "start", kTickFont);
    const double left = 14 + label_width(name);
    constexpr int kSteps = 24;
    constexpr double kStep = 5;
    text(svg, left - 4, base, value_text(which, colouring.values.front()), "end", kTickFont);
    for (int i = 0; i < kSteps; ++i) {
      svg.open("rect")
          .attr("x", left + i * kStep)
          .attr("y", base - 10)
          .attr("width", kStep + 0.2)
          .attr("height", 11)
          .attr("fill", Colouring::scale(i / (kSteps - 1.0)))
          .close();
    }
    text(svg, left + kSteps * kStep + 4, base, value_text(which, colouring.values.back()), "start",
         kTickFont);
    svg.close();
    return;
  }
  double line_x = 6.0;
  double line_y = base;
  for (const LegendEntry& entry : legend_entries(colouring)) {
    const double w = label_width(entry.label) + 12;
    if (line_x > 6.0 && line_x + w > width) {
      line_x = 6.0;
      line_y += kLegendLine;
    }
    svg.open("line")
        .attr("x1", line_x)
        .attr("y1", line_y - 4)
        .attr("x2", line_x + 16)
        .attr("y2", line_y - 4)
        .attr("stroke", entry.colour)
        .attr("stroke-width", 2.0)
        .close();
    svg.open("circle")
        .attr("cx", line_x + 8)
        .attr("cy", line_y - 4)
        .attr("r", 3.4)
        .attr("fill", entry.colour)
        .close();
    text(svg, line_x + 22, line_y, entry.label, "start", kTickFont);
    line_x += w;
  }
  svg.close();
}

// The figure as one SVG: the legend, then the panels, row by row (on the page at most four
// side by side; in a figure file one above the other, a column wide).
std::string render_figure(const Figure& figure, const Colouring& colouring, bool for_file) {
  std::vector<std::pair<std::size_t, std::size_t>> places;  // line and column of each panel
  std::size_t line = 0;
  std::size_t column = 0;
  std::size_t columns = 1;
  for (std::size_t i = 0; i < figure.panels.size(); ++i) {
    if (i > 0) {
      const bool new_row = figure.panels[i].row != figure.panels[i - 1].row;
      if (for_file || new_row || column + 1 == kPageColumns) {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    places.emplace_back(line, column);
    columns = std::max(columns, column + 1);
  }
  const double width = static_cast<double>(columns) * (kPanelWidth + kGap) - kGap;
  const double legend = legend_height(colouring, width);
  const double lines = static_cast<double>(line + 1);
  const double height = legend + lines * (kPanelHeight + kGap) - kGap;
  SvgWriter svg = for_file ? SvgWriter(width, height, kColumnCm * width / kPanelWidth)
                           : SvgWriter(width, height);
  svg.attr("font-family", "sans-serif").attr("fill", "#111111");
  svg.attr("class", "chart").attr("role", "img");
  svg.open("title").text(figure.name).close();
  svg.open("rect").attr("width", width).attr("height", height).attr("fill", "#ffffff").close();
  draw_legend(svg, colouring, width);
  for (std::size_t i = 0; i < figure.panels.size(); ++i) {
    const auto [at_line, at_column] = places[i];
    Panel panel(svg, static_cast<double>(at_column) * (kPanelWidth + kGap),
                legend + static_cast<double>(at_line) * (kPanelHeight + kGap),
                figure.panels[i].frame);
    figure.panels[i].draw(panel);
  }
  std::string document = svg.finish();
  // Inline in the page, the XML declaration has no place.
  if (!for_file) document.erase(0, document.find("<svg"));
  return document;
}

// ---- grouping grid points into panels

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

std::string swept_description(const SimulationParameters& p,
                              const std::vector<std::size_t>& swept) {
  std::string text;
  for (const std::size_t which : swept) {
    if (!text.empty()) text += ", ";
    text +=
        std::string(kParameterNames[which]) + " = " + value_text(which, parameter_value(p, which));
  }
  return text;
}

// Grid points keyed by the values of `by`, in increasing order of the key; with `rows`,
// panels whose keys differ only in the last parameter share a row.
struct Grouping {
  std::vector<std::vector<const GridPointStats*>> groups;
  std::vector<std::size_t> rows;
};

Grouping group_points(const std::vector<const GridPointStats*>& points,
                      const std::vector<std::size_t>& by, bool last_is_column) {
  std::map<std::vector<double>, std::vector<const GridPointStats*>> keyed;
  for (const GridPointStats* s : points) {
    std::vector<double> key;
    for (const std::size_t which : by) key.push_back(parameter_value(s->parameters, which));
    keyed[key].push_back(s);
  }
  Grouping grouping;
  std::optional<std::vector<double>> previous;
  std::size_t row = 0;
  for (auto& [key, members] : keyed) {
    std::vector<double> row_key = key;
    if (last_is_column && !row_key.empty()) row_key.pop_back();
    if (previous && *previous != row_key) ++row;
    previous = row_key;
    grouping.groups.push_back(std::move(members));
    grouping.rows.push_back(last_is_column ? row : 0);
  }
  return grouping;
}

// Parameters that split panels: the swept ones other than --x and --colour, as long as
// they are not continuous.
std::vector<std::size_t> discrete(const std::vector<std::size_t>& parameters,
                                  const std::array<std::size_t, 8>& counts) {
  std::vector<std::size_t> kept;
  for (const std::size_t which : parameters) {
    if (counts[which] <= kMaxDiscreteValues) kept.push_back(which);
  }
  return kept;
}

// ---- figures against --x

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

struct FigureContext {
  const std::vector<GridPointStats>& stats;
  std::size_t grid_points;
  const ReportAxes& axes;
  const Colouring& colouring;
  std::vector<std::size_t> panels;  // discrete parameters that split panels
  std::vector<std::size_t> swept;
  std::array<std::size_t, 8> counts;
};

Figure against_x_figure(const FigureContext& c, const Measure& m) {
  const std::string x_name(kParameterNames[c.axes.x]);
  Figure figure;
  figure.id = "figure-" + m.name;
  figure.name = m.name + "-vs-" + x_name;
  figure.caption = m.name + " against " + x_name + ": " + m.caption +
                   (c.panels.empty() ? "."
                                     : "; one panel per combination of the other swept "
                                       "parameters, all on the same axes.");
  if (c.grid_points > kMaxDrawnPoints) {
    figure.notes.push_back(std::to_string(c.grid_points) +
                           " grid points are more than one figure can show (" +
                           std::to_string(kMaxDrawnPoints) + "); the table holds every one.");
    return figure;
  }
  std::vector<const GridPointStats*> points;
  for (const GridPointStats& s : c.stats) points.push_back(&s);
  Grouping grouping = group_points(points, c.panels, false);
  const Axis x_axis = parameter_axis(distinct_values(c.stats, c.axes.x), c.axes.log_x);
  Axis y_axis;
  if (m.y) {
    y_axis = *m.y;
  } else {
    double top = 1.0;
    for (const GridPointStats& s : c.stats) top = std::max(top, m.estimate(s).hi);
    y_axis = Axis{-0.03 * top, top * 1.05};
  }
  const bool joined = !c.colouring.continuous();
  const std::size_t groups = c.colouring.parameter && joined ? c.colouring.values.size() : 1;
  const double dodge = groups > 1 ? std::min(4.0, 24.0 / static_cast<double>(groups)) : 0.0;
  const std::size_t which_x = c.axes.x;
  for (std::size_t g = 0; g < std::min(grouping.groups.size(), kMaxCombinations); ++g) {
    std::vector<const GridPointStats*> members = grouping.groups[g];
    const std::string where = swept_description(members.front()->parameters, c.panels);
    PanelSpec panel;
    panel.frame = PanelFrame{where.empty() ? m.name : where, x_name, m.name, x_axis, y_axis};
    panel.draw = [members, &c, m, groups, dodge, joined, which_x](Panel& p) mutable {
      std::map<std::size_t, std::vector<const GridPointStats*>> by_colour;
      for (const GridPointStats* s : members) {
        by_colour[c.colouring.continuous() ? 0 : c.colouring.index(s->parameters)].push_back(s);
      }
      for (auto& [index, group] : by_colour) {
        std::sort(group.begin(), group.end(), [&](const auto* a, const auto* b) {
          return parameter_value(a->parameters, which_x) < parameter_value(b->parameters, which_x);
        });
        const double shift =
            (static_cast<double>(index) - static_cast<double>(groups - 1) / 2.0) * dodge;
        auto px = [&](const GridPointStats* s) {
          return p.x(parameter_value(s->parameters, which_x)) + (joined ? shift : 0.0);
        };
        if (joined && group.size() > 1) {
          std::string d;
          for (const GridPointStats* s : group) path_to(d, px(s), p.y(m.estimate(*s).value));
          p.path(d, "none", c.colouring.colour(group.front()->parameters), 1.5);
        }
        for (const GridPointStats* s : group) {
          const std::string colour = c.colouring.colour(s->parameters);
          const Estimate e = m.estimate(*s);
          const double at = px(s);
          p.line(at, p.y(e.lo), at, p.y(e.hi), colour, 1.5);
          p.line(at - 3, p.y(e.lo), at + 3, p.y(e.lo), colour);
          p.line(at - 3, p.y(e.hi), at + 3, p.y(e.hi), colour);
          p.mark(at, p.y(e.value), colour, e.open);
        }
      }
    };
    figure.panels.push_back(std::move(panel));
  }
  if (grouping.groups.size() > kMaxCombinations) {
    figure.notes.push_back("Showing the first " + std::to_string(kMaxCombinations) + " of " +
                           std::to_string(grouping.groups.size()) +
                           " combinations; the table holds every grid point.");
  }
  return figure;
}

Measure proportion_measure(bool extinction) {
  Measure m;
  m.name = extinction ? "p_extinct" : "p_switched";
  m.caption = extinction ? "the share of replicates extinct, with its Wilson score 95% interval"
                         : "the share of replicates with at least one host switch, with its "
                           "Wilson score 95% interval";
  // A little room beyond 0 and 1, so that points there stay clear of the frame.
  m.y = Axis{-0.03, 1.03};
  m.estimate = [extinction](const GridPointStats& s) {
    const ProportionInterval& ci = extinction ? s.p_extinct_interval : s.p_switched_interval;
    return Estimate{extinction ? s.p_extinct : s.p_switched, ci.lo, ci.hi};
  };
  return m;
}

Measure mean_switches_measure() {
  Measure m;
  m.name = "mean_switches";
  m.caption =
      "the mean number of generations with a host switch per run, with its 95% interval "
      "(mean ± 1.96 standard errors, cut at 0)";
  m.estimate = [](const GridPointStats& s) {
    return Estimate{s.mean_switches, std::max(0.0, s.mean_switches - kZ95 * s.se_switches),
                    s.mean_switches + kZ95 * s.se_switches};
  };
  return m;
}

Measure km_median_measure() {
  Measure m;
  m.name = "km_median_extinction";
  m.caption =
      "the Kaplan–Meier median generation of extinction with its 95% interval; an open mark "
      "at n_gen is a median not reached (fewer than half the replicates extinct by n_gen), and "
      "an interval drawn up to n_gen has no upper bound";
  m.estimate = [](const GridPointStats& s) {
    const auto n_gen = static_cast<double>(s.parameters.n_gen);
    const MedianWithInterval& km = s.km_median;
    if (!km.median) return Estimate{n_gen, km.lo.value_or(n_gen), n_gen, true};
    return Estimate{*km.median, km.lo.value_or(*km.median), km.hi.value_or(n_gen)};
  };
  return m;
}

// ---- figures per grid point, the grid points of a panel overlaid

// The first grid points, in panels by --x and the other discrete parameters, one row per
// combination of the others, and the curves of the --colour groups together in each.
template <class Frame, class Draw>
Figure per_point_figure(const FigureContext& c, std::string id, std::string name,
                        std::string caption, std::size_t count, Frame frame, Draw draw) {
  Figure figure;
  figure.id = std::move(id);
  figure.name = std::move(name);
  figure.caption = std::move(caption);
  const std::size_t drawn = std::min({count, kMaxPanels, c.stats.size()});
  std::vector<const GridPointStats*> points;
  for (std::size_t i = 0; i < drawn; ++i) points.push_back(&c.stats[i]);
  std::vector<std::size_t> by = c.panels;
  if (c.counts[c.axes.x] > 1) by.push_back(c.axes.x);
  if (c.colouring.continuous() || c.counts[c.axes.x] > kMaxDiscreteValues) {
    // Continuous parameters: a panel per grid point, as nothing else lines them up.
    by = c.swept;
  }
  const Grouping grouping = group_points(points, by, true);
  std::vector<std::size_t> place;
  for (std::size_t g = 0; g < grouping.groups.size(); ++g) {
    const auto& members = grouping.groups[g];
    PanelSpec panel;
    panel.row = grouping.rows[g];
    const std::string where = swept_description(members.front()->parameters, by);
    panel.frame = frame(members);
    panel.frame.title = where.empty() ? figure.name : where;
    panel.draw = [members, draw](Panel& p) { draw(p, members); };
    figure.panels.push_back(std::move(panel));
  }
  // Every panel of a row on one x range, every panel of the figure on one y range.
  Axis y = figure.panels.empty() ? Axis{} : figure.panels.front().frame.y;
  for (const PanelSpec& p : figure.panels) {
    y.lo = std::min(y.lo, p.frame.y.lo);
    y.hi = std::max(y.hi, p.frame.y.hi);
  }
  std::map<std::size_t, Axis> rows;
  for (const PanelSpec& p : figure.panels) {
    auto [it, fresh] = rows.emplace(p.row, p.frame.x);
    it->second.lo = std::min(it->second.lo, p.frame.x.lo);
    it->second.hi = std::max(it->second.hi, p.frame.x.hi);
  }
  for (PanelSpec& p : figure.panels) {
    p.frame.y = y;
    p.frame.x = rows[p.row];
  }
  if (count > kMaxPanels) {
    figure.notes.push_back("Showing the first " + std::to_string(kMaxPanels) + " of " +
                           std::to_string(count) + " grid points; the table holds every one.");
  }
  return figure;
}

// Where a Kaplan-Meier curve ends: its last event, or n_gen when runs were still alive.
double survival_end(const GridPointStats& s) {
  double end = 1.0;
  for (const KaplanMeierStep& step : s.survival)
    end = std::max(end, static_cast<double>(step.time));
  if (s.survival.empty() || s.survival.back().surv > 0.0) {
    end = std::max(end, static_cast<double>(s.parameters.n_gen));
  }
  return end;
}

void draw_survival(Panel& p, const GridPointStats& s, const std::string& colour) {
  const double last = survival_end(s);
  // The pointwise band, a step polygon up to where the curve reaches 0 (no bound there).
  std::vector<std::pair<double, double>> upper{{0.0, 1.0}};
  std::vector<std::pair<double, double>> lower{{0.0, 1.0}};
  double end = last;
  for (const KaplanMeierStep& step : s.survival) {
    const auto t = static_cast<double>(step.time);
    upper.emplace_back(t, upper.back().second);
    lower.emplace_back(t, lower.back().second);
    if (!step.lower || !step.upper) {
      end = t;
      break;
    }
    upper.emplace_back(t, *step.upper);
    lower.emplace_back(t, *step.lower);
  }
  upper.emplace_back(end, upper.back().second);
  lower.emplace_back(end, lower.back().second);
  std::string band;
  for (const auto& [t, v] : upper) path_to(band, p.x(t), p.y(v));
  for (auto it = lower.rbegin(); it != lower.rend(); ++it) {
    path_to(band, p.x(it->first), p.y(it->second));
  }
  band += 'Z';
  p.path(band, colour, "none", 0.0, 0.14);
  std::string d;
  path_to(d, p.x(0.0), p.y(1.0));
  double surv = 1.0;
  for (const KaplanMeierStep& step : s.survival) {
    const double px = p.x(step.time);
    path_to(d, px, p.y(surv));
    surv = step.surv;
    path_to(d, px, p.y(surv));
  }
  path_to(d, p.x(last), p.y(surv));
  p.path(d, "none", colour, 1.8);
}

Figure survival_figure(const FigureContext& c) {
  return per_point_figure(
      c, "figure-survival", "km_survival-vs-n_g",
      "Kaplan–Meier curves of the generation of extinction (n_g), completed runs censored at "
      "n_gen, with the pointwise 95% interval (log scale, Greenwood variance); the grey line "
      "marks one half. The grid points of a panel are overlaid, one colour per value of the "
      "colour parameter; all panels share the y axis, and the panels of a row the x axis.",
      c.grid_points,
      [](const std::vector<const GridPointStats*>& members) {
        double end = 1.0;
        for (const GridPointStats* s : members) end = std::max(end, survival_end(*s));
        return PanelFrame{"", "n_g", "share not yet extinct", Axis{0.0, end}, Axis{-0.02, 1.02}};
      },
      [&c](Panel& p, const std::vector<const GridPointStats*>& members) {
        double end = 0.0;
        for (const GridPointStats* s : members) end = std::max(end, survival_end(*s));
        p.line(p.x(0.0), p.y(0.5), p.x(end), p.y(0.5), "#888888");
        for (const GridPointStats* s : members)
          draw_survival(p, *s, c.colouring.colour(s->parameters));
      });
}

Figure trajectory_figure(const FigureContext& c,
                         const std::vector<GridPointTrajectory>& trajectories) {
  // Trajectories come in the order of the grid points, as the statistics do.
  std::map<const GridPointStats*, const GridPointTrajectory*> of;
  for (std::size_t i = 0; i < std::min(trajectories.size(), c.stats.size()); ++i) {
    of[&c.stats[i]] = &trajectories[i];
  }
  return per_point_figure(
      c, "figure-trajectories", "n_pop-vs-n_g",
      "Median n_pop (as the generation entered) over the replicates of each grid point, with "
      "the interquartile band; a replicate extinct before a generation counts 0. The grid "
      "points of a panel are overlaid; all panels share the y axis, and the panels of a row "
      "the x axis.",
      trajectories.size(),
      [of](const std::vector<const GridPointStats*>& members) {
        double top = 1.0;
        double last = 2.0;
        for (const GridPointStats* s : members) {
          const auto& g = of.at(s)->by_generation;
          for (const PopulationQuartiles& q : g) top = std::max(top, q.q75);
          last = std::max(last, static_cast<double>(g.size()));
        }
        return PanelFrame{"", "n_g", "n_pop", Axis{1.0, last}, Axis{0.0, top * 1.05}};
      },
      [of, &c](Panel& p, const std::vector<const GridPointStats*>& members) {
        for (const GridPointStats* s : members) {
          const auto& g = of.at(s)->by_generation;
          if (g.empty()) continue;
          const std::string colour = c.colouring.colour(s->parameters);
          std::string band;
          for (std::size_t i = 0; i < g.size(); ++i) {
            path_to(band, p.x(static_cast<double>(i + 1)), p.y(g[i].q75));
          }
          for (std::size_t i = g.size(); i-- > 0;) {
            path_to(band, p.x(static_cast<double>(i + 1)), p.y(g[i].q25));
          }
          band += 'Z';
          p.path(band, colour, "none", 0.0, 0.18);
          std::string d;
          for (std::size_t i = 0; i < g.size(); ++i) {
            path_to(d, p.x(static_cast<double>(i + 1)), p.y(g[i].median));
          }
          p.path(d, "none", colour, 1.8);
        }
      });
}

Figure switches_figure(const FigureContext& c) {
  return per_point_figure(
      c, "figure-switches", "switch_generations-histogram",
      "Distribution of switch_generations (generations with n_HS > 0) over the replicates of "
      "each grid point; the grid points of a panel side by side in each class, one colour per "
      "value of the colour parameter.",
      c.grid_points,
      [](const std::vector<const GridPointStats*>& members) {
        std::int32_t lo = members.front()->switch_bins.front().from;
        std::int32_t hi = members.front()->switch_bins.back().to;
        std::int64_t most = 1;
        for (const GridPointStats* s : members) {
          lo = std::min(lo, s->switch_bins.front().from);
          hi = std::max(hi, s->switch_bins.back().to);
          for (const SwitchBin& bin : s->switch_bins) most = std::max(most, bin.replicates);
        }
        // Whole numbers on the axis, and room for three of them even around a single value.
        Axis x{std::max(-0.6, lo - 0.6), hi + 0.6};
        if (x.hi - x.lo < 3.0) {
          x.lo = std::max(-0.6, (lo + hi) / 2.0 - 1.5);
          x.hi = x.lo + 3.0;
        }
        x.integer = true;
        Axis y{0.0, static_cast<double>(most) * 1.05};
        y.integer = true;
        return PanelFrame{"", "switch_generations", "replicates", x, y};
      },
      [&c](Panel& p, const std::vector<const GridPointStats*>& members) {
        const auto n = static_cast<double>(members.size());
        for (std::size_t k = 0; k < members.size(); ++k) {
          const GridPointStats& s = *members[k];
          const std::string colour = c.colouring.colour(s.parameters);
          for (const SwitchBin& bin : s.switch_bins) {
            if (bin.replicates == 0) continue;  // an outline of no height would still show
            // A class spans its values ± 0.4; the grid points of a panel share it out.
            const double from = bin.from - 0.4;
            const double share = (bin.to - bin.from + 0.8) / n;
            const double x0 = from + share * static_cast<double>(k);
            p.bar(p.x(x0), p.x(x0 + share), p.y(0.0), p.y(static_cast<double>(bin.replicates)),
                  colour, 0.55);
          }
        }
      });
}

void page_figure(std::string& out, const Figure& figure, const Colouring& colouring) {
  out += "<figure id=\"" + figure.id + "\"><figcaption>" + xml_escape(figure.caption) +
         "</figcaption>";
  if (!figure.panels.empty()) out += render_figure(figure, colouring, false);
  for (const std::string& text : figure.notes) {
    out += "<p class=\"note\">" + xml_escape(text) + "</p>";
  }
  out += "</figure>";
}

void note(std::string& out, const std::string& text) {
  out += "<p class=\"note\">" + xml_escape(text) + "</p>";
}

// A number of the page rounded for reading: 4 significant digits; whole numbers (counts,
// indices) as they are.
std::string readable(const std::string& field) {
  if (field.find_first_of(".eE") == std::string::npos) return field;
  return tick_text(std::stod(field));
}

// ---- the table and the facts

void table(std::string& out, const std::vector<GridPointStats>& stats, std::size_t grid_points) {
  std::string header = stats_table_header();
  header.pop_back();
  out += "<div class=\"table\"><table id=\"stats-table\"><thead><tr>";
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = header.find(',', start);
    out += "<th>" + xml_escape(header.substr(start, comma - start)) + "</th>";
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  out += "</tr></thead><tbody>";
  for (std::size_t i = 0; i < std::min(stats.size(), kMaxTableRows); ++i) {
    std::string row = stats_table_row(stats[i]);
    row.pop_back();
    out += "<tr>";
    start = 0;
    for (;;) {
      const std::size_t comma = row.find(',', start);
      out += "<td>" + xml_escape(readable(row.substr(start, comma - start))) + "</td>";
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    out += "</tr>";
  }
  out += "</tbody></table></div>";
  if (grid_points > kMaxTableRows) {
    note(out, "Showing the first " + std::to_string(kMaxTableRows) + " of " +
                  std::to_string(grid_points) + " grid points; the statistics file holds all.");
  }
}

void missing_note(std::string& out, const SummaryData& summary) {
  const std::vector<GridPointRuns>& stats = summary.points;
  const std::int64_t missing = summary.missing_rows();
  if (missing == 0) return;
  const std::int64_t full =
      static_cast<std::int64_t>(summary.max_grid_index) * summary.max_replicate;
  std::string text = "Incomplete summary: " + std::to_string(missing) + " of the " +
                     std::to_string(full) + " rows of the full grid (" +
                     std::to_string(summary.max_grid_index) + " grid points × " +
                     std::to_string(summary.max_replicate) +
                     " replicates) are missing, as after an interrupted or partial sweep. Every "
                     "grid point is reported with the replicates it really has (column "
                     "replicates).";
  const auto absent =
      static_cast<std::int64_t>(summary.max_grid_index) - static_cast<std::int64_t>(stats.size());
  if (absent > 0) {
    text += absent == 1 ? " 1 grid point has no rows at all and is left out."
                        : " " + std::to_string(absent) +
                              " grid points have no rows at all and are left out.";
  }
  std::string short_points;
  std::size_t listed = 0;
  std::size_t short_count = 0;
  for (const GridPointRuns& s : stats) {
    const auto replicates = static_cast<std::int64_t>(s.replicates.size());
    if (replicates == summary.max_replicate) continue;
    ++short_count;
    if (listed++ < 10) {
      short_points += (short_points.empty() ? "" : ", ") + std::string("grid point ") +
                      std::to_string(s.grid_index) + " (" + std::to_string(replicates) + ")";
    }
  }
  if (short_count > 0) {
    text += " Grid points with fewer replicates: " + short_points +
            (short_count > 10 ? " and " + std::to_string(short_count - 10) + " more." : ".");
  }
  out +=
      "<p class=\"note missing\" id=\"missing-rows\"><strong>" + xml_escape(text) + "</strong></p>";
}

constexpr const char* kStyle = R"(
body{font-family:sans-serif;margin:1.5em;color:#111;max-width:1800px}
h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em}
figure{margin:0.5em 0}figcaption{margin:0.3em 0;color:#333}
.chart{border:1px solid #ddd;background:#fff;max-width:100%;height:auto}
.note{color:#6b3500}.missing{background:#fff3dc;border-left:4px solid #D55E00;padding:0.5em}
.table{overflow-x:auto}table{border-collapse:collapse;font-size:12px}
th,td{border:1px solid #ccc;padding:2px 5px;text-align:right}th{background:#f2f2f2}
)";

}  // namespace

namespace {

template <class Points>
ReportAxes choose_axes_of(const Points& stats, std::optional<std::size_t> x,
                          std::optional<std::size_t> colour) {
  const std::array<std::size_t, 8> counts = distinct_counts(stats);
  auto most = [&counts](std::optional<std::size_t> except) {
    std::size_t best = 0;
    bool any = false;
    for (std::size_t i = 0; i < counts.size(); ++i) {
      if (except && i == *except) continue;
      if (!any || counts[i] > counts[best]) best = i;
      any = true;
    }
    return best;
  };
  ReportAxes axes;
  if (x && colour && *x == *colour) {
    throw std::invalid_argument("--x and --colour must name different parameters");
  }
  axes.x = x ? *x : most(colour);
  if (colour) {
    axes.colour = colour;
  } else {
    const std::size_t next = most(axes.x);
    if (counts[next] > 1) axes.colour = next;
  }
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] > 1 && i != axes.x && (!axes.colour || i != *axes.colour)) {
      axes.panels.push_back(i);
    }
  }
  return axes;
}

}  // namespace

ReportAxes choose_axes(const std::vector<GridPointStats>& stats, std::optional<std::size_t> x,
                       std::optional<std::size_t> colour) {
  return choose_axes_of(stats, x, colour);
}

ReportAxes choose_axes(const SummaryData& summary, std::optional<std::size_t> x,
                       std::optional<std::size_t> colour) {
  return choose_axes_of(summary.points, x, colour);
}

std::string report_html(const SummaryData& summary, const std::vector<GridPointStats>& stats,
                        const std::vector<GridPointTrajectory>* trajectories,
                        const ReportAxes& axes, std::vector<FigureFile>* figure_files) {
  Colouring colouring;
  colouring.parameter = axes.colour;
  const std::vector<GridPointRuns>& points = summary.points;
  if (axes.colour) colouring.values = distinct_values(points, *axes.colour);
  const std::array<std::size_t, 8> counts = distinct_counts(points);
  std::vector<std::size_t> swept;
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    if (counts[i] > 1) swept.push_back(i);
  }
  const FigureContext context{stats, points.size(), axes, colouring, discrete(axes.panels, counts),
                              swept, counts};
  // Each figure goes on the page and, when asked for, into a file of its own.
  auto show = [&](std::string& out, const Figure& figure) {
    page_figure(out, figure, colouring);
    if (figure_files != nullptr && !figure.panels.empty()) {
      figure_files->push_back(FigureFile{figure.name, render_figure(figure, colouring, true)});
    }
  };

  std::string out;
  out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
  // Nothing on the page may reach the network.
  out +=
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; img-src data:\">";
  out += "<title>Replicate statistics of " + xml_escape(summary.file) + "</title><style>";
  out += kStyle;
  out += "</style></head><body>";
  out += "<h1>Replicate statistics of " + xml_escape(summary.file) + "</h1>";

  auto fewest = static_cast<std::int64_t>(points.front().replicates.size());
  std::int64_t most = fewest;
  for (const GridPointRuns& point : points) {
    fewest = std::min(fewest, static_cast<std::int64_t>(point.replicates.size()));
    most = std::max(most, static_cast<std::int64_t>(point.replicates.size()));
  }
  std::string facts = std::to_string(summary.rows) + " runs over " + std::to_string(points.size()) +
                      " grid points, " +
                      (fewest == most ? std::to_string(most)
                                      : std::to_string(fewest) + " to " + std::to_string(most)) +
                      " replicates each.";
  if (!swept.empty()) {
    facts += " Swept:";
    for (const std::size_t which : swept) {
      facts += " " + std::string(kParameterNames[which]) + " (" + std::to_string(counts[which]) +
               " values)";
    }
    facts += ".";
  }
  std::vector<std::string> unsplit;
  for (const std::size_t which : axes.panels) {
    if (counts[which] > kMaxDiscreteValues) unsplit.emplace_back(kParameterNames[which]);
  }
  if (!unsplit.empty()) {
    facts += " Continuous, so not given panels of their own:";
    for (const std::string& name : unsplit) facts += " " + name;
    facts += ".";
  }
  out += "<p class=\"facts\">" + xml_escape(facts) + "</p>";
  missing_note(out, summary);

  // The sections in page order; each is self-contained, so one more can go between them.
  out += "<section id=\"probabilities\"><h2>Extinction and host switching</h2>";
  show(out, against_x_figure(context, proportion_measure(true)));
  show(out, against_x_figure(context, proportion_measure(false)));
  out += "</section>";

  out += "<section id=\"survival\"><h2>Time to extinction</h2>";
  show(out, survival_figure(context));
  show(out, against_x_figure(context, km_median_measure()));
  out += "</section>";

  out += "<section id=\"trajectories\"><h2>Population size over generations</h2>";
  if (trajectories != nullptr) {
    show(out, trajectory_figure(context, *trajectories));
  } else {
    out += "<p>No trajectories were given (report --trajectories PATH draws them).</p>";
  }
  out += "</section>";

  out += "<section id=\"switches\"><h2>Host switches per run</h2>";
  show(out, switches_figure(context));
  show(out, against_x_figure(context, mean_switches_measure()));
  out += "</section>";

  out += "<section id=\"statistics\"><h2>Statistics per grid point</h2>";
  out +=
      "<p>Numbers rounded to 4 significant digits; the statistics file holds them in full. "
      "p_*_lo and p_*_hi: Wilson score 95% interval. km_*: Kaplan–Meier median "
      "generation of extinction with its 95% interval; empty where the curve (or its bound) "
      "never comes down to one half. mean_final_n_pop counts extinct runs as 0; "
      "mean_final_displacement is the mean of final_r_phe − 10.</p>";
  table(out, stats, points.size());
  out += "</section></body></html>\n";
  return out;
}

namespace {

void write_figure_files(const std::filesystem::path& directory,
                        const std::vector<FigureFile>& figures) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) throw IoFailure("open", directory, ec.value());
  for (const FigureFile& figure : figures) {
    const std::filesystem::path stem = directory / figure.name;
    replace_whole_file(std::filesystem::path(stem).concat(".svg"), figure.svg);
    replace_whole_file(std::filesystem::path(stem).concat(".pdf"),
                       convert_svg(figure.svg, ImageFormat::kPdf));
    replace_whole_file(std::filesystem::path(stem).concat(".png"),
                       convert_svg(figure.svg, ImageFormat::kPng, 300));
  }
}

}  // namespace

ReportFacts write_report(const ReportOptions& options) {
  const SummaryData summary = read_summary(options.summary);
  std::vector<GridPointTrajectory> trajectories;
  if (options.trajectories) trajectories = read_trajectories(*options.trajectories, summary);
  ReportAxes axes = choose_axes(summary, options.x, options.colour);
  axes.log_x = options.log_x;
  const std::size_t grid_points = summary.points.size();
  // Past what the probability figure draws, the page shows only the table's first rows.
  const std::size_t kept =
      grid_points <= kMaxDrawnPoints ? grid_points : std::max(kMaxTableRows, kMaxPanels);
  std::vector<GridPointStats> stats;
  stats.reserve(kept);
  {
    // Through one buffer: with a million grid points the table is some 200 MB of text.
    std::ofstream table(options.table, std::ios::binary | std::ios::trunc);
    std::string buffer = stats_table_header();
    constexpr std::size_t kFlushAt = std::size_t{1} << 20;
    buffer.reserve(kFlushAt + 4096);
    GridPointStatsBuilder builder;
    for (const GridPointRuns& point : summary.points) {
      GridPointStats s = builder(point, stats.size() < kMaxPanels);
      append_stats_table_row(buffer, s);
      if (buffer.size() >= kFlushAt) {
        table.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        buffer.clear();
      }
      if (stats.size() < kept) stats.push_back(std::move(s));
    }
    table.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    table.close();
    if (!table) throw std::runtime_error("cannot write " + options.table.string());
  }
  std::vector<FigureFile> figures;
  std::string page =
      report_html(summary, stats, options.trajectories ? &trajectories : nullptr, axes,
                  options.figures ? &figures : nullptr);
  const auto sensitivity = sensitivity_report(summary);
  if (sensitivity) page.insert(page.rfind("</body>"), sensitivity->html);
  if (sensitivity && !sensitivity->csv.empty()) {
    replace_whole_file(options.sensitivity, sensitivity->csv);
  }
  replace_whole_file(options.html, page);
  if (options.figures) write_figure_files(*options.figures, figures);
  return ReportFacts{grid_points, summary.rows, summary.missing_rows(),
                     sensitivity && !sensitivity->csv.empty()};
}

}  // namespace hostswitch
