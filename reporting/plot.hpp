#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace hostswitch {

struct ResultsData;

struct PlotOptions {
  std::filesystem::path results = "output.txt";
  std::filesystem::path svg = "output.svg";
};

// Any failure to read the results file or to write the picture; what() names the file
// and, for a content error, the line number.
class PlotError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the results file and writes the SVG; throws PlotError on any failure.
void plot_results_file(const PlotOptions& options);

// The picture of results already read; `name` is the file name shown in the title.
// Generations go on x, phenotype on y; a cell's colour is its parasite count.
std::string render_results_svg(const ResultsData& data, const std::string& name);

}  // namespace hostswitch
