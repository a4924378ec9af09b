#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "analysis/grid_point_stats.hpp"
#include "analysis/summary_data.hpp"
#include "analysis/trajectory_data.hpp"

namespace hostswitch {

// Which parameter goes on the x axis of the probability figure, which one picks the
// colour, and which are left to the small multiples (one panel per combination).
struct ReportAxes {
  std::size_t x = 0;
  std::optional<std::size_t> colour;
  std::vector<std::size_t> panels;
};

// x defaults to the parameter with most values (the first of equals), colour to the next
// parameter with more than one value; throws std::invalid_argument when both are the same.
ReportAxes choose_axes(const std::vector<GridPointStats>& stats, std::optional<std::size_t> x,
                       std::optional<std::size_t> colour);
ReportAxes choose_axes(const SummaryData& summary, std::optional<std::size_t> x,
                       std::optional<std::size_t> colour);

// The whole self-contained page: facts, a note on missing rows, the figures, the table.
// `stats` holds every grid point of the summary, or with more than the probability figure
// draws, at least those of the table and the per-grid-point figures (the first 500).
std::string report_html(const SummaryData& summary, const std::vector<GridPointStats>& stats,
                        const std::vector<GridPointTrajectory>* trajectories,
                        const ReportAxes& axes);

struct ReportOptions {
  std::filesystem::path summary;
  std::optional<std::filesystem::path> trajectories;
  std::filesystem::path table = "stats.csv";
  std::filesystem::path html = "report.html";
  // Of a sobol or morris design's summary: the indices or effects per parameter and output.
  std::filesystem::path sensitivity = "sensitivity.csv";
  std::optional<std::size_t> x;
  std::optional<std::size_t> colour;
};

struct ReportFacts {
  std::size_t grid_points = 0;
  std::int64_t rows = 0;
  std::int64_t missing_rows = 0;
  bool sensitivity = false;  // whether the sensitivity table was written
};

// Reads the summary (and trajectories), writes the table and the page. Throws
// ReportInputError for a faulty input, std::runtime_error when an output cannot be written.
ReportFacts write_report(const ReportOptions& options);

}  // namespace hostswitch
