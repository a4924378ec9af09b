#include "analysis/report.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <unordered_set>

#include "analysis/csv_input.hpp"
#include "analysis/discovery_report.hpp"
#include "analysis/phase_map_figure.hpp"
#include "analysis/provenance.hpp"
#include "analysis/report_figures.hpp"
#include "analysis/sensitivity_report.hpp"
#include "analysis/summary_format.hpp"
#include "base/atomic_file.hpp"
#include "base/io_failure.hpp"
#include "base/svg_writer.hpp"
#include "reporting/figure_scale.hpp"
#include "reporting/svg_convert.hpp"

namespace hostswitch {

namespace {

using namespace report_detail;

void page_figure(std::string& out, const Figure& figure, const Colouring& colouring) {
  out += "<figure id=\"" + figure.id + "\"><figcaption>" + xml_escape(figure.caption) +
         "</figcaption>";
  if (!figure.panels.empty()) out += render_figure(figure, colouring, false);
  for (const std::string& text : figure.notes) {
    out += "<p class=\"note\">" + xml_escape(text) + "</p>";
  }
  out += "</figure>";
}

void note(std::string& out, const std::string& text) {
  out += "<p class=\"note\">" + xml_escape(text) + "</p>";
}

// A number of the page rounded for reading: 4 significant digits; whole numbers (counts,
// indices) as they are.
std::string readable(const std::string& field) {
  if (field.find_first_of(".eE") == std::string::npos) return field;
  return tick_text(std::stod(field));
}

// ---- the table and the facts

void table(std::string& out, const std::vector<GridPointStats>& stats, const SummaryData& summary) {
  const std::size_t grid_points = summary.points.size();
  std::string header = stats_table_header(summary.at_generations);
  header.pop_back();
  out += "<div class=\"table\"><table id=\"stats-table\"><thead><tr>";
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = header.find(',', start);
    out += "<th>" + xml_escape(header.substr(start, comma - start)) + "</th>";
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  out += "</tr></thead><tbody>";
  for (std::size_t i = 0; i < std::min(stats.size(), kMaxTableRows); ++i) {
    std::string row = stats_table_row(stats[i]);
    row.pop_back();
    out += "<tr>";
    start = 0;
    for (;;) {
      const std::size_t comma = row.find(',', start);
      out += "<td>" + xml_escape(readable(row.substr(start, comma - start))) + "</td>";
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    out += "</tr>";
  }
  out += "</tbody></table></div>";
  if (grid_points > kMaxTableRows) {
    note(out, "Showing the first " + std::to_string(kMaxTableRows) + " of " +
                  std::to_string(grid_points) + " grid points; the statistics file holds all.");
  }
}

void missing_note(std::string& out, const SummaryData& summary) {
  const std::vector<GridPointRuns>& stats = summary.points;
  const std::int64_t missing = summary.missing_rows();
  if (missing == 0) return;
  const std::int64_t full =
      static_cast<std::int64_t>(summary.max_grid_index) * summary.max_replicate;
  std::string text = "Incomplete summary: " + std::to_string(missing) + " of the " +
                     std::to_string(full) + " rows of the full grid (" +
                     std::to_string(summary.max_grid_index) + " grid points × " +
                     std::to_string(summary.max_replicate) +
                     " replicates) are missing, as after an interrupted or partial sweep. Every "
                     "grid point is reported with the replicates it really has (column "
                     "replicates).";
  const auto absent =
      static_cast<std::int64_t>(summary.max_grid_index) - static_cast<std::int64_t>(stats.size());
  if (absent > 0) {
    if (absent == 1) {
      text += " 1 grid point has no rows at all and is left out.";
    } else {
      text += ' ';
      text += std::to_string(absent);
      text += " grid points have no rows at all and are left out.";
    }
  }
  std::string short_points;
  std::size_t listed = 0;
  std::size_t short_count = 0;
  for (const GridPointRuns& s : stats) {
    const auto replicates = static_cast<std::int64_t>(s.replicates.size());
    if (replicates == summary.max_replicate) continue;
    ++short_count;
    if (listed++ < 10) {
      short_points += (short_points.empty() ? "" : ", ") + std::string("grid point ") +
                      std::to_string(s.grid_index) + " (" + std::to_string(replicates) + ")";
    }
  }
  if (short_count > 0) {
    text += " Grid points with fewer replicates: " + short_points +
            (short_count > 10 ? " and " + std::to_string(short_count - 10) + " more." : ".");
  }
  out +=
      "<p class=\"note missing\" id=\"missing-rows\"><strong>" + xml_escape(text) + "</strong></p>";
}

constexpr const char* kPageStyle = R"(
body{font-family:sans-serif;margin:1.5em;color:#111;max-width:1800px}
h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em}
)";

constexpr const char* kSectionStyle = R"(figure{margin:0.5em 0}figcaption{margin:0.3em 0;color:#333}
.chart{border:1px solid #ddd;background:#fff;max-width:100%;height:auto}
.note{color:#6b3500}footer{margin-top:2em;color:#555;font-size:0.85em}.missing{background:#fff3dc;border-left:4px solid #D55E00;padding:0.5em}
.table{overflow-x:auto}table{border-collapse:collapse;font-size:12px}
th,td{border:1px solid #ccc;padding:2px 5px;text-align:right}th{background:#f2f2f2}
)";

}  // namespace

namespace {

// How much a parameter varies for its size: the standard deviation of its values over the
// points, over their mean's magnitude. A design's points mostly differ in every varied
// parameter, so the count of values ties; this tells them apart.
template <class Points>
double relative_spread(const Points& points, std::size_t which) {
  double sum = 0.0;
  for (const auto& point : points) sum += parameter_value(point.parameters, which);
  const double mean = sum / static_cast<double>(points.size());
  double squares = 0.0;
  for (const auto& point : points) {
    const double d = parameter_value(point.parameters, which) - mean;
    squares += d * d;
  }
  const double sd = std::sqrt(squares / static_cast<double>(points.size()));
  return mean != 0.0 ? sd / std::fabs(mean) : sd;
}

template <class Points>
ReportAxes choose_axes_of(const Points& stats, std::optional<std::size_t> x,
                          std::optional<std::size_t> colour, bool design) {
  const std::array<std::size_t, 8> counts = distinct_counts(stats);
  // A grid ranks by values, the first of equals first; a design by relative spread.
  double grid_points = 1.0;
  for (const std::size_t count : counts) grid_points *= static_cast<double>(count);
  const std::size_t widest = *std::max_element(counts.begin(), counts.end());
  design =
      design || (grid_points != static_cast<double>(stats.size()) && widest > kMaxDiscreteValues);
  std::array<double, 8> rank{};
  for (std::size_t i = 0; i < counts.size(); ++i) {
    rank[i] = static_cast<double>(counts[i]);
    if (design && counts[i] > 1) rank[i] = 1.0 + relative_spread(stats, i);
  }
  auto most = [&rank](std::optional<std::size_t> except) {
    std::size_t best = 0;
    bool any = false;
    for (std::size_t i = 0; i < rank.size(); ++i) {
      if (except && i == *except) continue;
      if (!any || rank[i] > rank[best]) best = i;
      any = true;
    }
    return best;
  };
  ReportAxes axes;
  if (x && colour && *x == *colour) {
    throw std::invalid_argument("--x and --colour must name different parameters");
  }
  axes.x = x ? *x : most(colour);
  if (colour) {
    axes.colour = colour;
  } else {
    const std::size_t next = most(axes.x);
    if (counts[next] > 1) axes.colour = next;
  }
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] > 1 && i != axes.x && (!axes.colour || i != *axes.colour)) {
      axes.panels.push_back(i);
    }
  }
  return axes;
}

}  // namespace

