#include "console/command_line.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "console/dialogue.hpp"
#include "hostswitch_version.hpp"
#include "model/population_model.hpp"
#include "model/uniform_stream.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::FakeClock;
using testing::FakeShell;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// 3 whole wraps of the clock count plus 5 s 123 ms: count 5 * 10000 + 123 * 10.
constexpr ClockReading kReading{214748 * 3 + 5, 123};
constexpr std::int32_t kReadingCount = 51230;

using testing::Invocation;

Invocation invoke(const std::vector<std::string>& args, const std::filesystem::path& directory,
                  const std::string& input = "") {
  return testing::invoke(args, directory, {.input = input, .shell = nullptr, .clock = kReading});
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

// The eight answers of the typical run, but 40 generations, and Enter at the pause.
const std::string kAnswers = "100\n0.5\n1000\n0.1\n1.0\n0.5\n2.0\n40\n\n";

TEST(CommandLineRun, WritesTheSameResultsFileAsTheSeededInteractiveProgram) {
  const TempDir dir;
  for (const std::int32_t seed : {123450, 0, -7}) {
    SCOPED_TRACE(seed);
    const TempDir dialogue_dir;
    std::istringstream in(kAnswers);
    std::ostringstream out;
    std::ostringstream err;
    const FakeClock clock(kReading);
    FakeShell shell;
    ASSERT_EQ(run_dialogue(in, out, err, clock, dialogue_dir.path(), shell, DialogueOptions{seed}),
              0);
    const std::string expected = read_file(dialogue_dir / "output.txt");
    ASSERT_NE(expected.find("\r\n        1 "), std::string::npos);  // generation 1 is there

    // The same through the program's own --seed, which must reach the dialogue untouched.
    const TempDir wired_dir;
    const Invocation wired = invoke({"--seed", std::to_string(seed)}, wired_dir.path(), kAnswers);
    EXPECT_EQ(wired.status, 0) << wired.err;
    EXPECT_EQ(wired.out, out.str());
    EXPECT_EQ(read_file(wired_dir / "output.txt"), expected);

    const auto path = (dir / ("run" + std::to_string(seed) + ".txt")).string();
    const Invocation run = invoke(
        {"run", "--n-gen", "40", "--seed", std::to_string(seed), "--output", path}, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(path), expected);
  }
}

TEST(CommandLineRun, WithoutSeedUsesTheClockCountAndSaysSo) {
  const TempDir dialogue_dir;
  std::istringstream in(kAnswers);
  std::ostringstream out;
  std::ostringstream err;
  const FakeClock clock(kReading);
  FakeShell shell;
  ASSERT_EQ(run_dialogue(in, out, err, clock, dialogue_dir.path(), shell), 0);

  const TempDir dir;
  const auto path = (dir / "run.txt").string();
  const Invocation run = invoke({"run", "--n-gen", "40", "--output", path}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(path), read_file(dialogue_dir / "output.txt"));
  EXPECT_NE(run.out.find("seed " + std::to_string(kReadingCount) + " (from the clock)"),
            std::string::npos)
      << run.out;
}

TEST(CommandLineRun, LineAndSummaryStateTheRunsFacts) {
  // max_dist 0 and a small capacity keep the population alive for the whole run.
  SimulationParameters p{20, 0.5, 60, 0.2, 1.5, 0.25, 0.0, 30};
  UniformStream stream;
  init_random_seed(stream, 999);
  NullReporter none;
  const RunResult expected = run_population(p, stream, none);
  ASSERT_FALSE(expected.outcome.extinct);
  ASSERT_FALSE(expected.final_population.empty());

  const TempDir dir;
  const auto summary = (dir / "row.csv").string();
  const Invocation run =
      invoke({"run",   "--n-pop", "20",    "--capacity",  "60",         "--emig-rate", "0.2",
              "--sdr", "1.5",     "--sdv", "0.25",        "--max-dist", "0",           "--n-gen",
              "30",    "--seed",  "999",   "--no-output", "--summary",  summary},
             dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "output.txt"));
  EXPECT_EQ(run.out, "completed after 30 generations; host switch in " +
                         std::to_string(expected.switch_generations) +
                         " of 30 generations; final population " +
                         std::to_string(expected.final_population.size()) + "; seed 999\n");

  const auto lines = split(read_file(summary), '\n');
  ASSERT_EQ(lines.size(), 3u);  // header, row, nothing after the last line feed
  EXPECT_EQ(lines[2], "");
  const auto fields = split(lines[1], ',');
  ASSERT_EQ(fields.size(), 23u);
  const std::string parameters = "20,0.5,60,0.2,1.5,0.25,0,30";
  EXPECT_EQ(lines[1].substr(0, parameters.size()), parameters);
  EXPECT_EQ(fields[8], "1");  // grid point
  EXPECT_EQ(fields[9], "1");  // replicate
  EXPECT_EQ(fields[10], "999");
  EXPECT_EQ(fields[11], "completed");
  EXPECT_EQ(fields[12], "30");
  EXPECT_EQ(fields[13], "");
  EXPECT_EQ(fields[14], std::to_string(expected.switch_generations));
  EXPECT_EQ(fields[15], std::to_string(expected.final_population.size()));
  EXPECT_EQ(std::stod(fields[16]), expected.final_r_phe);  // shortest form reads back exactly
  long double sum = 0;
  for (const double z : expected.final_population) sum += z;
  const long double n = static_cast<long double>(expected.final_population.size());
  const long double mean = sum / n;
  long double squares = 0;
  for (const double z : expected.final_population) squares += (z - mean) * (z - mean);
  EXPECT_NEAR(std::stod(fields[17]), static_cast<double>(mean), 1e-12);
  EXPECT_NEAR(std::stod(fields[18]), static_cast<double>(std::sqrt(squares / n)), 1e-12);
}

