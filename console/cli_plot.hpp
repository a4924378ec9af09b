#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "console/command_line.hpp"

namespace hostswitch {

struct PlotCommandOptions {
  std::string results;
  std::string picture = "output.svg";
  std::string title, summary, row;
  bool log_population = false;
  CLI::Option* title_option = nullptr;
  CLI::Option* summary_option = nullptr;
  CLI::Option* row_option = nullptr;
};

// `hostswitch plot`: a results file drawn as a picture.
CLI::App* setup_plot(CLI::App& app, PlotCommandOptions& options);
int run_plot(const PlotCommandOptions& options, const CommandLineContext& context);

}  // namespace hostswitch
