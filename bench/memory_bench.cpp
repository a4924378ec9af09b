#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "model/workers.hpp"

namespace {

// The stayers' move of a population of a million at capacity, alone: each thread shifts its
// own half of the population (4 MB) down by a few places, as compaction does after deaths.
// Run on one thread, on two threads of one process and as two processes at once, it tells
// whether the machine gives threads sharing memory what it gives separate processes.
void BM_MoveHalfPopulation(benchmark::State& state) {
  constexpr std::size_t kHalf = 500000;
  constexpr std::size_t kShift = 8;
  std::vector<double> values(kHalf + kShift, 1.0);
  for (auto _ : state) {
    std::copy(values.begin() + kShift, values.end(), values.begin());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(2 * kHalf * sizeof(double)));
}
BENCHMARK(BM_MoveHalfPopulation)->Threads(1)->Threads(2)->UseRealTime()->MinTime(1.0);

// One call that every thread of two takes part in, empty: what each of a generation's
// shared phases pays before any work, and what a machine that keeps one thread waiting
// for its processor makes of it.
void BM_SharedCall(benchmark::State& state) {
  hostswitch::Workers workers(2);
  const std::function<void(unsigned)> nothing = [](unsigned) {};
  for (auto _ : state) workers.run(nothing);
}
BENCHMARK(BM_SharedCall)->UseRealTime()->MinTime(1.0);

}  // namespace
