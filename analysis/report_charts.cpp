#include "analysis/report_charts.hpp"

#include "reporting/figure_words.hpp"

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
bool sampled_on_log_scale(const std::vector<double>& values) {
  if (values.size() <= kMaxDiscreteValues || !(values.front() > 0.0)) return false;
  // The largest gap between the values' ranks and where even spacing would put them, on
  // either scale.
  const double lo = values.front();
  const double hi = values.back();
  if (!(hi > lo)) return false;
  const double last = static_cast<double>(values.size() - 1);
  double linear = 0.0;
  double logarithmic = 0.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double rank = static_cast<double>(i) / last;
    linear = std::max(linear, std::fabs(rank - (values[i] - lo) / (hi - lo)));
    logarithmic =
        std::max(logarithmic, std::fabs(rank - std::log(values[i] / lo) / std::log(hi / lo)));
  }
  return logarithmic < linear;
}

Axis parameter_axis(const std::vector<double>& values, bool log_x) {
  // A design's values show the scale they were drawn on; log_x still asks for a log axis.
  if (values.size() > kMaxDiscreteValues && values.front() >= 0.0) {
    if (!log_x && !sampled_on_log_scale(values)) return padded_axis(values.front(), values.back());
    log_x = log_x || values.front() > 0.0;
  }
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

namespace {

std::vector<double> ticks_near(const Axis& a, int target) {
  std::vector<double> ticks;
  if (a.log) {
    if (a.zero) ticks.push_back(0.0);
    for (const double v : log_ticks(a.lo, a.hi, target + 1)) ticks.push_back(v);
    return ticks;
  }
  double step = nice_step(a.hi - a.lo, target);
  if (a.integer) step = std::max(1.0, std::round(step));
  return linear_ticks(a.lo, a.hi, step);
}

}  // namespace

std::vector<double> axis_ticks(const Axis& a, double pixels) {
  // Fewer ticks until their labels, side by side along `pixels`, leave a gap between them.
  for (int target = 5;; --target) {
    std::vector<double> ticks = ticks_near(a, target);
    if (pixels <= 0.0 || ticks.size() < 2 || target == 2) return ticks;
    double widest = 0.0;
    for (const double v : ticks) widest = std::max(widest, text_width(tick_text(v), kTickFont));
    if (widest + 8.0 <= pixels / static_cast<double>(ticks.size() - 1)) return ticks;
  }
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

double text_width(std::string_view content, double size) {
  // Count characters, not the bytes of UTF-8.
  std::size_t characters = 0;
  for (const char c : content) characters += (static_cast<unsigned char>(c) & 0xC0u) != 0x80u;
  return 0.6 * size * static_cast<double>(characters);
}

void axis_title(SvgWriter& svg, const std::string& title, double x, double y, double room,
                bool rotated) {
  std::vector<std::string> lines{title};
  const std::size_t open = title.rfind(" (");
  if (rotated && text_width(title, kAxisFont) > room && open != std::string::npos) {
    lines = {title.substr(0, open), title.substr(open + 1)};
  }
  double size = kAxisFont;
  for (const std::string& line : lines) {
    size = std::min(size, kAxisFont * room / std::max(1.0, text_width(line, kAxisFont)));
  }
  const double step = size + 1.5;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // The first line outermost: above the second on the x axis, left of it on the y axis.
    const double shift = (static_cast<double>(i) - static_cast<double>(lines.size() - 1)) * step;
    svg.open("text").attr("font-size", size).attr("text-anchor", "middle");
    if (rotated) {
      svg.attr("transform", "translate(" + svg_number(x + shift + (lines.size() - 1) * step / 2) +
                                " " + svg_number(y) + ") rotate(-90)");
    } else {
      svg.attr("x", x).attr("y", y + shift);
    }
    svg.text(lines[i]).close();
  }
}

std::string figure_footnote(const SummaryData& summary) {
  constexpr const char* kIs = "\u00a0=\u00a0";
  const std::array<std::size_t, 8> counts = distinct_counts(summary.points);
  std::string fixed;
  for (std::size_t i = 0; i + 1 < kParameterNames.size(); ++i) {
    if (counts[i] != 1) continue;
    // No-break spaces keep a name and its value on one line.
    fixed += (fixed.empty() ? "" : ", ") + std::string(kParameterNames[i]) + kIs +
             value_text(i, parameter_value(summary.points.front().parameters, i));
  }
  std::string text = fixed.empty() ? "" : "Fixed: " + fixed + "; ";
  const std::size_t n_gen = kParameterNames.size() - 1;
  text += counts[n_gen] == 1 ? std::string("n_gen") + kIs +
                                   value_text(n_gen, summary.points.front().parameters.n_gen)
                             : "n_gen varies";
  std::size_t fewest = summary.points.front().replicates.size();
  std::size_t most = fewest;
  for (const GridPointRuns& point : summary.points) {
    fewest = std::min(fewest, point.replicates.size());
    most = std::max(most, point.replicates.size());
  }
  text += "; " +
          (fewest == most ? std::to_string(most)
                          : std::to_string(fewest) + " to " + std::to_string(most)) +
          (most == 1 ? "\u00a0replicate" : "\u00a0replicates") + " per point.";
  return text;
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

std::vector<LegendEntry> legend_entries(const Figure& figure, const Colouring& colouring) {
  if (!figure.key.empty()) return figure.key;
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
double label_width(const std::string& label) { return 22.0 + text_width(label, kTickFont); }

constexpr int kScaleSteps = 24;
constexpr double kScaleStep = 5;

// A continuous colour scale's pieces left to right: its title, the lowest value, the bar, the
// highest value; the title on a line of its own when all would not fit in `width`.
struct ScaleLayout {
  double low_x = 0.0;   // where the lowest value starts
  double bar_x = 0.0;   // where the bar starts
  double high_x = 0.0;  // where the highest value starts
  double line = 0.0;    // the line of the values and bar: 0 with the title, 1 below it
};

ScaleLayout scale_layout(const Colouring& colouring, double width) {
  const std::size_t which = *colouring.parameter;
  const double title = 6 + text_width(figure_label(kParameterNames[which]), kTickFont) + 10;
  const double values = text_width(value_text(which, colouring.values.front()), kTickFont) + 6 +
                        kScaleSteps * kScaleStep + 6 +
                        text_width(value_text(which, colouring.values.back()), kTickFont);
  ScaleLayout layout;
  layout.low_x = title + values <= width ? title : 6.0;
  layout.line = title + values <= width ? 0.0 : 1.0;
  layout.bar_x =
      layout.low_x + text_width(value_text(which, colouring.values.front()), kTickFont) + 6;
  layout.high_x = layout.bar_x + kScaleSteps * kScaleStep + 6;
  return layout;
}

// The legend above the panels: a swatch per value, or for a continuous parameter a colour
// scale from its smallest to its largest value. Returns its height.
double legend_height(const Figure& figure, const Colouring& colouring, double width) {
  if (figure.key.empty() && !colouring.parameter) return 0.0;
  if (figure.key.empty() && colouring.continuous()) {
    return (1.0 + scale_layout(colouring, width).line) * kLegendLine + 6;
  }
  double line_x = 0.0;
  double lines = 1.0;
  for (const LegendEntry& entry : legend_entries(figure, colouring)) {
    const double w = label_width(entry.label) + 12;
    if (line_x > 0 && line_x + w > width) {
      lines += 1.0;
      line_x = 0.0;
    }
    line_x += w;
  }
  return lines * kLegendLine + 6;
}

void draw_legend(SvgWriter& svg, const Figure& figure, const Colouring& colouring, double width) {
  if (figure.key.empty() && !colouring.parameter) return;
  svg.open("g").attr("class", "legend");
  const double base = 16;
  if (figure.key.empty() && colouring.continuous()) {
    const std::size_t which = *colouring.parameter;
    const ScaleLayout layout = scale_layout(colouring, width);
    text(svg, 6, base, figure_label(kParameterNames[which]), "start", kTickFont);
    const double y = base + layout.line * kLegendLine;
    text(svg, layout.low_x, y, value_text(which, colouring.values.front()), "start", kTickFont);
    for (int i = 0; i < kScaleSteps; ++i) {
      svg.open("rect")
          .attr("x", layout.bar_x + i * kScaleStep)
          .attr("y", y - 10)
          .attr("width", kScaleStep + 0.2)
          .attr("height", 11)
          .attr("fill", Colouring::scale(i / (kScaleSteps - 1.0)))
          .close();
    }
    text(svg, layout.high_x, y, value_text(which, colouring.values.back()), "start", kTickFont);
    svg.close();
    return;
  }
  double line_x = 6.0;
  double line_y = base;
  for (const LegendEntry& entry : legend_entries(figure, colouring)) {
    const double w = label_width(entry.label) + 12;
    if (line_x > 6.0 && line_x + w > width) {
      line_x = 6.0;
      line_y += kLegendLine;
    }
    using Style = LegendEntry::Style;
    if (entry.style == Style::bar) {
      svg.open("rect")
          .attr("x", line_x + 1)
          .attr("y", line_y - 10)
          .attr("width", 14)
          .attr("height", 11)
          .attr("fill", entry.colour)
          .attr("fill-opacity", 0.85)
          .close();
    } else {
      if (entry.style != Style::dot) {
        svg.open("line")
            .attr("x1", line_x)
            .attr("y1", line_y - 4)
            .attr("x2", line_x + 16)
            .attr("y2", line_y - 4)
            .attr("stroke", entry.colour)
            .attr("stroke-width", 2.0);
        if (entry.style == Style::dashed) svg.attr("stroke-dasharray", "3 2");
        svg.close();
      }
      svg.open("circle")
          .attr("cx", line_x + 8)
          .attr("cy", line_y - 4)
          .attr("r", 3.4)
          .attr("fill", entry.style == Style::dashed ? "#ffffff" : entry.colour)
          .attr("stroke", entry.colour)
          .attr("stroke-width", 1.5)
          .close();
    }
    text(svg, line_x + 22, line_y, entry.label, "start", kTickFont);
    line_x += w;
  }
  svg.close();
}

double footnote_height(const std::vector<std::string>& lines) {
  return lines.empty() ? 0.0 : 6.0 + kFootnoteLine * static_cast<double>(lines.size());
}

void draw_footnote(SvgWriter& svg, const std::vector<std::string>& lines, double panels_end) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    text(svg, 6, panels_end + kFootnoteLine * static_cast<double>(i + 1), lines[i], "start",
         kFootnoteFont);
  }
}

SvgWriter figure_svg(double width, double height, bool for_file, const std::string& title) {
  SvgWriter svg = for_file ? SvgWriter(width, height, kColumnCm * width / kPanelWidth)
                           : SvgWriter(width, height);
  svg.attr("font-family", "sans-serif").attr("fill", "#111111");
  svg.attr("class", "chart").attr("role", "img");
  svg.open("title").text(title).close();
  svg.open("rect").attr("width", width).attr("height", height).attr("fill", "#ffffff").close();
  return svg;
}

// The footnote broken into lines that fit `width` at the tick font.
std::vector<std::string> footnote_lines(const std::string& footnote, double width) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t start = 0;
  while (start < footnote.size()) {
    std::size_t end = footnote.find(' ', start);
    if (end == std::string::npos) end = footnote.size();
    const std::string word = footnote.substr(start, end - start);
    const std::string longer = line.empty() ? word : line + ' ' + word;
    if (!line.empty() && text_width(longer, kFootnoteFont) > width - 12) {
      lines.push_back(line);
      line = word;
    } else {
      line = longer;
    }
    start = end + 1;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
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
  // The panels of a figure are all of one size.
  const double panel_width = figure.panels.empty() ? kPanelWidth : figure.panels[0].frame.width;
  const double panel_height = figure.panels.empty() ? kPanelHeight : figure.panels[0].frame.height;
  const double width = static_cast<double>(columns) * (panel_width + kGap) - kGap;
  const double legend = legend_height(figure, colouring, width);
  const double lines = static_cast<double>(line + 1);
  const std::vector<std::string> footnote = footnote_lines(figure.footnote, width);
  const double panels_end = legend + lines * (panel_height + kGap) - kGap;
  const double height = panels_end + footnote_height(footnote);
  SvgWriter svg = figure_svg(width, height, for_file, figure.name);
  draw_legend(svg, figure, colouring, width);
  for (std::size_t i = 0; i < figure.panels.size(); ++i) {
    const auto [at_line, at_column] = places[i];
    Panel panel(svg, static_cast<double>(at_column) * (panel_width + kGap),
                legend + static_cast<double>(at_line) * (panel_height + kGap),
                figure.panels[i].frame);
    figure.panels[i].draw(panel);
  }
  draw_footnote(svg, footnote, panels_end);
  std::string document = svg.finish();
  // Inline in the page, the XML declaration has no place.
  if (!for_file) document.erase(0, document.find("<svg"));
  return document;
}

}  // namespace hostswitch::report_detail
