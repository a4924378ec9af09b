#include "reporting/results_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "model/population_model.hpp"
#include "tests/results_text.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

namespace fs = std::filesystem;

const std::string kHeader = results_text::header_lines();

const std::string kTitles =
    "      n_g            p_phe        n_p           r_phe          rl_phe     n_HS\r\n";

using testing::TempDir;
const auto& slurp = testing::read_file;

// Reports the first difference instead of printing both texts whole.
void expect_same_text(const std::string& expected, const std::string& actual) {
  const auto [e, a] = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
  if (e == expected.end() && a == actual.end()) return;
  const auto at = static_cast<std::size_t>(e - expected.begin());
  const std::size_t line_start = expected.rfind('\n', at == 0 ? 0 : at - 1);
  const std::size_t from = line_start == std::string::npos ? 0 : line_start + 1;
  ADD_FAILURE() << "texts differ at byte " << at << " (sizes " << expected.size() << ", "
                << actual.size() << ")\nexpected: " << expected.substr(from, 80)
                << "\nactual:   " << actual.substr(from, 80);
}

// The expected records of one generation: every class against every value, printed by the
// C library (its %f rounds the exact binary value, ties to even).
std::string expected_records(const GenerationRecord& g, double binw) {
  double mx = g.pop[0];
  double mn = g.pop[0];
  for (const double v : g.pop) {
    if (v > mx) mx = v;
    if (v < mn) mn = v;
  }
  const double q = (mx - mn) / binw;
  if (!(q > -2147483649.0 && q < 2147483648.0)) return {};
  const auto nclass = static_cast<std::int64_t>(q) + 2;
  std::string out;
  for (std::int64_t k = 1; k <= nclass; ++k) {
    const double centre = (binw / 2.0 + mn) + static_cast<double>(k - 1) * binw;
    const double lower = centre - binw / 2.0;
    const double upper = binw / 2.0 + centre;
    int count = 0;
    for (const double v : g.pop) count += (lower <= v && v < upper) ? 1 : 0;
    if (count < 1) continue;
    char line[128];
    std::snprintf(line, sizeof line, " %8d %15.3f %10d %15.3f %15.3f %8d\r\n", g.n_g, centre, count,
                  g.r_phe, g.rl_phe, g.n_HS);
    out += line;
  }
  return out;
}

// Hands each generation to the file and keeps the text it should produce.
class CheckingReporter final : public Reporter {
 public:
  CheckingReporter(ResultsFile& file, double binw) : file_(file), binw_(binw) {}
  void report(const GenerationRecord& g) override {
    expected += expected_records(g, binw_);
    file_.report(g);
  }
  std::string expected;

 private:
  ResultsFile& file_;
  double binw_;
};

std::string run_into(const fs::path& file, SimulationParameters p, std::int32_t seed_count) {
  const double binw = p.sdr / 10.0;
  ResultsFile results(file, binw);
  CheckingReporter checker(results, binw);
  UniformStream stream;
  init_random_seed(stream, seed_count);
  run_population(p, stream, checker);
  results.close();
  return checker.expected;
}

TEST(ResultsFile, HeaderAndTitlesByteForByte) {
  EXPECT_EQ(results_header(), kHeader);
  EXPECT_EQ(column_titles(), kTitles);
  // The titles end where the layout puts them (1-based last columns).
  const std::string t = kTitles.substr(0, kTitles.size() - 2);
  ASSERT_EQ(t.size(), 78u);
  EXPECT_EQ(t.find("n_g") + 3, 9u);
  EXPECT_EQ(t.find("p_phe") + 5, 26u);
  EXPECT_EQ(t.find("n_p") + 3, 37u);
  EXPECT_EQ(t.find(" r_phe") + 6, 53u);
  EXPECT_EQ(t.find("rl_phe") + 6, 69u);
  EXPECT_EQ(t.find("n_HS") + 4, 78u);
  // The fourth text is 88 characters, cut after its 79th.
  EXPECT_EQ(std::string("where sdr is the Standard deviation of the survival probability function "
                        "(eqn 1) (p_phe)")
                .size(),
            88u);
}

