#pragma once

// A phase map: one per-point outcome as coloured cells over two swept parameters, in small
// multiples over up to two more.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hostswitch::report_detail {

// One axis of the map: a cell per value of a swept parameter.
struct MapAxis {
  std::size_t parameter = 0;
  std::vector<double> values;      // increasing
  std::vector<std::string> texts;  // each value as the statistics table writes it
  bool log = false;                // cells placed on a logarithmic scale
};

struct MapCell {
  std::optional<double> value;  // none: the table's field is empty
  std::string text;             // the field as the statistics table writes it
  std::int32_t grid_index = 0;
};

struct MapPanel {
  std::string title;
  // Row by row from the smallest y: cells[y * x.values.size() + x]; none where no grid point is.
  std::vector<std::optional<MapCell>> cells;
};

struct PhaseMap {
  std::string id;       // on the page
  std::string name;     // the file's stem
  std::string outcome;  // the column of the statistics table
  std::string caption;
  std::string footnote;  // what the map holds fixed, its n_gen and replicates
  MapAxis x;
  MapAxis y;
  std::size_t columns = 1;  // panels side by side; the panels come row by row
  std::vector<MapPanel> panels;
};

// An axis's cells on a logarithmic scale: when its positive values span two decades or more.
bool map_axis_log(const std::vector<double>& values);

// The map as one SVG, its panels the size of the report's other panels: on the page in
// pixels, in a file one 8.5 cm column per panel. Each cell carries data-x, data-y,
// data-value, the statistics table's own text of them, and data-grid-index.
std::string phase_map_svg(const PhaseMap& map, bool for_file);

}  // namespace hostswitch::report_detail
