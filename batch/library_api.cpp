#include "batch/library_api.hpp"

#include <fcntl.h>
#ifdef __linux__
#include <sys/mman.h>
#endif
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <new>
#include <sstream>
#include <stdexcept>

#include "base/io_failure.hpp"
#include "base/text_file.hpp"
#include "batch/manifest.hpp"
#include "batch/ordered_csv.hpp"
#include "batch/single_run.hpp"
#include "batch/sweep_command.hpp"
#include "batch/trajectory.hpp"
#include "model/model_errors.hpp"
#include "model/population_model.hpp"
#include "model/uniform_stream.hpp"

namespace hostswitch {

namespace {

// Where a run's results file is written to be read back: memory where the system has it (a
// file system makes each new file cost milliseconds), else a file in the temporary directory.
// Removed with this object.
class TemporaryFile {
 public:
  TemporaryFile() {
#ifdef __linux__
    fd_ = ::memfd_create("hostswitch-results", MFD_CLOEXEC);
    if (fd_ >= 0) {
      path_ = "/proc/self/fd/" + std::to_string(fd_);
      return;
    }
#endif
    std::string name =
        (std::filesystem::temp_directory_path() / "hostswitch-results-XXXXXX").string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) throw IoFailure("open", name, errno);
    ::close(fd);
    path_ = name;
  }
  ~TemporaryFile() {
    if (fd_ >= 0) {
      ::close(fd_);
      return;
    }
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace

std::int32_t seed_from_clock() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - seconds);
  return clock_count(seconds.count(), static_cast<int>(milliseconds.count()));
}

ReplicateTexts run_replicate_texts(const SimulationParameters& parameters, std::int32_t seed,
                                   bool results, bool trajectory) {
  require_first_generation_memory(parameters);
  RunLabel label;
  label.seed = seed;
  ReplicateTexts texts;
  try {
    std::optional<TrajectoryRows> rows;
    if (trajectory) rows.emplace(parameters, label.grid_index, label.replicate);
    // The results file is written by the one writer there is, then read back.
    std::optional<TemporaryFile> file;
    if (results) file.emplace();
    SingleRun run;
    run.parameters = parameters;
    if (file) run.results = file->path();
    run.seed = [seed] { return seed; };
    if (rows) run.steps = &*rows;
    texts.result = run_single(run);
    if (file) texts.results = read_text_file(file->path());
    if (rows) texts.trajectory = trajectory_header() + rows->take_text();
  } catch (const std::bad_alloc&) {
    throw InsufficientMemory();
  }
  texts.row = summarize(parameters, label, texts.result);
  texts.summary = summary_header() + summary_line(texts.row);
  return texts;
}

std::vector<std::string> sweep_command_line(const LibrarySweep& sweep) {
  std::vector<std::string> words = {"hostswitch", "sweep"};
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    words.emplace_back(kParameterFlags[i]);
    words.push_back(list_text(sweep.lists, i));
  }
  words.insert(words.end(), {"--replicates", std::to_string(sweep.replicates), "--seed",
                             std::to_string(sweep.base_seed)});
  if (sweep.summary) words.insert(words.end(), {"--summary", sweep.summary->string()});
  if (sweep.trajectories) {
    words.emplace_back("--trajectories");
    if (sweep.summary) words.push_back(trajectories_path_of(*sweep.summary).string());
  }
  if (sweep.resume) words.emplace_back("--resume");
  return words;
}

SweepTexts sweep_texts(const LibrarySweep& sweep) {
  SweepTexts texts;
  if (sweep.design && !sweep.summary) {
    // A design's rows carry its labels, which only the file code writes.
    std::error_code ignored;
    const std::filesystem::path scratch = std::filesystem::temp_directory_path() /
                                          ("hostswitch-design-" + std::to_string(::getpid()) + "-" +
                                           std::to_string(seed_from_clock()));
    std::filesystem::create_directories(scratch);
    LibrarySweep in_file = sweep;
    in_file.summary = scratch / "summary.csv";
    try {
      texts = sweep_texts(in_file);
    } catch (...) {
      std::filesystem::remove_all(scratch, ignored);
      throw;
    }
    std::filesystem::remove_all(scratch, ignored);
    return texts;
  }
  if (!sweep.summary) {
    SweepSettings settings;
    settings.grid = sweep.grid;
    settings.replicates = sweep.replicates;
    settings.base_seed = sweep.base_seed;
    settings.jobs = sweep.jobs;
    settings.trajectories = sweep.trajectories;
    settings.stop = sweep.stop;
    settings.progress = sweep.progress;
    texts.summary = summary_header();
    if (sweep.trajectories) texts.trajectories = trajectory_header();
    const SweepOutcome outcome =
        run_sweep_rows(settings, [&](std::string_view rows, std::string_view trajectory_rows) {
          texts.summary += rows;
          texts.trajectories += trajectory_rows;
        });
    if (outcome.failure) throw std::runtime_error(*outcome.failure);
    texts.interrupted = outcome.interrupted;
    texts.message = (outcome.interrupted ? "interrupted; " : "") + std::to_string(outcome.written) +
                    " of " + std::to_string(outcome.total) + " runs done (seed base " +
                    std::to_string(sweep.base_seed) + ")";
    return texts;
  }

  SweepRequest request;
  use_grid(request, sweep.lists, sweep.grid);
  request.plan.replicates = sweep.replicates;
  request.base_seed = sweep.base_seed;
  request.jobs = sweep.jobs;
  request.summary = *sweep.summary;
  if (sweep.design) {
    use_design(request, load_design(*sweep.design, grid_point(sweep.lists, 0)),
               sweep.design->string());
  }
  request.plan.trajectories = sweep.trajectories;
  request.trajectories_path =
      sweep.trajectories_path.value_or(trajectories_path_of(*sweep.summary));
  request.resume = sweep.resume;
  request.plan.command_line = sweep_command_line(sweep);
  request.stop = sweep.stop;
  request.progress = sweep.progress;
  const CommandReport report = sweep_into_summary(request);
  if (report.status != 0 && report.status != kSweepInterrupted) {
    throw std::runtime_error(report.message);
  }
  texts.interrupted = report.status == kSweepInterrupted;
  texts.message = report.message;
  texts.summary = read_text_file(*sweep.summary);
  if (sweep.trajectories) texts.trajectories = read_text_file(*request.trajectories_path);
  return texts;
}

std::filesystem::path path_argument(std::string_view text, std::string_view argument) {
  if (text.find('\0') != std::string_view::npos) {
    throw std::invalid_argument(std::string(argument) +
                                ": a path cannot hold a NUL byte: " + quoted_field(text));
  }
  return std::filesystem::path(text);
}

void write_text_file(const std::filesystem::path& path, std::string_view text) {
  write_file_atomically(path, text);
}

}  // namespace hostswitch
