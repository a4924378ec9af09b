#include "model/kernel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "model/kernel_ops.hpp"
#include "model/workers.hpp"
#include "reporting/histogram.hpp"
#include "reporting/results_file.hpp"
#include "tests/test_files.hpp"

namespace hostswitch {
namespace {

UniformStream seeded(std::int32_t count) {
  UniformStream stream;
  init_random_seed(stream, count);
  return stream;
}

UniformStream at_words(std::int32_t s1, std::int32_t s2) {
  UniformStream stream;
  stream.put_seed(s1, s2);
  return stream;
}

std::vector<Kernel> vector_kernels() {
  std::vector<Kernel> kernels;
  for (const Kernel kernel : supported_kernels()) {
    if (kernel != Kernel::kScalar) kernels.push_back(kernel);
  }
  return kernels;
}

#if defined(HOSTSWITCH_X86_KERNELS)
const kernel::Ops& ops_of(Kernel kernel) {
  if (kernel == Kernel::kAvx512) return kernel::kAvx512Ops;
  return kernel == Kernel::kAvx2 ? kernel::kAvx2Ops : kernel::kSse2Ops;
}
#endif

TEST(KernelSelection, TheMachineRunsTheKernelsItAdvertises) {
  EXPECT_TRUE(kernel_supported(Kernel::kScalar));
  EXPECT_TRUE(kernel_supported(selected_kernel()));
  for (const Kernel kernel :
       {Kernel::kScalar, Kernel::kSse2, Kernel::kAvx2, Kernel::kAvx512, Kernel::kSimd128}) {
    EXPECT_EQ(kernel_named(kernel_name(kernel)), kernel);
  }
  EXPECT_EQ(kernel_named("AVX2"), std::nullopt);
#if defined(__x86_64__)
  EXPECT_TRUE(kernel_supported(Kernel::kSse2));
  EXPECT_EQ(kernel_supported(Kernel::kAvx2), __builtin_cpu_supports("avx2") != 0);
  // The widest the machine runs is the one picked.
  if (kernel_supported(Kernel::kAvx512) && std::getenv("HOSTSWITCH_KERNEL") == nullptr) {
    EXPECT_EQ(selected_kernel(), Kernel::kAvx512);
  }
#endif
}

TEST(StreamJump, AdvancedEqualsDrawingOneByOne) {
  for (const UniformStream start :
       {seeded(123450), at_words(1, 1), at_words(2147483562, 2147483398)}) {
    UniformStream serial = start;
    for (std::uint64_t n = 0; n < 3000; ++n) {
      ASSERT_EQ(advanced(start, n), serial) << n;
      serial.next();
    }
    for (std::uint64_t n = 3000; n < 2000000; ++n) serial.next();
    EXPECT_EQ(advanced(start, 2000000), serial);
  }
  // A full period of either word returns it to where it was.
  const UniformStream start = seeded(10);
  const UniformStream round = advanced(start, 2147483562ULL * 2147483398ULL);
  EXPECT_EQ(round, start);
}

#if defined(HOSTSWITCH_X86_KERNELS)
TEST(LaneStream, EveryKernelFillsTheSerialStreamAcrossEveryBlockBoundary) {
  // Words at both ends of their ranges exercise the reduction's last subtraction.
  const std::vector<UniformStream> starts{
      seeded(123450),          at_words(1, 1),          at_words(2147483562, 2147483398),
      at_words(2147483562, 1), at_words(1, 2147483398), at_words(1073741823, 1073741700)};
  for (const Kernel kernel : vector_kernels()) {
    const kernel::Ops& ops = ops_of(kernel);
    for (const UniformStream& start : starts) {
      SCOPED_TRACE(::testing::Message()
                   << kernel_name(kernel) << " from " << start.s1() << ", " << start.s2());
      // Pieces of every length up to 40 blocks, one after the other.
      UniformStream serial = start;
      UniformStream words = start;
      std::vector<double> piece;
      for (std::size_t blocks = 1; blocks <= 40; ++blocks) {
        piece.assign(blocks * kernel::kLaneBlock, 0.0);
        ops.fill({words.s1(), words.s2()}, piece.data(), piece.size());
        for (std::size_t k = 0; k < piece.size(); ++k) {
          ASSERT_EQ(piece[k], serial.next()) << "piece " << blocks << " draw " << k;
        }
        words = advanced(words, piece.size());
      }
      // One long fill: a million draws.
      std::vector<double> long_run(1 << 20);
      ops.fill({start.s1(), start.s2()}, long_run.data(), long_run.size());
      serial = start;
      for (std::size_t k = 0; k < long_run.size(); ++k) {
        ASSERT_EQ(long_run[k], serial.next()) << "draw " << k;
      }
    }
  }
}

// The band within which the platform's exponential decides must be wider than the vector
// exponential's error: measured against std::exp over the whole range the kernels use.
TEST(VectorExponential, StaysWithinItsBoundOfThePlatformsExponential) {
  std::vector<double> a;
  for (int k = 0; k <= 4000000; ++k) a.push_back(-100.0 * k / 4000000.0);
  for (const double edge : {-0.0, -0x1p-1074, -0.5 * std::log(2.0), -std::log(2.0), -99.99}) {
    a.push_back(edge);
    a.push_back(std::nextafter(edge, -INFINITY));
  }
  a.push_back(-1e300);
  a.push_back(-INFINITY);
  a.push_back(NAN);
  while (a.size() % kernel::kMaxWidth != 0) a.push_back(-1.0);
  std::vector<double> out(a.size());
  for (const Kernel kernel : vector_kernels()) {
    SCOPED_TRACE(kernel_name(kernel));
    ops_of(kernel).exp(a.data(), out.data(), a.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (std::isnan(a[i])) {
        EXPECT_TRUE(std::isnan(out[i]));
      } else if (a[i] < -100.0) {
        EXPECT_LT(out[i], 0x1p-32) << a[i];  // below every draw, as the true value is
      } else {
        worst = std::max(worst, std::fabs(out[i] / std::exp(a[i]) - 1.0));
      }
    }
    EXPECT_LT(worst, 0x1p-31);
    EXPECT_LT(worst * 2.0, kernel::kExpBand);
  }
}

// The vector tally takes values it finds clearly inside a class without the edge tables:
// values on and next to every computed edge, far from zero where rounding is widest, must
// land where the histogram's own count puts them.
TEST(ClassTally, EveryKernelCountsValuesNextToEdgesAsTheHistogramDoes) {
  std::mt19937_64 random(5);
  std::size_t compared = 0;
  for (int trial = 0; trial < 600; ++trial) {
    const double scale = std::pow(10.0, static_cast<double>(random() % 13));
    const double binw = std::uniform_real_distribution<double>(1e-3, 2.0)(random);
    const double mn = std::uniform_real_distribution<double>(-1.0, 1.0)(random) * scale;
    std::vector<double> pop{mn};
    const double half = binw / 2.0;
    const int classes = 1 + static_cast<int>(random() % 300);
    for (int k = 1; k <= classes; ++k) {
      const double centre = (half + mn) + static_cast<double>(k - 1) * binw;
      for (double edge : {centre - half, half + centre, centre}) {
        for (int step = 0; step < 3; ++step) {
          pop.push_back(std::max(edge, mn));
          pop.push_back(std::max(std::nextafter(edge, -INFINITY), mn));
          edge = std::nextafter(edge, INFINITY);
        }
      }
    }
    std::shuffle(pop.begin(), pop.end(), random);
    double mx = mn;
    for (const double v : pop) mx = v > mx ? v : mx;
    PhenotypeHistogram reference(binw);
    const auto expected_span = reference.classes(pop, mn, mx);
    const std::vector<PhenotypeClass> expected(expected_span.begin(), expected_span.end());
    for (const Kernel kernel : vector_kernels()) {
      SCOPED_TRACE(::testing::Message() << kernel_name(kernel) << " trial " << trial);
      PhenotypeHistogram histogram(binw);
      ClassTally* tally = histogram.begin_tally(pop, mn, mx);
      ASSERT_NE(tally, nullptr);
      ops_of(kernel).tally(*tally, pop.data(), pop.size());
      tally->added = pop.size();
      const auto actual = histogram.classes(pop, mn, mx);
      ASSERT_EQ(std::vector<PhenotypeClass>(actual.begin(), actual.end()), expected);
      ++compared;
    }
  }
  EXPECT_GT(compared, 0u);
}
#endif

// Records every generation and the stream as the reporter sees it.
class RecordingReporter final : public Reporter {
 public:
  explicit RecordingReporter(const UniformStream* stream) : stream_(stream) {}
  void report(const GenerationRecord& g) override {
    records.push_back({g.n_g, {g.pop.begin(), g.pop.end()}, g.n_HS, g.r_phe, g.rl_phe, *stream_});
    if (g.has_range) {
      ++ranges_given;
      // The range as a scan from the first value finds it.
      double mn = g.pop[0];
      double mx = g.pop[0];
      for (const double v : g.pop) {
        if (v > mx) mx = v;
        if (v < mn) mn = v;
      }
      if (!(g.pop_min == mn && g.pop_max == mx)) ++ranges_wrong;
    }
  }
  struct Entry {
    std::int32_t n_g;
    std::vector<double> pop;
    std::int32_t n_HS;
    double r_phe;
    double rl_phe;
    UniformStream stream;
    bool operator==(const Entry&) const = default;
  };
  std::vector<Entry> records;
  std::size_t ranges_given = 0;
  std::size_t ranges_wrong = 0;

