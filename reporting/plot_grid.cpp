#include "reporting/plot_grid.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "reporting/figure_scale.hpp"

namespace hostswitch::plot_detail {

std::string level_colour(int level) {
  return viridis_hex(static_cast<double>(level) / (kColourLevels - 1));
}

namespace {

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

// Rows one class wide when at most `max_rows` of them cover the classes and the hosts,
// else `max_rows` equal rows over that range.
void lay_out_rows(Grid& grid, const ResultsData& data, std::int64_t max_rows) {
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
}

// Each class's count goes to the rows it covers, in proportion to how much of it each holds.
void add_class_counts(Grid& grid, const ResultsData& data) {
  const double w = grid.class_width;
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
}

// A column's cells become means per generation of the generations it spans.
void average_over_generations(Grid& grid) {
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
}

}  // namespace

Grid build_grid(const ResultsData& data, std::int64_t max_columns, std::int64_t max_rows) {
  Grid grid;
  grid.g_first = data.generations.front().n_g;
  grid.g_last = data.generations.back().n_g;
  const std::int64_t span = std::int64_t{grid.g_last} - grid.g_first + 1;
  grid.per_column = (span + max_columns - 1) / max_columns;
  grid.columns = (span + grid.per_column - 1) / grid.per_column;
  grid.class_width = infer_class_width(data, grid.class_width_known);
  lay_out_rows(grid, data, max_rows);
  add_class_counts(grid, data);
  average_over_generations(grid);
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

}  // namespace hostswitch::plot_detail
