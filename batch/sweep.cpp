#include "batch/sweep.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>

#include "batch/single_run.hpp"
#include "batch/trajectory.hpp"
#include "model/population_model.hpp"
#include "model/uniform_stream.hpp"
#include "reporting/results_file.hpp"

namespace hostswitch {

namespace {

std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::uint64_t word(std::int32_t value) { return static_cast<std::uint32_t>(value); }

// Thrown through the model to leave a run that is no longer wanted; not an error.
struct RunAbandoned {};

// Abandons run `index` once the limit falls to it or, when given, a stop is requested.
class AbandoningReporter final : public ForwardingReporter {
 public:
  AbandoningReporter(const std::atomic<std::size_t>& limit, std::size_t index,
                     const std::atomic<bool>* stop)
      : limit_(limit), index_(index), stop_(stop) {}
  void report(const GenerationRecord& generation) override {
    if (index_ >= limit_.load(std::memory_order_relaxed)) throw RunAbandoned{};
    if (stop_ && stop_->load(std::memory_order_relaxed)) throw RunAbandoned{};
    ForwardingReporter::report(generation);
  }

 private:
  const std::atomic<std::size_t>& limit_;
  std::size_t index_;
  const std::atomic<bool>* stop_;
};

struct Finished {
  std::string line;
  std::string trajectory;  // the replicate's trajectory rows, when asked for
  std::optional<std::string> failure;
};

// One replicate; its trajectory rows, when `trajectory` is given, collect there.
RunResult run_one(const SimulationParameters& parameters, std::int32_t seed,
                  const std::optional<std::filesystem::path>& results_path,
                  const std::atomic<std::size_t>& limit, std::size_t index,
                  const std::atomic<bool>* stop, Reporter* trajectory,
                  const RunSettings& settings) {
  AbandoningReporter abandoning(limit, index, stop);
  SingleRun run;
  run.parameters = parameters;
  run.results = results_path;
  run.seed = [seed] { return seed; };
  run.steps = trajectory;
  run.around = &abandoning;
  run.settings = settings;
  return run_single(run);
}

RunLabel label_of(const SweepSettings& settings, std::size_t index, std::size_t replicates) {
  RunLabel label;
  label.grid_index = grid_index_at(settings.grid_indices, index / replicates);
  label.replicate = static_cast<std::int32_t>(index % replicates + 1);
  label.seed = replicate_seed(settings.base_seed, label.grid_index, label.replicate);
  return label;
}

std::optional<std::filesystem::path> results_path_of(const SweepSettings& settings,
                                                     const RunLabel& label) {
  if (!settings.outputs) return std::nullopt;
  return *settings.outputs / replicate_results_name(label.grid_index, label.replicate);
}

std::string label_text(const RunLabel& label) {
  return "grid point " + std::to_string(label.grid_index) + " replicate " +
         std::to_string(label.replicate) + " (seed " + std::to_string(label.seed) + ")";
}

// Runs replicate `index` into `result`: its summary row and, when asked for, its trajectory.
RunResult run_replicate(const SweepSettings& settings, const SimulationParameters& parameters,
                        const RunLabel& label, const std::atomic<std::size_t>& limit,
                        std::size_t index, const std::atomic<bool>* stop, Finished& result) {
  std::optional<TrajectoryRows> trajectory;
  if (settings.trajectories) trajectory.emplace(parameters, label.grid_index, label.replicate);
  const RunResult run =
      run_one(parameters, label.seed, results_path_of(settings, label), limit, index, stop,
              trajectory ? &*trajectory : nullptr, settings.run_settings);
  result.line = summary_line(summarize(parameters, label, run));
  if (!settings.labels.empty()) {
    const auto position = index / static_cast<std::size_t>(settings.replicates);
    result.line.insert(result.line.size() - 1, "," + settings.labels[position]);
  }
  if (trajectory) result.trajectory = trajectory->take_text();
  return run;
}

// One run after another on the calling thread: all a single job needs, and all a build
// without threads can do. A stop request abandons the run in flight at its next generation.
SweepOutcome run_in_order(const SweepSettings& settings, std::size_t replicates, std::size_t first,
                          std::size_t end, SweepOutcome outcome, const SweepRowWriter& write_rows) {
  const std::size_t total = outcome.total;
  const std::atomic<std::size_t> limit{end};
  for (std::size_t index = first; index < end; ++index) {
    if (settings.stop && settings.stop->load()) {
      outcome.interrupted = true;
      break;
    }
    const SimulationParameters& parameters = settings.grid[index / replicates];
    const RunLabel label = label_of(settings, index, replicates);
    Finished result;
    try {
      const RunResult run =
          run_replicate(settings, parameters, label, limit, index, settings.stop, result);
      outcome.individuals_simulated += run.individuals_simulated;
    } catch (const RunAbandoned&) {
      outcome.interrupted = true;
      break;
    } catch (const std::bad_alloc&) {
      outcome.failure = label_text(label) + ": insufficient virtual memory";
      break;
    } catch (const std::exception& error) {
      outcome.failure = label_text(label) + ": " + error.what();
      break;
    }
    try {
      write_rows(result.line, result.trajectory);
    } catch (const std::exception& error) {
      outcome.failure = error.what();
      break;
    }
    ++outcome.written;
    if (settings.progress) settings.progress(outcome.written, total);
  }
  if (settings.progress && total == 0) settings.progress(0, 0);
  return outcome;
}

}  // namespace

SimulationParameters grid_point(const ParameterLists& lists, std::size_t index) {
  SimulationParameters point;
  for (std::size_t i = kParameterCount; i-- > 0;) {
    const std::vector<double>& values = lists[i];
    set_parameter_value(point, i, values[index % values.size()]);
    index /= values.size();
  }
  return point;
}

std::vector<SimulationParameters> expand_grid(const ParameterLists& lists) {
  std::size_t points = 1;
  for (const auto& values : lists.values) {
    const std::size_t size = values.size();
    if (size == 0) throw std::invalid_argument("every parameter needs at least one value");
    if (points > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) / size) {
      throw std::length_error("the grid has more than 2147483647 points");
    }
    points *= size;
  }
  std::vector<SimulationParameters> grid;
  grid.reserve(points);
  for (std::size_t g = 0; g < points; ++g) grid.push_back(grid_point(lists, g));
  return grid;
}

