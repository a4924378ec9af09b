#include "reporting/plot.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/svg_writer.hpp"
#include "model/parameters.hpp"
#include "reporting/plot_drawing.hpp"
#include "reporting/plot_grid.hpp"
#include "reporting/results_reader.hpp"
#include "reporting/svg_convert.hpp"

namespace hostswitch {

namespace {

using plot_detail::build_grid;
using plot_detail::CellBox;
using plot_detail::class_cells;
using plot_detail::draw_colour_bar;
using plot_detail::draw_heatmap;
using plot_detail::draw_legend;
using plot_detail::draw_population;
using plot_detail::draw_title;
using plot_detail::Grid;
using plot_detail::grid_cells;
using plot_detail::kHeight;
using plot_detail::kWidth;

// Bounds that keep the picture small however long the run.
constexpr std::int64_t kMaxColumns = 1000;
constexpr std::int64_t kMaxRows = 400;
constexpr std::size_t kMaxCellRects = 50000;

std::string write_svg(const Grid& grid, const std::vector<CellBox>& boxes, const ResultsData& data,
                      const std::string& name, const PlotStyle& style) {
  SvgWriter svg(kWidth, kHeight);
  svg.open("rect").attr("width", kWidth).attr("height", kHeight).attr("fill", "#ffffff").close();
  draw_title(svg, grid, data, name, style);
  draw_legend(svg, grid.per_column > 1);
  draw_heatmap(svg, grid, boxes, data);
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

namespace {

ImageFormat checked_picture_format(const PlotOptions& options) {
  std::error_code ec;
  if (std::filesystem::equivalent(options.results, options.picture, ec) ||
      options.results.lexically_normal() == options.picture.lexically_normal()) {
    throw PlotError(options.picture.string() + ": the picture would overwrite the results file");
  }
  std::optional<ImageFormat> format = image_format_of(options.picture);
  // A name without an extension (a device, a pipe, "-") keeps the picture's own form.
  if (!format && options.picture.extension().empty()) format = ImageFormat::kSvg;
  if (!format) {
    throw PlotError(options.picture.string() +
                    ": the picture's name must end in .svg, .pdf or .png (its format)");
  }
  return *format;
}

}  // namespace

void check_plot_options(const PlotOptions& options) { checked_picture_format(options); }

void plot_results_file(const PlotOptions& options) {
  const std::optional<ImageFormat> format = checked_picture_format(options);
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
