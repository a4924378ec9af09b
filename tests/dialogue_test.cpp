#include "console/dialogue.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::FakeClock;
using testing::FakeShell;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

const std::string kRuleLine = " ---------------------------------------------\n";

const std::string kBanner =
    kRuleLine +
    " Welcome! This executable is part of the manuscript:\n"
    " INDIVIDUAL-BASED SIMULATION OF PARASITE HOST SWITCHING\n"
    "  by the authors of the manuscript, who describe the model, its parameters and t\n"
    " heir meaning in its methods section\n" +
    kRuleLine + " Please, enter with the following parameters (see table 1 of the manuscript)\n";

const std::string kPrompts[8] = {
    "  Initial population size (integer number):\n",
    " Birth rate:\n",
    " Carrying capacity (integer number):\n",
    " Emigration rate:\n",
    " Standard deviation of the survival probability function (eqn 1):\n",
    " Standard deviation that defines phenotypic variation (eqn 2 ):\n",
    " Maximum distance between two consecutive resources:\n",
    " Time of this simulation (in generation units):\n",
};

const std::string kAllPrompts = kPrompts[0] + kPrompts[1] + kPrompts[2] + kPrompts[3] +
                                kPrompts[4] + kPrompts[5] + kPrompts[6] + kPrompts[7];

const std::string kPause = " Enter a command, or press Enter to continue.\n";

const std::string kCompleted = kRuleLine +
                               " This simulation ran successfully without population extinction\n"
                               " See your results at the generated file \"output.txt\"\n" +
                               kRuleLine;

std::string extinct_at(const std::string& right_justified_generation) {
  return kRuleLine + " This simulation ran successfully WITH POPULATION EXTINCTION\n" +
         " at generation n=" + right_justified_generation + "\n" +
         " See your results at the generated file \"output.txt\"\n" + kRuleLine;
}

struct DialogueRun {
  int status = 0;
  std::string out;
  std::string err;
  std::vector<std::string> commands;
};

DialogueRun run(const std::string& input, const TempDir& dir, DialogueOptions options = {},
                ClockReading reading = {1765000000, 250}) {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  FakeClock clock(reading);
  FakeShell shell;
  DialogueRun result;
  result.status = run_dialogue(in, out, err, clock, dir.path(), shell, options);
  result.out = out.str();
  result.err = err.str();
  result.commands = shell.commands;
  return result;
}

TEST(Dialogue, BannerPromptsAndClosingTextsByteForByte) {
  TempDir dir;
  const DialogueRun r = run("100\n0.5\n1000\n0.0\n1.0\n0.5\n2.0\n3\n\n", dir, {12340});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  // Nobody emigrates and the parents sit at the optimum: the run completes.
  EXPECT_EQ(r.out, kBanner + kAllPrompts + kCompleted + kPause);
  EXPECT_TRUE(std::filesystem::exists(dir / "output.txt"));
}

TEST(Dialogue, ExtinctionInGenerationOneRightJustifiesTheOne) {
  TempDir dir;
  // Everyone emigrates to a host about a billion away and dies there.
  const DialogueRun r = run("1\n0\n1\n1\n1\n0.5\n1e9\n10\n", dir, {0});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + kAllPrompts + extinct_at("           1") + kPause);
}

TEST(Dialogue, AnswersFollowTheFreeFormRules) {
  TempDir dir;
  // Two values on the first line: the second is discarded. A blank line is skipped and
  // the prompt is not repeated. 1e3 and 100.9 truncate into integer fields.
  const DialogueRun r = run("1e3 200\n\n0.5\n2000.9\n0.0\n1.0\n0.5\n2.0\n1\n", dir, {10});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kBanner + kAllPrompts + kCompleted + kPause);
  const std::string results = read_file(dir / "output.txt");
  // 1000 parasites entered generation 1, all in its first class.
  EXPECT_NE(results.find("       1000 "), std::string::npos);
}

TEST(Dialogue, PauseHandsLinesToTheShellUntilAnEmptyLineOrTheEnd) {
  TempDir dir;
  const std::string answers = "100\n0.5\n1000\n0.0\n1.0\n0.5\n2.0\n1\n";
  DialogueRun r = run(answers + "ls -l\necho done\n\nnot read\n", dir, {10});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.commands, (std::vector<std::string>{"ls -l", "echo done"}));
  EXPECT_EQ(r.out, kBanner + kAllPrompts + kCompleted + kPause + kPause + kPause);

  r = run(answers + "date", dir, {10});  // the end of input ends the pause too
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.commands, std::vector<std::string>{"date"});
  EXPECT_EQ(r.out, kBanner + kAllPrompts + kCompleted + kPause + kPause);
}

