#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "batch/manifest.hpp"
#include "batch/summary.hpp"
#include "batch/trajectory.hpp"
#include "reporting/results_reader.hpp"
#include "tests/batch_support.hpp"
#include "tests/program_support.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::Child;
using testing::joined;
using testing::lines_in;
using testing::lines_of;
using testing::read_file;
using testing::run_program;
using testing::slow_sweep;
using testing::TempDir;
using testing::wait_for_lines;
using testing::write_file;

TEST(SweepProgram, ASecondSweepOnTheSameSummaryIsRefusedAndTheFirstCompletesIntact) {
  const TempDir dir;
  ASSERT_EQ(run_program(slow_sweep(1000, "reference.csv"), dir.path()), 0);
  Child first(slow_sweep(1000, "summary.csv"), dir.path(), dir / "first.txt");
  ASSERT_TRUE(wait_for_lines(dir / "summary.csv", 2));
  std::vector<std::string> second = {"sweep", "--replicates", "5",          "--seed",
                                     "9",     "--summary",    "summary.csv"};
  Child other(second, dir.path(), dir / "second.txt");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(other.wait(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));  // at once
  const std::string refusal = read_file(dir / "second.txt");
  EXPECT_NE(refusal.find("summary.csv is being written by process " + std::to_string(first.pid())),
            std::string::npos)
      << refusal;
  EXPECT_EQ(first.wait(), 0) << read_file(dir / "first.txt");
  EXPECT_EQ(read_file(dir / "summary.csv"), read_file(dir / "reference.csv"));
  EXPECT_NE(read_file(dir / "summary.csv.json").find("\"base_seed\": 5"), std::string::npos);
}

TEST(SweepProgram, KilledOrInterruptedAtAnyMomentResumesToTheUninterruptedSummary) {
  const TempDir dir;
  constexpr std::size_t kRows = 600;
  ASSERT_EQ(run_program(slow_sweep(kRows, "reference.csv"), dir.path()), 0);
  const std::string reference = read_file(dir / "reference.csv");
  ASSERT_EQ(lines_in(dir / "reference.csv"), kRows + 1);
  std::vector<std::string> resume = slow_sweep(kRows, "summary.csv");
  resume.push_back("--resume");

  for (const int signal_number : {SIGKILL, SIGINT}) {
    SCOPED_TRACE(signal_number == SIGKILL ? "kill -9" : "SIGINT");
    std::filesystem::remove(dir / "summary.csv");
    std::filesystem::remove(dir / "summary.csv.json");
    // At once (before or just after the header), after some rows, late; each attempt resumes
    // the one before.
    bool fresh = true;
    int stopped = 0;
    for (const std::size_t lines : {0u, 50u, 400u}) {
      Child sweep(fresh ? slow_sweep(kRows, "summary.csv") : resume, dir.path(), dir / "err.txt");

      if (lines > 0) {
        ASSERT_TRUE(wait_for_lines(dir / "summary.csv", lines));
      }
      kill(sweep.pid(), signal_number);
      const int status = sweep.wait();
      // Killed before its manifest stood, a sweep is started again, not resumed.
      fresh = !std::filesystem::exists(dir / "summary.csv.json");
      if (status == 0) continue;  // finished before the signal came
      ++stopped;
      EXPECT_EQ(status, 128 + signal_number) << read_file(dir / "err.txt");
      const std::string left = read_file(dir / "summary.csv");
      // Whatever is left is a beginning of the uninterrupted summary, but for a torn last line.
      EXPECT_EQ(reference.compare(0, left.size(), left), 0);
    }
    EXPECT_GE(stopped, 2);  // else the runs are too short for this test
    ASSERT_EQ(run_program(resume, dir.path()), 0) << read_file(dir / "err.txt");
    EXPECT_EQ(read_file(dir / "summary.csv"), reference);
    // Resuming a finished sweep does nothing, and says so.
    Child again(resume, dir.path(), dir / "err.txt");
    EXPECT_EQ(again.wait(), 0);
    EXPECT_NE(read_file(dir / "err.txt").find("nothing to do"), std::string::npos);
    EXPECT_EQ(read_file(dir / "summary.csv"), reference);
  }

  // A resume with other flags is refused, naming the flag and both values.
  std::vector<std::string> changed = resume;
  *std::find(changed.begin(), changed.end(), "3") = "2.5";  // --sdr
  EXPECT_EQ(run_program(changed, dir.path()), 1);
  const std::string refusal = read_file(dir / "err.txt");
  EXPECT_NE(refusal.find("--sdr is 2.5 here but 3 in summary.csv.json"), std::string::npos)
      << refusal;
  EXPECT_EQ(read_file(dir / "summary.csv"), reference);
}

