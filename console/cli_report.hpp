#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "console/command_line.hpp"

namespace hostswitch {

struct ReportCommandOptions {
  std::string summary, trajectories, table = "stats.csv", html = "report.html", x, colour;
  std::string sensitivity = "sensitivity.csv";
  std::string figures;
  std::string discover, boxes = "boxes.csv";
  bool log_x = false;
  std::vector<std::int32_t> at;
  std::string map;
  std::vector<std::string> fix;
  CLI::Option* map_option = nullptr;
  CLI::Option* trajectories_option = nullptr;
  CLI::Option* figures_option = nullptr;
  CLI::Option* discover_option = nullptr;
};

// `hostswitch report`: statistics per grid point of a summary, as a table and a page.
CLI::App* setup_report(CLI::App& app, ReportCommandOptions& options);
// `arguments`: the program's, after its name, for the outputs' provenance.
int run_report(const ReportCommandOptions& options, const std::vector<std::string>& arguments,
               const CommandLineContext& context);

}  // namespace hostswitch
