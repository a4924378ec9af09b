#include "batch/slurm.hpp"

#include <sys/statfs.h>

#include <array>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/atomic_file.hpp"

namespace hostswitch {

namespace {

// The options the scripts set themselves, their short forms, and the flag that sets them
// instead, if any.
struct OwnedOption {
  std::string_view name;
  std::string_view letter;
  std::string_view instead;
};
constexpr std::array<OwnedOption, 6> kOwned = {{
    {"array", "a", "--max-running M for the array's throttle (--array=1-N%M)"},
    {"dependency", "d", ""},
    {"output", "o", ""},
    {"job-name", "J", "--job-name NAME for both jobs' names"},
    {"parsable", "", ""},
    {"kill-on-invalid-dep", "", ""},
}};

// Options that size a job's tasks and CPUs: the array's alone, as the merge is one task on one
// CPU unless its own options say otherwise.
constexpr std::array<std::string_view, 7> kSizing = {
    "ntasks", "cpus-per-task", "ntasks-per-node", "nodes", "cpus-per-gpu", "gpus", "gres"};
constexpr std::array<std::string_view, 3> kSizingLetters = {"n", "c", "N"};

// The long name of an option ("--time=1:00" -> "time"), or its letter ("-t 1:00" -> "t").
std::pair<std::string, std::string> option_word(std::string_view option) {
  if (option.starts_with("--")) {
    option.remove_prefix(2);
    return {std::string(option.substr(0, option.find_first_of("= \t"))), ""};
  }
  if (option.size() >= 2 && option[0] == '-') return {"", std::string(option.substr(1, 1))};
  return {"", ""};
}

// sbatch takes any unambiguous beginning of a long option, so those count too.
bool names(std::string_view word, std::string_view name) {
  return !word.empty() && name.starts_with(word) && (word.size() >= 3 || word == name);
}

bool sets_any(const std::vector<std::string>& options, std::string_view name,
              std::string_view letter) {
  for (const auto& option : options) {
    const auto [word, short_word] = option_word(option);
    if (names(word, name) || (!letter.empty() && short_word == letter)) return true;
  }
  return false;
}

bool sizes_tasks(std::string_view option) {
  const auto [word, letter] = option_word(option);
  for (const auto name : kSizing) {
    if (names(word, name)) return true;
  }
  for (const auto sizing_letter : kSizingLetters) {
    if (letter == sizing_letter) return true;
  }
  return false;
}

void check_lines(std::string_view flag, const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    if (line.find_first_of("\n\r") != std::string::npos || line.empty()) {
      throw std::runtime_error(std::string(flag) + ": " + quoted_field(line) +
                               " must be one non-empty line");
    }
  }
}

void check_options(std::string_view flag, const std::vector<std::string>& options) {
  check_lines(flag, options);
  for (const auto& option : options) {
    const auto [word, letter] = option_word(option);
    for (const OwnedOption& owned : kOwned) {
      if (!names(word, owned.name) && (owned.letter.empty() || letter != owned.letter)) continue;
      throw std::runtime_error(
          std::string(flag) + ": " + quoted_field(option) + " sets --" + std::string(owned.name) +
          ", which the generated scripts set themselves" +
          (owned.instead.empty() ? std::string() : "; give " + std::string(owned.instead)));
    }
  }
}

std::string option_lines(const std::vector<std::string>& options) {
  std::string lines;
  for (const auto& option : options) lines += "#SBATCH " + option + "\n";
  return lines;
}

std::string setup_lines(const std::vector<std::string>& setup) {
  std::string lines;
  for (const auto& line : setup) lines += line + "\n";
  return lines;
}

}  // namespace

void check_slurm_job_options(const SlurmJobOptions& options) {
  check_options("--slurm-option", options.both);
  check_options("--slurm-array-option", options.array);
  check_options("--slurm-merge-option", options.merge);
  check_lines("--slurm-setup", options.setup);
  if (options.max_running && *options.max_running < 1) {
    throw std::runtime_error("--max-running: " + std::to_string(*options.max_running) +
                             " must be at least 1");
  }
  if (options.job_name &&
      (options.job_name->empty() ||
       options.job_name->find_first_of(" \t\n\r'\"\\$`") != std::string::npos)) {
    throw std::runtime_error("--job-name: " + quoted_field(*options.job_name) +
                             " must be one word without quotes");
  }
}

