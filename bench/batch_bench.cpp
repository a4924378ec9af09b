// What the summary's lock and the manifest add to a sweep of 1,000 replicates of the typical
// run: the sweep into a plain file against the same sweep as `hostswitch sweep` does it (lock,
// manifest, rows), and the lock and manifest alone; and what --trajectories adds.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/manifest.hpp"
#include "batch/ordered_csv.hpp"
#include "batch/summary.hpp"
#include "batch/sweep.hpp"
#include "batch/sweep_command.hpp"

namespace hostswitch {
namespace {

constexpr std::int32_t kReplicates = 1000;

// Removed with everything in it when the benchmarks end.
struct BenchDirectory {
  std::filesystem::path path;
  BenchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hostswitch-bench-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~BenchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

const std::filesystem::path& bench_directory() {
  static const BenchDirectory directory;
  return directory.path;
}

SweepRequest typical_request() {
  SweepRequest request;
  const SimulationParameters t = typical_parameters();
  ParameterLists lists;
  for (std::size_t i = 0; i < kParameterCount; ++i) lists[i] = {parameter_value(t, i)};
  use_grid(request, lists, expand_grid(lists));
  request.plan.replicates = kReplicates;
  request.base_seed = 1;
  request.jobs = 1;
  request.summary = bench_directory() / "summary.csv";
  request.plan.command_line = {"hostswitch", "sweep", "--replicates", "1000", "--seed", "1"};
  return request;
}

SweepOutcome sweep_into_plain_file(const SweepRequest& request) {
  SweepSettings settings;
  settings.grid = request.grid;
  settings.replicates = request.plan.replicates;
  settings.base_seed = *request.base_seed;
  std::ofstream summary(bench_directory() / "plain.csv", std::ios::binary | std::ios::trunc);
  return run_sweep(settings, summary);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The sweep into a plain file (as before the lock and the manifest) and the sweep as
// `hostswitch sweep` does it, taken in turn so that the machine's drifting load falls on both
// alike. Counters: the median of each, and the median overhead in percent.
void BM_SweepPlainThenLockedWithManifest(benchmark::State& state) {
  const SweepRequest request = typical_request();
  std::vector<double> plain, locked, overhead;
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(sweep_into_plain_file(request).written);
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(sweep_into_summary(request).status);
    const auto t2 = Clock::now();
    plain.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    locked.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    overhead.push_back(100.0 * (locked.back() - plain.back()) / plain.back());
  }
  state.counters["plain_ms"] = median(plain);
  state.counters["locked_ms"] = median(locked);
  state.counters["overhead_pct"] = median(overhead);
}
BENCHMARK(BM_SweepPlainThenLockedWithManifest)->Unit(benchmark::kMillisecond)->Iterations(60);

// The sweep as `hostswitch sweep` does it, without and with --trajectories, taken in turn.
// Counters: the median of each, and the median overhead in percent.
void BM_SweepWithoutThenWithTrajectories(benchmark::State& state) {
  const SweepRequest without = typical_request();
  SweepRequest with = without;
  with.summary = bench_directory() / "summary-t.csv";
  with.plan.trajectories = true;
  with.trajectories_path = bench_directory() / "trajectories.csv";
  std::vector<double> plain, traced, overhead;
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(sweep_into_summary(without).status);
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(sweep_into_summary(with).status);
    const auto t2 = Clock::now();
    plain.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    traced.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    overhead.push_back(100.0 * (traced.back() - plain.back()) / plain.back());
  }
  state.counters["without_ms"] = median(plain);
  state.counters["with_ms"] = median(traced);
  state.counters["overhead_pct"] = median(overhead);
}
BENCHMARK(BM_SweepWithoutThenWithTrajectories)->Unit(benchmark::kMillisecond)->Iterations(60);

// What a sweep does beyond opening its summary for writing, as it always did: the lock and the
// manifest.
void BM_LockAndManifestAlone(benchmark::State& state) {
  const SweepRequest request = typical_request();
  Manifest manifest = request.plan;
  manifest.base_seed = 1;
  const auto path = bench_directory() / "lock.csv";
  std::ofstream(path) << summary_header();
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    benchmark::DoNotOptimize(::flock(fd, LOCK_EX | LOCK_NB));
    std::filesystem::remove(summary_manifest_path(path));
    write_file_atomically(summary_manifest_path(path), manifest_json(manifest));
    ::close(fd);
  }
}
BENCHMARK(BM_LockAndManifestAlone)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace hostswitch
