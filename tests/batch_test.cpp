#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "batch/manifest.hpp"
#include "batch/merge.hpp"
#include "batch/ordered_csv.hpp"
#include "batch/summary.hpp"
#include "batch/sweep.hpp"
#include "batch/sweep_command.hpp"
#include "batch/trajectory.hpp"
#include "reporting/results_reader.hpp"
#include "tests/test_support.hpp"

extern char** environ;

namespace hostswitch {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line + "\n");
  return lines;
}

TEST(SweepParts, SliceTheRowListContiguouslyAndEvenly) {
  // Worked by hand: 10 rows in 3 parts are rows 0-3, 4-6 and 7-9.
  EXPECT_EQ(part_rows(10, 1, 3).first, 0);
  EXPECT_EQ(part_rows(10, 1, 3).end, 4);
  EXPECT_EQ(part_rows(10, 2, 3).first, 4);
  EXPECT_EQ(part_rows(10, 3, 3).end, 10);
  for (const std::int64_t rows : {1, 2, 7, 12, 100, 101}) {
    for (std::int32_t parts = 1; parts <= std::min<std::int64_t>(rows, 13); ++parts) {
      std::int64_t next = 0;
      std::int64_t shortest = rows, longest = 0;
      for (std::int32_t part = 1; part <= parts; ++part) {
        const RowRange range = part_rows(rows, part, parts);
        ASSERT_EQ(range.first, next) << rows << " rows, part " << part << " of " << parts;
        shortest = std::min(shortest, range.end - range.first);
        longest = std::max(longest, range.end - range.first);
        for (std::int64_t row = range.first; row < range.end; ++row) {
          ASSERT_EQ(part_of_row(rows, parts, row), part) << rows << " rows, row " << row;
        }
        next = range.end;
      }
      EXPECT_EQ(next, rows);
      EXPECT_GE(shortest, 1);
      EXPECT_LE(longest - shortest, 1);
    }
  }
  // Near the limits of the types the slices still add up.
  const std::int64_t huge = std::int64_t{2147483647} * 2147483647;
  EXPECT_EQ(part_rows(huge, 2147483647, 2147483647).end, huge);
}

