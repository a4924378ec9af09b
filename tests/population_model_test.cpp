#include "model/population_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <fstream>
#include <iterator>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/memory_budget.hpp"
#include "model/population_model_impl.hpp"

namespace hostswitch {
namespace {

// Counts the draws a run takes from the real stream.
class CountingStream {
 public:
  explicit CountingStream(UniformStream stream) : stream_(stream) {}
  double next() {
    ++draws_;
    return stream_.next();
  }
  std::uint64_t draws() const { return draws_; }
  const UniformStream& stream() const { return stream_; }

 private:
  UniformStream stream_;
  std::uint64_t draws_ = 0;
};

// Hands out a script of draws, so a generation can be steered exactly.
class ScriptedStream {
 public:
  explicit ScriptedStream(std::deque<double> draws) : draws_(std::move(draws)) {}
  double next() {
    if (draws_.empty()) throw std::logic_error("script ran out of draws");
    const double u = draws_.front();
    draws_.pop_front();
    return u;
  }
  bool exhausted() const { return draws_.empty(); }

 private:
  std::deque<double> draws_;
};

struct Snapshot {
  GenerationRecord record;
  std::vector<double> pop;
  std::uint64_t draws_so_far = 0;
};

class RecordingReporter final : public Reporter {
 public:
  explicit RecordingReporter(const CountingStream* counter = nullptr) : counter_(counter) {}
  void report(const GenerationRecord& generation) override {
    Snapshot snapshot{generation, {generation.pop.begin(), generation.pop.end()}, 0};
    if (counter_) snapshot.draws_so_far = counter_->draws();
    snapshots.push_back(std::move(snapshot));
  }
  std::vector<Snapshot> snapshots;

