#include "reporting/plot.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/io_failure.hpp"
#include "base/svg_writer.hpp"
#include "model/parameters.hpp"
#include "reporting/figure_scale.hpp"
#include "reporting/results_reader.hpp"
#include "reporting/svg_convert.hpp"

namespace hostswitch {

namespace {

// Page layout in pixels.
constexpr double kWidth = 1200;
constexpr double kHeight = 880;
constexpr double kPlotLeft = 90;
constexpr double kPlotTop = 100;
constexpr double kPlotRight = 1030;
constexpr double kPlotBottom = 650;
// Cells keep clear of the frame so host lines at the edge of the range stay visible.
constexpr double kCellTop = kPlotTop + 8;
constexpr double kCellBottom = kPlotBottom - 8;
constexpr double kStripTop = 84;  // host switch marks sit in a strip above the plot
constexpr double kStripBottom = 94;
constexpr double kBarLeft = 1062;
// The population panel under the heatmap, on the same generations.
constexpr double kPopulationTop = 674;
constexpr double kPopulationBottom = 794;
// Text stays readable on a projector: nothing smaller than 14 px.
constexpr int kTextSize = 14;
constexpr int kAxisTitleSize = 15;
constexpr double kBarWidth = 18;

// Bounds that keep the picture small however long the run.
constexpr std::int64_t kMaxColumns = 1000;
constexpr std::int64_t kMaxRows = 400;
constexpr std::size_t kMaxCellRects = 50000;
// Odd, so the middle of the scale is a level of its own.
constexpr int kColourLevels = 129;

const char* const kHostColour = "#d55e00";  // vermillion: stands out on every viridis tone
const char* const kOfferColour = "#222222";
const char* const kHostOutline = "#000000";

std::string level_colour(int level) {
  return viridis_hex(static_cast<double>(level) / (kColourLevels - 1));
}

// Thousands separated by thin spaces are hard to copy; a plain integer is clearer.
std::string integer_text(std::int64_t value) { return std::to_string(value); }

struct Grid {
  std::int32_t g_first = 0;
  std::int32_t g_last = 0;
  std::int64_t per_column = 1;  // generations in one column
  std::int64_t columns = 1;
  double class_width = 0.1;
  bool class_width_known = true;
  double y_low = 0;
  double row_height = 0.1;
  std::int64_t rows = 1;
  std::vector<double> value;  // mean parasites per generation, column-major
  double value_max = 0;
  bool per_class = false;  // cells are the classes themselves, not grid rows