// --- trajectories of a sweep ------------------------------------------------------------------

// Equal texts; else where they part (printing megabytes of trajectories would help no one).
::testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const auto at = static_cast<std::size_t>(
      std::mismatch(actual.begin(), actual.begin() + std::min(actual.size(), expected.size()),
                    expected.begin())
          .first -
      actual.begin());
  const std::size_t line = static_cast<std::size_t>(
      std::count(actual.begin(), actual.begin() + static_cast<std::ptrdiff_t>(at), '\n') + 1);
  return ::testing::AssertionFailure()
         << actual.size() << " bytes against " << expected.size() << ", first difference at byte "
         << at << " (line " << line << "): '" << actual.substr(at, 60) << "' against '"
         << expected.substr(at, 60) << "'";
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream stream(line.substr(0, line.find('\n')));
  for (std::string field; std::getline(stream, field, ',');) fields.push_back(field);
  if (!line.empty() && line[line.find('\n') - 1] == ',') fields.emplace_back();
  return fields;
}

const std::vector<std::string> kTrajectoryGrid = {
    "--emig-rate", "0.05,0.3", "--max-dist", "0,2",    "--capacity", "120",          "--n-gen",
    "60",          "--sdr",    "1.5",        "--seed", "11",         "--replicates", "3"};

