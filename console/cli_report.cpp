#include "console/cli_report.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "analysis/report.hpp"
#include "analysis/scenario_discovery.hpp"
#include "api/study.hpp"

namespace hostswitch {

namespace {

std::optional<std::size_t> parameter_flag(std::string_view flag, const std::string& name) {
  if (name.empty()) return std::nullopt;
  const auto which = parameter_by_name(name);
  if (!which) {
    std::string names;
    for (const std::string_view known : kParameterNames) {
      names += (names.empty() ? "" : ", ") + std::string(known);
    }
    throw UsageError(std::string(flag) + ": " + in_quotes(name) + " is not a parameter (" + names +
                     ")");
  }
  return which;
}

}  // namespace

CLI::App* setup_report(CLI::App& app, ReportCommandOptions& options) {
  CLI::App* report = app.add_subcommand(
      "report", "Statistics per grid point of a summary, as a CSV table and an HTML report.");
  report->add_option("summary", options.summary, "summary file")
      ->type_name("SUMMARY.csv")
      ->required();
  options.trajectories_option =
      report
          ->add_option("--trajectories", options.trajectories,
                       "trajectories of the same runs: adds the n_pop figure")
          ->type_name("PATH");
  report
      ->add_option("--table", options.table, "statistics table (and where it came from, PATH.json)")
      ->type_name("PATH")
      ->capture_default_str();
  report
      ->add_option("--sensitivity", options.sensitivity,
                   "of a sobol or morris design: the indices or elementary effects per parameter "
                   "and output (and where they came from, PATH.json)")
      ->type_name("PATH")
      ->capture_default_str();
  options.discover_option =
      report
          ->add_option("--discover", options.discover,
                       "adds where in parameter space a per-point output meets this condition, "
                       "as discover finds it (e.g. 'p_switched >= 0.5')")
          ->type_name("EXPR");
  report->add_option("--boxes", options.boxes, "with --discover: the boxes of the peeling")
      ->type_name("PATH")
      ->capture_default_str();
  report->add_option("-o,--output", options.html, "report page")
      ->type_name("REPORT.html")
      ->capture_default_str();
  report
      ->add_option("--x", options.x,
                   "parameter on the x axis of the probabilities (default: the one with most "
                   "values; of a design, the one that varies most for its size)")
      ->type_name("PARAM");
  report
      ->add_option("--colour", options.colour,
                   "parameter whose values get one colour each (default: the next with most)")
      ->type_name("PARAM");
  report->add_flag("--log-x", options.log_x,
                   "logarithmic x axis (automatic when the positive values of --x span two "
                   "decades or more; of a design, when they lie evenly on a log scale)");
  report
      ->add_option("--at", options.at,
                   "generations G of p_switched_by_G and p_extinct_by_G, the shares switched and "
                   "extinct by G (default: n_gen/10, n_gen/4, n_gen/2, 3n_gen/4 and n_gen of the "
                   "largest n_gen, rounded)")
      ->delimiter(',')
      ->type_name("G,...");
  options.map_option =
      report
          ->add_option("--map", options.map,
                       "the phase maps' axes: each per-point share as coloured cells over X and "
                       "Y (default: the two swept parameters with most values; maps are drawn "
                       "whenever two are swept)")
          ->expected(0, 1)
          ->type_name("X,Y");
  report
      ->add_option("--fix", options.fix,
                   "figures and page only for the grid points with NAME = VALUE, one of its "
                   "swept values (repeatable); the table file keeps every grid point")
      ->type_name("NAME=VALUE");
  options.figures_option =
      report
          ->add_option("--figures", options.figures,
                       "also write every figure as DIR/NAME.svg, .pdf and .png (300 dpi), one "
                       "8.5 cm column wide per panel, each naming the version, manifest "
                       "checksum, base seed and command that made it; a figure of many panels in "
                       "numbered files NAME-1, NAME-2 ...")
          ->type_name("DIR");
  return report;
}

int run_report(const ReportCommandOptions& options, const std::vector<std::string>& arguments,
               const CommandLineContext& context) {
  ReportOptions report;
  report.arguments = arguments;
  report.summary = options.summary;
  if (options.trajectories_option->count() > 0) report.trajectories = options.trajectories;
  report.table = options.table;
  report.html = options.html;
  report.sensitivity = options.sensitivity;
  report.x = parameter_flag("--x", options.x);
  report.colour = parameter_flag("--colour", options.colour);
  if (report.x && report.colour && *report.x == *report.colour) {
    throw UsageError("--x and --colour must name different parameters");
  }
  report.log_x = options.log_x;
  if (options.discover_option->count() > 0) {
    report.discover = checked_condition("--discover", options.discover);
    report.boxes = options.boxes;
  }
  report.at = checked_generations(options.at);
  if (options.figures_option->count() > 0) report.figures = options.figures;
  report.map.asked = options.map_option->count() > 0;
  if (!options.map.empty()) {
    const auto comma = options.map.find(',');
    if (comma == std::string::npos || options.map.find(',', comma + 1) != std::string::npos) {
      throw UsageError("--map: " + in_quotes(options.map) + " is not two parameters X,Y");
    }
    const auto x = parameter_flag("--map", options.map.substr(0, comma));
    const auto y = parameter_flag("--map", options.map.substr(comma + 1));
    if (!x || !y || *x == *y) throw UsageError("--map: X and Y must be two different parameters");
    report.map.axes = std::array<std::size_t, 2>{*x, *y};
  }
  for (const std::string& fix : options.fix) {
    const auto equals = fix.find('=');
    if (equals == std::string::npos) {
      throw UsageError("--fix: " + in_quotes(fix) + " is not NAME=VALUE");
    }
    const auto which = parameter_flag("--fix", fix.substr(0, equals));
    if (!which) throw UsageError("--fix: " + in_quotes(fix) + " names no parameter");
    const double value = parse_real("--fix", fix.substr(equals + 1));
    for (const auto& [held, unused] : report.map.fixed) {
      if (held == *which) throw UsageError("--fix: " + fix.substr(0, equals) + " given twice");
    }
    report.map.fixed.emplace_back(*which, value);
  }
  ReportFacts facts;
  try {
    facts = write_report(report);
  } catch (const MapRequestError& error) {
    throw UsageError(error.what());
  }
  if (facts.missing_rows > 0) {
    context.err << "hostswitch report: warning: " << facts.missing_rows
                << " rows missing from the grid; each grid point is reported with the "
                   "replicates it has\n";
  }
  context.out << facts.rows << " runs over " << facts.grid_points
              << " grid points: " << options.table << ", " << options.html
              << (facts.sensitivity ? ", " + options.sensitivity : std::string())
              << (facts.boxes ? ", " + options.boxes : std::string()) << '\n';
  context.out.flush();
  return 0;
}

}  // namespace hostswitch
