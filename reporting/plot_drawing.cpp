#include "reporting/plot_drawing.hpp"

#include <algorithm>

#include "reporting/figure_scale.hpp"

namespace hostswitch::plot_detail {

void text(SvgWriter& svg, double x, double y, std::string_view content, const char* anchor,
          int size) {
  svg.open("text").attr("x", x).attr("y", y).attr("font-size", size);
  if (std::string_view(anchor) != "start") svg.attr("text-anchor", anchor);
  svg.text(content).close();
}

void append_move(std::string& d, double x, double y) {
  d += 'M';
  append_svg_number(d, x);
  d += ' ';
  append_svg_number(d, y);
}

std::vector<double> generation_ticks(const Grid& grid) {
  const double step = std::max(1.0, nice_step(grid.x_high() - grid.x_low(), 8));
  return linear_ticks(grid.x_low(), grid.x_high(), step);
}

void host_line(SvgWriter& svg, const std::string& d, double width) {
  svg.open("path")
      .raw_attr("d", d)
      .attr("stroke", kHostOutline)
      .attr("stroke-width", width + 2.5)
      .attr("fill", "none")
      .close();
  svg.open("path")
      .raw_attr("d", d)
      .attr("stroke", kHostColour)
      .attr("stroke-width", width)
      .attr("fill", "none")
      .close();
}

}  // namespace hostswitch::plot_detail