TEST(OrderedCsv, OneWriterAtATimeTornLinesCutStagedFilesAppearWhole) {
  const TempDir dir;
  const auto path = dir / "rows.csv";
  const std::string header = "a,b\n";
  {
    OrderedCsvFile first(path, header, OrderedCsvFile::Mode::fresh);
    first.append("1,2\n");
    try {
      OrderedCsvFile second(path, header, OrderedCsvFile::Mode::fresh);
      ADD_FAILURE() << "a second writer was let in";
    } catch (const FileBusy& busy) {
      const std::string message = busy.what();
      EXPECT_NE(message.find(path.string()), std::string::npos) << message;
      EXPECT_NE(message.find("process " + std::to_string(getpid())), std::string::npos) << message;
    }
    EXPECT_THROW(OrderedCsvFile(path, header, OrderedCsvFile::Mode::resume), FileBusy);
    first.append("3,4\n");
    EXPECT_EQ(read_file(path), "a,b\n1,2\n3,4\n");
  }

  // What kill -9 can leave: complete rows and a torn one; a header cut short counts as none.
  write_file(path, "a,b\n1,2\n3,4\n5,");
  {
    OrderedCsvFile resumed(path, header, OrderedCsvFile::Mode::resume);
    EXPECT_EQ(resumed.kept_rows(), 2u);
    EXPECT_EQ(resumed.rows_text(), "1,2\n3,4\n");
    resumed.append("5,6\n");
  }
  EXPECT_EQ(read_file(path), "a,b\n1,2\n3,4\n5,6\n");
  write_file(path, "a,");
  EXPECT_EQ(OrderedCsvFile(path, header, OrderedCsvFile::Mode::resume).kept_rows(), 0u);
  EXPECT_EQ(read_file(path), header);
  write_file(path, "x,y\n1,2\n");
  EXPECT_THROW(OrderedCsvFile(path, header, OrderedCsvFile::Mode::resume), std::runtime_error);
  EXPECT_EQ(read_file(path), "x,y\n1,2\n");  // a foreign file is left as it was

  const auto part = dir / "part-1.csv";
  {
    OrderedCsvFile staged(part, header, OrderedCsvFile::Mode::staged);
    staged.append("7,8\n");
    EXPECT_FALSE(std::filesystem::exists(part));
    staged.commit();
  }
  EXPECT_EQ(read_file(part), "a,b\n7,8\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "part-1.csv.tmp"));
}

Manifest small_manifest(const std::filesystem::path& run_dir, std::int32_t parts) {
  Manifest manifest;
  manifest.lists = ParameterLists{{100}, {0.5}, {1000}, {0.05, 0.3}, {1, 2.5}, {0.5}, {2}, {25}};
  manifest.replicates = 3;
  manifest.base_seed = 77;
  manifest.command_line = {"hostswitch", "sweep"};
  manifest.parts = parts;
  manifest.executable = "/opt/hostswitch";
  manifest.run_dir = run_dir.string();
  return manifest;
}

TEST(SweepManifest, ReadsBackAndNamesTheFirstDifference) {
  const TempDir dir;
  const Manifest written = small_manifest(dir.path(), 4);
  EXPECT_EQ(written.rows(), 12);
  const auto path = dir / "manifest.json";
  write_file(path, manifest_json(written));
  const Manifest read = read_manifest(path);
  EXPECT_FALSE(manifest_difference(read, written, path));
  EXPECT_EQ(read.parts, 4);
  EXPECT_EQ(read.executable, "/opt/hostswitch");

  Manifest other = written;
  other.lists[*parameter_by_name("sdr")] = {1, 2};
  EXPECT_EQ(manifest_difference(read, other, path),
            "--sdr is 1,2 here but 1,2.5 in " + path.string());
  other = written;
  other.base_seed = 78;
  EXPECT_EQ(manifest_difference(read, other, path), "--seed is 78 here but 77 in " + path.string());
  other.command_line = {"elsewhere"};  // how it was typed does not matter
  other.base_seed = 77;
  EXPECT_FALSE(manifest_difference(read, other, path));

  write_file(path, "{\"program\": \"hostswitch\"}");
  EXPECT_THROW(read_manifest(path), std::runtime_error);
  write_file(path, "not json");
  EXPECT_THROW(read_manifest(path), std::runtime_error);
}

// The rows of the manifest's sweep run in process: what any merge must give back.
std::vector<std::string> reference_rows(const Manifest& manifest) {
  SweepSettings settings;
  settings.grid = expand_grid(manifest.lists);
  settings.replicates = manifest.replicates;
  settings.base_seed = manifest.base_seed;
  std::ostringstream summary;
  run_sweep(settings, summary);
  std::vector<std::string> rows = lines_of(summary.str());
  rows.erase(rows.begin());
  return rows;
}

std::string joined(const std::vector<std::string>& rows, std::size_t first, std::size_t end) {
  std::string text;
  for (std::size_t i = first; i < end; ++i) text += rows[i];
  return text;
}

TEST(RunDirectoryMerge, KnowsEveryRowAndRefusesWhatDoesNotBelong) {
  const TempDir dir;
  const Manifest manifest = small_manifest(dir.path(), 4);
  const std::vector<std::string> rows = reference_rows(manifest);
  ASSERT_EQ(rows.size(), 12u);
  const std::string header = summary_header();
  const std::string all = header + joined(rows, 0, 12);
  // 12 rows in 4 parts: 3 each, one grid point (of 3 replicates) per part.
  for (int k = 1; k <= 4; ++k) {
    write_file(part_path(dir.path(), k), header + joined(rows, 3 * (k - 1), 3 * k));
  }
  // The merged summary beside the parts, under a name the sweep never writes, is not read.
  write_file(dir / "summary.csv", header + rows[0]);
  RunDirectoryMerge merged = merge_run_directory(dir.path(), manifest, dir / "summary.csv");
  EXPECT_EQ(merged.text, all);
  EXPECT_EQ(merged.missing, 0);

  // Trailing grid points missing: the array was cut short.
  std::filesystem::remove(part_path(dir.path(), 4));
  merged = merge_run_directory(dir.path(), manifest, std::nullopt);
  EXPECT_EQ(merged.expected, 12);
  EXPECT_EQ(merged.missing, 3);
  EXPECT_EQ(merged.text, header + joined(rows, 0, 9));
  ASSERT_EQ(merged.missing_commands.size(), 1u);
  EXPECT_EQ(merged.missing_commands[0], part_command(manifest, 4));
  EXPECT_NE(merged.missing_commands[0].find(" --part 4/4 "), std::string::npos);

  // An identical duplicate (a task that ran twice), with CR LF line ends, counts once.
  write_file(part_path(dir.path(), 4), header + joined(rows, 9, 12));
  std::string crlf;
  for (const std::string& line : lines_of(header + joined(rows, 9, 12))) {
    crlf += line.substr(0, line.size() - 1) + "\r\n";
  }
  write_file(dir / "4-1.csv", crlf);
  merged = merge_run_directory(dir.path(), manifest, std::nullopt);
  EXPECT_EQ(merged.text, all);
  EXPECT_EQ(merged.missing, 0);

  // The same row with other figures: refused, naming both files.
  std::filesystem::remove(dir / "4-1.csv");
  std::string changed = rows[10];
  std::size_t switches = 0;  // just past the 14th comma: switch_generations
  for (int comma = 0; comma < 14; ++comma) switches = changed.find(',', switches) + 1;
  changed.insert(switches, "9");
  write_file(dir / "4-2.csv", header + changed);
  try {
    merge_run_directory(dir.path(), manifest, std::nullopt);
    ADD_FAILURE() << "a conflicting duplicate was taken";
  } catch (const SummaryError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("4-2.csv"), std::string::npos) << message;
    EXPECT_NE(message.find("part-4.csv"), std::string::npos) << message;
  }
  std::filesystem::remove(dir / "4-2.csv");

  // A row of another experiment: same grid point and replicate, another base seed.
  Manifest other = manifest;
  other.base_seed = 78;
  write_file(dir / "2-2.csv", header + reference_rows(other)[4]);
  try {
    merge_run_directory(dir.path(), manifest, std::nullopt);
    ADD_FAILURE() << "a row of another experiment was taken";
  } catch (const SummaryError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("2-2.csv"), std::string::npos) << message;
    EXPECT_NE(message.find("another experiment"), std::string::npos) << message;
  }
  // ... or a grid point beyond the grid.
  other.lists[*parameter_by_name("n_gen")] = {25, 30};
  write_file(dir / "2-2.csv", header + reference_rows(other)[15]);
  EXPECT_THROW(merge_run_directory(dir.path(), manifest, std::nullopt), SummaryError);
}

