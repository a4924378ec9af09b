#include "console/cli_plot.hpp"

#include "reporting/plot.hpp"
#include "reporting/results_file.hpp"

namespace hostswitch {

CLI::App* setup_plot(CLI::App& app, PlotCommandOptions& options) {
  options.results = std::string(kResultsFileName);
  CLI::App* plot = app.add_subcommand("plot", "Draw a results file as an SVG picture.");
  plot->add_option("results", options.results, "results file")
      ->type_name("RESULTS")
      ->capture_default_str();
  plot->add_option("-o,--output", options.svg, "picture to write")
      ->type_name("PLOT.svg")
      ->capture_default_str();
  return plot;
}

int run_plot(const PlotCommandOptions& options, const CommandLineContext&) {
  plot_results_file(PlotOptions{options.results, options.svg});
  return 0;
}

}  // namespace hostswitch
