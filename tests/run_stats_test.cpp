#include "console/run_stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "console/command_line.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::FakeClock;
using testing::FakeShell;
using testing::read_file;
using testing::TempDir;

std::string invoke_for_err(const std::vector<std::string>& args, const TempDir& dir, int& status) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const FakeClock clock({1, 0});
  FakeShell shell;
  status = command_line_main(args, CommandLineContext{in, out, err, clock, shell, dir.path()});
  return err.str();
}

// The figure on the report's "individuals simulated" line.
std::int64_t reported_individuals(const std::string& report) {
  const std::string label = "individuals simulated";
  const std::size_t at = report.find(label);
  if (at == std::string::npos) return -1;
  return std::stoll(report.substr(at + label.size()));
}

// The same count worked out from a results file alone: each generation's records give the
// population that entered it, and births (n * birth_rate rounded half away from zero) fill
// it up to the capacity.
std::int64_t individuals_from_results(const std::string& text, double birth_rate,
                                      std::int64_t capacity) {
  std::map<std::int64_t, std::int64_t> entering;
  std::istringstream lines(text);
  std::string line;
  for (int skip = 0; skip < 10; ++skip) std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::int64_t n_g = 0, n_p = 0;
    double p_phe = 0.0;
    if (fields >> n_g >> p_phe >> n_p) entering[n_g] += n_p;
  }
  std::int64_t total = 0;
  for (const auto& [n_g, n] : entering) {
    const double x = static_cast<double>(n) * birth_rate;
    const auto births = static_cast<std::int64_t>(std::floor(x + 0.5));
    total += std::min(capacity, n + births);
  }
  return total;
}

TEST(RunStats, IndividualsSimulatedMatchTheResultsFiles) {
  const TempDir dir;
  int status = 0;
  const std::string output = (dir / "run.txt").string();
  // Birth rate 0.7 makes births round (20 * 0.7 = 14, 13 * 0.7 = 9.1); the capacity caps them.
  const std::string run_err = invoke_for_err(
      {"run", "--n-pop", "20", "--birth-rate", "0.7", "--capacity", "90", "--max-dist", "0.5",
       "--n-gen", "40", "--seed", "77", "--output", output, "--stats"},
      dir, status);
  ASSERT_EQ(status, 0) << run_err;
  EXPECT_EQ(run_err.rfind("hostswitch run --stats:\n", 0), 0u) << run_err;
  const std::int64_t expected_run = individuals_from_results(read_file(output), 0.7, 90);
  ASSERT_GT(expected_run, 40);
  EXPECT_EQ(reported_individuals(run_err), expected_run) << run_err;

  const std::string sweep_err = invoke_for_err({"sweep",
                                                "--n-pop",
                                                "30",
                                                "--emig-rate",
                                                "0,0.2",
                                                "--capacity",
                                                "90",
                                                "--n-gen",
                                                "30",
                                                "--replicates",
                                                "3",
                                                "--seed",
                                                "5",
                                                "--jobs",
                                                "2",
                                                "--summary",
                                                (dir / "s.csv").string(),
                                                "--outputs",
                                                (dir / "runs").string(),
                                                "--stats"},
                                               dir, status);
  ASSERT_EQ(status, 0) << sweep_err;
  std::int64_t expected_sweep = 0;
  for (int g = 1; g <= 2; ++g) {
    for (int r = 1; r <= 3; ++r) {
      const std::string name = "output-" + std::to_string(g) + "-" + std::to_string(r) + ".txt";
      expected_sweep += individuals_from_results(read_file(dir / "runs" / name), 0.5, 90);
    }
  }
  EXPECT_EQ(reported_individuals(sweep_err), expected_sweep) << sweep_err;

  // Nothing runs with --emit-commands, so there is nothing to measure.
  invoke_for_err({"sweep", "--emit-commands", "--stats"}, dir, status);
  EXPECT_EQ(status, 2);
}

TEST(RunStats, ReportStatesTheFiguresInTheirUnits) {
  RunStats stats;
  stats.wall_seconds = 2.5;
  stats.cpu_seconds = 2.0;
  stats.peak_resident_kib = 3 * 1024 + 512;
  stats.individuals_simulated = 1'000'000'000;
  const std::string report = stats_report("hostswitch sweep", stats);
  EXPECT_EQ(report.rfind("hostswitch sweep --stats:\n", 0), 0u);
  for (const char* figure :
       {"2.500 s", "2.000 s", "3.5 MiB (3584 KiB)", "1000000000", "2.50 wall, 2.00 CPU"}) {
    EXPECT_NE(report.find(figure), std::string::npos) << figure << " in\n" << report;
  }
  stats.individuals_simulated = 0;  // a run of no generations divides by nothing
  EXPECT_NE(stats_report("hostswitch run", stats).find("none simulated"), std::string::npos);
  // Where the platform measures no CPU time or memory, no zero stands in for the figure.
  stats.individuals_simulated = 10;
  stats.cpu_seconds.reset();
  stats.peak_resident_kib.reset();
  const std::string unmeasured = stats_report("hostswitch run", stats);
  EXPECT_EQ(unmeasured.find("0.000 s\n  peak"), std::string::npos) << unmeasured;
  EXPECT_NE(unmeasured.find("CPU time                      not measured"), std::string::npos);
  EXPECT_EQ(unmeasured.find("CPU\n"), std::string::npos) << unmeasured;
  // The kernel is named where one was given, and its line left out where none was.
  EXPECT_EQ(unmeasured.find("kernel"), std::string::npos) << unmeasured;
  stats.kernel = "avx512";
  EXPECT_NE(stats_report("hostswitch run", stats).find("  kernel                        avx512\n"),
            std::string::npos);
}

TEST(RunStats, MeterSeesTheMemoryTouched) {
  const RunStatsMeter meter;
  constexpr std::size_t kBytes = std::size_t{96} << 20;
  const std::unique_ptr<char[]> block(new char[kBytes]);
  std::memset(block.get(), 1, kBytes);
  volatile char sink = block[kBytes / 2];
  (void)sink;
  const RunStats stats = meter.stats(7);
  ASSERT_TRUE(stats.peak_resident_kib && stats.cpu_seconds);
  EXPECT_GE(*stats.peak_resident_kib, static_cast<std::int64_t>(kBytes / 1024));
  EXPECT_GE(stats.wall_seconds, 0.0);
  EXPECT_GE(*stats.cpu_seconds, 0.0);
  EXPECT_EQ(stats.individuals_simulated, 7);
}

}  // namespace
}  // namespace hostswitch