namespace {

// The merge's options: every common option but those sizing tasks, and the array's time limit,
// unless its own options set them.
std::vector<std::string> merge_job_options(const SlurmJobOptions& options) {
  std::vector<std::string> merge_options;
  for (const auto& option : options.both) {
    if (!sizes_tasks(option)) merge_options.push_back(option);
  }
  const bool timed = sets_any(options.both, "time", "t") || sets_any(options.merge, "time", "t");
  if (!timed) {
    for (const auto& option : options.array) {
      if (sets_any({option}, "time", "t")) merge_options.push_back(option);
    }
  }
  if (!sets_any(options.merge, "ntasks", "n")) merge_options.emplace_back("--ntasks=1");
  if (!sets_any(options.merge, "cpus-per-task", "c"))
    merge_options.emplace_back("--cpus-per-task=1");
  merge_options.insert(merge_options.end(), options.merge.begin(), options.merge.end());
  return merge_options;
}

}  // namespace

std::vector<SlurmScript> slurm_scripts(const std::filesystem::path& dir, const Manifest& manifest,
                                       const SlurmJobOptions& options) {
  check_slurm_job_options(options);
  const std::string parts = std::to_string(manifest.parts);
  const std::string quoted_dir = shell_quote(dir.string());
  const std::string name = options.job_name.value_or("hostswitch");
  std::string throttle;  // appended, not "%" + ...: GCC 12 warns falsely on that concatenation
  if (options.max_running) throttle = '%' + std::to_string(*options.max_running);
  const std::string setup = setup_lines(options.setup);

  const std::vector<std::string> merge_options = merge_job_options(options);
  std::vector<std::string> array_options = options.both;
  array_options.insert(array_options.end(), options.array.begin(), options.array.end());

  std::vector<SlurmScript> scripts;
  scripts.push_back({dir / "array.sbatch",
                     "#!/bin/bash\n"
                     "#SBATCH --job-name=" +
                         name + "-sweep\n#SBATCH --array=1-" + parts + throttle +
                         "\n"
                         "#SBATCH --output=slurm-%A_%a.out\n" +
                         option_lines(array_options) + "# Task K of the array runs part K of " +
                         parts +
                         " of the sweep in this directory.\n"
                         "set -euo pipefail\n" +
                         setup +
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
                         " --jobs \"${SLURM_CPUS_PER_TASK:-1}\"\n"});
  scripts.push_back(
      {dir / "merge.sbatch",
       "#!/bin/bash\n"
       "#SBATCH --job-name=" +
           name +
           "-merge\n"
           "#SBATCH --output=slurm-merge-%j.out\n"
           "#SBATCH --kill-on-invalid-dep=yes\n" +
           option_lines(merge_options) +
           "# Joins the parts into summary.csv (and their trajectories into trajectories.csv);\n"
           "# exit status 3 and missing-commands.txt when rows are missing.\n"
           "set -euo pipefail\n" +
           setup + "exec " + shell_quote(manifest.executable) + " merge " + quoted_dir +
           " --summary " + shell_quote((dir / "summary.csv").string()) + " --missing-commands " +
           shell_quote((dir / "missing-commands.txt").string()) +
           (manifest.trajectories
                ? " --trajectories " + shell_quote((dir / "trajectories.csv").string())
                : std::string()) +
           "\n"});
  scripts.push_back(
      {dir / "submit.sh",
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
           "echo \"merge job $merge\"\n"});
  return scripts;
}

void write_slurm_scripts(const std::vector<SlurmScript>& scripts) {
  for (const auto& script : scripts) {
    write_file_atomically(script.path, script.text);
    std::filesystem::permissions(script.path,
                                 std::filesystem::perms::owner_exec |
                                     std::filesystem::perms::group_exec |
                                     std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
  }
}

std::optional<std::filesystem::path> unshared_path(
    const std::vector<std::filesystem::path>& paths) {
  constexpr long kTmpfsMagic = 0x01021994;
  for (const auto& given : paths) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(given, error).lexically_normal();
    while (!path.empty() && !std::filesystem::exists(path, error) && path != path.root_path()) {
      path = path.parent_path();
    }
    const std::filesystem::path resolved = std::filesystem::canonical(path, error);
    if (!error) path = resolved;
    for (const std::string_view local : {"/tmp", "/dev/shm", "/run"}) {
      const std::string text = path.string();
      if (text == local || text.starts_with(std::string(local) + "/")) return given;
    }
    struct statfs status {};
    if (::statfs(path.c_str(), &status) == 0 && static_cast<long>(status.f_type) == kTmpfsMagic) {
      return given;
    }
  }
  return std::nullopt;
}

}  // namespace hostswitch