TEST(CommandLineErrors, NameTheFlagAndValueAndFail) {
  const TempDir dir;
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"run", "--n-pop", "1e3"}, "--n-pop: '1e3' is not an integer"},
      {{"run", "--n-gen", "2147483648"}, "--n-gen: '2147483648' is outside the 32-bit"},
      {{"run", "--capacity", "-2147483649"}, "--capacity: '-2147483649' is outside the 32-bit"},
      {{"run", "--seed", "99999999999"}, "--seed: '99999999999' is outside the 32-bit"},
      {{"run", "--sdr", "1e400"}, "--sdr: '1e400' is out of the range"},
      {{"run", "--sdv", "nan"}, "--sdv: 'nan' is not a finite number"},
      {{"run", "--max-dist", "-inf"}, "--max-dist: '-inf' is not a finite number"},
      {{"run", "--emig-rate", "0.1x"}, "--emig-rate: '0.1x' is not a number"},
      {{"run", "--sdr", "1,2"}, "--sdr: '1,2': a list of values is only for sweep"},
      {{"run", "--n-pop", "0"}, "refused parameters: initial population size"},
      {{"run", "--capacity", "50"}, "refused parameters: carrying capacity"},
      {{"run", "--birth-rate", "-1"}, "refused parameters: birth rate"},
      {{"run", "--frobnicate"}, "--frobnicate"},
      {{"run", "--output", "x.txt", "--no-output"}, "cannot be given together"},
      {{"--seed", "5", "run"}, "put it after run"},
      {{"--seed", "five"}, "--seed: 'five' is not an integer"},
      {{"frobnicate"}, "frobnicate"},
      {{"sweep", "--sdr", "1,,2"}, "--sdr: '1,,2' holds an empty value"},
      {{"sweep", "--emig-rate", "0.1,inf"}, "--emig-rate: 'inf' is not a finite number"},
      {{"sweep", "--n-pop", "10,2000"}, "grid point 2"},
      {{"sweep", "--replicates", "0"}, "--replicates: '0' must be at least 1"},
      {{"sweep", "--jobs", "0"}, "--jobs: '0' must be at least 1"},
      {{"sweep", "--run-dir", "x"}, "--run-dir is only for --emit-commands"},
      {{"merge"}, "required"},
      {{"sweep", "--part", "5/4", "--seed", "1"}, "--part: '5/4': part 5 is outside 1..4"},
      {{"sweep", "--part", "0/4", "--seed", "1"}, "--part: '0' must be at least 1"},
      {{"sweep", "--part", "3", "--seed", "1"}, "--part: '3' is not K/N"},
      {{"sweep", "--part", "1/2"}, "--part needs --seed"},
      {{"sweep", "--part", "1/4", "--seed", "1", "--replicates", "3"}, "4 parts for 3 rows"},
      {{"sweep", "--parts", "2"}, "--parts is only for --emit-commands and --slurm"},
      {{"sweep", "--slurm-option=--mem=1G"}, "--slurm-option is only for --slurm"},
      {{"sweep", "--resume", "--emit-commands"}, "cannot be given together"},
      {{"merge", "x.csv", "--allow-missing"}, "need a run directory with a manifest.json"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& arg : c.args) joined += arg + " ";
    SCOPED_TRACE(joined);
    const Invocation result = invoke(c.args, dir.path());
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "output.txt"));
}