  double x_low() const { return g_first - 0.5; }
  double x_high() const { return x_low() + static_cast<double>(columns * per_column); }
  double y_high() const { return y_low + static_cast<double>(rows) * row_height; }
  double px_x(double generation) const {
    return kPlotLeft + (generation - x_low()) / (x_high() - x_low()) * (kPlotRight - kPlotLeft);
  }
  double px_y(double phenotype) const {
    return kCellBottom - (phenotype - y_low) / (y_high() - y_low) * (kCellBottom - kCellTop);
  }
  double column_left(std::int64_t c) const {
    return px_x(x_low() + static_cast<double>(c * per_column));
  }
  std::int64_t column_of(std::int32_t n_g) const { return (n_g - g_first) / per_column; }
};

// Class width: the narrowest gap between neighbouring centres of one generation.
double infer_class_width(const ResultsData& data, bool& known) {
  double width = std::numeric_limits<double>::infinity();
  for (std::size_t i = 1; i < data.cells.size(); ++i) {
    const ClassCell& a = data.cells[i - 1];
    const ClassCell& b = data.cells[i];
    const double gap = b.p_phe - a.p_phe;
    if (a.n_g == b.n_g && gap > 0) width = std::min(width, gap);
  }
  known = std::isfinite(width);
  return known ? width : 0.1;
}

Grid build_grid(const ResultsData& data, std::int64_t max_columns, std::int64_t max_rows) {
  Grid grid;
  grid.g_first = data.generations.front().n_g;
  grid.g_last = data.generations.back().n_g;
  const std::int64_t span = std::int64_t{grid.g_last} - grid.g_first + 1;
  grid.per_column = (span + max_columns - 1) / max_columns;
  grid.columns = (span + grid.per_column - 1) / grid.per_column;
  grid.class_width = infer_class_width(data, grid.class_width_known);
  const double w = grid.class_width;

  double p_low = std::numeric_limits<double>::infinity();
  double p_high = -p_low;
  for (const ClassCell& cell : data.cells) {
    p_low = std::min(p_low, cell.p_phe);
    p_high = std::max(p_high, cell.p_phe);
  }
  double low = p_low - w / 2;
  double high = p_high + w / 2;
  for (const GenerationHosts& g : data.generations) {
    for (double v : {g.r_phe, g.rl_phe}) {
      if (std::isfinite(v)) {
        low = std::min(low, v);
        high = std::max(high, v);
      }
    }
  }
  // Rows line up with the classes of the lowest generation when they are one class wide.
  const double below = std::ceil(((p_low - w / 2) - low) / w - 1e-9);
  const double needed = std::ceil((high - (p_low - w / 2)) / w - 1e-9) + below;
  if (needed <= static_cast<double>(max_rows)) {
    grid.row_height = w;
    grid.y_low = (p_low - w / 2) - below * w;
    grid.rows = std::max<std::int64_t>(1, static_cast<std::int64_t>(needed));
  } else {
    grid.rows = max_rows;
    grid.y_low = low;
    grid.row_height = (high - low) / static_cast<double>(max_rows);
  }

  grid.value.assign(static_cast<std::size_t>(grid.columns * grid.rows), 0.0);
  const double h = grid.row_height;
  const auto last_row = static_cast<double>(grid.rows - 1);
  for (const ClassCell& cell : data.cells) {
    const double a = cell.p_phe - w / 2;
    const double b = cell.p_phe + w / 2;
    const auto r0 =
        static_cast<std::int64_t>(std::clamp(std::floor((a - grid.y_low) / h), 0.0, last_row));
    const auto r1 =
        static_cast<std::int64_t>(std::clamp(std::floor((b - grid.y_low) / h), 0.0, last_row));
    // A class is never wider than a row, so it meets at most three rows; slivers left by
    // rounding are dropped and the class's count shared among the rows it really covers.
    std::array<double, 3> share{};
    double kept = 0;
    const std::int64_t r_end = std::min(r1, r0 + 2);
    for (std::int64_t r = r0; r <= r_end; ++r) {
      const double row_low = grid.y_low + static_cast<double>(r) * h;
      const double overlap = std::min(b, row_low + h) - std::max(a, row_low);
      if (overlap > 1e-3 * w) {
        share[static_cast<std::size_t>(r - r0)] = overlap;
        kept += overlap;
      }
    }
    const std::int64_t column = grid.column_of(cell.n_g);
    if (kept <= 0) {
      share[0] = 1;
      kept = 1;
    }
    for (std::int64_t r = r0; r <= r_end; ++r) {
      grid.value[static_cast<std::size_t>(column * grid.rows + r)] +=
          cell.n_p * share[static_cast<std::size_t>(r - r0)] / kept;
    }
  }
  for (std::int64_t c = 0; c < grid.columns; ++c) {
    const std::int64_t first = grid.g_first + c * grid.per_column;
    const std::int64_t generations =
        std::min<std::int64_t>(grid.per_column, std::int64_t{grid.g_last} - first + 1);
    for (std::int64_t r = 0; r < grid.rows; ++r) {
      double& v = grid.value[static_cast<std::size_t>(c * grid.rows + r)];
      v /= static_cast<double>(generations);
      grid.value_max = std::max(grid.value_max, v);
    }
  }
  return grid;
}

// Counts run from one parasite to the whole capacity, so the colour follows
// log(1 + count) / log(1 + largest count): a lone parasite still shows against a crowd.
double scale_position(const Grid& grid, double v) {
  return grid.value_max > 0 ? std::log1p(v) / std::log1p(grid.value_max) : 0.0;
}

int level_of(const Grid& grid, double v) {
  const double t = scale_position(grid, v);
  return std::clamp(static_cast<int>(std::lround(t * (kColourLevels - 1))), 0, kColourLevels - 1);
}

// One cell rectangle in pixels, or several equal cells merged.
struct CellBox {
  double left, top, width, height;
  int level;
};

// Grid cells, equal neighbours within a column merged.
std::vector<CellBox> grid_cells(const Grid& grid) {
  std::vector<CellBox> boxes;
  const double row_px = (kCellBottom - kCellTop) / static_cast<double>(grid.rows);
  for (std::int64_t c = 0; c < grid.columns; ++c) {
    const double left = grid.column_left(c);
    const double width = grid.column_left(c + 1) - left;
    for (std::int64_t r = 0; r < grid.rows;) {
      const double v = grid.value[static_cast<std::size_t>(c * grid.rows + r)];
      if (v <= 0) {
        ++r;
        continue;
      }
      const int level = level_of(grid, v);
      std::int64_t end = r + 1;
      while (end < grid.rows) {
        const double next = grid.value[static_cast<std::size_t>(c * grid.rows + end)];
        if (next <= 0 || level_of(grid, next) != level) break;
        ++end;
      }
      const double top = kCellBottom - static_cast<double>(end) * row_px;
      boxes.push_back({left, top, width, static_cast<double>(end - r) * row_px, level});
      r = end;
    }
  }
  return boxes;
}

// With a column per generation every class is drawn where it lies, its own count as its
// colour: neighbouring classes meet halfway between their centres, so nothing is smeared.
std::vector<CellBox> class_cells(Grid& grid, const ResultsData& data) {
  grid.per_class = true;
  grid.value_max = 0;
  for (const ClassCell& cell : data.cells)
    grid.value_max = std::max<double>(grid.value_max, cell.n_p);
  const double w = grid.class_width;
  std::vector<CellBox> boxes;
  const std::size_t n = data.cells.size();
  for (std::size_t i = 0; i < n;) {
    const ClassCell& first = data.cells[i];
    const int level = level_of(grid, first.n_p);
    const auto adjacent = [&](std::size_t a, std::size_t b) {
      return data.cells[a].n_g == data.cells[b].n_g &&
             data.cells[b].p_phe - data.cells[a].p_phe < 1.5 * w;
    };
    const double low = i > 0 && adjacent(i - 1, i) ? (data.cells[i - 1].p_phe + first.p_phe) / 2
                                                   : first.p_phe - w / 2;
    std::size_t end = i + 1;
    while (end < n && adjacent(end - 1, end) && level_of(grid, data.cells[end].n_p) == level) {
      ++end;
    }
    const double high = end < n && adjacent(end - 1, end)
                            ? (data.cells[end - 1].p_phe + data.cells[end].p_phe) / 2
                            : data.cells[end - 1].p_phe + w / 2;
    const std::int64_t column = grid.column_of(first.n_g);
    const double left = grid.column_left(column);
    const double top = grid.px_y(high);
    boxes.push_back({left, top, grid.column_left(column + 1) - left, grid.px_y(low) - top, level});
    i = end;
  }
  return boxes;
}

void text(SvgWriter& svg, double x, double y, std::string_view content, const char* anchor,
          int size = kTextSize) {
  svg.open("text").attr("x", x).attr("y", y).attr("font-size", size);
  if (std::string_view(anchor) != "start") svg.attr("text-anchor", anchor);
  svg.text(content).close();
}

// Path data that merges runs of horizontal moves into one.
class StepPath {
 public:
  void move(double x, double y) {
    flush();
    out_ += 'M';
    append_svg_number(out_, x);
    out_ += ' ';
    append_svg_number(out_, y);
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

struct ColumnHosts {
  double r_first = NAN, r_last = NAN, r_min = NAN, r_max = NAN;
  double rl_min = NAN, rl_max = NAN;
  bool switched = false;
};

std::vector<ColumnHosts> column_hosts(const Grid& grid, const ResultsData& data) {
  std::vector<ColumnHosts> columns(static_cast<std::size_t>(grid.columns));
  for (const GenerationHosts& g : data.generations) {
    ColumnHosts& c = columns[static_cast<std::size_t>(grid.column_of(g.n_g))];
    if (std::isfinite(g.r_phe)) {
      if (std::isnan(c.r_first)) {
        c.r_first = c.r_min = c.r_max = g.r_phe;
      }
      c.r_last = g.r_phe;
      c.r_min = std::min(c.r_min, g.r_phe);
      c.r_max = std::max(c.r_max, g.r_phe);
    }
    if (std::isfinite(g.rl_phe)) {
      c.rl_min = std::isnan(c.rl_min) ? g.rl_phe : std::min(c.rl_min, g.rl_phe);
      c.rl_max = std::isnan(c.rl_max) ? g.rl_phe : std::max(c.rl_max, g.rl_phe);
    }
    c.switched = c.switched || g.switched();
  }
  return columns;
}

void draw_axes(SvgWriter& svg, const Grid& grid) {
  SvgWriter& g = svg.open("g").attr("stroke", "#444444").attr("stroke-width", 1.0);
  std::string marks;
  const double x_step = std::max(1.0, nice_step(grid.x_high() - grid.x_low(), 8));
  const std::vector<double> x_ticks = linear_ticks(grid.x_low(), grid.x_high(), x_step);
  for (double t : x_ticks) {
    marks += 'M';
    append_svg_number(marks, grid.px_x(t));
    marks += ' ';
    append_svg_number(marks, kPlotBottom);
    marks += "v5";
  }
  const double y_step = nice_step(grid.y_high() - grid.y_low, 8);
  const std::vector<double> y_ticks = linear_ticks(grid.y_low, grid.y_high(), y_step);
  for (double t : y_ticks) {
    marks += 'M';
    append_svg_number(marks, kPlotLeft);
    marks += ' ';
    append_svg_number(marks, grid.px_y(t));
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
  text(svg, (kPlotLeft + kPlotRight) / 2, kPopulationBottom + 48, "generation (n_g)", "middle",
       kAxisTitleSize);
  const double mid_y = (kPlotTop + kPlotBottom) / 2;
  svg.open("text")
      .attr("x", 0.0)
      .attr("y", 0.0)
      .attr("font-size", kAxisTitleSize)
      .attr("text-anchor", "middle")
      .attr("transform", "translate(24 " + svg_number(mid_y) + ") rotate(-90)")
      .text("phenotype (p_phe)")
      .close();
  svg.close();
}

// The largest count: whole for classes drawn one by one, a mean with about four digits.
std::string top_value_text(const Grid& grid) {
  const double v = grid.value_max;
  if (grid.per_class) return svg_number(v, 0);
  return svg_number(v, v >= 1000 ? 0 : v >= 100 ? 1 : v >= 10 ? 2 : 3);
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
    marks += 'M';
    append_svg_number(marks, kBarLeft + kBarWidth);
    marks += ' ';
    append_svg_number(marks, y);
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

// The host in use: a vermillion line in a black outline, which shows on every colour of the
// scale (the outline on the light end, the vermillion on the dark one).
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

// Rough width of a legend label at 14 px: sans-serif averages some 7.7 px a character.
double legend_text_width(std::string_view label) { return 7.7 * static_cast<double>(label.size()); }

// Path data: a move to (x, `rest`...), built by appending (GCC 12 misreads the operator+ chain).
std::string move_to(double x, std::string_view rest) {
  std::string d = "M";
  append_svg_number(d, x);
  d += rest;
  return d;
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

// The population of each column: the mean over its generations of the parasites that
// entered them (their n_p summed).
std::vector<double> column_population(const Grid& grid, const ResultsData& data) {
  std::vector<double> total(static_cast<std::size_t>(grid.columns), 0.0);
  std::vector<double> generations(static_cast<std::size_t>(grid.columns), 0.0);
  for (const ClassCell& cell : data.cells) {
    total[static_cast<std::size_t>(grid.column_of(cell.n_g))] += cell.n_p;
  }
  for (const GenerationHosts& g : data.generations) {
    generations[static_cast<std::size_t>(grid.column_of(g.n_g))] += 1.0;
  }
  for (std::size_t c = 0; c < total.size(); ++c) {
    if (generations[c] > 0) total[c] /= generations[c];
  }
  return total;
}

void draw_population(SvgWriter& svg, const Grid& grid, const ResultsData& data, bool log_scale) {
  const std::vector<double> population = column_population(grid, data);
  double top = 1.0;
  for (const double v : population) top = std::max(top, v);
  const double span = kPopulationBottom - kPopulationTop;
  const double lo = log_scale ? 1.0 : 0.0;
  const double hi = log_scale ? std::max(10.0, top * 1.2) : top * 1.08;
  auto px_y = [&](double v) {
    const double t =
        log_scale ? std::log10(std::max(v, 1.0)) / std::log10(hi) : (v - lo) / (hi - lo);
    return kPopulationBottom - 4 - t * (span - 8);
  };
  svg.open("rect")
      .attr("id", "population-area")
      .attr("x", kPlotLeft)
      .attr("y", kPopulationTop)
      .attr("width", kPlotRight - kPlotLeft)
      .attr("height", span)
      .attr("fill", "#ffffff")
      .attr("stroke", "#444444")
      .close();
  const std::vector<double> ticks =
      log_scale ? log_ticks(lo, hi, 4) : linear_ticks(lo, hi, nice_step(hi - lo, 3));
  std::string marks;
  svg.open("g").attr("font-family", "sans-serif").attr("fill", "#222222");
  for (const double t : ticks) {
    marks += 'M';
    append_svg_number(marks, kPlotLeft);
    marks += ' ';
    append_svg_number(marks, px_y(t));
    marks += "h-5";
    text(svg, kPlotLeft - 8, px_y(t) + 5, tick_text(t), "end");
  }
  svg.close();
  std::string values;
  StepPath line;
  for (std::int64_t c = 0; c < grid.columns; ++c) {
    const double v = population[static_cast<std::size_t>(c)];
    if (c == 0) {
      line.move(grid.column_left(c), px_y(v));
    } else {
      values += ' ';
    }
    line.vertical(px_y(v));
    line.horizontal(grid.column_left(c + 1));
    append_svg_number(values, v, 3);
  }
  for (const double t : linear_ticks(grid.x_low(), grid.x_high(),
                                     std::max(1.0, nice_step(grid.x_high() - grid.x_low(), 8)))) {
    marks += 'M';
    append_svg_number(marks, grid.px_x(t));
    marks += ' ';
    append_svg_number(marks, kPopulationBottom);
    marks += "v5";
  }
  svg.open("path").raw_attr("d", marks).attr("stroke", "#444444").attr("fill", "none").close();
  // The values drawn, one per column, so that a reader (or a test) can take them back.
  svg.open("path")
      .attr("id", "population")
      .raw_attr("d", line.data())
      .attr("data-n-pop", values)
      .attr("stroke", "#222222")
      .attr("stroke-width", 1.75)
      .attr("fill", "none")
      .close();
  std::vector<std::string> label = {"population", "(\u03a3 n_p)"};
  if (grid.per_column > 1) label.emplace_back("column mean");
  if (log_scale) label.emplace_back("log scale");
  svg.open("text")
      .attr("font-size", kTextSize)
      .attr("font-family", "sans-serif")
      .attr("text-anchor", "middle")
      .attr("fill", "#222222")
      .attr("transform", "translate(24 " + svg_number((kPopulationTop + kPopulationBottom) / 2) +
                             ") rotate(-90)")
      .text(log_scale ? "n_pop (log)" : "n_pop")
      .close();
  svg.open("g").attr("font-family", "sans-serif").attr("fill", "#222222");
  for (std::size_t i = 0; i < label.size(); ++i) {
    text(svg, kPlotRight + 12, kPopulationTop + 16 + 18 * static_cast<double>(i), label[i],
         "start");
  }
  svg.close();
}

std::string write_svg(const Grid& grid, const std::vector<CellBox>& boxes, const ResultsData& data,
                      const std::string& name, const PlotStyle& style) {
  SvgWriter svg(kWidth, kHeight);
  svg.open("rect").attr("width", kWidth).attr("height", kHeight).attr("fill", "#ffffff").close();

  const std::int64_t generations = std::int64_t{grid.g_last} - grid.g_first + 1;
  std::int64_t switches = 0;
  for (const GenerationHosts& g : data.generations) switches += g.switched() ? 1 : 0;
  svg.open("g").attr("font-family", "sans-serif").attr("fill", "#111111");
  const std::string last = name + " \u2014 last generation " + integer_text(grid.g_last);
  // A run's title holds all eight parameters: it starts at the page's edge to have room.
  text(svg, style.title ? 24 : kPlotLeft, 26, style.title ? *style.title : last, "start", 17);
  std::string note = (style.title ? last + "; " : std::string()) + integer_text(generations) +
                     " generation" + (generations == 1 ? "" : "s") + " (" +
                     integer_text(grid.g_first) + " to " + integer_text(grid.g_last) + "), " +
                     integer_text(data.class_records) + " class records, " +
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
  text(svg, kPlotLeft, 48, note, "start");
  svg.close();
  draw_legend(svg, grid.per_column > 1);

  svg.open("rect")
      .attr("id", "plot-area")
      .attr("x", kPlotLeft)
      .attr("y", kPlotTop)
      .attr("width", kPlotRight - kPlotLeft)
      .attr("height", kPlotBottom - kPlotTop)
      .attr("fill", "#ffffff")
      .close();

  // Cells, grouped by colour so each rect carries only its geometry.
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

  const std::vector<ColumnHosts> columns = column_hosts(grid, data);
  const double column_px = grid.column_left(1) - grid.column_left(0);
  // New hosts offered: a dash per generation. A column of many generations gets a thin
  // line at its lowest and at its highest offer instead: the span of all its offers would
  // cover the cells, as the offers reach max_dist either side of the host every few
  // generations.
  std::string offers;
  if (grid.per_column == 1) {
    for (std::int64_t c = 0; c < grid.columns; ++c) {
      const ColumnHosts& h = columns[static_cast<std::size_t>(c)];
      if (std::isnan(h.rl_min)) continue;
      const double centre = (grid.column_left(c) + grid.column_left(c + 1)) / 2;
      const double half = std::clamp(0.3 * column_px, 0.75, 4.0);
      offers += 'M';
      append_svg_number(offers, centre - half);
      offers += ' ';
      append_svg_number(offers, grid.px_y(h.rl_min));
      offers += 'h';
      append_svg_number(offers, 2 * half);
    }
  } else {
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
  }
  svg.open("path")
      .attr("id", "new-host")
      .raw_attr("d", offers)
      .attr("fill", "none")
      .attr("stroke", kOfferColour)
      .attr("stroke-width", grid.per_column == 1 ? 1.5 : 0.75)
      .attr("stroke-opacity", grid.per_column == 1 ? 1.0 : 0.8)
      .close();

  // Host in use: a step line; a column that spans several hosts shows their range.
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

  std::string switch_marks;
  for (std::int64_t c = 0; c < grid.columns; ++c) {
    if (!columns[static_cast<std::size_t>(c)].switched) continue;
    switch_marks += 'M';
    append_svg_number(switch_marks, (grid.column_left(c) + grid.column_left(c + 1)) / 2);
    switch_marks += ' ';
    append_svg_number(switch_marks, kStripTop);
    switch_marks += 'V';
    append_svg_number(switch_marks, kStripBottom);
  }
  svg.open("path")
      .attr("id", "host-switches")
      .raw_attr("d", switch_marks)
      .attr("stroke", kHostColour)
      .attr("stroke-width", std::clamp(0.6 * column_px, 1.0, 3.0))
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

  svg.open("rect")
      .attr("x", kPlotLeft)
      .attr("y", kPlotTop)
      .attr("width", kPlotRight - kPlotLeft)
      .attr("height", kPlotBottom - kPlotTop)
      .attr("fill", "none")
      .attr("stroke", "#444444")
      .close();
  draw_axes(svg, grid);
  draw_colour_bar(svg, grid);
  draw_population(svg, grid, data, style.log_population);
  return svg.finish();
}

}  // namespace

std::string run_title(const SimulationParameters& parameters, std::int64_t seed) {
  std::string title;
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    title += std::string(kParameterNames[i]) + " = " + parameter_text(parameters, i) + ", ";
  }
  return title + "seed " + std::to_string(seed);
}

std::string render_results_svg(const ResultsData& data, const std::string& name,
                               const PlotStyle& style) {
  if (data.cells.empty() || data.generations.empty()) {
    throw PlotError(name + ": the file holds no class record that can be plotted");
  }
  std::int64_t max_columns = kMaxColumns;
  std::int64_t max_rows = kMaxRows;
  for (;;) {
    Grid grid = build_grid(data, max_columns, max_rows);
    if (grid.per_column == 1 && grid.row_height == grid.class_width) {
      Grid exact = grid;
      std::vector<CellBox> boxes = class_cells(exact, data);
      if (boxes.size() <= kMaxCellRects) return write_svg(exact, boxes, data, name, style);
    }
    std::vector<CellBox> boxes = grid_cells(grid);
    // A population spread over the whole range in every column would need too many cells:
    // coarsen until the picture stays small.
    if (boxes.size() <= kMaxCellRects || max_rows <= 25) {
      return write_svg(grid, boxes, data, name, style);
    }
    max_columns = std::max<std::int64_t>(50, max_columns / 2);
    max_rows = std::max<std::int64_t>(25, max_rows / 2);
  }
}

void plot_results_file(const PlotOptions& options) {
  std::error_code ec;
  if (std::filesystem::equivalent(options.results, options.picture, ec)) {
    throw PlotError(options.picture.string() + ": the picture would overwrite the results file");
  }
  std::optional<ImageFormat> format = image_format_of(options.picture);
  // A name without an extension (a device, a pipe, "-") keeps the picture's own form.
  if (!format && options.picture.extension().empty()) format = ImageFormat::kSvg;
  if (!format) {
    throw PlotError(options.picture.string() +
                    ": the picture's name must end in .svg, .pdf or .png (its format)");
  }
  ResultsData data;
  try {
    data = read_results_file(options.results);
  } catch (const ResultsReadError& error) {
    throw PlotError(error.what());
  }
  const std::string svg = render_results_svg(data, options.results.string(), options.style);
  try {
    write_file_atomically(options.picture, convert_svg(svg, *format));
  } catch (const std::runtime_error& error) {
    throw PlotError(error.what());
  }
}

}  // namespace hostswitch
