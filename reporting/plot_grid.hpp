#pragma once

// The picture of a results file: its page layout, and the grid of generations and phenotypes
// whose cells it colours. Internal to reporting/ (plot.hpp is the interface).

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "reporting/results_reader.hpp"

namespace hostswitch::plot_detail {

// Page layout in pixels.
inline constexpr double kWidth = 1200;
inline constexpr double kHeight = 880;
inline constexpr double kPlotLeft = 90;
inline constexpr double kPlotTop = 100;
inline constexpr double kPlotRight = 1030;
inline constexpr double kPlotBottom = 650;
// Cells keep clear of the frame so host lines at the edge of the range stay visible.
inline constexpr double kCellTop = kPlotTop + 8;
inline constexpr double kCellBottom = kPlotBottom - 8;
inline constexpr double kStripTop = 84;  // host switch marks sit in a strip above the plot
inline constexpr double kStripBottom = 94;
inline constexpr double kBarLeft = 1062;
// The population panel under the heatmap, on the same generations.
inline constexpr double kPopulationTop = 674;
inline constexpr double kPopulationBottom = 794;
// Text stays readable on a projector: nothing smaller than 14 px.
inline constexpr int kTextSize = 14;
inline constexpr int kAxisTitleSize = 15;
inline constexpr double kBarWidth = 18;

// Odd, so the middle of the scale is a level of its own.
inline constexpr int kColourLevels = 129;

inline constexpr const char* kHostColour =
    "#d55e00";  // vermillion: stands out on every viridis tone
inline constexpr const char* kOfferColour = "#222222";
inline constexpr const char* kHostOutline = "#000000";

std::string level_colour(int level);

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

// At most `max_columns` columns of whole generations and `max_rows` phenotype rows, each
// cell the mean count per generation of the classes it covers.
Grid build_grid(const ResultsData& data, std::int64_t max_columns, std::int64_t max_rows);

// Where a count sits on the colour scale, from 0 to 1, and its level there.
double scale_position(const Grid& grid, double v);
int level_of(const Grid& grid, double v);

// One cell rectangle in pixels, or several equal cells merged.
struct CellBox {
  double left, top, width, height;
  int level;
};

// Grid cells, equal neighbours within a column merged.
std::vector<CellBox> grid_cells(const Grid& grid);

// With a column per generation every class is drawn where it lies, its own count as its
// colour; marks `grid` as drawn per class, with the scale's top its largest class.
std::vector<CellBox> class_cells(Grid& grid, const ResultsData& data);

// The hosts of a column's generations: the host in use first, last and its range; the
// range of new hosts offered; whether any of them switched.
struct ColumnHosts {
  double r_first = NAN, r_last = NAN, r_min = NAN, r_max = NAN;
  double rl_min = NAN, rl_max = NAN;
  bool switched = false;
};

std::vector<ColumnHosts> column_hosts(const Grid& grid, const ResultsData& data);

// The population of each column: the mean over its generations of the parasites that
// entered them (their n_p summed).
std::vector<double> column_population(const Grid& grid, const ResultsData& data);

}  // namespace hostswitch::plot_detail
