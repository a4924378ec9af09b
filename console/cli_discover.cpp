#include "console/cli_discover.hpp"

#include <ostream>

#include "analysis/scenario_discovery.hpp"
#include "analysis/summary_data.hpp"
#include "api/study.hpp"
#include "base/atomic_file.hpp"
#include "batch/summary.hpp"

namespace hostswitch {

CLI::App* setup_discover(CLI::App& app, DiscoverOptions& options) {
  CLI::App* discover = app.add_subcommand(
      "discover",
      "The box of parameter space where a per-point output meets a condition (PRIM peeling "
      "and pasting), as a table of boxes.");
  discover->add_option("summary", options.summary, "summary file of a grid or design sweep")
      ->type_name("SUMMARY.csv")
      ->required();
  discover
      ->add_option("--where", options.where,
                   "the condition: OUTPUT OP NUMBER, OUTPUT a column of the statistics table "
                   "(p_extinct, p_switched, mean_switches, ...), OP one of < <= > >= == !=")
      ->type_name("EXPR")
      ->required();
  options.output_option =
      discover->add_option("-o,--output", options.output, "boxes table (default: standard output)")
          ->type_name("PATH");
  discover
      ->add_option("--min-density", options.min_density,
                   "the box chosen is the one of most coverage (then density) of those with at "
                   "least this density (share of its points meeting the condition), else the "
                   "densest")
      ->type_name("REAL")
      ->capture_default_str();
  discover->footer(
      "Peeling takes 5% of the box at a time off one end of one varied parameter (whole tied\n"
      "values), the one leaving the densest box, until the box would hold fewer than 5% of the\n"
      "points or every point in it meets the condition. The chosen box is then pasted: widened\n"
      "5% at a time while that raises its density; when it widens, it is the last row (pasted 1).\n"
      "Columns: step,coverage,density,mass,restricted, then NAME_lo,NAME_hi of each varied\n"
      "parameter (a box includes its limits), chosen, pasted.");
  return discover;
}

int run_discover(const DiscoverOptions& options, const CommandLineContext& context) {
  const DiscoveryCondition condition = checked_condition("--where", options.where);
  check_min_density(options.min_density);
  const SummaryData summary = read_summary(options.summary);
  PrimOptions prim_options;
  prim_options.min_density = options.min_density;
  const DiscoveryPoints points = discovery_points(summary, condition);
  const PrimResult result = prim(points, prim_options);
  const std::string csv = boxes_csv(result);
  if (options.output_option->count() > 0) {
    write_file_atomically(options.output, csv);
    context.out << discovery_sentence(points, result, condition) << " Boxes: " << options.output
                << '\n';
  } else {
    context.out << csv;
  }
  context.out.flush();
  return 0;
}

}  // namespace hostswitch
