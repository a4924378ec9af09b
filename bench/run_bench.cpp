#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/population_model.hpp"
#include "reporting/histogram.hpp"
#include "reporting/results_file.hpp"

namespace hostswitch {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kSeedCount = 123450;

// 1,000 parasites tripling every generation up to 1,000,000; sdr from the argument.
SimulationParameters whole_run_parameters(const benchmark::State& state) {
  const double sdr = state.range(0) == 0 ? 1.0 : 0.01;
  return SimulationParameters{1000, 2.0, 1000000, 0.0, sdr, 0.5, 2.0, 100};
}

// Individuals tried for survival (parents and offspring) over the whole run, the unit of
// the model's cost; counted in a run outside the timing.
std::uint64_t individual_generations(const SimulationParameters& p) {
  struct Counter final : Reporter {
    explicit Counter(const SimulationParameters& parameters) : p(parameters) {}
    void report(const GenerationRecord& generation) override {
      total += static_cast<std::uint64_t>(size_after_births(
          static_cast<std::int32_t>(generation.pop.size()), p.birth_rate, p.capacity));
    }
    SimulationParameters p;
    std::uint64_t total = 0;
  } counter(p);
  UniformStream stream;
  init_random_seed(stream, kSeedCount);
  run_population(p, stream, counter);
  return counter.total;
}

void set_rate(benchmark::State& state, std::uint64_t per_iteration) {
  state.counters["ns_per_individual_generation"] = benchmark::Counter(
      static_cast<double>(per_iteration) * static_cast<double>(state.iterations()) * 1e-9,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "hostswitch_bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The model with nothing reported: the floor the whole run is measured against.
void BM_RunModelNullReporter(benchmark::State& state) {
  const SimulationParameters p = whole_run_parameters(state);
  const std::uint64_t individuals = individual_generations(p);
  for (auto _ : state) {
    UniformStream stream;
    init_random_seed(stream, kSeedCount);
    NullReporter reporter;
    const RunResult result = run_population(p, stream, reporter);
    benchmark::DoNotOptimize(result.final_population.data());
  }
  set_rate(state, individuals);
}
BENCHMARK(BM_RunModelNullReporter)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The whole run as the program does it: results file opened, every generation's classes
// written, file closed.
void BM_RunWithResultsFile(benchmark::State& state) {
  const SimulationParameters p = whole_run_parameters(state);
  const std::uint64_t individuals = individual_generations(p);
  const ScratchDir dir;
  const fs::path file = dir.path() / kResultsFileName;
  for (auto _ : state) {
    UniformStream stream;
    init_random_seed(stream, kSeedCount);
    ResultsFile results(file, p.sdr / 10.0);
    const RunResult result = run_population(p, stream, results);
    results.close();
    benchmark::DoNotOptimize(result.final_population.data());
  }
  state.counters["file_bytes"] = static_cast<double>(fs::file_size(file));
  set_rate(state, individuals);
}
BENCHMARK(BM_RunWithResultsFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// One generation's classes for a population of 10^6 spread as the run's are (about 100
// classes of sdr/10).
void BM_HistogramTypical(benchmark::State& state) {
  std::mt19937_64 random(2);
  std::normal_distribution<double> phenotype(10.0, 1.0);
  std::vector<double> pop(1000000);
  for (double& v : pop) v = phenotype(random);
  PhenotypeHistogram histogram(0.1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(histogram.classes(pop).data());
  }
  state.counters["ns_per_value"] = benchmark::Counter(
      static_cast<double>(pop.size()) * static_cast<double>(state.iterations()) * 1e-9,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_HistogramTypical)->Unit(benchmark::kMillisecond);

// One generation's classes when the spread holds about 10^9 classes of the width.
void BM_HistogramBillionClasses(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::mt19937_64 random(1);
  std::uniform_real_distribution<double> phenotype(0.0, 1e8);
  std::vector<double> pop(n);
  for (double& v : pop) v = phenotype(random);
  pop[0] = 0.0;
  pop[1] = 1e8;
  PhenotypeHistogram histogram(0.1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(histogram.classes(pop).data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(n));
}
BENCHMARK(BM_HistogramBillionClasses)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace hostswitch
