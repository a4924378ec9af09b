#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "console/cli_support.hpp"
#include "console/command_line.hpp"

namespace hostswitch {

struct RunOptions {
  ParameterOptions parameters;
  std::string seed, grid_index, replicate;
  std::string output;
  bool no_output = false;
  std::string summary, plot, trajectory;
  std::string threads;
  bool stats = false;
  bool overwrite = false;
  CLI::Option* seed_option = nullptr;
  CLI::Option* summary_option = nullptr;
  CLI::Option* plot_option = nullptr;
  CLI::Option* trajectory_option = nullptr;
};

// `hostswitch run`: one run without the dialogue.
CLI::App* setup_run(CLI::App& app, RunOptions& options);
int run_run(const RunOptions& options, const CommandLineContext& context);

}  // namespace hostswitch
