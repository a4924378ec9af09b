#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "console/command_line.hpp"

namespace hostswitch {

struct MergeOptions {
  std::vector<std::string> files;
  std::string summary, missing_commands, trajectories;
  bool allow_missing = false;
  bool overwrite = false;
  CLI::Option* summary_option = nullptr;
  CLI::Option* missing_option = nullptr;
  CLI::Option* trajectories_option = nullptr;
};

// `hostswitch merge`: per-run summaries joined, a run directory checked against its manifest.
CLI::App* setup_merge(CLI::App& app, MergeOptions& options);
int run_merge(const MergeOptions& options, const CommandLineContext& context);

}  // namespace hostswitch
