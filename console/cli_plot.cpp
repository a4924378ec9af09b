#include "console/cli_plot.hpp"

#include <charconv>

#include "batch/manifest.hpp"
#include "batch/summary.hpp"
#include "batch/sweep.hpp"
#include "console/parameter_values.hpp"
#include "model/parameters.hpp"
#include "reporting/plot.hpp"
#include "reporting/results_file.hpp"

namespace hostswitch {

namespace {

struct RowLabel {
  std::int32_t grid_index = 0;
  std::int32_t replicate = 0;
};

RowLabel parse_row(const std::string& text) {
  const auto dash = text.find('-');
  if (dash == std::string::npos) {
    throw UsageError("--row: " + in_quotes(text) + " is not GRID-REPLICATE (such as 3-7)");
  }
  return RowLabel{parse_at_least("--row", text.substr(0, dash), 1),
                  parse_at_least("--row", text.substr(dash + 1), 1)};
}

// The title of row G-R of a sweep: its parameters and seed, from the summary's row or, for
// a manifest (.json), from its grid and base seed.
std::string row_title(const std::filesystem::path& file, const RowLabel& row) {
  if (file.extension() == ".json") {
    const Manifest manifest = read_manifest(file);
    // A design's rows are its grid points, numbered by its point column or by row.
    const std::vector<SimulationParameters> points = manifest_points(manifest);
    const std::vector<std::int32_t> by_row;
    const auto& indices = manifest.design ? manifest.design->points : by_row;
    std::size_t position = 0;
    while (position < points.size() && grid_index_at(indices, position) != row.grid_index) {
      ++position;
    }
    if (position == points.size() || row.replicate > manifest.replicates) {
      throw std::runtime_error(file.string() + ": the sweep has no row " +
                               std::to_string(row.grid_index) + "-" +
                               std::to_string(row.replicate));
    }
    return run_title(points[position],
                     replicate_seed(manifest.base_seed, row.grid_index, row.replicate));
  }
  std::optional<std::string> title;
  read_summary_rows(file, [&](const SummaryFileRow& r) {
    if (title || r.grid_index != row.grid_index || r.replicate != row.replicate) return;
    SimulationParameters parameters;
    for (std::size_t i = 0; i < kParameterCount; ++i) {
      set_parameter_value(parameters, i, std::stod(std::string(r.fields[i])));
    }
    std::int64_t seed = 0;
    const std::string_view seed_text = r.fields[kSummarySeedColumn];
    std::from_chars(seed_text.data(), seed_text.data() + seed_text.size(), seed);
    title = run_title(parameters, seed);
  });
  if (!title) {
    throw std::runtime_error(file.string() + ": no row with grid_index " +
                             std::to_string(row.grid_index) + " and replicate " +
                             std::to_string(row.replicate));
  }
  return *title;
}

}  // namespace

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
    plot.style.title = row_title(options.summary, parse_row(options.row));
  }
  plot_results_file(plot);
  return 0;
}

}  // namespace hostswitch
