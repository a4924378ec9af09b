#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "console/cli_support.hpp"
#include "console/command_line.hpp"

namespace hostswitch {

struct SweepOptions {
  ParameterOptions parameters;
  std::string replicates = "1", seed, jobs, threads;
  std::string summary = "summary.csv";
  std::string outputs;
  bool emit_commands = false;
  std::string run_dir = "runs";
  bool stats = false;
  bool resume = false;
  std::string part, parts, slurm;
  std::vector<std::string> slurm_options, slurm_array_options, slurm_merge_options, slurm_setup;
  std::string max_running, job_name;
  bool overwrite = false;
  std::string trajectories;
  std::string design;
  CLI::Option* seed_option = nullptr;
  CLI::Option* outputs_option = nullptr;
  CLI::Option* trajectories_option = nullptr;
  CLI::Option* run_dir_option = nullptr;
  CLI::Option* parts_option = nullptr;
  CLI::Option* slurm_option_option = nullptr;
};

// `hostswitch sweep`: replicate runs over a grid, in process, in parts or as a SLURM array.
CLI::App* setup_sweep(CLI::App& app, SweepOptions& options);
int run_sweep_command(const SweepOptions& options, const std::vector<std::string>& args,
                      const CommandLineContext& context);

}  // namespace hostswitch