TEST(ResultsFile, FirstGenerationOfTheWorkedExample) {
  TempDir dir;
  const fs::path file = dir.path() / kResultsFileName;
  {
    ResultsFile results(file, 1.0 / 10.0);
    const std::vector<double> pop(100, 10.0);
    results.report(GenerationRecord{1, pop, 0, 10.0, 8.75});
    results.close();
  }
  EXPECT_EQ(
      slurp(file),
      kHeader + kTitles +
          "        1          10.050        100          10.000           8.750        0\r\n");
}

TEST(ResultsFile, WholeRunMatchesRescanAndLayout) {
  TempDir dir;
  const fs::path file = dir.path() / kResultsFileName;
  SimulationParameters p = typical_parameters();
  p.birth_rate = 1.0;
  p.emig_rate = 0.002;
  p.max_dist = 0.3;
  p.n_gen = 40;
  const std::string expected = run_into(file, p, 1234560);
  const std::string text = slurp(file);
  ASSERT_GT(expected.size(), 300u * 79);
  expect_same_text(kHeader + kTitles + expected, text);

  // Every line CR LF ended, no trailing blank; class records 77 columns.
  std::size_t start = 0;
  int line_number = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(start, end - start);
    ++line_number;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line_number;
    EXPECT_NE(line.back(), ' ') << line_number;
    if (line_number > 10) {
      EXPECT_EQ(line.size(), 77u) << line_number;
    }
    start = end + 2;
  }
}

TEST(ResultsFile, NoGenerationsLeavesHeaderAndTitlesOnly) {
  for (const std::int32_t n_gen : {0, -5}) {
    TempDir dir;
    const fs::path file = dir.path() / kResultsFileName;
    SimulationParameters p = typical_parameters();
    p.n_gen = n_gen;
    EXPECT_EQ(run_into(file, p, 42), "");
    EXPECT_EQ(slurp(file), kHeader + kTitles);
  }
}

TEST(ResultsFile, SecondRunReplacesALongerFirst) {
  TempDir dir;
  const fs::path file = dir.path() / kResultsFileName;
  SimulationParameters p = typical_parameters();
  p.n_gen = 20;
  run_into(file, p, 777);
  ASSERT_GT(slurp(file).size(), kHeader.size() + kTitles.size());
  p.n_gen = 0;
  run_into(file, p, 777);
  EXPECT_EQ(slurp(file), kHeader + kTitles);
}

TEST(ResultsFile, RecordsBeyondOneBufferAreAllWritten) {
  TempDir dir;
  const fs::path file = dir.path() / kResultsFileName;
  std::vector<double> pop;
  for (int i = 0; i < 2500; ++i) pop.push_back(-30.0 + i * 0.1 + 0.01);
  std::string expected;
  {
    ResultsFile results(file, 0.1);
    for (std::int32_t g = 1; g <= 8; ++g) {
      const GenerationRecord record{g, pop, g % 3, -1.0 * g, 2.5 * g};
      expected += expected_records(record, 0.1);
      results.report(record);
    }
    results.close();
  }
  ASSERT_GT(expected.size(), std::size_t{1} << 20);
  expect_same_text(kHeader + kTitles + expected, slurp(file));
}

TEST(ResultsFile, AppearsWholeOnClose) {
  TempDir dir;
  const fs::path file = dir.path() / kResultsFileName;
  ResultsFile results(file, 0.1);
  const std::vector<double> pop(3, 10.0);
  results.report(GenerationRecord{1, pop, 0, 10.0, 9.0});
  results.flush();
  EXPECT_FALSE(fs::exists(file));
  results.close();
  EXPECT_EQ(
      slurp(file),
      kHeader + kTitles +
          "        1          10.050          3          10.000           9.000        0\r\n");
}