ReportAxes choose_axes(const std::vector<GridPointStats>& stats, std::optional<std::size_t> x,
                       std::optional<std::size_t> colour) {
  return choose_axes_of(stats, x, colour, false);
}

ReportAxes choose_axes(const SummaryData& summary, std::optional<std::size_t> x,
                       std::optional<std::size_t> colour) {
  return choose_axes_of(summary.points, x, colour, !summary.label_names.empty());
}

namespace {

// The runs, grid points and replicates the page is about, what was swept and what is drawn
// as continuous.
std::string facts_line(const SummaryData& summary, const std::vector<std::size_t>& swept,
                       const std::array<std::size_t, 8>& counts, const ReportAxes& axes) {
  const std::vector<GridPointRuns>& points = summary.points;
  auto fewest = static_cast<std::int64_t>(points.front().replicates.size());
  std::int64_t most = fewest;
  for (const GridPointRuns& point : points) {
    fewest = std::min(fewest, static_cast<std::int64_t>(point.replicates.size()));
    most = std::max(most, static_cast<std::int64_t>(point.replicates.size()));
  }
  std::string facts = std::to_string(summary.rows) + " runs over " + std::to_string(points.size()) +
                      " grid points, " +
                      (fewest == most ? std::to_string(most)
                                      : std::to_string(fewest) + " to " + std::to_string(most)) +
                      " replicates each.";
  if (!swept.empty()) {
    facts += " Swept:";
    for (const std::size_t which : swept) {
      facts += ' ';
      facts += kParameterNames[which];
      facts += " (";
      facts += std::to_string(counts[which]);
      facts += " values)";
    }
    facts += ".";
  }
  std::vector<std::string> unsplit;
  for (const std::size_t which : axes.panels) {
    if (counts[which] > kMaxDiscreteValues) unsplit.emplace_back(kParameterNames[which]);
  }
  if (!unsplit.empty()) {
    facts += " Continuous, so not given panels of their own:";
    for (const std::string& name : unsplit) facts += " " + name;
    facts += ".";
  }
  return facts;
}

}  // namespace