std::vector<std::string> trajectory_sweep(std::vector<std::string> more) {
  std::vector<std::string> args = {"sweep"};
  args.insert(args.end(), kTrajectoryGrid.begin(), kTrajectoryGrid.end());
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TEST(SweepTrajectories, AThreadedSweepWritesEachReplicateAsItsOwnRunWouldAndAgreesWithItsFiles) {
  const TempDir dir;
  ASSERT_EQ(
      run_program(trajectory_sweep({"--jobs", "2", "--summary", "summary.csv", "--trajectories",
                                    "trajectories.csv", "--outputs", "out"}),
                  dir.path()),
      0)
      << read_file(dir / "err.txt");
  const std::vector<std::string> summary = lines_of(read_file(dir / "summary.csv"));
  ASSERT_EQ(summary.size(), 13u);
  const std::vector<std::string> trajectory = lines_of(read_file(dir / "trajectories.csv"));
  ASSERT_FALSE(trajectory.empty());
  EXPECT_EQ(trajectory.front(), trajectory_header());

  // Each replicate run alone from its summary row's parameters and seed.
  std::string alone = trajectory_header();
  std::size_t next = 1;  // the trajectory row the replicate begins on
  bool saw_extinct = false, saw_switch = false;
  for (std::size_t i = 1; i < summary.size(); ++i) {
    const std::vector<std::string> row = fields_of(summary[i]);
    SCOPED_TRACE("grid point " + row[8] + " replicate " + row[9]);
    std::vector<std::string> run = {"run"};
    for (std::size_t p = 0; p < kParameterCount; ++p) {
      run.insert(run.end(), {std::string(kParameterFlags[p]), row[p]});
    }
    run.insert(run.end(), {"--seed", row[10], "--grid-index", row[8], "--replicate", row[9],
                           "--no-output", "--trajectory", "one.csv"});
    ASSERT_EQ(run_program(run, dir.path()), 0) << read_file(dir / "err.txt");
    const std::string one = read_file(dir / "one.csv");
    alone += one.substr(trajectory_header().size());

    // n_pop, summed over the classes of each generation in the replicate's results file.
    const ResultsData results =
        read_results_file(dir / "out" / ("output-" + row[8] + "-" + row[9] + ".txt"));
    std::map<std::int32_t, std::int64_t> n_pop;
    for (const ClassCell& cell : results.cells) n_pop[cell.n_g] += cell.n_p;
    const auto generations = static_cast<std::size_t>(std::stoi(row[12]));
    ASSERT_EQ(n_pop.size(), generations);
    ASSERT_LE(next + generations, trajectory.size());
    for (std::size_t g = 1; g <= generations; ++g) {
      const std::vector<std::string> t = fields_of(trajectory[next + g - 1]);
      ASSERT_EQ(t[0] + "," + t[1] + "," + t[2], row[8] + "," + row[9] + "," + std::to_string(g));
      EXPECT_EQ(t[3], std::to_string(n_pop[static_cast<std::int32_t>(g)]));
    }
    // The last row ends where the summary row does: the host the population is on at the end,
    // and its size when it has just switched.
    const std::vector<std::string> last = fields_of(trajectory[next + generations - 1]);
    const bool switched = last[5] != "0";
    EXPECT_EQ(last[switched ? 7 : 6], row[16]);
    if (switched) {
      EXPECT_EQ(last[5], row[15]);
    }
    saw_switch = saw_switch || switched || row[14] != "0";
    saw_extinct = saw_extinct || row[11] == "extinct";
    next += generations;
  }
  EXPECT_EQ(next, trajectory.size());
  EXPECT_TRUE(same_bytes(read_file(dir / "trajectories.csv"), alone));
  EXPECT_TRUE(saw_extinct);
  EXPECT_TRUE(saw_switch);

  // The report reads them as the trajectories of that summary.
  EXPECT_EQ(run_program({"report", "summary.csv", "--trajectories", "trajectories.csv", "--table",
                         "stats.csv", "-o", "report.html"},
                        dir.path()),
            0)
      << read_file(dir / "err.txt");
}

TEST(SweepTrajectories, PartsAndPerRunCommandsMergeToTheInProcessBytes) {
  const TempDir dir;
  ASSERT_EQ(run_program(trajectory_sweep({"--jobs", "2", "--summary", "summary.csv",
                                          "--trajectories", "trajectories.csv"}),
                        dir.path()),
            0);
  const std::string summary = read_file(dir / "summary.csv");
  const std::string trajectories = read_file(dir / "trajectories.csv");
  for (const std::string parts : {"5", ""}) {
    SCOPED_TRACE(parts.empty() ? "a run command per replicate" : "parts");
    const std::string run_dir = parts.empty() ? "runs" : "parts";
    std::vector<std::string> emit = trajectory_sweep(
        {"--emit-commands", "--trajectories", "--run-dir", (dir / run_dir).string()});
    if (!parts.empty()) emit.insert(emit.end(), {"--parts", parts});
    ASSERT_EQ(run_program(emit, dir.path()), 0) << read_file(dir / "err.txt");
    const std::vector<std::string> commands = lines_of(read_file(dir / "err.txt"));
    ASSERT_EQ(commands.size(), parts.empty() ? 12u : 5u);
    for (std::string command : commands) {
      command.pop_back();  // the line feed
      ASSERT_EQ(
          std::system(("cd " + dir.path().string() + " && " + command + " >/dev/null").c_str()), 0)
          << command;
    }
    ASSERT_EQ(run_program({"merge", run_dir, "--summary", "merged.csv", "--trajectories",
                           "merged-trajectories.csv"},
                          dir.path()),
              0)
        << read_file(dir / "err.txt");
    EXPECT_TRUE(same_bytes(read_file(dir / "merged.csv"), summary));
    EXPECT_TRUE(same_bytes(read_file(dir / "merged-trajectories.csv"), trajectories));
  }
  // Without --trajectories the merge names them after its summary.
  ASSERT_EQ(run_program({"merge", "parts", "--summary", "merged.csv"}, dir.path()), 0);
  EXPECT_TRUE(same_bytes(read_file(dir / "merged.trajectories.csv"), trajectories));

  // A part whose trajectories are gone is not taken.
  std::filesystem::remove(dir / "parts" / "part-2.trajectories.csv");
  EXPECT_EQ(run_program({"merge", "parts", "--summary", "merged.csv"}, dir.path()), 1);
  EXPECT_NE(read_file(dir / "err.txt").find("part-2.trajectories.csv: no trajectory rows"),
            std::string::npos)
      << read_file(dir / "err.txt");
}

TEST(SweepProgram, KilledWithTrajectoriesResumesToTheUninterruptedBytesOfBoth) {
  const TempDir dir;
  constexpr std::size_t kRows = 300;
  auto with_trajectories = [](std::vector<std::string> args, const std::string& path) {
    args.insert(args.end(), {"--trajectories", path});
    return args;
  };
  ASSERT_EQ(run_program(with_trajectories(slow_sweep(kRows, "reference.csv"), "reference-t.csv"),
                        dir.path()),
            0);
  const std::string reference = read_file(dir / "reference.csv");
  const std::string reference_t = read_file(dir / "reference-t.csv");
  std::vector<std::string> resume =
      with_trajectories(slow_sweep(kRows, "summary.csv"), "trajectories.csv");
  resume.push_back("--resume");

  bool fresh = true;
  int stopped = 0;
  for (const std::size_t lines : {0u, 30u, 200u}) {
    Child sweep(
        fresh ? with_trajectories(slow_sweep(kRows, "summary.csv"), "trajectories.csv") : resume,
        dir.path(), dir / "err.txt");
    if (lines > 0) {
      ASSERT_TRUE(wait_for_lines(dir / "summary.csv", lines));
    }
    kill(sweep.pid(), SIGKILL);
    const int status = sweep.wait();
    fresh = !std::filesystem::exists(dir / "summary.csv.json");
    if (status == 0) continue;
    ++stopped;
    const std::string left = read_file(dir / "trajectories.csv");
    EXPECT_EQ(reference_t.compare(0, left.size(), left), 0);
  }
  EXPECT_GE(stopped, 2);

  // Trajectories cut short in the middle of a replicate the summary holds (behind it), with a
  // torn line: the summary is cut back to the replicates whose trajectories are whole.
  const std::size_t summary_rows = lines_in(dir / "summary.csv") - 1;
  ASSERT_GE(summary_rows, 2u);
  const std::vector<std::string> t_lines = lines_of(read_file(dir / "trajectories.csv"));
  std::size_t cut = 1;
  while (cut < t_lines.size() &&
         fields_of(t_lines[cut])[1] != std::to_string(summary_rows / 2 + 1)) {
    ++cut;
  }
  std::string behind;
  for (std::size_t i = 0; i < cut + 3; ++i) behind += t_lines[i];
  write_file(dir / "trajectories.csv", behind + "1,");

  // A resume without the trajectories the sweep began with is refused, naming the flag.
  std::vector<std::string> without = slow_sweep(kRows, "summary.csv");
  without.push_back("--resume");
  EXPECT_EQ(run_program(without, dir.path()), 1);
  EXPECT_NE(read_file(dir / "err.txt").find("--trajectories is not given here"), std::string::npos)
      << read_file(dir / "err.txt");

  ASSERT_EQ(run_program(resume, dir.path()), 0) << read_file(dir / "err.txt");
  EXPECT_TRUE(same_bytes(read_file(dir / "summary.csv"), reference));
  EXPECT_TRUE(same_bytes(read_file(dir / "trajectories.csv"), reference_t));

  // Trajectories ahead of the summary: the summary lost its last rows.
  const std::vector<std::string> s_lines = lines_of(reference);
  write_file(dir / "summary.csv", joined(s_lines, 0, s_lines.size() - 5));
  ASSERT_EQ(run_program(resume, dir.path()), 0) << read_file(dir / "err.txt");
  EXPECT_TRUE(same_bytes(read_file(dir / "summary.csv"), reference));
  EXPECT_TRUE(same_bytes(read_file(dir / "trajectories.csv"), reference_t));
}

}  // namespace
}  // namespace hostswitch
