#include "batch/sweep.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/summary.hpp"
#include "model/population_model.hpp"
#include "model/uniform_stream.hpp"
#include "reporting/results_file.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1) {
    fields.push_back(line.substr(start, comma - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

// The reference mixing function, written out from its published definition.
std::uint64_t reference_splitmix64(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

TEST(SweepSeeds, FollowTheDocumentedFormulaAndSpreadOut) {
  // The first output of a splitmix64 generator started at 0 is a well-known constant.
  ASSERT_EQ(reference_splitmix64(0), 0xE220A8397B1DCDAFULL);
  for (const std::int32_t base : {0, 7, -1, 2147483647}) {
    for (const std::int32_t g : {1, 2, 1000}) {
      for (const std::int32_t r : {1, 2, 3}) {
        std::uint64_t h = reference_splitmix64(static_cast<std::uint32_t>(base));
        h = reference_splitmix64(h ^ static_cast<std::uint32_t>(g));
        h = reference_splitmix64(h ^ static_cast<std::uint32_t>(r));
        EXPECT_EQ(replicate_seed(base, g, r), static_cast<std::int32_t>(h >> 33));
      }
    }
  }
  std::set<std::int32_t> seen;
  for (std::int32_t g = 1; g <= 30; ++g) {
    for (std::int32_t r = 1; r <= 30; ++r) {
      const std::int32_t seed = replicate_seed(12345, g, r);
      EXPECT_GE(seed, 0);
      seen.insert(seed);
    }
  }
  EXPECT_EQ(seen.size(), 900u);
  EXPECT_NE(replicate_seed(1, 1, 1), replicate_seed(2, 1, 1));
}

TEST(SweepGrid, FirstListVariesSlowest) {
  ParameterLists lists{{10, 20}, {0.5}, {1000}, {0.1, 0.2, 0.3}, {1.0}, {0.5}, {2.0}, {5, 6}};
  const auto grid = expand_grid(lists);
  ASSERT_EQ(grid.size(), 12u);
  EXPECT_EQ(grid[0], (SimulationParameters{10, 0.5, 1000, 0.1, 1.0, 0.5, 2.0, 5}));
  EXPECT_EQ(grid[1], (SimulationParameters{10, 0.5, 1000, 0.1, 1.0, 0.5, 2.0, 6}));
  EXPECT_EQ(grid[2], (SimulationParameters{10, 0.5, 1000, 0.2, 1.0, 0.5, 2.0, 5}));
  EXPECT_EQ(grid[6], (SimulationParameters{20, 0.5, 1000, 0.1, 1.0, 0.5, 2.0, 5}));
  EXPECT_EQ(grid[11], (SimulationParameters{20, 0.5, 1000, 0.3, 1.0, 0.5, 2.0, 6}));

  lists[*parameter_by_name("n_pop")].assign(50000, 1);
  lists[*parameter_by_name("n_gen")].assign(50000, 1);
  EXPECT_THROW(expand_grid(lists), std::length_error);
  lists[*parameter_by_name("sdr")].clear();
  EXPECT_THROW(expand_grid(lists), std::invalid_argument);
}

TEST(SummaryRows, StateTheFiguresInShortestForm) {
  RunResult result;
  result.outcome = RunOutcome{false, 30};
  result.final_population.resize(3);
  std::ranges::copy(std::array{9.0, 11.0, 13.0}, result.final_population.begin());
  result.final_r_phe = 12.5;
  result.switch_generations = 4;
  result.first_switch_generation = 6;
  result.farthest_host_distance = 2.5;
  result.longest_stay = 11;
  const SimulationParameters p{100, 0.5, 1000, 0.1, 1.0, 0.5, 2.0, 30};
  const SummaryRow row = summarize(p, RunLabel{3, 2, 42}, result);
  ASSERT_TRUE(row.final_sd_phe);
  EXPECT_DOUBLE_EQ(*row.final_sd_phe, std::sqrt(8.0 / 3.0));  // divides by n, not n - 1
  // 4 switches in 30 generations: a rate of 4/30.
  EXPECT_EQ(summary_line(row), "100,0.5,1000,0.1,1,0.5,2,30,3,2,42,completed,30,,4,3,12.5,11," +
                                   shortest(std::sqrt(8.0 / 3.0)) +
                                   ",6,0.13333333333333333,2.5,11\n");
  EXPECT_EQ(shortest(0.1), "0.1");
  EXPECT_EQ(shortest(1e-300), "1e-300");

  result.outcome = RunOutcome{true, 7};
  result.final_population.resize(0);
  EXPECT_EQ(
      summary_line(summarize(p, RunLabel{1, 1, -5}, result)),
      "100,0.5,1000,0.1,1,0.5,2,30,1,1,-5,extinct,7,7,4,0,12.5,,,6,0.5714285714285714,2.5,11\n");
  result = RunResult{};  // no switch, no generation
  EXPECT_EQ(summary_line(summarize(p, RunLabel{1, 1, 1}, result)),
            "100,0.5,1000,0.1,1,0.5,2,30,1,1,1,completed,0,,0,0,10,,,,,0,0\n");
  EXPECT_EQ(fields_of(summary_header()).size(), 23u);
  EXPECT_EQ(fields_of(summary_header_03()).size(), 19u);
}

SweepSettings small_sweep() {
  SweepSettings settings;
  settings.grid = expand_grid(
      ParameterLists{{20}, {0.5}, {80}, {0.05, 0.3}, {1.0, 2.0}, {0.5}, {0.0, 1.5}, {25}});
  settings.replicates = 4;
  settings.base_seed = 99;
  return settings;
}

std::string sweep_text(const SweepSettings& settings, SweepOutcome* outcome = nullptr) {
  std::ostringstream summary;
  const SweepOutcome result = run_sweep(settings, summary);
  if (outcome) *outcome = result;
  return summary.str();
}

TEST(Sweep, SummaryIsTheSameWhateverTheThreadsAndEveryRowReruns) {
  SweepSettings settings = small_sweep();
  settings.jobs = 1;
  SweepOutcome outcome;
  const std::string one = sweep_text(settings, &outcome);
  EXPECT_EQ(outcome.total, 32u);
  EXPECT_EQ(outcome.written, 32u);
  EXPECT_FALSE(outcome.interrupted);
  EXPECT_FALSE(outcome.failure);
  EXPECT_EQ(sweep_text(settings), one);
  settings.jobs = 2;
  EXPECT_EQ(sweep_text(settings), one);
  settings.jobs = 5;
  EXPECT_EQ(sweep_text(settings), one);

  const auto lines = lines_of(one);
  ASSERT_EQ(lines.size(), 33u);
  EXPECT_EQ(lines[0] + "\n", summary_header());
  for (std::size_t i = 1; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    const auto f = fields_of(lines[i]);
    ASSERT_EQ(f.size(), 23u);
    const std::size_t g = (i - 1) / 4 + 1;
    const std::size_t r = (i - 1) % 4 + 1;
    EXPECT_EQ(f[8], std::to_string(g));
    EXPECT_EQ(f[9], std::to_string(r));
    const SimulationParameters& p = settings.grid[g - 1];
    EXPECT_EQ(std::stod(f[3]), p.emig_rate);
    EXPECT_EQ(std::stod(f[6]), p.max_dist);
    // Rerun from the row's own figures alone.
    const SimulationParameters again{std::stoi(f[0]), std::stod(f[1]), std::stoi(f[2]),
                                     std::stod(f[3]), std::stod(f[4]), std::stod(f[5]),
                                     std::stod(f[6]), std::stoi(f[7])};
    UniformStream stream;
    init_random_seed(stream, std::stoi(f[10]));
    NullReporter none;
    const RunResult run = run_population(again, stream, none);
    EXPECT_EQ(f[11], run.outcome.extinct ? "extinct" : "completed");
    EXPECT_EQ(f[12], std::to_string(run.outcome.n_g));
    EXPECT_EQ(f[13], run.outcome.extinct ? std::to_string(run.outcome.n_g) : "");
    EXPECT_EQ(f[14], std::to_string(run.switch_generations));
    EXPECT_EQ(f[15], std::to_string(run.final_population.size()));
    EXPECT_EQ(std::stod(f[16]), run.final_r_phe);
    if (run.final_population.empty()) {
      EXPECT_EQ(f[17], "");
      EXPECT_EQ(f[18], "");
    } else {
      long double sum = 0;
      for (const double z : run.final_population) sum += z;
      EXPECT_NEAR(std::stod(f[17]),
                  static_cast<double>(sum / static_cast<long double>(run.final_population.size())),
                  1e-12);
    }
  }
}

// The run's outcomes in the summary, recomputed from its trajectory: the first generation with
// n_HS > 0, the farthest host from 10 among r_phe and the hosts switched to (rl_phe of a
// switching generation), and the longest run of generations on one host, a switch (n_HS > 0)
// ending it even to a host of the same r_phe (max_dist 0).
TEST(Sweep, SummaryOutcomesAgreeWithTheTrajectories) {
  SweepSettings settings = small_sweep();
  // No emigrant ever leaves at an emig_rate of 0.
  settings.grid =
      expand_grid(ParameterLists{{20}, {0.5}, {80}, {0.0, 0.3}, {1.0}, {0.5}, {0.0, 1.5}, {25}});
  settings.trajectories = true;
  std::string summary;
  std::string trajectories;
  run_sweep_rows(settings, [&](std::string_view rows, std::string_view trajectory_rows) {
    summary += rows;
    trajectories += trajectory_rows;
  });
  struct Recomputed {
    std::string first;
    double farthest = 0.0;
    int longest = 0, stay = 0;
    bool switched = false;  // in the generation before
  };
  std::map<std::pair<std::string, std::string>, Recomputed> runs;
  for (const std::string& line : lines_of(trajectories)) {
    const auto t = fields_of(line);  // grid_index,replicate,n_g,n_pop,n_offspring,n_HS,r_phe,rl_phe
    Recomputed& run = runs[{t[0], t[1]}];
    const double r_phe = std::stod(t[6]);
    run.stay = run.switched ? 1 : run.stay + 1;
    run.switched = t[5] != "0";
    run.longest = std::max(run.longest, run.stay);
    run.farthest = std::max(run.farthest, std::abs(r_phe - 10.0));
    if (t[5] != "0") {
      if (run.first.empty()) run.first = t[2];
      run.farthest = std::max(run.farthest, std::abs(std::stod(t[7]) - 10.0));
    }
  }
  int switched = 0;
  for (const std::string& line : lines_of(summary)) {
    SCOPED_TRACE(line);
    const auto f = fields_of(line);
    ASSERT_EQ(f.size(), 23u);
    const Recomputed& run = runs.at({f[8], f[9]});
    EXPECT_EQ(f[19], run.first);
    EXPECT_EQ(std::stod(f[20]), std::stod(f[14]) / std::stod(f[12]));
    EXPECT_EQ(std::stod(f[21]), run.farthest);
    EXPECT_EQ(f[22], std::to_string(run.longest));
    switched += !run.first.empty();
  }
  EXPECT_GT(switched, 0);
  EXPECT_LT(switched, static_cast<int>(runs.size()));
}

TEST(Sweep, KeepsEachReplicatesResultsFileWhenAsked) {
  const TempDir dir;
  SweepSettings settings = small_sweep();
  settings.jobs = 2;
  settings.outputs = dir.path();
  const std::string with_files = sweep_text(settings);
  settings.outputs.reset();
  EXPECT_EQ(sweep_text(settings), with_files);

  // Grid point 6, replicate 3, written directly.
  const SimulationParameters& p = settings.grid[5];
  const std::int32_t seed = replicate_seed(99, 6, 3);
  {
    ResultsFile file(dir / "direct.txt", p.sdr / 10.0);
    UniformStream stream;
    init_random_seed(stream, seed);
    run_population(p, stream, file);
    file.close();
  }
  EXPECT_EQ(read_file(dir / "output-6-3.txt"), read_file(dir / "direct.txt"));
  EXPECT_TRUE(std::filesystem::exists(dir / "output-8-4.txt"));
}

TEST(Sweep, StopLeavesAPrefixOfCompleteRows) {
  SweepSettings settings;
  settings.grid = {typical_parameters()};
  settings.replicates = 200000;
  settings.base_seed = 3;
  settings.jobs = 2;
  std::atomic<bool> stop{false};
  settings.stop = &stop;
  settings.progress = [&stop](std::size_t, std::size_t) { stop = true; };
  SweepOutcome outcome;
  const std::string cut = sweep_text(settings, &outcome);
  EXPECT_TRUE(outcome.interrupted);
  EXPECT_FALSE(outcome.failure);
  ASSERT_LT(outcome.written, outcome.total);
  const auto lines = lines_of(cut);
  ASSERT_EQ(lines.size(), outcome.written + 1);
  ASSERT_EQ(cut.back(), '\n');

  SweepSettings prefix;
  prefix.grid = settings.grid;
  prefix.replicates = static_cast<std::int32_t>(std::max<std::size_t>(outcome.written, 1));
  prefix.base_seed = 3;
  const std::string full = sweep_text(prefix);
  EXPECT_EQ(full.substr(0, cut.size()), cut);
}

TEST(Sweep, FailureKeepsTheRowsBeforeTheFailingRun) {
  SweepSettings settings;
  // The middle grid point has sdr 0: every parent at the optimum gives 0/0 in generation 1.
  settings.grid =
      expand_grid(ParameterLists{{20}, {0.5}, {80}, {0.1}, {1.0, 0.0, 1.0}, {0.5}, {1.0}, {200}});
  settings.replicates = 5;
  settings.base_seed = 11;
  settings.jobs = 2;
  SweepOutcome outcome;
  const std::string text = sweep_text(settings, &outcome);
  ASSERT_TRUE(outcome.failure);
  EXPECT_NE(
      outcome.failure->find("grid point 2 replicate 1 (seed " +
                            std::to_string(replicate_seed(11, 2, 1)) + "): exp: DOMAIN error"),
      std::string::npos)
      << *outcome.failure;
  EXPECT_EQ(outcome.written, 5u);

  SweepSettings first = settings;
  first.grid.resize(1);
  EXPECT_EQ(text, sweep_text(first));
}

TEST(SummaryMerge, OrdersByGridPointThenReplicateAndRefusesBadInput) {
  const TempDir dir;
  const std::string header = summary_header();
  auto row = [](std::int32_t g, std::int32_t r) {
    RunResult result;
    result.outcome = RunOutcome{true, g + r};
    return summary_line(summarize(typical_parameters(), RunLabel{g, r, g * 100 + r}, result));
  };
  write_file(dir / "a.csv", header + row(2, 1));
  write_file(dir / "b.csv", header + row(1, 2) + row(10, 1));
  write_file(dir / "c.csv", header + row(1, 1));
  write_file(dir / "notes.txt", "ignored: not a .csv file");
  const MergedSummary merged = merge_summaries({dir.path()});
  // Grid point 10 sorts after 2, as a number.
  EXPECT_EQ(merged.text, header + row(1, 1) + row(1, 2) + row(2, 1) + row(10, 1));
  EXPECT_EQ(merged.missing_count, 16);  // 10 grid points x 2 replicates, 4 present
  ASSERT_FALSE(merged.first_missing.empty());
  EXPECT_EQ(merged.first_missing.front().grid_index, 2);
  EXPECT_EQ(merged.first_missing.front().replicate, 2);

  // A row read twice alike (a task that ran twice) counts once; with other figures it is refused.
  write_file(dir / "dup.csv", header + row(2, 1));
  EXPECT_EQ(merge_summaries({dir / "a.csv", dir / "dup.csv"}).text, header + row(2, 1));
  std::string changed = row(2, 1);
  changed.replace(changed.find(",extinct,"), 9, ",completed,");
  write_file(dir / "conflict.csv", header + changed);
  EXPECT_THROW(merge_summaries({dir / "a.csv", dir / "conflict.csv"}), SummaryError);
  const std::string torn = row(3, 1);
  write_file(dir / "torn.csv", header + torn.substr(0, torn.size() - 1));
  EXPECT_THROW(merge_summaries({dir / "torn.csv"}), SummaryError);
  write_file(dir / "short.csv", header + "1,2,3\n");
  EXPECT_THROW(merge_summaries({dir / "short.csv"}), SummaryError);
  write_file(dir / "foreign.csv", "a,b\n" + row(1, 1));
  EXPECT_THROW(merge_summaries({dir / "foreign.csv"}), SummaryError);
  EXPECT_THROW(merge_summaries({dir / "absent.csv"}), SummaryError);
}

}  // namespace
}  // namespace hostswitch
