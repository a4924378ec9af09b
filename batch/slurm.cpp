#include "batch/slurm.hpp"

#include <stdexcept>

#include "base/atomic_file.hpp"
#include "batch/manifest.hpp"

namespace hostswitch {

namespace {

std::string option_lines(const std::vector<std::string>& options) {
  std::string lines;
  for (const auto& option : options) {
    if (option.find_first_of("\n\r") != std::string::npos || option.empty()) {
      throw std::runtime_error("--slurm-option: '" + option + "' must be one non-empty line");
    }
    lines += "#SBATCH " + option + "\n";
  }
  return lines;
}

void write_script(const std::filesystem::path& path, const std::string& text) {
  write_file_atomically(path, text);
  std::filesystem::permissions(path,
                               std::filesystem::perms::owner_exec |
                                   std::filesystem::perms::group_exec |
                                   std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
}

}  // namespace

void write_slurm_scripts(const std::filesystem::path& dir, const Manifest& manifest,
                         const std::vector<std::string>& options) {
  const std::string parts = std::to_string(manifest.parts);
  const std::string extra = option_lines(options);
  const std::string quoted_dir = shell_quote(dir.string());

  write_script(dir / "array.sbatch",
               "#!/bin/bash\n"
               "#SBATCH --job-name=hostswitch-sweep\n"
               "#SBATCH --array=1-" +
                   parts +
                   "\n"
                   "#SBATCH --output=slurm-%A_%a.out\n" +
                   extra + "# Task K of the array runs part K of " + parts +
                   " of the sweep in this directory.\n"
                   "set -euo pipefail\n"
                   "task=${SLURM_ARRAY_TASK_ID:-}\n"
                   "if ! [[ $task =~ ^[0-9]{1,9}$ ]] || ((10#$task < 1 || 10#$task > " +
                   parts +
                   ")); then\n"
                   "  echo \"array.sbatch: array task id '$task' is outside 1.." +
                   parts + "; submit it with sbatch --array=1-" + parts +
                   "\" >&2\n"
                   "  exit 1\n"
                   "fi\n"
                   "exec " +
                   part_command(manifest, "\"$((10#$task))/" + parts + "\"") +
                   " --jobs \"${SLURM_CPUS_PER_TASK:-1}\"\n");

  write_script(
      dir / "merge.sbatch",
      "#!/bin/bash\n"
      "#SBATCH --job-name=hostswitch-merge\n"
      "#SBATCH --output=slurm-merge-%j.out\n"
      "#SBATCH --kill-on-invalid-dep=yes\n" +
          extra +
          "# Joins the parts into summary.csv (and their trajectories into trajectories.csv);\n"
          "# exit status 3 and missing-commands.txt when rows are missing.\n"
          "set -euo pipefail\n"
          "exec " +
          shell_quote(manifest.executable) + " merge " + quoted_dir + " --summary " +
          shell_quote((dir / "summary.csv").string()) + " --missing-commands " +
          shell_quote((dir / "missing-commands.txt").string()) +
          (manifest.trajectories
               ? " --trajectories " + shell_quote((dir / "trajectories.csv").string())
               : std::string()) +
          "\n");

  write_script(dir / "submit.sh",
               "#!/bin/bash\n"
               "# Submits the sweep's job array, then the merge job, which starts once every\n"
               "# task of the array has succeeded. Prints both job ids.\n"
               "set -euo pipefail\n"
               "cd " +
                   quoted_dir +
                   "\n"
                   "array=$(sbatch --parsable array.sbatch)\n"
                   "array=${array%%;*}\n"
                   "merge=$(sbatch --parsable --dependency=afterok:\"$array\" merge.sbatch)\n"
                   "merge=${merge%%;*}\n"
                   "echo \"array job $array\"\n"
                   "echo \"merge job $merge\"\n");
}

}  // namespace hostswitch