std::int32_t replicate_seed(std::int32_t base, std::int32_t grid_index, std::int32_t replicate) {
  std::uint64_t h = splitmix64(word(base));
  h = splitmix64(h ^ word(grid_index));
  h = splitmix64(h ^ word(replicate));
  return static_cast<std::int32_t>(h >> 33);
}

std::string replicate_results_name(std::int32_t grid_index, std::int32_t replicate) {
  return "output-" + std::to_string(grid_index) + "-" + std::to_string(replicate) + ".txt";
}

SweepOutcome run_sweep(const SweepSettings& settings, std::ostream& summary) {
  summary << summary_header();
  summary.flush();
  if (!summary) {
    SweepOutcome outcome;
    outcome.failure = "the summary could not be written";
    return outcome;
  }
  return run_sweep(settings, [&summary](std::string_view lines) {
    summary << lines;
    summary.flush();
    if (!summary) throw std::runtime_error("the summary could not be written");
  });
}

SweepOutcome run_sweep(const SweepSettings& settings,
                       const std::function<void(std::string_view)>& write_rows) {
  return run_sweep_rows(
      settings, [&write_rows](std::string_view lines, std::string_view) { write_rows(lines); });
}

#ifndef HOSTSWITCH_SINGLE_THREADED
namespace {

// What the workers of a parallel sweep share with the collector that writes their rows.
struct SharedRuns {
  std::atomic<std::size_t> next;
  std::atomic<std::int64_t> individuals_simulated{0};
  // Runs at or beyond the limit are not started, and those in flight are abandoned.
  std::atomic<std::size_t> limit;
  std::mutex mutex;
  std::condition_variable changed;
  // Workers only append to the inbox, so they hold the lock for a moment; the collector
  // sorts the runs out on its own.
  std::vector<std::pair<std::size_t, Finished>> inbox;
  unsigned exited = 0;