void expect_open_failure(const fs::path& path, const std::string& condition,
                         const std::string& cause) {
  try {
    ResultsFile results(path, 0.1);
    ADD_FAILURE() << "opened " << path;
  } catch (const ResultsFileError& error) {
    EXPECT_EQ(error.condition(), condition);
    EXPECT_EQ(error.path(), fs::absolute(path));
    EXPECT_EQ(std::string(error.what()),
              condition + ": " + fs::absolute(path).string() + ": " + cause);
  }
}

TEST(ResultsFile, OpenFailures) {
  TempDir dir;
  expect_open_failure(dir.path() / "missing" / kResultsFileName, "file not found",
                      "No such file or directory");
  std::ofstream(dir.path() / "plain") << "x";
  expect_open_failure(dir.path() / "plain" / kResultsFileName, "file not found", "Not a directory");
  fs::create_directory(dir.path() / "sub");
  fs::create_directory(dir.path() / "sub" / kResultsFileName);
  expect_open_failure(dir.path() / "sub" / kResultsFileName, "open failure", "Is a directory");
  // A relative path is reported in full.
  const fs::path relative = fs::relative(dir.path(), fs::current_path()) / "missing" / "output.txt";
  expect_open_failure(relative, "file not found", "No such file or directory");
}

TEST(ResultsFile, ErrnoMapping) {
  EXPECT_EQ(open_failure_condition(ENOENT), "file not found");
  EXPECT_EQ(open_failure_condition(ENOTDIR), "file not found");
  EXPECT_EQ(open_failure_condition(EACCES), "permission to access file denied");
  EXPECT_EQ(open_failure_condition(EPERM), "permission to access file denied");
  EXPECT_EQ(open_failure_condition(EROFS), "permission to access file denied");
  EXPECT_EQ(open_failure_condition(EMFILE), "open failure");
  EXPECT_EQ(open_failure_condition(ENOSPC), "open failure");
  EXPECT_EQ(open_failure_condition(EISDIR), "open failure");
}

// Root ignores permission bits, so as root the file is made immutable instead.
class Immutable {
 public:
  explicit Immutable(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY)) {
    int flags = 0;
    if (fd_ >= 0 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      set_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
  }
  ~Immutable() {
    int flags = 0;
    if (set_ && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  bool set() const { return set_; }

 private:
  int fd_;
  bool set_ = false;
};

TEST(ResultsFile, PermissionDenied) {
  TempDir dir;
  if (::geteuid() != 0) {
    fs::create_directory(dir.path() / "locked");
    fs::permissions(dir.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    expect_open_failure(dir.path() / "locked" / kResultsFileName,
                        "permission to access file denied", "Permission denied");
    fs::permissions(dir.path() / "locked", fs::perms::owner_all);
    return;
  }
  const fs::path file = dir.path() / kResultsFileName;
  std::ofstream(file) << "old";
  const Immutable immutable(file);
  if (!immutable.set()) GTEST_SKIP() << "cannot make a file immutable here";
  expect_open_failure(file, "permission to access file denied", "Operation not permitted");
}

TEST(ResultsFile, WriteFailureOnAFullDevice) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  const fs::path file = dir.path() / kResultsFileName;
  fs::create_symlink("/dev/full", file);
  const std::vector<double> pop(10, 10.0);
  {
    ResultsFile results(file, 0.1);
    results.report(GenerationRecord{1, pop, 0, 10.0, 9.0});
    try {
      results.close();
      ADD_FAILURE() << "close succeeded on a full device";
    } catch (const ResultsFileError& error) {
      EXPECT_EQ(error.condition(), "write failure");
      EXPECT_EQ(std::string(error.what()),
                "write failure: " + file.string() + ": No space left on device");
    }
  }
  {
    ResultsFile results(file, 0.1);
    EXPECT_THROW(results.flush(), ResultsFileError);
    EXPECT_THROW(results.flush(), ResultsFileError);  // still failed, not silently empty
  }
  // The destructor's own flush fails quietly.
  EXPECT_NO_THROW({
    ResultsFile results(file, 0.1);
    results.report(GenerationRecord{1, pop, 0, 10.0, 9.0});
  });
}

}  // namespace
}  // namespace hostswitch