TEST(RunDirectoryMerge, AMissingMiddleReplicateIsNamedWithItsRunCommand) {
  const TempDir dir;
  const Manifest manifest = small_manifest(dir.path(), 0);
  const std::vector<std::string> rows = reference_rows(manifest);
  for (int g = 1; g <= 4; ++g) {
    for (int r = 1; r <= 3; ++r) {
      if (g == 2 && r == 2) continue;
      write_file(dir / (std::to_string(g) + "-" + std::to_string(r) + ".csv"),
                 summary_header() + rows[static_cast<std::size_t>((g - 1) * 3 + r - 1)]);
    }
  }
  const RunDirectoryMerge merged = merge_run_directory(dir.path(), manifest, std::nullopt);
  EXPECT_EQ(merged.missing, 1);
  EXPECT_EQ(merged.text, summary_header() + joined(rows, 0, 4) + joined(rows, 5, 12));
  ASSERT_EQ(merged.missing_commands.size(), 1u);
  const std::string& command = merged.missing_commands[0];
  // Grid point 2 is emig_rate 0.05, sdr 2.5 (n_pop varies slowest, n_gen fastest).
  EXPECT_NE(command.find("--emig-rate 0.05 --sdr 2.5 "), std::string::npos) << command;
  EXPECT_NE(command.find("--seed " + std::to_string(replicate_seed(77, 2, 2)) +
                         " --grid-index 2 --replicate 2"),
            std::string::npos)
      << command;
}