 private:
  const UniformStream* stream_;
};

struct KernelRun {
  std::string file;
  RecordingReporter::Entry last{};
  std::size_t generations = 0;
  std::vector<RecordingReporter::Entry> records;
  std::size_t ranges_given = 0;
  std::size_t ranges_wrong = 0;
  RunResult result;
  UniformStream stream_after;
  std::string error;
};

KernelRun run_on(Kernel kernel, const SimulationParameters& p, std::int32_t seed,
                 const RunSettings& settings = {}) {
  const testing::TempDir dir;
  KernelRun run;
  UniformStream stream = seeded(seed);
  RecordingReporter recorder(&stream);
  {
    ResultsFile file(dir / "output.txt", p.sdr / 10.0);
    struct Both final : Reporter {
      Both(Reporter& a, Reporter& b) : first(a), second(b) {}
      void report(const GenerationRecord& g) override {
        first.report(g);
        second.report(g);
      }
      ClassTally* begin_tally(std::span<const double> pop, double mn, double mx) override {
        return first.begin_tally(pop, mn, mx);
      }
      Reporter& first;
      Reporter& second;
    } both(file, recorder);
    try {
      run.result = run_population_on(kernel, p, stream, both, settings);
    } catch (const std::exception& e) {
      run.error = e.what();
    }
    file.close();
  }
  run.records = std::move(recorder.records);
  run.ranges_given = recorder.ranges_given;
  run.ranges_wrong = recorder.ranges_wrong;
  run.stream_after = stream;
  run.file = testing::read_file(dir / "output.txt");
  return run;
}

// Every vector kernel on 1, 2, 3 and 7 threads against the scalar kernel: 2 threads sharing
// only the phases a run shares (small ones on one thread), 3 and 7 sharing every phase.
void expect_kernels_match_scalar(const SimulationParameters& p, std::int32_t seed) {
  const KernelRun expected = run_on(Kernel::kScalar, p, seed);
  for (const Kernel kernel : vector_kernels()) {
    for (const RunSettings settings :
         {RunSettings{1}, RunSettings{2}, RunSettings{3, 0, 0}, RunSettings{7, 0, 0}}) {
      SCOPED_TRACE(::testing::Message()
                   << kernel_name(kernel) << " threads " << settings.threads << " seed " << seed
                   << " n_pop " << p.n_pop << " birth " << p.birth_rate << " emig " << p.emig_rate);
      const KernelRun actual = run_on(kernel, p, seed, settings);
      EXPECT_EQ(actual.error, expected.error);
      ASSERT_EQ(actual.records.size(), expected.records.size());
      for (std::size_t g = 0; g < expected.records.size(); ++g) {
        const auto& a = actual.records[g];
        const auto& e = expected.records[g];
        SCOPED_TRACE(::testing::Message() << "generation " << g + 1);
        ASSERT_EQ(a.pop, e.pop);
        ASSERT_EQ(a.n_HS, e.n_HS);
        ASSERT_EQ(a.r_phe, e.r_phe);
        ASSERT_EQ(a.rl_phe, e.rl_phe);
        ASSERT_EQ(a.stream, e.stream);
      }
      EXPECT_TRUE(actual.file == expected.file) << "results files differ";
      // Every generation hands its population's range, and it is the range.
      EXPECT_EQ(actual.ranges_given, actual.records.size());
      EXPECT_EQ(actual.ranges_wrong, 0u);
      EXPECT_EQ(actual.result.final_population, expected.result.final_population);
      EXPECT_EQ(actual.result.final_r_phe, expected.result.final_r_phe);
      EXPECT_EQ(actual.result.outcome, expected.result.outcome);
      EXPECT_EQ(actual.result.switch_generations, expected.result.switch_generations);
      EXPECT_EQ(actual.result.first_switch_generation, expected.result.first_switch_generation);
      EXPECT_EQ(actual.result.farthest_host_distance, expected.result.farthest_host_distance);
      EXPECT_EQ(actual.result.longest_stay, expected.result.longest_stay);
      EXPECT_EQ(actual.stream_after, expected.stream_after);
    }
  }
}

TEST(Kernels, EveryKernelWritesTheScalarKernelsFileByteForByte) {
  // Growth to capacity and a long stay there, nobody emigrating.
  expect_kernels_match_scalar({1000, 2.0, 200000, 0.0, 1.0, 0.5, 2.0, 12}, 123450);
  // Many host switches.
  expect_kernels_match_scalar({200, 1.0, 5000, 0.05, 1.0, 0.5, 1.0, 150}, 987650);
  expect_kernels_match_scalar({300, 1.0, 1000, 0.02, 3.0, 0.5, 0.5, 200}, 555);
  // Everybody emigrates (rates 1 and above), and rates in between.
  expect_kernels_match_scalar({40, 1.0, 3000, 1.0, 1.0, 0.5, 0.3, 60}, 909);
  expect_kernels_match_scalar({40, 1.0, 100, 7.5, 1.0, 0.5, 0.3, 30}, 919);
  expect_kernels_match_scalar({500, 1.5, 20000, 0.5, 2.0, 1.0, 5.0, 40}, 1000);
  expect_kernels_match_scalar({10, 0.5, 1000, 0.1, 1.0, 0.5, 2.0, 500}, 31337);
  // Narrow survival (weights underflow to 0), wide mutation, a lone parasite.
  expect_kernels_match_scalar({100, 3.0, 30000, 0.2, 0.05, 2.0, 0.1, 20}, 42);
  expect_kernels_match_scalar({1, 0.0, 1, 0.5, 1.0, 0.5, 2.0, 30}, 77);
  expect_kernels_match_scalar({7, 1.0, 7, -1.0, 1.0, 0.5, 2.0, 30}, 78);
  // Survival denominators that are subnormal (only exact optima survive) or infinite
  // (everybody survives).
  expect_kernels_match_scalar({50, 1.0, 400, 0.3, 1e-160, 0.5, 2.0, 5}, 79);
  expect_kernels_match_scalar({50, 1.0, 400, 0.3, 1e160, 0.5, 2.0, 5}, 80);
}

// The widest kernel is in every list the tests above walk where the machine has it; said
// plainly where it has not, since every other test passes without it.
TEST(Kernels, Avx512RunsWhereTheProcessorHasIt) {
  if (!kernel_supported(Kernel::kAvx512)) GTEST_SKIP() << "no AVX-512 here: avx512 not tested";
  const std::vector<Kernel> kernels = vector_kernels();
  EXPECT_NE(std::find(kernels.begin(), kernels.end(), Kernel::kAvx512), kernels.end());
  // Stretches of 1 to 15 individuals past a whole step of the loop, on every path of the
  // 8-wide tail, and a list of switchers longer than the survival stretch.
  for (const std::int32_t capacity : {1041, 1047, 1048, 1055, 1049}) {
    expect_kernels_match_scalar({1000, 1.2, capacity, 0.3, 1.0, 0.5, 2.0, 8}, capacity);
  }
  expect_kernels_match_scalar({3000, 1.0, 6000, 0.9, 4.0, 0.5, 0.5, 4}, 4242);
}

TEST(Kernels, FatalExponentialsLeaveTheStreamWhereTheScalarKernelDoes) {
  // sdv = 0 stops at the first offspring's attempt; sdr = 0 after the whole survival phase;
  // overflowing squares; sdv = 0 only once the population has shrunk below capacity.
  expect_kernels_match_scalar({10, 0.5, 100, 0.1, 1.0, 0.0, 2.0, 5}, 60);
  expect_kernels_match_scalar({10, 0.0, 100, 0.0, 0.0, 0.5, 2.0, 5}, 61);
  expect_kernels_match_scalar({10, 0.5, 100, 0.1, 1.0, 1e200, 2.0, 5}, 62);
  expect_kernels_match_scalar({10, 0.5, 10, 0.5, 1.0, 0.0, 2.0, 50}, 70);
  expect_kernels_match_scalar({2000, 1.0, 4000, 0.5, 1.0, 1e-200, 2.0, 3}, 71);
}

// A script of draws, then 0.5 for ever, so that kernels may read ahead of the script.
class ScriptedSource final : public DrawSource {
 public:
  explicit ScriptedSource(std::vector<double> script) : script_(std::move(script)) {}
  void fill(std::uint64_t position, double* out, std::size_t n) override {
    for (std::size_t k = 0; k < n; ++k) {
      out[k] = position + k < script_.size() ? script_[position + k] : 0.5;
    }
  }
  void settle(std::uint64_t used) override { used_ = used; }
  std::uint64_t used() const { return used_; }

