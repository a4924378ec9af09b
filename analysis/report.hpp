#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "analysis/grid_point_stats.hpp"
#include "analysis/phase_maps.hpp"
#include "analysis/scenario_discovery.hpp"
#include "analysis/summary_data.hpp"
#include "analysis/trajectory_data.hpp"

namespace hostswitch {

// Which parameter goes on the x axis of the probability figure, which one picks the
// colour, and which are left to the small multiples (one panel per combination).
struct ReportAxes {
  std::size_t x = 0;
  std::optional<std::size_t> colour;
  std::vector<std::size_t> panels;
  // A logarithmic x axis even when the values of --x span less than two decades.
  bool log_x = false;
};

// x defaults to the parameter with most values (the first of equals), colour to the next
// parameter with more than one value; throws std::invalid_argument when both are the same.
// Of a design (label columns, or points that are no grid of continuous values) they go by
// how much each parameter varies for its size instead (standard deviation over mean).
ReportAxes choose_axes(const std::vector<GridPointStats>& stats, std::optional<std::size_t> x,
                       std::optional<std::size_t> colour);
ReportAxes choose_axes(const SummaryData& summary, std::optional<std::size_t> x,
                       std::optional<std::size_t> colour);

// One figure as a file of its own: an SVG one journal column (8.5 cm) wide per panel, named
// after what it shows ("p_extinct-vs-emig_rate").
struct FigureFile {
  std::string name;
  std::string svg;
};

// The whole self-contained page: facts, a note on missing rows, the figures, the table.
// `stats` holds every grid point of the summary, or with more than the probability figure
// draws, at least those of the table and the per-grid-point figures (the first 500). With
// `figure_files`, every figure drawn is also added there; one with more panels than a file
// holds goes into numbered files (NAME-1, NAME-2 ...). `maps`: the phase maps' section.
std::string report_html(const SummaryData& summary, const std::vector<GridPointStats>& stats,
                        const std::vector<GridPointTrajectory>* trajectories,
                        const ReportAxes& axes, std::vector<FigureFile>* figure_files = nullptr,
                        const PhaseMaps* maps = nullptr);

struct ReportOptions {
  std::filesystem::path summary;
  std::optional<std::filesystem::path> trajectories;
  std::filesystem::path table = "stats.csv";
  std::filesystem::path html = "report.html";
  // Of a sobol or morris design's summary: the indices or effects per parameter and output.
  std::filesystem::path sensitivity = "sensitivity.csv";
  // With a condition, the scenario discovery section, and its boxes table here.
  std::optional<DiscoveryCondition> discover;
  std::filesystem::path boxes = "boxes.csv";
  std::optional<std::size_t> x;
  std::optional<std::size_t> colour;
  bool log_x = false;
  // The generations of p_switched_by_G and p_extinct_by_G, increasing; empty: the default
  // (default_generations of the largest n_gen).
  std::vector<std::int32_t> at;
  // Every figure also as DIR/NAME.svg, .pdf and .png (300 dpi).
  std::optional<std::filesystem::path> figures;
  // The phase maps' axes (--map), and the grid points the page shows (--fix).
  MapRequest map;
  // The program's arguments after its name, named in every output's provenance.
  std::vector<std::string> arguments;
};

struct ReportFacts {
  std::size_t grid_points = 0;
  std::int64_t rows = 0;
  std::int64_t missing_rows = 0;
  bool sensitivity = false;  // whether the sensitivity table was written
  bool boxes = false;        // whether the boxes table was written
};

// Reads the summary (and trajectories), writes the table and the page. Throws
// ReportInputError for a faulty input, MapRequestError for a --map or --fix the summary does
// not fit (before writing anything), std::runtime_error when an output cannot be written.
ReportFacts write_report(const ReportOptions& options);

// What the page shows below its own heading, for another page to hold (the web page's
// replicates): the facts, the note on missing rows, the figures and the table, each as
// report_html draws them, and a design's sensitivity section.
std::string report_sections(const SummaryData& summary, const std::vector<GridPointStats>& stats,
                            const std::vector<GridPointTrajectory>* trajectories,
                            const ReportAxes& axes, std::vector<FigureFile>* figure_files,
                            const PhaseMaps* maps = nullptr);
// The style sheet the sections need.
std::string report_sections_style();
// report_sections() of a summary, with the statistics `report` computes for its page.
std::string report_fragment(const SummaryData& summary,
                            const std::vector<GridPointTrajectory>* trajectories,
                            const ReportAxes& axes);

}  // namespace hostswitch
