// What the summary's lock and the manifest add to a sweep of 1,000 replicates of the typical
// run: the sweep into a plain file, the same sweep as `hostswitch sweep` does it (lock, manifest,
// rows), and the lock and manifest alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

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
  request.lists = ParameterLists{{t.n_pop}, {t.birth_rate}, {t.capacity}, {t.emig_rate},
                                 {t.sdr},   {t.sdv},        {t.max_dist}, {t.n_gen}};
  request.grid = expand_grid(request.lists);
  request.replicates = kReplicates;
  request.base_seed = 1;
  request.jobs = 1;
  request.summary = bench_directory() / "summary.csv";
  request.command_line = {"hostswitch", "sweep", "--replicates", "1000", "--seed", "1"};
  return request;
}

void BM_SweepIntoPlainFile(benchmark::State& state) {
  const SweepRequest request = typical_request();
  SweepSettings settings;
  settings.grid = request.grid;
  settings.replicates = kReplicates;
  settings.base_seed = 1;
  for (auto _ : state) {
    std::ofstream summary(bench_directory() / "plain.csv", std::ios::binary | std::ios::trunc);
    benchmark::DoNotOptimize(run_sweep(settings, summary).written);
  }
}
BENCHMARK(BM_SweepIntoPlainFile)->Unit(benchmark::kMillisecond);

void BM_SweepLockedWithManifest(benchmark::State& state) {
  const SweepRequest request = typical_request();
  std::ostringstream out, err;
  for (auto _ : state) {
    out.str("");
    benchmark::DoNotOptimize(sweep_into_summary(request, out, err));
  }
}
BENCHMARK(BM_SweepLockedWithManifest)->Unit(benchmark::kMillisecond);

// What a sweep does beyond opening its summary for writing, as it always did: the lock and the
// manifest.
void BM_LockAndManifestAlone(benchmark::State& state) {
  const SweepRequest request = typical_request();
  Manifest manifest;
  manifest.lists = request.lists;
  manifest.replicates = kReplicates;
  manifest.base_seed = 1;
  manifest.command_line = request.command_line;
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
