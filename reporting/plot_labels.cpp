#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reporting/plot_drawing.hpp"

namespace hostswitch::plot_detail {

namespace {

// Thousands separated by thin spaces are hard to copy; a plain integer is clearer.
std::string integer_text(std::int64_t value) { return std::to_string(value); }

// What the picture holds: its generations, records and switches, the class width, and how
// the grid summarises them.
std::string contents_note(const Grid& grid, const ResultsData& data) {
  const std::int64_t generations = std::int64_t{grid.g_last} - grid.g_first + 1;
  std::int64_t switches = 0;
  for (const GenerationHosts& g : data.generations) switches += g.switched() ? 1 : 0;
  std::string note = integer_text(generations) + " generation" + (generations == 1 ? "" : "s") +
                     " (" + integer_text(grid.g_first) + " to " + integer_text(grid.g_last) +
                     "), " + integer_text(data.class_records) + " class records, " +
                     integer_text(switches) + " with a host switch; ";
  if (grid.class_width_known) {
    note += "class width " + svg_number(grid.class_width, 3);
  } else {
    note += "one class per generation, cells drawn 0.1 tall";
  }
  if (grid.per_column > 1) {
    note += "; a column averages " + integer_text(grid.per_column) + " generations";
  }
  if (grid.row_height != grid.class_width) {
    note += "; a row spans " + svg_number(grid.row_height, 4);
  }
  if (data.skipped_records > 0) {
    note += "; " + integer_text(data.skipped_records) +
            " records with asterisks, NaN or Infinity not shown";
  }
  return note;
}

// The largest count: whole for classes drawn one by one, a mean with about four digits.
std::string top_value_text(const Grid& grid) {
  const double v = grid.value_max;
  if (grid.per_class) return svg_number(v, 0);
  return svg_number(v, v >= 1000 ? 0 : v >= 100 ? 1 : v >= 10 ? 2 : 3);
}

// Rough width of a legend label at 14 px: sans-serif averages some 7.7 px a character.
double legend_text_width(std::string_view label) { return 7.7 * static_cast<double>(label.size()); }

// Path data: a move to (x, `rest`...), built by appending (GCC 12 misreads the operator+ chain).
std::string move_to(double x, std::string_view rest) {
  std::string d = "M";
  append_svg_number(d, x);
  d += rest;
  return d;
}

}  // namespace

void draw_title(SvgWriter& svg, const Grid& grid, const ResultsData& data, const std::string& name,
                const PlotStyle& style) {
  svg.open("g").attr("font-family", "sans-serif").attr("fill", "#111111");
  const std::string last = name + " \u2014 last generation " + integer_text(grid.g_last);
  // A run's title holds all eight parameters: it starts at the page's edge to have room.
  text(svg, style.title ? 24 : kPlotLeft, 26, style.title ? *style.title : last, "start", 17);
  text(svg, kPlotLeft, 48, (style.title ? last + "; " : std::string()) + contents_note(grid, data),
       "start");
  svg.close();
}

void draw_colour_bar(SvgWriter& svg, const Grid& grid) {
  const double height = kPlotBottom - kPlotTop;
  svg.open("g").attr("id", "colour-bar").attr("shape-rendering", "crispEdges");
  for (int level = 0; level < kColourLevels; ++level) {
    const double top = kPlotBottom - height * (level + 1) / kColourLevels;
    svg.open("rect")
        .attr("x", kBarLeft)
        .attr("y", top)
        .attr("width", kBarWidth)
        .attr("height", height / kColourLevels + 0.01)
        .attr("fill", level_colour(level))
        .close();
  }
  svg.close();
  svg.open("rect")
      .attr("x", kBarLeft)
      .attr("y", kPlotTop)
      .attr("width", kBarWidth)
      .attr("height", height)
      .attr("fill", "none")
      .attr("stroke", "#444444")
      .close();
  // The top of the scale, then round counts (1, 2, 5 times a power of ten) from the top
  // down, far enough apart to read.
  std::vector<double> values{grid.value_max};
  const double top_power = std::pow(10.0, std::floor(std::log10(grid.value_max)));
  const double lowest = top_power >= 1 ? 1.0 : top_power / 100;
  for (double power = top_power; power >= lowest * (1 - 1e-9); power /= 10) {
    for (double m : {5.0, 2.0, 1.0}) {
      if (m * power <= grid.value_max * (1 + 1e-12)) values.push_back(m * power);
    }
  }
  values.push_back(0.0);
  std::string marks;
  double last_y = -1e9;
  svg.open("g").attr("font-family", "sans-serif").attr("fill", "#222222");
  for (const double& v : values) {
    const double y = kPlotBottom - height * scale_position(grid, v);
    if (y - last_y < 18 && v != 0.0) continue;
    if (v == 0.0 && y - last_y < 14) continue;
    last_y = y;
    append_move(marks, kBarLeft + kBarWidth, y);
    marks += "h4";
    const bool top = &v == &values.front();
    text(svg, kBarLeft + kBarWidth + 7, y + 4,
         top ? "max " + top_value_text(grid) : svg_number(v, v >= 1 ? 0 : 4), "start");
  }
  svg.close();
  svg.open("path").raw_attr("d", marks).attr("stroke", "#444444").attr("fill", "none").close();
  std::string label = "parasites (n_p";
  label += grid.per_class ? " per class" : " per row";
  if (grid.per_column > 1) label += ", mean per generation";
  label += "), log scale";
  svg.open("text")
      .attr("x", 0.0)
      .attr("y", 0.0)
      .attr("font-size", kAxisTitleSize)
      .attr("font-family", "sans-serif")
      .attr("text-anchor", "middle")
      .attr("fill", "#222222")
      .attr("transform",
            "translate(1176 " + svg_number((kPlotTop + kPlotBottom) / 2) + ") rotate(-90)")
      .text(label)
      .close();
}

void draw_legend(SvgWriter& svg, bool offer_range) {
  const double y = 72;
  svg.open("g")
      .attr("font-family", "sans-serif")
      .attr("font-size", kTextSize)
      .attr("fill", "#222222");
  double x = kPlotLeft;
  host_line(svg, move_to(x, " 67h24"), 2.0);
  const std::string host = "host in use (r_phe)";
  text(svg, x + 30, y, host, "start");
  x += 30 + legend_text_width(host) + 24;
  svg.open("path")
      .raw_attr("d",
                offer_range ? move_to(x, " 63h12") + move_to(x, " 71h12") : move_to(x, " 67h6"))
      .attr("stroke", kOfferColour)
      .attr("stroke-width", offer_range ? 1.0 : 1.5)
      .close();
  const std::string offer = offer_range ? "lowest and highest new host offered in a column (rl_phe)"
                                        : "new host offered (rl_phe)";
  text(svg, x + (offer_range ? 18 : 12), y, offer, "start");
  x += (offer_range ? 18 : 12) + legend_text_width(offer) + 24;
  svg.open("path")
      .raw_attr("d", move_to(x, " 61v11"))
      .attr("stroke", kHostColour)
      .attr("stroke-width", 2.0)
      .close();
  text(svg, x + 8, y, "host switch (n_HS > 0), in the strip above the plot", "start");
  svg.close();
}

}  // namespace hostswitch::plot_detail
