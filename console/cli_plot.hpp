#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "console/command_line.hpp"

namespace hostswitch {

struct PlotCommandOptions {
  std::string results;
  std::string svg = "output.svg";
};

// `hostswitch plot`: a results file drawn as a picture.
CLI::App* setup_plot(CLI::App& app, PlotCommandOptions& options);
int run_plot(const PlotCommandOptions& options, const CommandLineContext& context);

}  // namespace hostswitch
