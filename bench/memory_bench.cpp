#include <benchmark/benchmark.h>

#include <algorithm>
#include <barrier>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "model/workers.hpp"

namespace {

constexpr std::size_t kHalf = 500000;  // half a population of a million at capacity: 4 MB
constexpr std::size_t kShift = 8;

// The stayers' move after the births, on two threads: each reads every eighth value of a half
// (a line each, as the random parent reads of the births touch lines all over the
// population), then shifts its own half down a few places, as compaction does after deaths.
// Only ever run on two threads.
// Argument 0: each reads its own half; 1: each reads the other thread's, so that every line
// it then writes is one the other processor holds. What the second costs over the first is
// what this machine charges threads that share their population's memory, and processes,
// whose memories are their own, never pay.
void BM_MoveAfterReads(benchmark::State& state) {
  static std::vector<double> values;
  if (state.thread_index() == 0) values.assign(2 * kHalf + kShift, 1.0);
  const auto own = static_cast<std::size_t>(state.thread_index()) % 2;
  const std::size_t read = state.range(0) == 0 ? own : 1 - own;
  // Reads and moves are apart, so that no value is read while it is written.
  static std::barrier apart(2);
  for (auto _ : state) {
    double sum = 0.0;
    for (std::size_t i = read * kHalf; i < (read + 1) * kHalf; i += 8) sum += values[i];
    benchmark::DoNotOptimize(sum);
    apart.arrive_and_wait();
    double* const half = values.data() + own * kHalf;
    std::copy(half + kShift, half + kHalf + kShift, half);
    benchmark::ClobberMemory();
    apart.arrive_and_wait();
  }
}
BENCHMARK(BM_MoveAfterReads)->Arg(0)->Arg(1)->Threads(2)->UseRealTime()->MinTime(1.0);

// One call that every thread of two takes part in, empty: what each of a generation's
// shared phases pays before any work.
void BM_SharedCall(benchmark::State& state) {
  hostswitch::Workers workers(2);
  const std::function<void(unsigned)> nothing = [](unsigned) {};
  for (auto _ : state) workers.run(nothing);
}
BENCHMARK(BM_SharedCall)->UseRealTime()->MinTime(1.0);

}  // namespace