  SharedRuns(std::size_t first, std::size_t end) : next(first), limit(end) {}
  void lower_limit(std::size_t to) {
    std::size_t current = limit.load();
    while (to < current && !limit.compare_exchange_weak(current, to)) {
    }
  }
};

void run_replicates(const SweepSettings& settings, std::size_t replicates, SharedRuns& shared) {
  for (;;) {
    const std::size_t index = shared.next.fetch_add(1);
    if (index >= shared.limit.load()) break;
    const SimulationParameters& parameters = settings.grid[index / replicates];
    const RunLabel label = label_of(settings, index, replicates);
    Finished result;
    try {
      const RunResult run =
          run_replicate(settings, parameters, label, shared.limit, index, nullptr, result);
      shared.individuals_simulated += run.individuals_simulated;
    } catch (const RunAbandoned&) {
      break;  // every later run is beyond the limit too
    } catch (const std::bad_alloc&) {
      result.failure = "insufficient virtual memory";
    } catch (const std::exception& error) {
      result.failure = error.what();
    }
    if (result.failure) {
      result.failure = label_text(label) + ": " + *result.failure;
      shared.lower_limit(index);  // runs before this one still finish
    }
    const std::lock_guard lock(shared.mutex);
    const bool failed = result.failure.has_value();
    shared.inbox.emplace_back(index, std::move(result));
    if (failed) shared.changed.notify_one();
  }
  const std::lock_guard lock(shared.mutex);
  ++shared.exited;
  shared.changed.notify_one();
}

// Writes every row whose predecessors are all written, in one piece; stops at a gap or a
// failure. A failing write stops the sweep.
void write_ready_rows(std::map<std::size_t, Finished>& finished, std::size_t first,
                      const SweepRowWriter& write_rows, SweepOutcome& outcome, SharedRuns& shared) {
  std::string lines;
  std::string trajectory_lines;
  std::size_t count = 0;
  for (auto row = finished.begin();
       row != finished.end() && row->first == first + outcome.written + count &&
       !row->second.failure;
       row = finished.erase(row)) {
    lines += row->second.line;
    trajectory_lines += row->second.trajectory;
    ++count;
  }
  if (count == 0) return;
  try {
    write_rows(lines, trajectory_lines);
    outcome.written += count;
  } catch (const std::exception& error) {
    if (!outcome.failure) outcome.failure = error.what();
    shared.lower_limit(0);
  }
}

SweepOutcome run_in_parallel(const SweepSettings& settings, std::size_t replicates,
                             std::size_t first, std::size_t end, SweepOutcome outcome,
                             const SweepRowWriter& write_rows) {
  const std::size_t total = end - first;
  SharedRuns shared(first, end);
  std::map<std::size_t, Finished> finished;  // done but not yet written
  std::size_t done = 0;
  const unsigned jobs =
      static_cast<unsigned>(std::clamp<std::size_t>(total, 1, std::max(settings.jobs, 1U)));
  std::vector<std::thread> threads;
  try {
    for (unsigned j = 0; j < jobs; ++j) {
      threads.emplace_back([&] { run_replicates(settings, replicates, shared); });
    }
  } catch (...) {
    shared.lower_limit(first);
    for (auto& thread : threads) thread.join();
    throw;
  }
  const auto started = static_cast<unsigned>(threads.size());

  std::vector<std::pair<std::size_t, Finished>> arrived;
  std::unique_lock lock(shared.mutex);
  for (;;) {
    const bool all_exited = shared.exited == started;
    arrived.clear();
    arrived.swap(shared.inbox);
    lock.unlock();

    done += arrived.size();
    for (auto& [index, result] : arrived) finished.emplace(index, std::move(result));
    write_ready_rows(finished, first, write_rows, outcome, shared);
    // The inbox was emptied after the last worker left: nothing more can come.
    if (all_exited) break;
    if (settings.stop && settings.stop->load() && !outcome.interrupted) {
      outcome.interrupted = true;
      shared.lower_limit(first);
    }
    if (settings.progress) settings.progress(done, total);

    lock.lock();
    // Rows are collected in batches: a wake-up per row would cost more than a short run.
    if (shared.exited < started) shared.changed.wait_for(lock, std::chrono::milliseconds(20));
  }
  for (auto& thread : threads) thread.join();

  if (!outcome.failure) {
    for (const auto& [index, result] : finished) {
      if (result.failure) {
        outcome.failure = result.failure;
        break;
      }
    }
  }
  if (settings.progress) settings.progress(done, total);
  outcome.individuals_simulated = shared.individuals_simulated.load();
  return outcome;
}

}  // namespace
#endif

SweepOutcome run_sweep_rows(const SweepSettings& settings, const SweepRowWriter& write_rows) {
  SweepOutcome outcome;
  const auto replicates = static_cast<std::size_t>(std::max(settings.replicates, 0));
  const std::size_t all = settings.grid.size() * replicates;
  const std::size_t end = std::min(settings.end.value_or(all), all);
  const std::size_t first = std::min(settings.first, end);
  outcome.total = end - first;
#ifdef HOSTSWITCH_SINGLE_THREADED
  return run_in_order(settings, replicates, first, end, outcome, write_rows);
#else
  if (settings.jobs <= 1 || outcome.total <= 1) {
    return run_in_order(settings, replicates, first, end, outcome, write_rows);
  }
  return run_in_parallel(settings, replicates, first, end, outcome, write_rows);
#endif
}

}  // namespace hostswitch