TEST(CommandLineErrors, RunFailuresAreReportedWithNonZeroStatus) {
  const TempDir dir;
  // Deviations beyond 1e154 square to infinity: inf/inf in the mutation weight.
  const Invocation domain = invoke({"run", "--sdv", "1e200", "--no-output"}, dir.path());
  EXPECT_NE(domain.status, 0);
  EXPECT_NE(domain.err.find("exp: DOMAIN error"), std::string::npos) << domain.err;

  const Invocation missing =
      invoke({"run", "--output", (dir / "no/such/dir/out.txt").string()}, dir.path());
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("file not found"), std::string::npos) << missing.err;

  const Invocation plot = invoke(
      {"plot", (dir / "absent.txt").string(), "-o", (dir / "absent.svg").string()}, dir.path());
  EXPECT_NE(plot.status, 0);
  EXPECT_NE(plot.err.find("absent.txt"), std::string::npos) << plot.err;
}

TEST(CommandLineErrors, ValuesAtTheEdgesOfTheirRangesAreTaken) {
  const TempDir dir;
  const Invocation run = invoke({"run", "--seed", "-2147483648", "--n-gen", "+1", "--max-dist", "0",
                                 "--emig-rate", "1", "--birth-rate", "0", "--no-output"},
                                dir.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("seed -2147483648"), std::string::npos) << run.out;
}

