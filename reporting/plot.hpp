#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "model/simulation_parameters.hpp"

namespace hostswitch {

struct ResultsData;

// How the picture is labelled and scaled.
struct PlotStyle {
  // The title; without one, the results file's name and its last generation.
  std::optional<std::string> title;
  bool log_population = false;  // the population panel on a log scale
};

struct PlotOptions {
  PlotOptions() = default;
  PlotOptions(std::filesystem::path results_file, std::filesystem::path picture_file,
              PlotStyle picture_style = {})
      : results(std::move(results_file)),
        picture(std::move(picture_file)),
        style(std::move(picture_style)) {}

  std::filesystem::path results = "output.txt";
  // The format follows the name: .svg, .pdf or .png (librsvg draws the last two).
  std::filesystem::path picture = "output.svg";
  PlotStyle style;
};

// A title that says which run a picture shows: its eight parameters and its seed.
std::string run_title(const SimulationParameters& parameters, std::int64_t seed);

// Any failure to read the results file or to write the picture; what() names the file
// and, for a content error, the line number.
class PlotError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the results file and writes the SVG; throws PlotError on any failure.
void plot_results_file(const PlotOptions& options);
// What plot_results_file refuses before reading anything: a picture named as the results
// file, or whose name gives no format; throws PlotError.
void check_plot_options(const PlotOptions& options);

// The picture of results already read; `name` is the file name shown in the title (or in
// the note under a title of the style's). Generations go on x, phenotype on y; a cell's
// colour is its parasite count. Under it, the population (the n_p of a generation summed)
// on the same generations.
std::string render_results_svg(const ResultsData& data, const std::string& name,
                               const PlotStyle& style = {});

}  // namespace hostswitch