namespace {

// Panels of one figure file: one above the other a column wide, so many stay within 8,000
// pixels at 300 dpi with the legend above them.
constexpr std::size_t kFilePanels = 8;

// The figure as files: one, or with more panels than a file holds, numbered pages of it.
void add_figure_files(std::vector<FigureFile>& files, const Figure& figure,
                      const Colouring& colouring) {
  if (figure.panels.size() <= kFilePanels) {
    files.push_back(FigureFile{figure.name, render_figure(figure, colouring, true)});
    return;
  }
  for (std::size_t first = 0, page = 1; first < figure.panels.size();
       first += kFilePanels, ++page) {
    Figure part = figure;
    part.name.append("-").append(std::to_string(page));
    const auto end = std::min(first + kFilePanels, figure.panels.size());
    part.panels.assign(figure.panels.begin() + static_cast<std::ptrdiff_t>(first),
                       figure.panels.begin() + static_cast<std::ptrdiff_t>(end));
    files.push_back(FigureFile{part.name, render_figure(part, colouring, true)});
  }
}

void maps_section(std::string& out, const PhaseMaps& maps, const std::string& footnote,
                  std::vector<FigureFile>* files) {
  if (maps.maps.empty() && maps.notes.empty()) return;
  out += "<section id=\"phase-maps\"><h2>Phase maps</h2>";
  for (PhaseMap map : maps.maps) {
    map.footnote = footnote;
    out += "<figure id=\"" + xml_escape(map.id) + "\" class=\"phase-map\"><figcaption>" +
           xml_escape(map.caption) + "</figcaption>" + phase_map_svg(map, false) + "</figure>";
    if (files != nullptr) files->push_back(FigureFile{map.name, phase_map_svg(map, true)});
  }
  for (const std::string& text : maps.notes) note(out, text);
  out += "</section>";
}

}  // namespace