TEST(Dialogue, InputErrorsAreFatalAndLeaveTheResultsFileAlone) {
  const struct {
    const char* input;
    const char* message;
  } cases[] = {
      {"100\nabc\n", "list-directed I/O syntax error"},
      {"100\n0.5\n-\n", "list-directed I/O syntax error"},
      {"99999999999\n", "input conversion error"},
      {"100\n'half'\n", "input conversion error"},
      {"100\n1e400\n", "input conversion error"},
      {"100\n0.5\n1000\n", "end-of-file during read"},
      {"", "end-of-file during read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    TempDir dir;
    write_file(dir / "output.txt", "an earlier run\r\n");
    const DialogueRun r = run(c.input, dir, {10});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("standard input"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("This simulation"), std::string::npos);
    EXPECT_EQ(read_file(dir / "output.txt"), "an earlier run\r\n");
  }
}

TEST(Dialogue, ParameterSetsThatBreakTheModelAreRefusedBeforeAnythingOpens) {
  const struct {
    const char* input;
    const char* names;
  } cases[] = {
      {"0\n0.5\n1000\n0.1\n1.0\n0.5\n2.0\n5\n", "n_pop"},
      {"-5\n0.5\n1000\n0.1\n1.0\n0.5\n2.0\n5\n", "n_pop"},
      {"100\n0.5\n99\n0.1\n1.0\n0.5\n2.0\n5\n", "capacity"},
      {"100\n0.5\n0\n0.1\n1.0\n0.5\n2.0\n5\n", "capacity"},
      {"100\n-0.5\n1000\n0.1\n1.0\n0.5\n2.0\n5\n", "birth_rate"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    TempDir dir;
    write_file(dir / "output.txt", "kept\r\n");
    const DialogueRun r = run(c.input, dir, {10});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
    EXPECT_EQ(r.out, kBanner + kAllPrompts);
    EXPECT_EQ(read_file(dir / "output.txt"), "kept\r\n");
  }
}

TEST(Dialogue, ModelErrorsAreFatalAndKeepTheRecordsWritten) {
  TempDir dir;
  // sdv = 0: the first offspring's weight is 0/0.
  const DialogueRun r = run("10\n0.5\n100\n0.1\n1.0\n0\n2.0\n5\n", dir, {10});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("exp: DOMAIN error"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, kBanner + kAllPrompts);
  const std::string results = read_file(dir / "output.txt");
  EXPECT_NE(results.find("n_HS\r\n"), std::string::npos);  // header and titles are there
}

TEST(Dialogue, SeedsFromTheClockCount) {
  // 214748 * 8219 + 5 seconds and 123 ms give the count 5 * 10000 + 1230.
  const std::string answers = "100\n0.5\n1000\n0.1\n1.0\n0.5\n2.0\n50\n";
  TempDir from_clock;
  TempDir from_count;
  TempDir other_clock;
  run(answers, from_clock, {}, {214748LL * 8219 + 5, 123});
  run(answers, from_count, {51230});
  run(answers, other_clock, {}, {214748LL * 8219 + 5, 124});
  EXPECT_EQ(read_file(from_clock / "output.txt"), read_file(from_count / "output.txt"));
  EXPECT_NE(read_file(from_clock / "output.txt"), read_file(other_clock / "output.txt"));
}

// Remembers what output.txt held when the closing texts began to appear.
class SnapshotOnClosing : public std::stringbuf {
 public:
  explicit SnapshotOnClosing(std::filesystem::path results) : results_(std::move(results)) {}
  std::string snapshot;
  bool taken = false;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (!taken && std::string_view(s, static_cast<std::size_t>(n)).find("This simulation") !=
                      std::string_view::npos) {
      snapshot = read_file(results_);
      taken = true;
    }
    return std::stringbuf::xsputn(s, n);
  }

 private:
  std::filesystem::path results_;
};

TEST(Dialogue, ResultsFileIsCompleteBeforeTheClosingTexts) {
  TempDir dir;
  std::istringstream in("200\n1.0\n2000\n0.1\n1.0\n0.5\n2.0\n30\n");
  SnapshotOnClosing buffer(dir / "output.txt");
  std::ostream out(&buffer);
  std::ostringstream err;
  FakeClock clock({0, 0});
  FakeShell shell;
  EXPECT_EQ(run_dialogue(in, out, err, clock, dir.path(), shell, {4560}), 0);
  ASSERT_TRUE(buffer.taken);
  const std::string final_content = read_file(dir / "output.txt");
  EXPECT_EQ(buffer.snapshot, final_content);
  EXPECT_GT(final_content.size(), 1000U);
}

}  // namespace
}  // namespace hostswitch
