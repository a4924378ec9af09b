#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "batch/summary.hpp"
#include "tests/batch_support.hpp"
#include "tests/program_support.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::Child;
using testing::contains;
using testing::joined;
using testing::lines_in;
using testing::lines_of;
using testing::read_file;
using testing::run_program;
using testing::slow_sweep;
using testing::TempDir;
using testing::write_file;

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

// Every file under `dir` but the messages, with its bytes ("DIR/" for a directory).
std::map<std::string, std::string> tree_of(const std::filesystem::path& dir) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().lexically_relative(dir).string();
    if (name == "err.txt") continue;
    if (entry.is_symlink()) {
      tree[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      tree[name + "/"] = "";
    } else {
      tree[name] = read_file(entry.path());
    }
  }
  return tree;
}

TEST(SafetyProgram, RefusedWritersWriteNothingAndKeepOtherSweepsFiles) {
  const TempDir dir;
  const std::vector<std::string> common = {"--replicates", "2", "--seed", "1", "--n-gen", "10"};
  auto sweep = [&common](std::vector<std::string> more) {
    std::vector<std::string> args = {"sweep"};
    args.insert(args.end(), common.begin(), common.end());
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  // Two sweeps side by side, each with its default trajectories: named after its summary.
  ASSERT_EQ(run_program(sweep({"--emig-rate", "0.1", "--summary", "a.csv", "--trajectories"}),
                        dir.path()),
            0)
      << read_file(dir / "err.txt");
  const auto first = tree_of(dir.path());
  ASSERT_TRUE(first.contains("a.trajectories.csv"));
  ASSERT_EQ(run_program(sweep({"--emig-rate", "0.2", "--summary", "b.csv", "--trajectories"}),
                        dir.path()),
            0)
      << read_file(dir / "err.txt");
  ASSERT_TRUE(std::filesystem::exists(dir / "b.trajectories.csv"));
  EXPECT_FALSE(std::filesystem::exists(dir / "trajectories.csv"));
  for (const auto& [name, bytes] : first) {
    EXPECT_EQ(read_file(dir / name), bytes) << name;
  }

  // A run directory of two parts with trajectories; a design sweep; other people's files.
  for (const std::string part : {"1/2", "2/2"}) {
    ASSERT_EQ(run_program(sweep({"--emig-rate", "0.1", "--run-dir", "rd", "--part", part,
                                 "--trajectories"}),
                          dir.path()),
              0)
        << read_file(dir / "err.txt");
  }
  ASSERT_EQ(
      run_program(sweep({"--emig-rate", "0.1", "--run-dir", "rr", "--emit-commands"}), dir.path()),
      0);
  std::filesystem::create_directories(dir / "rr" / "1-2.csv");
  std::filesystem::create_directories(dir / "data");
  write_file(dir / "data" / "2021-03.csv", "x\n");
  write_file(dir / "data" / "summary.csv", "y\n");
  write_file(dir / "notes.txt", "mine\n");
  write_file(dir / "output.txt", "old results\n");
  std::filesystem::create_symlink("rd/part-1.csv", dir / "link.csv");

  struct Refused {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Refused> refused = {
      // Trajectories of another experiment, given by name.
      {sweep({"--emig-rate", "0.3", "--summary", "c.csv", "--trajectories", "a.trajectories.csv"}),
       "a.trajectories.csv holds 20 trajectory rows of another experiment"},
      // A merge's outputs: a file not of this merge, the manifest, a part read, a link to one.
      {{"merge", "rd", "--summary", "m.csv", "--trajectories", "notes.txt"},
       "notes.txt is not a trajectories file"},
      {{"merge", "rd", "--summary", "rd/manifest.json", "--overwrite"}, "is read by the merge"},
      {{"merge", "rd", "--summary", "m.csv", "--trajectories", "rd/part-2.trajectories.csv"},
       "is read by the merge"},
      {{"merge", "rd", "--summary", "link.csv", "--overwrite"}, "is read by the merge"},
      {{"merge", "rd", "--summary", "m.csv", "--trajectories", "m.csv"}, "give each its own name"},
      // A run whose summary, or picture name, is refused: before its results file is replaced.
      {{"run", "--n-gen", "5", "--seed", "2", "--summary", "a.csv", "--trajectory", "tr.csv"},
       "a.csv holds 2 rows"},
      {{"run", "--n-gen", "5", "--seed", "2", "--plot", "p.txt"}, "must end in .svg"},
      {{"run", "--n-gen", "5", "--seed", "2", "--summary", "absent/s.csv"}, "absent/s.csv"},
      {{"run", "--n-gen", "5", "--seed", "2", "--trajectory", "output.txt"}, "is the --output too"},
      // --overwrite: no manifest to say what the sweep wrote; a directory at a row's name.
      {sweep({"--emig-rate", "0.1", "--emit-commands", "--run-dir", "data", "--overwrite"}),
       "data holds data/"},
      {sweep({"--emig-rate", "0.2", "--emit-commands", "--run-dir", "rr", "--overwrite"}),
       "rr/1-2.csv is not a file the sweep"},
  };
  const auto before = tree_of(dir.path());
  for (const Refused& command : refused) {
    SCOPED_TRACE(joined(command.args, 0, command.args.size()));
    EXPECT_NE(run_program(command.args, dir.path()), 0);
    EXPECT_TRUE(contains(read_file(dir / "err.txt"), command.message))
        << read_file(dir / "err.txt");
    EXPECT_EQ(tree_of(dir.path()), before);
  }

  // Where a manifest stands, --overwrite removes what its sweep wrote and nothing else.
  std::filesystem::remove(dir / "rr" / "1-2.csv");
  write_file(dir / "rr" / "1-1.csv", summary_header());
  write_file(dir / "rr" / "1-3.csv", "not of that sweep\n");
  write_file(dir / "rr" / "notes.txt", "mine\n");
  ASSERT_EQ(run_program(
                sweep({"--emig-rate", "0.2", "--emit-commands", "--run-dir", "rr", "--overwrite"}),
                dir.path()),
            0)
      << read_file(dir / "err.txt");
  EXPECT_FALSE(std::filesystem::exists(dir / "rr" / "1-1.csv"));
  EXPECT_EQ(read_file(dir / "rr" / "1-3.csv"), "not of that sweep\n");
  EXPECT_EQ(read_file(dir / "rr" / "notes.txt"), "mine\n");

  // The merge's own earlier output is replaced; its trajectories are named after its summary.
  for (int again = 0; again < 2; ++again) {
    ASSERT_EQ(run_program({"merge", "rd", "--summary", "m.csv"}, dir.path()), 0)
        << read_file(dir / "err.txt");
  }
  EXPECT_EQ(read_file(dir / "m.trajectories.csv"), read_file(dir / "a.trajectories.csv"));
  for (const auto& [name, bytes] : first) {
    EXPECT_EQ(read_file(dir / name), bytes) << name;
  }

  // A sweep of an earlier version, its trajectories in trajectories.csv, resumes with them.
  ASSERT_EQ(run_program(sweep({"--emig-rate", "0.1", "--summary", "old.csv", "--trajectories",
                               "trajectories.csv"}),
                        dir.path()),
            0);
  const std::string whole = read_file(dir / "old.csv");
  const std::vector<std::string> rows = lines_of(whole);
  write_file(dir / "old.csv", joined(rows, 0, rows.size() - 1));
  ASSERT_EQ(run_program(
                sweep({"--emig-rate", "0.1", "--summary", "old.csv", "--trajectories", "--resume"}),
                dir.path()),
            0)
      << read_file(dir / "err.txt");
  EXPECT_EQ(read_file(dir / "old.csv"), whole);
  EXPECT_EQ(read_file(dir / "trajectories.csv"), read_file(dir / "a.trajectories.csv"));
  EXPECT_FALSE(std::filesystem::exists(dir / "old.trajectories.csv"));

  // A design sweep's row 2 is titled with the design's second row, from its summary or manifest.
  write_file(dir / "d.csv", "emig_rate\n0.1\n0.3\n");
  ASSERT_EQ(run_program({"sweep", "--design", "d.csv", "--seed", "1", "--n-gen", "10", "--summary",
                         "ds.csv"},
                        dir.path()),
            0)
      << read_file(dir / "err.txt");
  ASSERT_EQ(run_program({"run", "--n-gen", "10", "--seed", "1", "--output", "r.txt"}, dir.path()),
            0);
  for (const std::string summary : {"ds.csv", "ds.csv.json"}) {
    SCOPED_TRACE(summary);
    ASSERT_EQ(run_program({"plot", "r.txt", "-o", "t.svg", "--summary", summary, "--row", "2-1"},
                          dir.path()),
              0)
        << read_file(dir / "err.txt");
    EXPECT_TRUE(contains(read_file(dir / "t.svg"), ", emig_rate = 0.3, ")) << summary;
  }
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
  // Six kills at least, and more until one comes after the new sweep began: later attempts
  // wait longer, so a slow start (a sanitizer build on a loaded machine) still gets caught.
  for (int attempt = 0; attempt < 6 || (replaced == 0 && attempt < 30); ++attempt) {
    SCOPED_TRACE(attempt);
    write_file(dir / "summary.csv", old_summary);
    write_file(dir / "summary.csv.json", old_manifest);
    Child sweep(overwrite, dir.path(), dir / "err.txt");
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