std::string report_sections(const SummaryData& summary, const std::vector<GridPointStats>& stats,
                            const std::vector<GridPointTrajectory>* trajectories,
                            const ReportAxes& axes, std::vector<FigureFile>* figure_files,
                            const PhaseMaps* maps) {
  Colouring colouring;
  colouring.parameter = axes.colour;
  const std::vector<GridPointRuns>& points = summary.points;
  if (axes.colour) colouring.values = distinct_values(points, *axes.colour);
  const std::array<std::size_t, 8> counts = distinct_counts(points);
  std::vector<std::size_t> swept;
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    if (counts[i] > 1) swept.push_back(i);
  }
  const FigureContext context{stats, points.size(), axes, colouring, discrete(axes.panels, counts),
                              swept, counts};
  // Each figure goes on the page and, when asked for, into a file of its own.
  const std::string footnote = figure_footnote(summary);
  auto show = [&](std::string& out, Figure figure) {
    figure.footnote = footnote;
    page_figure(out, figure, colouring);
    if (figure_files != nullptr && !figure.panels.empty()) {
      add_figure_files(*figure_files, figure, colouring);
    }
  };

  std::string out;

  const std::string facts = facts_line(summary, swept, counts, axes);
  out += "<p class=\"facts\">" + xml_escape(facts) + "</p>";
  missing_note(out, summary);
  if (!summary.has_outcomes) {
    note(out,
         "This summary was written before version 0.4.0 and has no first_switch_generation: "
         "p_switched_by_G is left empty.");
  }

  // The sections in page order; each is self-contained, so one more can go between them.
  out += "<section id=\"probabilities\"><h2>Extinction and host switching</h2>";
  show(out, against_x_figure(context, proportion_measure(true)));
  show(out, against_x_figure(context, proportion_measure(false)));
  out += "</section>";

  if (maps != nullptr) maps_section(out, *maps, footnote, figure_files);

  out += "<section id=\"survival\"><h2>Time to extinction</h2>";
  show(out, survival_figure(context));
  show(out, against_x_figure(context, km_median_measure()));
  out += "</section>";

  out += "<section id=\"by-generation\"><h2>Switched and extinct by generation</h2>";
  show(out, shares_by_generation_figure(context));
  out += "</section>";

  out += "<section id=\"trajectories\"><h2>Population size over generations</h2>";
  if (trajectories != nullptr) {
    show(out, trajectory_figure(context, *trajectories));
  } else {
    out += "<p>No trajectories were given (report --trajectories PATH draws them).</p>";
  }
  out += "</section>";

  out += "<section id=\"switches\"><h2>Host switches per run</h2>";
  show(out, switches_figure(context));
  show(out, against_x_figure(context, mean_switches_measure()));
  out += "</section>";

  out += "<section id=\"statistics\"><h2>Statistics per grid point</h2>";
  out +=
      "<p>Numbers rounded to 4 significant digits; the statistics file holds them in full. "
      "p_*_lo and p_*_hi: Wilson score 95% interval. km_*: Kaplan–Meier median "
      "generation of extinction with its 95% interval; empty where the curve (or its bound) "
      "never comes down to one half. mean_final_n_pop counts extinct runs as 0; "
      "mean_final_displacement is the mean of final_r_phe − 10. mean_switch_rate: the mean of "
      "switch_generations / generations_run. p_switched_by_G and p_extinct_by_G: the shares "
      "whose first switch, or extinction, came at or before generation G.</p>";
  table(out, stats, summary);
  out += "</section>";
  return out;
}

std::string report_html(const SummaryData& summary, const std::vector<GridPointStats>& stats,
                        const std::vector<GridPointTrajectory>* trajectories,
                        const ReportAxes& axes, std::vector<FigureFile>* figure_files,
                        const PhaseMaps* maps) {
  std::string out;
  out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
  // Nothing on the page may reach the network.
  out +=
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; img-src data:\">";
  out += "<title>Replicate statistics of " + xml_escape(summary.file) + "</title><style>";
  out += kPageStyle;
  out += kSectionStyle;
  out += "</style></head><body>";
  out += "<h1>Replicate statistics of " + xml_escape(summary.file) + "</h1>";
  out += report_sections(summary, stats, trajectories, axes, figure_files, maps);
  out += "</body></html>\n";
  return out;
}

