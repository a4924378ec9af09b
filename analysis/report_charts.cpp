#include "analysis/report_charts.hpp"

namespace hostswitch::report_detail {

std::string value_text(std::size_t which, double value) {
  const bool whole = which == 0 || which == 2 || which == 7;
  return whole ? std::to_string(static_cast<std::int64_t>(value)) : tick_text(value);
}

// ---- axes

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

// ---- panels and figures

void text(SvgWriter& svg, double x, double y, std::string_view content, const char* anchor,
          double size, bool bold) {
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

}  // namespace hostswitch::report_detail