TEST(MergeCommand, MissingRowsExitThreeUnlessAllowedAndTheSummaryIsNeverAnInput) {
  const TempDir dir;
  const auto run_dir = dir / "runs";
  std::filesystem::create_directories(run_dir);
  const Manifest manifest = small_manifest(run_dir, 4);
  write_file(run_manifest_path(run_dir), manifest_json(manifest));
  const std::vector<std::string> rows = reference_rows(manifest);
  for (int k = 1; k <= 3; ++k) {
    write_file(part_path(run_dir, k), summary_header() + joined(rows, 3 * (k - 1), 3 * k));
  }
  MergeRequest request;
  request.inputs = {run_dir};
  request.summary = run_dir / "summary.csv";
  request.missing_commands = dir / "missing.txt";
  std::ostringstream out;
  const CommandReport refused = merge_command(request, out);
  EXPECT_EQ(refused.status, kRowsMissing);
  EXPECT_EQ(refused.message.rfind("3 of 12 rows missing", 0), 0u) << refused.message;
  EXPECT_EQ(read_file(dir / "missing.txt"), part_command(manifest, 4) + "\n");
  EXPECT_FALSE(std::filesystem::exists(run_dir / "summary.csv"));

  request.allow_missing = true;
  const CommandReport allowed = merge_command(request, out);
  EXPECT_EQ(allowed.status, 0);
  EXPECT_EQ(read_file(run_dir / "summary.csv"), summary_header() + joined(rows, 0, 9));
  ASSERT_EQ(allowed.warnings.size(), 1u);
  EXPECT_EQ(allowed.warnings[0].rfind("3 of 12 rows missing", 0), 0u) << allowed.warnings[0];

  // Plain summaries (no manifest): the merge may not go where it would be read.
  MergeRequest plain;
  plain.inputs = {dir / "loose"};
  std::filesystem::create_directories(dir / "loose");
  write_file(dir / "loose" / "a.csv", summary_header() + rows[0]);
  plain.summary = dir / "loose" / "merged.csv";
  EXPECT_THROW(merge_command(plain, out), std::runtime_error);
  plain.inputs = {dir / "loose" / "a.csv"};
  plain.summary = dir / "loose" / "a.csv";
  EXPECT_THROW(merge_command(plain, out), std::runtime_error);
  EXPECT_EQ(read_file(dir / "loose" / "a.csv"), summary_header() + rows[0]);
}

// --- the built program, started directly (a shell would start it with SIGINT ignored) -----

class Child {
 public:
  Child(const std::vector<std::string>& args, const std::filesystem::path& directory,
        const std::filesystem::path& messages) {
    std::vector<char*> argv;
    std::vector<std::string> words = {HOSTSWITCH_EXECUTABLE};
    words.insert(words.end(), args.begin(), args.end());
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    // Standard output and error both go to `messages`.
    posix_spawn_file_actions_addopen(&actions, 1, messages.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      wait();
    }
  }
  pid_t pid() const { return pid_; }
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
};

int run_program(const std::vector<std::string>& args, const std::filesystem::path& directory) {
  Child child(args, directory, directory / "err.txt");
  return child.wait();
}

