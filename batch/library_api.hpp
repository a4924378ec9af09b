#pragma once

// Entry points for the language bindings (python/, r/): runs and sweeps that hand back the
// texts the command line writes, so a data frame read from them equals one read from its files.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text_file.hpp"
#include "batch/summary.hpp"
#include "batch/sweep.hpp"
#include "model/simulation_parameters.hpp"

namespace hostswitch {

// The clock count `run` and `sweep` seed from when no seed is given.
std::int32_t seed_from_clock();

// One replicate, as `run --seed SEED --output F --trajectory T --summary S` would write them.
struct ReplicateTexts {
  RunResult result;
  SummaryRow row;
  std::string results;     // the results file's bytes (empty unless asked for)
  std::string trajectory;  // header and rows (empty unless asked for)
  std::string summary;     // header and the one row
};
// Throws what `run` reports: InsufficientMemory, ExpDomainError, the results file's failures.
ReplicateTexts run_replicate_texts(const SimulationParameters& parameters, std::int32_t seed,
                                   bool results, bool trajectory);

struct LibrarySweep {
  ParameterLists lists;  // the manifest's value lists: `grid` is their cross product
  std::vector<SimulationParameters> grid;
  std::int32_t replicates = 1;
  std::int32_t base_seed = 0;
  unsigned jobs = 1;
  bool trajectories = false;
  // A design CSV whose rows are the grid points, as `sweep --design` reads it (the lists' first
  // values fill the columns it leaves out); always swept through a summary file.
  std::optional<std::filesystem::path> design;
  // Written as `sweep --summary` writes it (manifest, lock, resume); in memory without one.
  std::optional<std::filesystem::path> summary;
  std::optional<std::filesystem::path> trajectories_path;  // default: beside the summary
  bool resume = false;
  const std::atomic<bool>* stop = nullptr;
  std::function<void(std::size_t, std::size_t)> progress;
};

struct SweepTexts {
  std::string summary;       // header and the complete rows
  std::string trajectories;  // header and their rows, when asked for
  bool interrupted = false;  // stopped: the rows above are the first of the sweep
  std::string message;       // what the command line prints at the end
};

// Throws std::runtime_error with the command line's message when a replicate fails (its rows
// before the failing one stay in the file), IoFailure and FileBusy for the files.
SweepTexts sweep_texts(const LibrarySweep& sweep);

// The equivalent command line, recorded in the manifest of a sweep made through a binding.
std::vector<std::string> sweep_command_line(const LibrarySweep& sweep);

// A path a binding was handed: refused with std::invalid_argument naming `argument` when it
// holds a NUL byte, which the system would take for its end, so another file would be written.
std::filesystem::path path_argument(std::string_view text, std::string_view argument);

// The bytes of a file, written atomically as every file of the program is.
void write_text_file(const std::filesystem::path& path, std::string_view text);

}  // namespace hostswitch