TEST(CommandLineHelp, EveryCommandHasHelpAndTheProgramAVersion) {
  const TempDir dir;
  const Invocation version = invoke({"--version"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "hostswitch " + std::string(HOSTSWITCH_VERSION) + "\n");
  // The citation of this very version, as text and as a BibTeX entry, from CITATION.cff.
  const Invocation cite = invoke({"--cite"}, dir.path());
  EXPECT_EQ(cite.status, 0);
  const std::string v(HOSTSWITCH_VERSION);
  EXPECT_NE(cite.out.find("hostswitch (version " + v + ")"), std::string::npos) << cite.out;
  EXPECT_NE(cite.out.find("@misc{hostswitch_"), std::string::npos) << cite.out;
  EXPECT_NE(cite.out.find("  title = {hostswitch},\n"), std::string::npos) << cite.out;
  EXPECT_NE(cite.out.find("  note = {Version " + v + ", released "), std::string::npos);
  EXPECT_NE(testing::read_file(std::filesystem::path(HOSTSWITCH_SOURCE_DIR) / "CITATION.cff")
                .find("\nversion: " + v + "\n"),
            std::string::npos);
  const struct {
    std::vector<std::string> args;
    std::string mention;
  } cases[] = {{{"--help"}, "sweep"},
               {{"run", "--help"}, "--max-dist"},
               {{"sweep", "--help"}, "--emit-commands"},
               {{"plot", "--help"}, "RESULTS"},
               {{"merge", "--help"}, "files FILE ..."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const Invocation help = invoke(c.args, dir.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage"), std::string::npos);
    EXPECT_NE(help.out.find(c.mention), std::string::npos) << help.out;
  }
}

// The title says which run a picture shows, the population panel holds the n_p of each
// generation summed, and the picture's name picks its format.
TEST(CommandLineRun, PlotOptionDrawsThePictureTitledWithItsRun) {
  const TempDir dir;
  const auto output = (dir / "out.txt").string();
  const auto svg = (dir / "out.svg").string();
  const auto summary = (dir / "s.csv").string();
  const Invocation run =
      invoke({"run", "--n-gen", "30", "--seed", "1", "--output", output, "--plot", svg, "--summary",
              summary, "--grid-index", "2", "--replicate", "3"},
             dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string title =
      ">n_pop = 100, birth_rate = 0.5, capacity = 1000, emig_rate = 0.1, sdr = 1, sdv = 0.5, "
      "max_dist = 2, n_gen = 30, seed 1</text>";
  const std::string picture = read_file(svg);
  EXPECT_NE(picture.find(title), std::string::npos);

  // Σ n_p per generation, read from the results file's records (after its ten lines).
  std::map<int, long> population;
  std::istringstream records(read_file(output));
  std::string line;
  for (int skipped = 0; skipped < 10; ++skipped) std::getline(records, line);
  int n_g = 0;
  double p_phe = 0;
  long n_p = 0;
  while (std::getline(records, line)) {
    std::istringstream(line) >> n_g >> p_phe >> n_p;
    population[n_g] += n_p;
  }
  std::string expected;
  for (const auto& [generation, total] : population) {
    if (!expected.empty()) expected += ' ';
    expected += std::to_string(total);
  }
  const auto at = picture.find("data-n-pop=\"");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(picture.substr(at + 12, picture.find('"', at + 12) - at - 12), expected);

  const Invocation titled = invoke(
      {"plot", output, "-o", (dir / "titled.svg").string(), "--summary", summary, "--row", "2-3"},
      dir.path());
  ASSERT_EQ(titled.status, 0) << titled.err;
  EXPECT_NE(read_file(dir / "titled.svg").find(title), std::string::npos);
  for (const auto& [name, magic] :
       {std::pair<std::string, std::string>{"out.pdf", "%PDF-"}, {"out.png", "\x89PNG"}}) {
    const Invocation drawn = invoke({"plot", output, "-o", (dir / name).string()}, dir.path());
    ASSERT_EQ(drawn.status, 0) << drawn.err;
    EXPECT_EQ(read_file(dir / name).substr(0, magic.size()), magic) << name;
  }
  const Invocation gif = invoke({"plot", output, "-o", (dir / "out.gif").string()}, dir.path());
  EXPECT_EQ(gif.status, 1);
  EXPECT_NE(gif.err.find("out.gif: the picture's name must end in .svg, .pdf or .png"),
            std::string::npos)
      << gif.err;
}

// --- the built program --------------------------------------------------------------------

std::string shell_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool have_parallel() { return shell("command -v parallel >/dev/null 2>&1") == 0; }

TEST(CommandLineProgram, EmittedCommandsRunInParallelMergeIntoTheInProcessSummary) {
  if (!have_parallel()) GTEST_SKIP() << "GNU parallel is not installed";
  const TempDir dir;
  const std::string exe = shell_quoted(HOSTSWITCH_EXECUTABLE);
  const std::string grid =
      " --emig-rate 0.05,0.3 --sdr 1,2.5 --max-dist 0,1 --replicates 3 "
      "--n-gen 25 --seed 4242";
  const std::string cd = "cd " + shell_quoted(dir.path().string()) + " && ";
  ASSERT_EQ(shell(cd + exe + " sweep" + grid + " --jobs 2 --summary inproc.csv >/dev/null"), 0);
  // A run directory whose name needs quoting.
  ASSERT_EQ(shell(cd + exe + " sweep" + grid + " --emit-commands --run-dir \"it's runs\" > cmds"),
            0);
  EXPECT_EQ(split(read_file(dir / "cmds"), '\n').size(), 2u * 2 * 2 * 3 + 1);
  ASSERT_EQ(shell(cd + "parallel --will-cite -j 2 < cmds >/dev/null"), 0);
  ASSERT_EQ(shell(cd + exe + " merge \"it's runs\" --summary merged.csv"), 0);
  const std::string inproc = read_file(dir / "inproc.csv");
  EXPECT_EQ(split(inproc, '\n').size(), 2u * 2 * 2 * 3 + 2);
  EXPECT_EQ(read_file(dir / "merged.csv"), inproc);
}

TEST(CommandLineProgram, TerminatedSweepLeavesOnlyCompleteRows) {
  const TempDir dir;
  const std::string exe = shell_quoted(HOSTSWITCH_EXECUTABLE);
  // Not `cd && sweep &`, which would put the cd in the background too.
  const std::string cd = "cd " + shell_quoted(dir.path().string()) + " || exit 1; ";
  // Far more runs than can finish before the signal.
  const int status = shell(cd + exe + " sweep --replicates 100000000 --n-gen 300 --seed 5 " +
                           "--jobs 2 --summary cut.csv 2>err & pid=$!; "
                           // Waits for a few rows (at most about 20 s), then stops the sweep.
                           "for i in $(seq 400); do "
                           "[ \"$(wc -l 2>/dev/null < cut.csv || echo 0)\" -ge 4 ] && break; "
                           "sleep 0.05; done; kill -TERM $pid; wait $pid");
  EXPECT_NE(status, 0);
  const std::string cut = read_file(dir / "cut.csv");
  ASSERT_FALSE(cut.empty());
  ASSERT_EQ(cut.back(), '\n');
  const std::size_t rows = split(cut, '\n').size() - 2;
  ASSERT_GE(rows, 3u);
  EXPECT_NE(read_file(dir / "err").find("holds the first " + std::to_string(rows) + " of"),
            std::string::npos)
      << read_file(dir / "err");
  // The first rows of a sweep do not depend on how many replicates follow them.
  ASSERT_EQ(shell(cd + exe + " sweep --replicates " + std::to_string(rows) +
                  " --n-gen 300 --seed 5 --jobs 1 --summary full.csv >/dev/null"),
            0);
  EXPECT_EQ(cut, read_file(dir / "full.csv"));
}

}  // namespace
}  // namespace hostswitch