 private:
  std::vector<double> script_;
  std::uint64_t used_ = 0;
};

// The draw just above a weight (rejected) and the weight itself (accepted): both lie next to
// the exponential's value, where only the platform's exponential can tell them apart.
TEST(Kernels, DrawsNextToTheWeightAreDecidedByThePlatformsExponential) {
  const SimulationParameters p{4, 1.0, 8, 0.5, 1.0, 0.5, 2.0, 1};
  const double width = p.sdv * 6.0;
  const double shift = p.sdv * 3.0;
  auto mutation_weight = [&](double u) {
    const double x = width * u - shift;
    return std::exp(-(x * x) / (p.sdv * p.sdv * 2.0));
  };
  std::vector<double> script{0.25};  // new host at 11
  const double rl_phe = (0.5 - 0.25) * 2.0 * p.max_dist + 10.0;
  std::vector<double> phenotypes{10.0, 10.0, 10.0, 10.0};
  const std::vector<double> tried_u{0.3, 0.45, 0.62, 0.7, 0.15, 0.81, 0.52, 0.33};
  for (int child = 0; child < 4; ++child) {
    script.push_back(0.1 + 0.2 * child);  // parents: all sit at 10.0
    script.push_back(0.7);
    const double rejected_u = tried_u[2 * child];
    const double accepted_u = tried_u[2 * child + 1];
    script.push_back(rejected_u);
    script.push_back(std::nextafter(mutation_weight(rejected_u), 1.0));
    script.push_back(accepted_u);
    script.push_back(mutation_weight(accepted_u));
    phenotypes.push_back(10.0 + (width * accepted_u - shift));
  }
  // Survival: alternately stay and emigrate; weights hit exactly, or missed by one unit.
  int expected_survivors = 0;
  int expected_switchers = 0;
  for (std::size_t i = 0; i < phenotypes.size(); ++i) {
    const bool emigrates = i % 2 == 1;
    const double optimum = emigrates ? rl_phe : 10.0;
    const double distance = phenotypes[i] - optimum;
    const double f = std::exp(-(distance * distance) / (p.sdr * p.sdr * 2.0));
    const bool survives = i % 3 != 0;
    script.push_back(emigrates ? 0.2 : 0.8);
    script.push_back(survives ? f : std::nextafter(f, 1.0));
    if (survives) (emigrates ? expected_switchers : expected_survivors) += 1;
  }
  ASSERT_GT(expected_switchers, 0);
  const std::size_t script_size = script.size();

  ScriptedSource reference_source(script);
  NullReporter none;
  const RunResult reference = run_population_from(Kernel::kScalar, p, reference_source, none);
  EXPECT_EQ(reference_source.used(), script_size);
  EXPECT_EQ(reference.final_population.size(), static_cast<std::size_t>(expected_switchers));
  for (const Kernel kernel : vector_kernels()) {
    SCOPED_TRACE(kernel_name(kernel));
    ScriptedSource source(script);
    KernelStats stats;
    const RunResult result = run_population_from(kernel, p, source, none, {}, &stats);
    EXPECT_EQ(source.used(), script_size);
    EXPECT_EQ(result.final_population, reference.final_population);
    EXPECT_EQ(result.final_r_phe, reference.final_r_phe);
    // Eight attempts and eight individuals, every one of them in the band. The parents and
    // the offspring are stretches of four, which an 8-wide kernel takes one at a time with the
    // platform's exponential, not as a vector that falls back to it.
    EXPECT_EQ(stats.exp_fallbacks, kernel == Kernel::kAvx512 ? 8U : 16U);
  }
}

// Scripted mutation attempts: accepted ones, each with a deviation of its own, and rejected
// ones where the script says. A rejection shifts the walk by one pair, so that a later block
// begins with its parents pending; where every attempt is accepted after it, walking that
// block again from its start never meets the walk from a parent pair.
TEST(Kernels, ThreadsTakeTheOffspringOfEveryBlockInOrder) {
  auto script_of = [](std::size_t pairs, auto rejected) {
    std::vector<double> script{0.5};  // the new host
    for (std::size_t q = 0; q < pairs; ++q) {
      if (rejected(q)) {
        // x = 2.4 sdv, whose weight exp(-2.88) the draw 0.99 exceeds.
        script.insert(script.end(), {0.9, 0.99});
      } else {
        script.insert(script.end(), {0.5 + 0.01 * static_cast<double>(q % 101) / 101.0, 0.5});
      }
    }
    return script;
  };
  std::uint32_t bits = 12345;
  auto sometimes = [&bits](std::size_t) {
    bits = bits * 1103515245U + 12345U;
    return (bits >> 16) % 10 < 3;
  };
  const std::vector<std::vector<double>> scripts{
      script_of(12000, [](std::size_t q) { return q == 5; }), script_of(12000, sometimes)};
  for (const double birth_rate : {1.5, 2.5, 5.0}) {
    // 1,000 parents and 1,500, 2,500 or 5,000 offspring: the last of them in the first
    // block, in a block begun again, or further on.
    const SimulationParameters p{1000, birth_rate, 100000, 0.0, 1.0, 0.5, 2.0, 1};
    for (const std::vector<double>& script : scripts) {
      ScriptedSource reference_source(script);
      NullReporter none;
      const RunResult reference = run_population_from(Kernel::kScalar, p, reference_source, none);
      for (const Kernel kernel : vector_kernels()) {
        for (const unsigned threads : {1U, 2U, 3U}) {
          SCOPED_TRACE(::testing::Message() << kernel_name(kernel) << " threads " << threads
                                            << " birth rate " << birth_rate);
          ScriptedSource source(script);
          const RunResult result =
              run_population_from(kernel, p, source, none, RunSettings{threads, 0, 0});
          EXPECT_EQ(source.used(), reference_source.used());
          EXPECT_EQ(result.final_population, reference.final_population);
        }
      }
    }
  }
}

TEST(Kernels, OrdinaryRunsRarelyNeedThePlatformsExponential) {
  const SimulationParameters p{1000, 2.0, 100000, 0.0, 1.0, 0.5, 2.0, 10};
  for (const Kernel kernel : vector_kernels()) {
    UniformStream stream = seeded(5);
    NullReporter none;
    KernelStats stats;
    run_population_on(kernel, p, stream, none, {}, &stats);
    // Over a million decisions, each in the band with a chance near 2^-40.
    EXPECT_LE(stats.exp_fallbacks, 2U) << kernel_name(kernel);
  }
}

// A task's failure on another thread comes back to the caller once; the next call neither
// sees it again nor loses a task, whether the threads watched or slept in between.
TEST(Kernels, ThreadsPassOnATasksFailureOnce) {
  Workers workers(3);
  for (int call = 0; call < 50; ++call) {
    EXPECT_THROW(workers.run([](unsigned t) {
      if (t == 2) throw std::runtime_error("task 2");
    }),
                 std::runtime_error);
    std::atomic<unsigned> ran{0};
    workers.run([&ran](unsigned) { ran.fetch_add(1); });
    EXPECT_EQ(ran.load(), 3U);
    if (call % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace
}  // namespace hostswitch