std::size_t lines_in(const std::filesystem::path& path) {
  const std::string text = read_file(path);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Waits (at most about 30 s) until `path` holds `lines` lines.
bool wait_for_lines(const std::filesystem::path& path, std::size_t lines) {
  for (int i = 0; i < 30000; ++i) {
    if (lines_in(path) >= lines) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Runs that mostly survive their 2,000 generations: a few milliseconds each.
const std::vector<std::string> kSlowSweep = {"--max-dist",  "0.1",  "--sdr",       "3",
                                             "--emig-rate", "0.01", "--n-gen",     "2000",
                                             "--seed",      "5",    "--replicates"};

std::vector<std::string> slow_sweep(std::size_t replicates, const std::string& summary) {
  std::vector<std::string> args = {"sweep"};
  args.insert(args.end(), kSlowSweep.begin(), kSlowSweep.end());
  args.push_back(std::to_string(replicates));
  args.insert(args.end(), {"--jobs", "2", "--summary", summary});
  return args;
}

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
  // Without --trajectories the merge puts them into the run directory.
  ASSERT_EQ(run_program({"merge", "parts", "--summary", "merged.csv"}, dir.path()), 0);
  EXPECT_TRUE(same_bytes(read_file(dir / "parts" / "trajectories.csv"), trajectories));

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

// --- nothing a user types, a signal or a planted link does destroys a result -----------------

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Whether `dir` holds a temporary a writer left (NAME.tmp-PID-..., or a staged PART.tmp).
bool holds_temporary(const std::filesystem::path& dir) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (contains(name, ".tmp-") || name.ends_with(".csv.tmp")) return true;
  }
  return false;
}

TEST(SafetyProgram, CommandsThatUsedToLoseResultsRefuseOrDoWhatWasAsked) {
  const TempDir dir;
  const std::vector<std::string> first = {"sweep", "--emig-rate", "0.1",  "--replicates",
                                          "5",     "--seed",      "1",    "--n-gen",
                                          "20",    "--summary",   "s.csv"};
  ASSERT_EQ(run_program(first, dir.path()), 0) << read_file(dir / "err.txt");
  const std::string kept = read_file(dir / "s.csv");
  const std::string kept_manifest = read_file(dir / "s.csv.json");
  ASSERT_EQ(lines_in(dir / "s.csv"), 6u);

  // Another experiment into the same summary: refused, naming what it holds and the remedies.
  EXPECT_EQ(run_program({"sweep", "--emig-rate", "0.2", "--replicates", "2", "--seed", "2",
                         "--n-gen", "20", "--summary", "s.csv"},
                        dir.path()),
            1);
  std::string err = read_file(dir / "err.txt");
  EXPECT_TRUE(contains(err,
                       "s.csv holds 5 rows of another experiment (seed base 1; "
                       "--emig-rate is 0.2 here but 0.1 in s.csv.json)"))
      << err;
  EXPECT_TRUE(contains(err, "give another --summary, or --overwrite to replace it")) << err;
  // The same sweep again, seed given or not: nothing to do.
  EXPECT_EQ(run_program(first, dir.path()), 0);
  EXPECT_TRUE(contains(read_file(dir / "err.txt"), "nothing to do")) << read_file(dir / "err.txt");
  std::vector<std::string> unseeded = first;
  unseeded.erase(unseeded.begin() + 5, unseeded.begin() + 7);
  EXPECT_EQ(run_program(unseeded, dir.path()), 0);
  // A merge of other rows, and a run, into it: refused too.
  write_file(dir / "other.csv", summary_header() + lines_of(kept)[1]);
  EXPECT_EQ(run_program({"merge", "other.csv", "--summary", "s.csv"}, dir.path()), 1);
  EXPECT_TRUE(contains(read_file(dir / "err.txt"), "s.csv holds 5 rows, seed base 1"));
  EXPECT_EQ(run_program({"run", "--n-gen", "5", "--no-output", "--summary", "s.csv"}, dir.path()),
            1);

  // --resume with nothing to resume writes nothing.
  EXPECT_EQ(run_program({"sweep", "--emig-rate", "0.2", "--replicates", "2", "--summary", "t.csv",
                         "--resume"},
                        dir.path()),
            1);
  EXPECT_TRUE(contains(read_file(dir / "err.txt"), "nothing to resume: t.csv does not exist"));
  EXPECT_FALSE(std::filesystem::exists(dir / "t.csv"));
  EXPECT_FALSE(std::filesystem::exists(dir / "t.csv.json"));

  // Rows copied from another experiment (another seed), or holding NaN, are not resumed.
  std::vector<std::string> reseeded = first;
  reseeded[6] = "2";
  reseeded.back() = "u.csv";
  reseeded.push_back("--resume");
  write_file(dir / "u.csv", kept);
  std::string manifest = kept_manifest;
  manifest.replace(manifest.find("\"base_seed\": 1"), 14, "\"base_seed\": 2");
  write_file(dir / "u.csv.json", manifest);
  EXPECT_EQ(run_program(reseeded, dir.path()), 1);
  EXPECT_TRUE(contains(read_file(dir / "err.txt"),
                       "u.csv:2: not the row of grid point 1 "
                       "replicate 1 this sweep writes (seed "))
      << read_file(dir / "err.txt");
  std::vector<std::string> resumed = first;
  resumed.back() = "n.csv";
  resumed.push_back("--resume");
  std::vector<std::string> with_nan = lines_of(kept);
  std::size_t r_phe = 0;  // just past the 16th comma: final_r_phe
  for (int comma = 0; comma < 16; ++comma) r_phe = with_nan[1].find(',', r_phe) + 1;
  with_nan[1].replace(r_phe, with_nan[1].find(',', r_phe) - r_phe, "nan");
  write_file(dir / "n.csv", joined(with_nan, 0, with_nan.size()));
  write_file(dir / "n.csv.json", kept_manifest);
  EXPECT_EQ(run_program(resumed, dir.path()), 1);
  EXPECT_TRUE(contains(read_file(dir / "err.txt"), "n.csv:2: not the row"))
      << read_file(dir / "err.txt");

  // A forgotten path value: refused; a file of that name is still possible.
  write_file(dir / "output.txt", "old results\n");
  EXPECT_EQ(
      run_program({"run", "--n-gen", "5", "--seed", "1", "--plot", "--no-output"}, dir.path()), 2);
  EXPECT_TRUE(contains(read_file(dir / "err.txt"),
                       "--plot: '--no-output' is the flag "
                       "--no-output of run"));
  EXPECT_FALSE(std::filesystem::exists(dir / "--no-output"));
  EXPECT_EQ(read_file(dir / "output.txt"), "old results\n");
  EXPECT_EQ(run_program({"run", "--n-gen", "5", "--seed", "1", "--plot=./--no-output"}, dir.path()),
            0);
  EXPECT_TRUE(std::filesystem::exists(dir / "--no-output"));

  // An option the scripts own: refused naming the flag that sets it, and nothing written.
  EXPECT_EQ(run_program({"sweep", "--replicates", "4", "--seed", "1", "--slurm", "job",
                         "--slurm-option=--array=1-4%2"},
                        dir.path()),
            1);
  EXPECT_TRUE(contains(read_file(dir / "err.txt"), "give --max-running M"));
  EXPECT_FALSE(std::filesystem::exists(dir / "job"));

  // A run directory of another sweep: refused unless --overwrite, which drops the old sweep's
  // rows once the new manifest stands and leaves every other file alone. Parts, which run side
  // by side, never replace one.
  const std::vector<std::string> part = {"sweep", "--replicates", "4",  "--seed", "1",  "--n-gen",
                                         "20",    "--run-dir",    "rd", "--part", "1/2"};
  ASSERT_EQ(run_program(part, dir.path()), 0) << read_file(dir / "err.txt");
  write_file(dir / "rd" / "notes.txt", "mine\n");
  std::vector<std::string> other = {"sweep", "--replicates", "4",  "--seed",         "2", "--n-gen",
                                    "20",    "--run-dir",    "rd", "--emit-commands"};
  EXPECT_EQ(run_program(other, dir.path()), 1);
  EXPECT_TRUE(contains(read_file(dir / "err.txt"),
                       "--emit-commands: --seed is 2 here but 1 in rd/manifest.json; that run "
                       "directory holds another sweep (use another one, or --overwrite to replace "
                       "it)"))
      << read_file(dir / "err.txt");
  EXPECT_TRUE(std::filesystem::exists(dir / "rd" / "part-1.csv"));
  other.push_back("--overwrite");
  EXPECT_EQ(run_program(other, dir.path()), 0) << read_file(dir / "err.txt");
  EXPECT_FALSE(std::filesystem::exists(dir / "rd" / "part-1.csv"));
  EXPECT_EQ(read_file(dir / "rd" / "notes.txt"), "mine\n");
  EXPECT_TRUE(contains(read_file(dir / "rd" / "manifest.json"), "\"base_seed\": 2"));
  EXPECT_EQ(run_program(part, dir.path()), 1);
  std::vector<std::string> part_overwrite = part;
  part_overwrite.push_back("--overwrite");
  EXPECT_EQ(run_program(part_overwrite, dir.path()), 2);

  EXPECT_EQ(read_file(dir / "s.csv"), kept);
  EXPECT_EQ(read_file(dir / "s.csv.json"), kept_manifest);
}

TEST(SafetyProgram, OverwriteKilledAnywhereLeavesTheOldSweepOrAResumableNewOne) {
  const TempDir dir;
  ASSERT_EQ(run_program({"sweep", "--replicates", "3", "--seed", "1", "--n-gen", "20", "--summary",
                         "summary.csv"},
                        dir.path()),
            0);
  const std::string old_summary = read_file(dir / "summary.csv");
  const std::string old_manifest = read_file(dir / "summary.csv.json");
  constexpr std::size_t kRows = 300;
  ASSERT_EQ(run_program(slow_sweep(kRows, "reference.csv"), dir.path()), 0);
  const std::string reference = read_file(dir / "reference.csv");
  std::vector<std::string> overwrite = slow_sweep(kRows, "summary.csv");
  overwrite.push_back("--overwrite");
  std::vector<std::string> resume = slow_sweep(kRows, "summary.csv");
  resume.push_back("--resume");
  std::srand(16);
  int replaced = 0;
  for (int attempt = 0; attempt < 6; ++attempt) {
    SCOPED_TRACE(attempt);
    write_file(dir / "summary.csv", old_summary);
    write_file(dir / "summary.csv.json", old_manifest);
    Child sweep(overwrite, dir.path(), dir / "err.txt");
    // Later attempts wait longer, so a slow start (a sanitizer build) still gets caught writing.
    std::this_thread::sleep_for(std::chrono::microseconds(std::rand() % 60000 + attempt * 50000));
    kill(sweep.pid(), SIGKILL);
    sweep.wait();
    if (read_file(dir / "summary.csv.json") == old_manifest) {
      EXPECT_EQ(read_file(dir / "summary.csv"), old_summary);
      continue;
    }
    ++replaced;
    ASSERT_EQ(run_program(resume, dir.path()), 0) << read_file(dir / "err.txt");
    EXPECT_EQ(read_file(dir / "summary.csv"), reference);
  }
  EXPECT_GE(replaced, 1);  // else the kills all came too early for this test
}

TEST(SafetyProgram, EveryWriterKeepsAFifoALinkAndADeviceAndFollowsNoPlantedLink) {
  const TempDir dir;
  ASSERT_EQ(run_program({"sweep", "--replicates", "3", "--seed", "1", "--n-gen", "20", "--summary",
                         "s.csv", "--trajectories", "t.csv"},
                        dir.path()),
            0);
  ASSERT_EQ(run_program({"run", "--n-gen", "20", "--seed", "3"}, dir.path()), 0);
  // Each writer with its output flag.
  const std::vector<std::vector<std::string>> writers = {
      {"run", "--n-gen", "5", "--seed", "2", "--output"},
      {"run", "--n-gen", "5", "--seed", "2", "--no-output", "--overwrite", "--summary"},
      {"run", "--n-gen", "5", "--seed", "2", "--no-output", "--trajectory"},
      {"plot", "output.txt", "-o"},
      {"report", "s.csv", "--output", "r.html", "--table"},
      {"report", "s.csv", "--table", "st.csv", "--output"},
      {"merge", "s.csv", "--overwrite", "--summary"},
  };
  for (const auto& writer : writers) {
    SCOPED_TRACE(writer[0] + " " + writer.back());
    // A FIFO, drained by a reader of its own.
    // Named .svg, as a picture must be.
    const std::filesystem::path fifo = dir / "fifo.svg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string drained;
    std::thread reader([&] { drained = read_file(fifo); });
    std::vector<std::string> args = writer;
    args.push_back("fifo.svg");
    EXPECT_EQ(run_program(args, dir.path()), 0) << read_file(dir / "err.txt");
    // A writer that never opened the FIFO must not leave the reader waiting.
    const int release = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (release >= 0) ::close(release);
    reader.join();
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    EXPECT_FALSE(drained.empty());
    std::filesystem::remove(fifo);
    // A link: written through, still a link.
    write_file(dir / "target", "old");
    std::filesystem::create_symlink("target", dir / "link.svg");
    args.back() = "link.svg";
    EXPECT_EQ(run_program(args, dir.path()), 0) << read_file(dir / "err.txt");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.svg"));
    EXPECT_NE(read_file(dir / "target"), "old");
    std::filesystem::remove(dir / "link.svg");
    args.back() = "/dev/null";
    EXPECT_EQ(run_program(args, dir.path()), 0) << read_file(dir / "err.txt");
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  }
  EXPECT_FALSE(holds_temporary(dir.path()));

  // A link planted at a part's temporary name is taken away, never written through.
  std::filesystem::create_directories(dir / "rd");
  write_file(dir / "precious.txt", "precious\n");
  std::filesystem::create_symlink("../precious.txt", dir / "rd" / "part-1.csv.tmp");
  EXPECT_EQ(run_program({"sweep", "--replicates", "2", "--seed", "1", "--n-gen", "5", "--part",
                         "1/1", "--run-dir", "rd"},
                        dir.path()),
            0)
      << read_file(dir / "err.txt");
  EXPECT_EQ(read_file(dir / "precious.txt"), "precious\n");
  EXPECT_EQ(lines_in(dir / "rd" / "part-1.csv"), 3u);
}

TEST(SafetyProgram, SignalsAtRandomMomentsLeaveTheOldFileOrTheNewAndNoTemporary) {
  const TempDir dir;
  // Inputs large enough that the writers take a while.
  ASSERT_EQ(
      run_program({"sweep", "--emig-rate", "0.01,0.02,0.03,0.04", "--sdr", "3", "--max-dist", "0.1",
                   "--n-gen", "300", "--replicates", "50", "--seed", "1", "--summary", "s.csv"},
                  dir.path()),
      0);
  const std::vector<std::string> run = {
      "run",        "--n-pop", "2000",  "--capacity", "20000",       "--birth-rate", "1",
      "--max-dist", "0.1",     "--sdr", "3",          "--emig-rate", "0.01",         "--n-gen",
      "3000",       "--seed",  "4",     "--output",   "new.txt"};
  struct Writer {
    std::vector<std::string> args;
    std::string output;
  };
  const std::vector<Writer> writers = {
      {run, "new.txt"},
      {{"report", "s.csv", "--table", "stats.csv", "--output", "r.html"}, "r.html"},
      {{"merge", "s.csv", "s.csv", "--overwrite", "--summary", "m.csv"}, "m.csv"},
      {{"plot", "results.txt", "-o", "p.svg"}, "p.svg"},
  };
  std::vector<std::string> results_run = run;
  results_run.back() = "results.txt";
  ASSERT_EQ(run_program(results_run, dir.path()), 0);
  // What each writes when left alone.
  std::map<std::string, std::string> finished;
  for (const Writer& writer : writers) {
    ASSERT_EQ(run_program(writer.args, dir.path()), 0) << read_file(dir / "err.txt");
    finished[writer.output] = read_file(dir / writer.output);
  }
  std::srand(61);
  int interrupted = 0;
  for (int kill_number = 0; kill_number < 32; ++kill_number) {
    const Writer& writer = writers[static_cast<std::size_t>(kill_number) % writers.size()];
    SCOPED_TRACE(writer.args[0] + " " + std::to_string(kill_number));
    write_file(dir / writer.output, "old\n");
    Child child(writer.args, dir.path(), dir / "err.txt");
    std::this_thread::sleep_for(std::chrono::microseconds(std::rand() % 40000));
    kill(child.pid(), SIGTERM);
    const int status = child.wait();
    if (status != 0) ++interrupted;
    const std::string left = read_file(dir / writer.output);
    EXPECT_TRUE(left == "old\n" || left == finished[writer.output]) << left.substr(0, 200);
    EXPECT_FALSE(holds_temporary(dir.path()));
  }
  EXPECT_GE(interrupted, 8);  // else the writers finish too fast for this test
}

}  // namespace
}  // namespace hostswitch
