#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "batch/manifest.hpp"

namespace hostswitch {

// Writes DIR/array.sbatch (a job array whose task K runs part K of the manifest's parts),
// DIR/merge.sbatch (merges DIR into DIR/summary.csv) and DIR/submit.sh (submits the array, then
// the merge once every task has succeeded, and prints both job ids). Each of `options`
// ("--time=1:00:00") becomes an #SBATCH line of both jobs.
void write_slurm_scripts(const std::filesystem::path& dir, const Manifest& manifest,
                         const std::vector<std::string>& options);

}  // namespace hostswitch
