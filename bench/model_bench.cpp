#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "model/kernel.hpp"
#include "model/population_model.hpp"

namespace hostswitch {
namespace {

// Counts the individuals tried in each generation (parents and offspring).
class IndividualCounter final : public Reporter {
 public:
  explicit IndividualCounter(const SimulationParameters& p) : p_(p) {}
  void report(const GenerationRecord& generation) override {
    individual_generations += static_cast<std::uint64_t>(size_after_births(
        static_cast<std::int32_t>(generation.pop.size()), p_.birth_rate, p_.capacity));
  }
  std::uint64_t individual_generations = 0;

 private:
  SimulationParameters p_;
};

// 1,000 parasites doubling every generation up to a capacity of 1,000,000.
void BM_ModelAlone(benchmark::State& state) {
  const SimulationParameters p{1000, 2.0, 1000000, 0.0, 1.0, 0.5, 2.0, 100};
  std::uint64_t individuals = 0;
  for (auto _ : state) {
    UniformStream stream;
    init_random_seed(stream, 123450);
    IndividualCounter counter(p);
    const RunResult result = run_population(p, stream, counter);
    benchmark::DoNotOptimize(result.final_population.data());
    individuals += counter.individual_generations;
  }
  // Per individual tried for survival (parents and offspring) in a generation.
  state.counters["ns_per_individual_generation"] =
      benchmark::Counter(static_cast<double>(individuals) * 1e-9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ModelAlone)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The same run on each kernel: 0 scalar, 1 SSE2, 2 AVX2 (skipped where the processor lacks it).
void BM_ModelKernel(benchmark::State& state) {
  const auto kernel = static_cast<Kernel>(state.range(0));
  if (!kernel_supported(kernel)) {
    state.SkipWithError("kernel not supported here");
    return;
  }
  state.SetLabel(std::string(kernel_name(kernel)));
  const SimulationParameters p{1000, 2.0, 1000000, 0.0, 1.0, 0.5, 2.0, 100};
  std::uint64_t individuals = 0;
  for (auto _ : state) {
    UniformStream stream;
    init_random_seed(stream, 123450);
    IndividualCounter counter(p);
    const RunResult result = run_population_on(kernel, p, stream, counter);
    benchmark::DoNotOptimize(result.final_population.data());
    individuals += counter.individual_generations;
  }
  state.counters["ns_per_individual_generation"] =
      benchmark::Counter(static_cast<double>(individuals) * 1e-9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ModelKernel)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace hostswitch

namespace hostswitch {
namespace {

// The floor the model is measured against: the same run's draws, and its exponentials of
// the same arguments, with nothing else: no parents looked up, no lists filled.
void BM_DrawsAndExponentialsOnly(benchmark::State& state) {
  const SimulationParameters p{1000, 2.0, 1000000, 0.0, 1.0, 0.5, 2.0, 100};
  struct Sizes final : Reporter {
    explicit Sizes(const SimulationParameters& parameters) : p(parameters) {}
    void report(const GenerationRecord& generation) override {
      const auto n_pop = static_cast<std::int32_t>(generation.pop.size());
      const std::int32_t n_tot = size_after_births(n_pop, p.birth_rate, p.capacity);
      offspring.push_back(n_tot - n_pop);
      tried.push_back(n_tot);
    }
    SimulationParameters p;
    std::vector<std::int32_t> offspring;
    std::vector<std::int32_t> tried;
  } sizes(p);
  UniformStream seeded_stream;
  init_random_seed(seeded_stream, 123450);
  UniformStream first_pass = seeded_stream;
  run_population(p, first_pass, sizes);

  // Phenotypes spread as the run's are, read in order like the population.
  std::vector<double> phenotypes(static_cast<std::size_t>(p.capacity));
  UniformStream spread = seeded_stream;
  for (double& z : phenotypes) z = 10.0 + (spread.next() - 0.5) * 4.0;
  const double survival_denominator = p.sdr * p.sdr * 2.0;
  const double mutation_denominator = p.sdv * p.sdv * 2.0;

  std::uint64_t individuals = 0;
  for (auto _ : state) {
    UniformStream stream = seeded_stream;
    double sink = 0.0;
    for (std::size_t g = 0; g < sizes.tried.size(); ++g) {
      sink += stream.next();
      for (std::int32_t i = 0; i < sizes.offspring[g]; ++i) {
        sink += stream.next() + stream.next();
        for (;;) {
          const double x = p.sdv * 6.0 * stream.next() - p.sdv * 3.0;
          if (stream.next() <= std::exp(-(x * x) / mutation_denominator)) {
            sink += x;
            break;
          }
        }
      }
      std::int32_t survivors = 0;
      for (std::int32_t i = 0; i < sizes.tried[g]; ++i) {
        const bool emigrates = stream.next() <= p.emig_rate;
        const double distance = phenotypes[static_cast<std::size_t>(i)] - 10.0;
        const double f = std::exp(-(distance * distance) / survival_denominator);
        survivors += static_cast<std::int32_t>(!emigrates & (stream.next() <= f));
      }
      sink += survivors;
      individuals += static_cast<std::uint64_t>(sizes.tried[g]);
    }
    benchmark::DoNotOptimize(sink);
  }
  state.counters["ns_per_individual_generation"] =
      benchmark::Counter(static_cast<double>(individuals) * 1e-9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DrawsAndExponentialsOnly)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace hostswitch