 private:
  const CountingStream* counter_;
};

// A literal transcription of the model, with its four sequences and 1-based positions.
struct ReferenceGeneration {
  std::vector<double> pop_at_start;
  double r_phe = 0.0;
  double rl_phe = 0.0;
  int n_HS = 0;
  std::uint64_t draws = 0;
  std::uint64_t attempts = 0;
  int offspring = 0;
  int n_tot = 0;
};

struct ReferenceRun {
  std::vector<ReferenceGeneration> generations;
  std::vector<double> final_pop;
  double final_r_phe = 10.0;
  bool extinct = false;
};

ReferenceRun reference_run(const SimulationParameters& p, UniformStream stream) {
  ReferenceRun run;
  std::vector<double> pop(static_cast<std::size_t>(p.n_pop), 10.0);
  double r_phe = 10.0;
  std::uint64_t draws = 0;
  auto draw = [&] {
    ++draws;
    return stream.next();
  };
  for (int n_g = 1; n_g <= p.n_gen; ++n_g) {
    ReferenceGeneration g;
    g.pop_at_start = pop;
    g.r_phe = r_phe;
    const std::uint64_t draws_before = draws;
    const int n_pop = static_cast<int>(pop.size());
    const double rl_phe = (0.5 - draw()) * 2.0 * p.max_dist + r_phe;
    const double x_births = n_pop * p.birth_rate;
    long long n_birth = 0;
    if (x_births > 0) n_birth = static_cast<long long>(std::trunc(x_births + 0.5));
    long long n_tot_wide = n_pop + n_birth;
    if (n_tot_wide > p.capacity) n_tot_wide = p.capacity;
    const int n_tot = static_cast<int>(n_tot_wide);
    std::vector<double> newpop(static_cast<std::size_t>(n_tot) + 1);
    for (int i = 1; i <= n_pop; ++i) newpop[i] = pop[i - 1];
    for (int i = n_pop + 1; i <= n_tot; ++i) {
      const double r1 = draw();
      const double r2 = draw();
      const int p1 = static_cast<int>(n_pop * r1) + 1;
      const int p2 = static_cast<int>(n_pop * r2) + 1;
      const double mid = (pop[p1 - 1] + pop[p2 - 1]) / 2.0;
      double x;
      double f;
      double y;
      do {
        ++g.attempts;
        x = draw();
        x = p.sdv * 6.0 * x - p.sdv * 3.0;
        f = std::exp(-(x * x) / (p.sdv * p.sdv * 2.0));
        y = draw();
      } while (!(y <= f));
      newpop[i] = mid + x;
      ++g.offspring;
    }
    std::vector<double> stay_list(static_cast<std::size_t>(n_tot) + 1);
    std::vector<double> switch_list(static_cast<std::size_t>(n_tot) + 1);
    int n_surv = 0;
    int n_HS = 0;
    for (int i = 1; i <= n_tot; ++i) {
      const double u = draw();
      const double z = newpop[i];
      if (u <= p.emig_rate) {
        const double f = std::exp(-((z - rl_phe) * (z - rl_phe)) / (p.sdr * p.sdr * 2.0)) * 1.0;
        if (draw() <= f) switch_list[++n_HS] = z;
      } else {
        const double f = std::exp(-((z - r_phe) * (z - r_phe)) / (p.sdr * p.sdr * 2.0)) * 1.0;
        if (draw() <= f) stay_list[++n_surv] = z;
      }
    }
    g.rl_phe = rl_phe;
    g.n_HS = n_HS;
    g.n_tot = n_tot;
    g.draws = draws - draws_before;
    run.generations.push_back(g);
    if (n_HS > 0) {
      r_phe = rl_phe;
      pop.assign(switch_list.begin() + 1, switch_list.begin() + 1 + n_HS);
    } else {
      pop.assign(stay_list.begin() + 1, stay_list.begin() + 1 + n_surv);
    }
    if (pop.empty()) {
      run.extinct = true;
      break;
    }
  }
  run.final_pop = pop;
  run.final_r_phe = r_phe;
  return run;
}

UniformStream seeded(std::int32_t count) {
  UniformStream stream;
  init_random_seed(stream, count);
  return stream;
}

void expect_same_as_reference(const SimulationParameters& p, std::int32_t seed) {
  SCOPED_TRACE(::testing::Message() << "seed " << seed << " n_pop " << p.n_pop << " birth "
                                    << p.birth_rate << " emig " << p.emig_rate);
  const ReferenceRun expected = reference_run(p, seeded(seed));
  CountingStream stream(seeded(seed));
  RecordingReporter reporter(&stream);
  const RunResult result = run_population_with(p, stream, reporter);

  ASSERT_EQ(reporter.snapshots.size(), expected.generations.size());
  std::uint64_t previous_draws = 0;
  for (std::size_t i = 0; i < expected.generations.size(); ++i) {
    const ReferenceGeneration& g = expected.generations[i];
    const Snapshot& s = reporter.snapshots[i];
    ASSERT_EQ(s.record.n_g, static_cast<int>(i) + 1);
    ASSERT_EQ(s.pop, g.pop_at_start) << "generation " << i + 1;
    ASSERT_EQ(s.record.r_phe, g.r_phe);
    ASSERT_EQ(s.record.rl_phe, g.rl_phe);
    ASSERT_EQ(s.record.n_HS, g.n_HS);
    // 1 for the host, 2 + 2 per attempt for every offspring, 2 for every individual.
    const std::uint64_t formula = 1 + 2 * static_cast<std::uint64_t>(g.offspring) + 2 * g.attempts +
                                  2 * static_cast<std::uint64_t>(g.n_tot);
    ASSERT_EQ(g.draws, formula);
    ASSERT_EQ(s.draws_so_far - previous_draws, formula) << "generation " << i + 1;
    previous_draws = s.draws_so_far;
  }
  EXPECT_EQ(std::vector<double>(result.final_population.begin(), result.final_population.end()),
            expected.final_pop);
  EXPECT_EQ(result.final_r_phe, expected.final_r_phe);
  EXPECT_EQ(result.outcome.extinct, expected.extinct);
}

TEST(PopulationModel, MatchesALiteralTranscriptionDrawForDraw) {
  // Quick extinction, long growth at capacity, many host switches, a lone parasite.
  expect_same_as_reference({100, 0.5, 1000, 0.1, 1.0, 0.5, 2.0, 60}, 0);
  expect_same_as_reference({200, 1.0, 2000, 0.01, 1.0, 0.5, 2.0, 80}, 987650);
  expect_same_as_reference({50, 2.0, 400, 0.0, 0.4, 0.2, 1.0, 80}, 4242);
  expect_same_as_reference({10, 1.5, 200, 0.9, 2.0, 1.0, 5.0, 40}, 1000);
  expect_same_as_reference({500, 0.25, 600, 0.002, 0.3, 0.8, 3.0, 100}, 31337);
  expect_same_as_reference({300, 1.0, 1000, 0.02, 3.0, 0.5, 0.5, 100}, 555);
  expect_same_as_reference({1, 0.0, 1, 0.5, 1.0, 0.5, 2.0, 30}, 77);
  expect_same_as_reference({40, 1.0, 100, 1.0, 1.0, 0.5, 0.3, 30}, 909);
  expect_same_as_reference({40, 1.0, 100, 7.5, 1.0, 0.5, 0.3, 30}, 919);
  expect_same_as_reference({40, 1.0, 100, -1.0, 1.0, 0.5, 0.3, 30}, 929);
}

// The model document's numbers: the rejection sampler of the offspring deviation accepts an
// attempt with probability sqrt(2 pi) erf(3 / sqrt 2) / 6, and a real run's draws, less the
// host, parent, emigration and survival draws, count its attempts.
TEST(PopulationModel, RejectionAcceptanceRateIsTheDocumentedOne) {
  const double rate = std::sqrt(2.0 * std::numbers::pi) * std::erf(3.0 / std::sqrt(2.0)) / 6.0;
  const SimulationParameters p{1000, 2.0, 200000, 0.0, 1.0, 0.5, 2.0, 5};
  CountingStream stream(seeded(4242));
  RecordingReporter reporter(&stream);
  run_population_with(p, stream, reporter);
  std::uint64_t previous = 0;
  std::uint64_t offspring = 0;
  std::uint64_t attempts = 0;
  for (const Snapshot& s : reporter.snapshots) {
    const auto n_pop = static_cast<std::int32_t>(s.pop.size());
    const auto n_tot =
        static_cast<std::uint64_t>(size_after_births(n_pop, p.birth_rate, p.capacity));
    const std::uint64_t born = n_tot - static_cast<std::uint64_t>(n_pop);
    const std::uint64_t draws = s.draws_so_far - previous;
    previous = s.draws_so_far;
    offspring += born;
    attempts += (draws - 1 - 2 * born - 2 * n_tot) / 2;
  }
  ASSERT_GT(attempts, 100000U);
  const double measured = static_cast<double>(offspring) / static_cast<double>(attempts);
  // Four binomial standard deviations.
  EXPECT_NEAR(measured, rate, 4.0 * std::sqrt(rate * (1.0 - rate) / static_cast<double>(attempts)));

  std::ifstream file(HOSTSWITCH_SOURCE_DIR "/docs/model.md");
  const std::string model((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  auto fixed = [](double value, int decimals) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(decimals);
    text << value;
    return text.str();
  };
  EXPECT_NE(model.find("\u2248 " + fixed(rate, 4)), std::string::npos) << fixed(rate, 4);
  EXPECT_NE(model.find("1 / P \u2248 " + fixed(1.0 / rate, 3)), std::string::npos);
  EXPECT_NE(model.find("1 + " + fixed(2.0 + 2.0 / rate, 2) + " (`n_tot` \u2212 `n_pop`)"),
            std::string::npos);
  EXPECT_NE(model.find("1 + 2 (n_tot \u2212 n_pop) + 2 A + 2 n_tot"), std::string::npos);
}

TEST(PopulationModel, SameSeedSameRunToTheLastBit) {
  const SimulationParameters p = typical_parameters();
  UniformStream a = seeded(123450);
  UniformStream b = seeded(123450);
  NullReporter none;
  const RunResult first = run_population(p, a, none);
  const RunResult second = run_population(p, b, none);
  EXPECT_EQ(first.final_population, second.final_population);
  EXPECT_EQ(first.outcome, second.outcome);
  EXPECT_EQ(a, b);
}

TEST(PopulationModelEdges, NoGenerationRunsForNonPositiveLength) {
  for (const int n_gen : {0, -1, INT32_MIN}) {
    SimulationParameters p = typical_parameters();
    p.n_gen = n_gen;
    UniformStream stream = seeded(10);
    const UniformStream untouched = stream;
    RecordingReporter reporter;
    const RunResult result = run_population(p, stream, reporter);
    EXPECT_TRUE(reporter.snapshots.empty());
    EXPECT_FALSE(result.outcome.extinct);
    EXPECT_EQ(stream, untouched);
  }
}

TEST(PopulationModelEdges, EmigrationRateAtOrAboveOneSendsEveryone) {
  SimulationParameters p{20, 0.5, 100, 1.0, 1.0, 0.5, 0.0, 30};
  UniformStream stream = seeded(20);
  RecordingReporter reporter;
  run_population(p, stream, reporter);
  // With max_dist 0 the new host is the host in use, and emigrants are tried there.
  for (const Snapshot& s : reporter.snapshots) {
    EXPECT_GT(s.record.n_HS, 0);
    EXPECT_EQ(s.record.rl_phe, s.record.r_phe);
  }
}

TEST(PopulationModelEdges, EmigrationRateAtOrBelowZeroSendsNobody) {
  for (const double rate : {0.0, -0.5}) {
    SimulationParameters p{20, 0.5, 100, rate, 1.0, 0.5, 2.0, 40};
    UniformStream stream = seeded(30);
    RecordingReporter reporter;
    const RunResult result = run_population(p, stream, reporter);
    for (const Snapshot& s : reporter.snapshots) {
      EXPECT_EQ(s.record.n_HS, 0);
      EXPECT_EQ(s.record.r_phe, 10.0);
    }
    EXPECT_EQ(result.switch_generations, 0);
    EXPECT_EQ(result.first_switch_generation, 0);
    EXPECT_EQ(result.farthest_host_distance, 0.0);
    EXPECT_EQ(result.longest_stay, result.outcome.n_g);  // one host all along
  }
}

TEST(PopulationModelEdges, ZeroBirthRateOnlyShrinksAndPopulationNeverExceedsCapacity) {
  SimulationParameters shrinking{200, 0.0, 200, 0.1, 1.0, 0.5, 2.0, 50};
  UniformStream stream = seeded(40);
  RecordingReporter reporter;
  run_population(shrinking, stream, reporter);
  for (std::size_t i = 1; i < reporter.snapshots.size(); ++i) {
    EXPECT_LE(reporter.snapshots[i].pop.size(), reporter.snapshots[i - 1].pop.size());
  }

  SimulationParameters crowded{100, 3.0, 250, 0.1, 1.0, 0.5, 2.0, 50};
  stream = seeded(50);
  RecordingReporter crowd;
  const RunResult result = run_population(crowded, stream, crowd);
  for (const Snapshot& s : crowd.snapshots) EXPECT_LE(s.pop.size(), 250U);
  EXPECT_LE(result.final_population.size(), 250U);
}

TEST(PopulationModelBirths, RoundHalfAwayFromZeroAndCapAtCapacity) {
  EXPECT_EQ(size_after_births(5, 0.5, 1000), 8);     // 2.5 births give 3
  EXPECT_EQ(size_after_births(1, 0.5, 1000), 2);     // 0.5 gives 1
  EXPECT_EQ(size_after_births(7, 0.5, 1000), 11);    // 3.5 gives 4
  EXPECT_EQ(size_after_births(10, 0.24, 1000), 12);  // 2.4 gives 2
  // The double just below 0.5 plus 0.5 rounds up to 1.0.
  EXPECT_EQ(size_after_births(1, std::nextafter(0.5, 0.0), 1000), 2);
  EXPECT_EQ(size_after_births(100, 0.0, 1000), 100);
  EXPECT_EQ(size_after_births(100, 0.5, 120), 120);
  // Far beyond 32 bits, and beyond every double: filled to capacity, no overflow.
  EXPECT_EQ(size_after_births(2000000000, 1e300, INT32_MAX), INT32_MAX);
  EXPECT_EQ(size_after_births(INT32_MAX, 1.7e308, INT32_MAX), INT32_MAX);
  EXPECT_EQ(size_after_births(3, 1e10, 50), 50);
}

TEST(PopulationModelSwitch, OneEmigrantEstablishingReplacesFiveHundredStayers) {
  SimulationParameters p{501, 0.0, 501, 0.5, 1.0, 0.5, 2.0, 1};
  // Host: u = 0.25 puts the new optimum at 11. The first individual emigrates and
  // survives (exp(-0.5) > 0.5); the other 500 stay at the optimum and survive.
  std::deque<double> script{0.25, 0.1, 0.5};
  for (int i = 0; i < 500; ++i) {
    script.push_back(0.9);
    script.push_back(0.5);
  }
  ScriptedStream stream(script);
  RecordingReporter reporter;
  const RunResult result = run_population_with(p, stream, reporter);
  EXPECT_TRUE(stream.exhausted());
  ASSERT_EQ(reporter.snapshots.size(), 1U);
  EXPECT_EQ(reporter.snapshots[0].record.n_HS, 1);
  EXPECT_EQ(reporter.snapshots[0].record.r_phe, 10.0);
  EXPECT_EQ(reporter.snapshots[0].record.rl_phe, 11.0);
  EXPECT_EQ(reporter.snapshots[0].pop.size(), 501U);
  ASSERT_EQ(result.final_population.size(), 1U);
  EXPECT_EQ(result.final_population[0], 10.0);
  EXPECT_EQ(result.final_r_phe, 11.0);
  EXPECT_EQ(result.switch_generations, 1);
  // Switched in its only generation, to a host 1 from the first; that generation was spent on
  // the host it left.
  EXPECT_EQ(result.first_switch_generation, 1);
  EXPECT_EQ(result.farthest_host_distance, 1.0);
  EXPECT_EQ(result.longest_stay, 1);
}

TEST(PopulationModelSwitch, SwitchersKeepTheirOrderOfAcceptance) {
  // Two parents, two offspring; parents stay and survive, offspring emigrate and survive.
  SimulationParameters p{2, 1.0, 4, 0.5, 1.0, 0.5, 0.0, 1};
  std::deque<double> script{0.5};
  // Offspring 1: parents 1 and 1, deviation x = 0.5*6*u - 1.5 with u = 0.6 -> +0.3.
  // Offspring 2: parents 2 and 2, u = 0.4 -> -0.3. Both accepted (y tiny).
  for (double u : {0.1, 0.1, 0.6, 1e-9, 0.9, 0.9, 0.4, 1e-9}) script.push_back(u);
  for (int i = 0; i < 2; ++i) {  // parents stay
    script.push_back(0.9);
    script.push_back(0.1);
  }
  for (int i = 0; i < 2; ++i) {  // offspring emigrate
    script.push_back(0.1);
    script.push_back(0.1);
  }
  ScriptedStream stream(script);
  RecordingReporter reporter;
  const RunResult result = run_population_with(p, stream, reporter);
  ASSERT_EQ(result.final_population.size(), 2U);
  EXPECT_EQ(result.final_population[0], 10.0 + (0.5 * 6.0 * 0.6 - 0.5 * 3.0));
  EXPECT_EQ(result.final_population[1], 10.0 + (0.5 * 6.0 * 0.4 - 0.5 * 3.0));
}

TEST(PopulationModelExtinction, EndsAfterTheReporterWroteGenerationOne) {
  SimulationParameters p{1, 0.0, 1, 1.0, 1.0, 0.5, 100.0, 10};
  // The new host lies 80 away: the lone emigrant cannot survive there.
  ScriptedStream stream({0.9, 0.1, 0.5});
  RecordingReporter reporter;
  const RunResult result = run_population_with(p, stream, reporter);
  EXPECT_TRUE(result.outcome.extinct);
  EXPECT_EQ(result.outcome.n_g, 1);
  ASSERT_EQ(reporter.snapshots.size(), 1U);
  EXPECT_EQ(reporter.snapshots[0].pop, std::vector<double>{10.0});
  EXPECT_EQ(reporter.snapshots[0].record.n_HS, 0);
}

TEST(PopulationModelErrors, UndefinedExponentialsAreFatal) {
  NullReporter none;
  UniformStream stream = seeded(60);
  // sdv = 0: the first offspring's weight is 0/0.
  EXPECT_THROW(run_population({10, 0.5, 100, 0.1, 1.0, 0.0, 2.0, 5}, stream, none), ExpDomainError);
  // sdr = 0: every parent of generation 1 sits at the optimum.
  EXPECT_THROW(run_population({10, 0.0, 100, 0.0, 0.0, 0.5, 2.0, 5}, stream, none), ExpDomainError);
  // Squares that overflow: inf / inf.
  EXPECT_THROW(run_population({10, 0.5, 100, 0.1, 1.0, 1e200, 2.0, 5}, stream, none),
               ExpDomainError);
}

TEST(PopulationModelErrors, ModelErrorComesAfterEarlierReports) {
  // At capacity no offspring are made, so sdv = 0 only bites once the population shrinks.
  RecordingReporter reporter;
  UniformStream stream = seeded(70);
  EXPECT_THROW(run_population({10, 0.5, 10, 0.5, 1.0, 0.0, 2.0, 50}, stream, reporter),
               ExpDomainError);
  EXPECT_GE(reporter.snapshots.size(), 1U);
}

TEST(PopulationModelErrors, RefusesParameterSetsThatBreakTheDataModel) {
  NullReporter none;
  UniformStream stream;
  EXPECT_THROW(run_population({0, 0.5, 100, 0.1, 1.0, 0.5, 2.0, 5}, stream, none),
               std::invalid_argument);
  EXPECT_THROW(run_population({100, 0.5, 99, 0.1, 1.0, 0.5, 2.0, 5}, stream, none),
               std::invalid_argument);
  EXPECT_THROW(run_population({100, -0.5, 1000, 0.1, 1.0, 0.5, 2.0, 5}, stream, none),
               std::invalid_argument);
}

TEST(PopulationModelErrors, StorageBeyondTheBudgetIsInsufficientMemory) {
  const std::size_t saved = MemoryBudget::limit();
  MemoryBudget::set_limit(1 << 20);
  NullReporter none;
  UniformStream stream = seeded(80);
  EXPECT_THROW(run_population({1000, 2.0, 1000000, 0.0, 1.0, 0.5, 2.0, 100}, stream, none),
               InsufficientMemory);
  MemoryBudget::set_limit(saved);
  EXPECT_EQ(MemoryBudget::in_use(), 0U);
}

}  // namespace
}  // namespace hostswitch
