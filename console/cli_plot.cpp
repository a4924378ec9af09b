#include "console/cli_plot.hpp"

#include "api/study.hpp"
#include "reporting/plot.hpp"
#include "reporting/results_file.hpp"

namespace hostswitch {

CLI::App* setup_plot(CLI::App& app, PlotCommandOptions& options) {
  options.results = std::string(kResultsFileName);
  CLI::App* plot = app.add_subcommand(
      "plot", "Draw a results file as a picture (SVG, PDF or PNG, from the name).");
  plot->add_option("results", options.results, "results file")
      ->type_name("RESULTS")
      ->capture_default_str();
  plot->add_option("-o,--output", options.picture,
                   "picture to write: .svg, .pdf or .png (the last two through librsvg)")
      ->type_name("PLOT.svg")
      ->capture_default_str();
  options.title_option =
      plot->add_option("--title", options.title, "title (default: the results file's name)")
          ->type_name("TEXT");
  options.summary_option =
      plot->add_option("--summary", options.summary,
                       "summary or manifest of the sweep the run belongs to: with --row, the "
                       "title gives its parameters and seed")
          ->type_name("FILE");
  options.row_option =
      plot->add_option("--row", options.row, "the run's grid point and replicate in --summary")
          ->type_name("G-R");
  options.summary_option->needs(options.row_option);
  options.row_option->needs(options.summary_option);
  options.title_option->excludes(options.summary_option);
  plot->add_flag("--log-population", options.log_population,
                 "the population panel on a logarithmic scale");
  return plot;
}

int run_plot(const PlotCommandOptions& options, const CommandLineContext&) {
  PlotOptions plot{options.results, options.picture, {}};
  plot.style.log_population = options.log_population;
  if (options.title_option->count() > 0) plot.style.title = options.title;
  if (options.summary_option->count() > 0) {
    plot.style.title = row_title(options.summary, options.row);
  }
  plot_results_file(plot);
  return 0;
}

}  // namespace hostswitch
