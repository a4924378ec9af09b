#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "console/command_line.hpp"

namespace hostswitch {

struct DiscoverOptions {
  std::string summary, where, output;
  double min_density = 0.8;
  CLI::Option* output_option = nullptr;
};

// `hostswitch discover`: the box of parameter space where a per-point output meets a condition.
CLI::App* setup_discover(CLI::App& app, DiscoverOptions& options);
int run_discover(const DiscoverOptions& options, const CommandLineContext& context);

}  // namespace hostswitch