namespace {

// Past what the probability figure draws, the page shows only the table's first rows.
std::size_t kept_stats(std::size_t grid_points) {
  return grid_points <= kMaxDrawnPoints ? grid_points : std::max(kMaxTableRows, kMaxPanels);
}

constexpr int kFigureDpi = 300;
constexpr std::int64_t kMaxFigurePixels = 8000;

// The pixels of a figure file's SVG (its width and height in cm) at `dpi`.
std::pair<std::int64_t, std::int64_t> figure_pixels(const std::string& svg, int dpi) {
  const auto length = [&svg, dpi](const std::string& attribute) -> std::int64_t {
    const auto at = svg.find(" " + attribute + "=\"");
    if (at == std::string::npos) return 0;
    const double cm = std::stod(svg.substr(at + attribute.size() + 3));
    return static_cast<std::int64_t>(std::ceil(cm / 2.54 * dpi));
  };
  return {length("width"), length("height")};
}

void write_figure_files(const std::filesystem::path& directory,
                        const std::vector<FigureFile>& figures, const Provenance& provenance) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) throw IoFailure("open", directory, ec.value());
  for (const FigureFile& figure : figures) {
    const std::filesystem::path stem = directory / figure.name;
    const auto [width, height] = figure_pixels(figure.svg, kFigureDpi);
    if (std::max(width, height) > kMaxFigurePixels) {
      throw std::runtime_error("figure " + figure.name + " would be " + std::to_string(width) +
                               " x " + std::to_string(height) + " pixels at " +
                               std::to_string(kFigureDpi) + " dpi, more than " +
                               std::to_string(kMaxFigurePixels) +
                               " a side: report --fix NAME=VALUE draws fewer grid points");
    }
    try {
      const std::string svg = svg_with_provenance(figure.svg, figure.name, provenance);
      write_file_atomically(std::filesystem::path(stem).concat(".svg"), svg);
      write_file_atomically(
          std::filesystem::path(stem).concat(".pdf"),
          pdf_with_provenance(convert_svg(svg, ImageFormat::kPdf), figure.name, provenance));
      write_file_atomically(std::filesystem::path(stem).concat(".png"),
                            png_with_provenance(convert_svg(svg, ImageFormat::kPng, kFigureDpi),
                                                figure.name, provenance));
    } catch (const SvgConvertError& error) {
      throw SvgConvertError("figure " + figure.name + ": " + error.what());
    }
  }
}

}  // namespace

