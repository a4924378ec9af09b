#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "console/cli_support.hpp"
#include "console/command_line.hpp"

namespace hostswitch {

struct DesignOptions {
  ParameterOptions parameters;
  std::string kind;
  std::vector<std::string> ranges;
  std::string samples, seed, maximin, trajectories, levels;
  std::string output = "design.csv";
};

// `hostswitch design`: the points of a grid, a Latin hypercube, a Sobol' or a Morris design, as
// the CSV that `sweep --design` runs.
CLI::App* setup_design(CLI::App& app, DesignOptions& options);
int run_design(const DesignOptions& options, const CommandLineContext& context);

}  // namespace hostswitch
