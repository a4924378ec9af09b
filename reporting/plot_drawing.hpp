#pragma once

// The parts of the picture of a results file, drawn in page order by render_results_svg, and
// the few SVG pieces they share. Internal to reporting/ (plot.hpp is the interface).

#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/svg_writer.hpp"
#include "reporting/plot.hpp"
#include "reporting/plot_grid.hpp"

namespace hostswitch::plot_detail {

// The title, and the note under it of what the picture holds.
void draw_title(SvgWriter& svg, const Grid& grid, const ResultsData& data, const std::string& name,
                const PlotStyle& style);
void draw_legend(SvgWriter& svg, bool offer_range);
// The plot area: cells, new hosts offered, the host in use, switch marks, frame and axes.
void draw_heatmap(SvgWriter& svg, const Grid& grid, const std::vector<CellBox>& boxes,
                  const ResultsData& data);
void draw_colour_bar(SvgWriter& svg, const Grid& grid);
void draw_population(SvgWriter& svg, const Grid& grid, const ResultsData& data, bool log_scale);

void text(SvgWriter& svg, double x, double y, std::string_view content, const char* anchor,
          int size = kTextSize);

// Path data: a move to (x, y).
void append_move(std::string& d, double x, double y);

// The generations labelled on the x axis, shared by the heatmap and the population panel.
std::vector<double> generation_ticks(const Grid& grid);

// The host in use: a vermillion line in a black outline, which shows on every colour of the
// scale (the outline on the light end, the vermillion on the dark one).
void host_line(SvgWriter& svg, const std::string& d, double width);

// Path data that merges runs of horizontal moves into one.
class StepPath {
 public:
  void move(double x, double y) {
    flush();
    append_move(out_, x, y);
    y_ = y;
  }
  void vertical(double y) {
    if (y == y_) return;
    flush();
    out_ += 'V';
    append_svg_number(out_, y);
    y_ = y;
  }
  void horizontal(double x) { pending_x_ = x; }
  const std::string& data() {
    flush();
    return out_;
  }

 private:
  void flush() {
    if (std::isnan(pending_x_)) return;
    out_ += 'H';
    append_svg_number(out_, pending_x_);
    pending_x_ = std::numeric_limits<double>::quiet_NaN();
  }
  std::string out_;
  double y_ = 0;
  double pending_x_ = std::numeric_limits<double>::quiet_NaN();
};

}  // namespace hostswitch::plot_detail