ReportFacts write_report(const ReportOptions& options) {
  SummaryData summary = read_summary(options.summary);
  const Provenance provenance = summary_provenance(options.summary, options.arguments);
  if (!options.at.empty()) summary.at_generations = options.at;
  const FixedValues& fixed = options.map.fixed;
  check_fixed(summary, fixed);
  // With --fix, the page is about the grid points it selects; the table file keeps every one.
  SummaryData selection;
  if (!fixed.empty()) {
    selection.file = summary.file;
    selection.label_names = summary.label_names;
    selection.has_outcomes = summary.has_outcomes;
    selection.at_generations = summary.at_generations;
    selection.max_replicate = summary.max_replicate;
    for (const GridPointRuns& point : summary.points) {
      if (!matches(point.parameters, fixed)) continue;
      selection.points.push_back(point);
      selection.rows += static_cast<std::int64_t>(point.replicates.size());
    }
    selection.max_grid_index = static_cast<std::int32_t>(selection.points.size());
  }
  const SummaryData& shown = fixed.empty() ? summary : selection;
  PhaseMapBuilder maps(shown, options.map);
  std::vector<GridPointTrajectory> trajectories;
  if (options.trajectories) trajectories = read_trajectories(*options.trajectories, summary);
  if (!fixed.empty() && options.trajectories) {
    std::vector<GridPointTrajectory> kept;
    for (std::size_t i = 0; i < summary.points.size() && i < trajectories.size(); ++i) {
      if (matches(summary.points[i].parameters, fixed)) kept.push_back(std::move(trajectories[i]));
    }
    trajectories = std::move(kept);
  }
  ReportAxes axes = choose_axes(shown, options.x, options.colour);
  axes.log_x = options.log_x;
  const std::size_t grid_points = summary.points.size();
  const std::size_t kept = kept_stats(shown.points.size());
  std::vector<GridPointStats> stats;
  stats.reserve(kept);
  {
    // Through one buffer: with a million grid points the table is some 200 MB of text.
    AtomicFile table(options.table);
    std::string buffer = stats_table_header(summary.at_generations);
    constexpr std::size_t kFlushAt = std::size_t{1} << 20;
    buffer.reserve(kFlushAt + 4096);
    GridPointStatsBuilder builder(summary);
    for (const GridPointRuns& point : summary.points) {
      const bool selected = matches(point.parameters, fixed);
      GridPointStats s = builder(point, selected && stats.size() < kMaxPanels);
      append_stats_table_row(buffer, s);
      if (buffer.size() >= kFlushAt) {
        table.write(buffer);
        buffer.clear();
      }
      if (!selected) continue;
      maps.add(s);
      if (stats.size() < kept) stats.push_back(std::move(s));
    }
    table.write(buffer);
    table.commit();
  }
  write_sidecar(options.table, provenance);
  const PhaseMaps phase_maps = maps.finish();
  std::vector<FigureFile> figures;
  std::string page = report_html(shown, stats, options.trajectories ? &trajectories : nullptr, axes,
                                 options.figures ? &figures : nullptr, &phase_maps);
  if (!fixed.empty()) {
    std::string held;
    for (const auto& [which, value] : fixed) {
      held += (held.empty() ? "" : ", ") + std::string(kParameterNames[which]) + " = " +
              value_text(which, value);
    }
    std::string text;
    note(text, "The figures and the table show the " + std::to_string(shown.points.size()) +
                   " of " + std::to_string(grid_points) + " grid points with " + held +
                   " (--fix); the statistics file holds every one.");
    page.insert(page.find("<p class=\"facts\">"), text);
  }
  const auto sensitivity =
      sensitivity_report(summary, kSensitivityResamples, options.figures ? &figures : nullptr);
  if (sensitivity) page.insert(page.rfind("</body>"), sensitivity->html);
  if (sensitivity && !sensitivity->csv.empty()) {
    write_file_atomically(options.sensitivity, sensitivity->csv);
    write_sidecar(options.sensitivity, provenance);
  }
  if (options.discover) {
    const DiscoveryReport discovery = discovery_report(summary, *options.discover);
    page.insert(page.rfind("</body>"), discovery.html);
    write_file_atomically(options.boxes, discovery.csv);
  }
  page.insert(page.rfind("</body>"), "<footer id=\"provenance\"><p>Made by " +
                                         xml_escape(provenance_text(provenance)) +
                                         ".</p></footer>");
  write_file_atomically(options.html, page);
  if (options.figures) write_figure_files(*options.figures, figures, provenance);
  return ReportFacts{grid_points, summary.rows, summary.missing_rows(),
                     sensitivity && !sensitivity->csv.empty(), options.discover.has_value()};
}

std::string report_sections_style() { return kSectionStyle; }

std::string report_fragment(const SummaryData& summary,
                            const std::vector<GridPointTrajectory>* trajectories,
                            const ReportAxes& axes) {
  std::vector<GridPointStats> stats;
  const std::size_t kept = kept_stats(summary.points.size());
  stats.reserve(kept);
  GridPointStatsBuilder builder(summary);
  PhaseMapBuilder maps(summary, MapRequest{});
  for (const GridPointRuns& point : summary.points) {
    if (stats.size() == kept && !maps.drawing()) break;
    GridPointStats s = builder(point, stats.size() < kMaxPanels);
    maps.add(s);
    if (stats.size() < kept) stats.push_back(std::move(s));
  }
  const PhaseMaps phase_maps = maps.finish();
  std::string out = report_sections(summary, stats, trajectories, axes, nullptr, &phase_maps);
  if (const auto sensitivity = sensitivity_report(summary)) out += sensitivity->html;
  return out;
}

}  // namespace hostswitch
