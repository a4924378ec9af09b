#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "batch/manifest.hpp"

namespace hostswitch {

// What a user adds to the generated job scripts.
struct SlurmJobOptions {
  std::vector<std::string> both;            // --slurm-option: an #SBATCH line of both jobs
  std::vector<std::string> array;           // --slurm-array-option: of the job array only
  std::vector<std::string> merge;           // --slurm-merge-option: of the merge job only
  std::vector<std::string> setup;           // --slurm-setup: shell lines run before the program
  std::optional<std::int32_t> max_running;  // --max-running: the array's throttle (%M)
  std::optional<std::string> job_name;      // --job-name: NAME-sweep and NAME-merge
};

// Refuses, naming the flag, an option the scripts own (--array, --dependency, --output,
// --job-name, --parsable, --kill-on-invalid-dep; the flag that sets it instead where there is
// one), a line that is empty or more than one line, and a job name a script cannot hold.
void check_slurm_job_options(const SlurmJobOptions& options);

// The scripts of a SLURM sweep in DIR: DIR/array.sbatch (a job array whose task K runs part K of
// the manifest's parts), DIR/merge.sbatch (merges DIR into DIR/summary.csv, one task on one CPU
// and the array's time limit unless its own options say otherwise) and DIR/submit.sh (submits
// the array, then the merge once every task has succeeded, and prints both job ids). Checks the
// options first; nothing is written.
struct SlurmScript {
  std::filesystem::path path;
  std::string text;
};
std::vector<SlurmScript> slurm_scripts(const std::filesystem::path& dir, const Manifest& manifest,
                                       const SlurmJobOptions& options);
// Writes them, each executable.
void write_slurm_scripts(const std::vector<SlurmScript>& scripts);

// The first of `paths` that lies on a file system compute nodes usually do not share (/tmp,
// /dev/shm, /run, any tmpfs), for a warning; a path not there yet is judged by its nearest
// existing parent.
std::optional<std::filesystem::path> unshared_path(const std::vector<std::filesystem::path>& paths);

}  // namespace hostswitch
