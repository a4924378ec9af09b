// Refusals before anything is written, failures that name their cause, and runs too big for
// the memory they may have.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "console/command_line.hpp"
#include "console/dialogue.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::FakeClock;
using testing::FakeShell;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

using testing::Invocation;

Invocation invoke(const std::vector<std::string>& args, const std::filesystem::path& directory,
                  const std::string& input = "", FakeShell* shell = nullptr) {
  testing::InvokeSettings settings;
  settings.input = input;
  settings.shell = shell;
  return testing::invoke(args, directory, settings);
}

std::vector<std::string> with(std::vector<std::string> args, const std::filesystem::path& dir) {
  for (auto& arg : args) {
    if (arg.rfind("@/", 0) == 0) arg = (dir / arg.substr(2)).string();
  }
  return args;
}

TEST(CommandLineDomain, RunAndSweepRefuseBeforeWritingAndNameTheFlag) {
  const TempDir dir;
  const struct {
    std::vector<std::string> args;
    std::string flag;
    std::string reason;
  } cases[] = {
      {{"--sdr", "0"}, "--sdr", "survival function no width"},
      {{"--sdr", "-0"}, "--sdr", "survival function no width"},
      {{"--sdr", "1e-200"}, "--sdr", "survival function no width"},  // its square is 0
      {{"--sdv", "0"}, "--sdv", "mutation function no width"},
      {{"--n-gen", "0"}, "--n-gen", "at least 1"},
      {{"--n-gen", "-5"}, "--n-gen", "at least 1"},
      {{"--emig-rate", "2"}, "--emig-rate", "between 0 and 1"},
      {{"--emig-rate", "-0.1"}, "--emig-rate", "between 0 and 1"},
      {{"--max-dist", "-1"}, "--max-dist", "at least 0"},
  };
  write_file(dir / "output.txt", "an earlier run");
  for (const auto& c : cases) {
    for (const char* command : {"run", "sweep"}) {
      std::vector<std::string> args = {command};
      args.insert(args.end(), c.args.begin(), c.args.end());
      args.insert(args.end(), {"--summary", (dir / "summary.csv").string()});
      if (std::string(command) == "run") args.insert(args.end(), {"--seed", "1"});
      SCOPED_TRACE(command + (" " + c.args[0] + " " + c.args[1]));
      const Invocation result = invoke(args, dir.path());
      EXPECT_EQ(result.status, 2);
      EXPECT_NE(result.err.find(c.flag + ": "), std::string::npos) << result.err;
      EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
      EXPECT_EQ(result.out, "");
    }
  }
  EXPECT_EQ(read_file(dir / "output.txt"), "an earlier run");
  EXPECT_FALSE(std::filesystem::exists(dir / "summary.csv"));

  // The bad value is the last of the grid: nothing runs, not even the good points before it.
  const Invocation sweep =
      invoke({"sweep", "--sdr", "1,2,0", "--replicates", "2", "--summary",
              (dir / "summary.csv").string(), "--outputs", (dir / "kept").string()},
             dir.path());
  EXPECT_EQ(sweep.status, 2);
  EXPECT_NE(sweep.err.find("grid point 3"), std::string::npos) << sweep.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "summary.csv"));
  EXPECT_FALSE(std::filesystem::exists(dir / "kept"));
  const Invocation emit = invoke({"sweep", "--n-gen", "5,0", "--emit-commands"}, dir.path());
  EXPECT_EQ(emit.status, 2);
  EXPECT_EQ(emit.out, "");

  // The edges of the ranges are taken.
  const Invocation edges =
      invoke({"sweep", "--emig-rate", "0,1", "--max-dist", "0", "--n-gen", "1", "--sdr", "-1",
              "--summary", (dir / "edges.csv").string(), "--seed", "3"},
             dir.path());
  EXPECT_EQ(edges.status, 0) << edges.err;
}

TEST(CommandLineCauses, FullDeviceFailuresNameTheCause) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const TempDir dir;
  const std::string full_disk = "write failure: /dev/full: No space left on device";
  const std::vector<std::string> cases[] = {
      {"run", "--n-gen", "3", "--output", "/dev/full"},
      {"run", "--n-gen", "3", "--no-output", "--summary", "/dev/full"},
      {"sweep", "--n-gen", "3", "--replicates", "3", "--jobs", "2", "--summary", "/dev/full"},
      {"merge", "@/one.csv", "--summary", "/dev/full"},
  };
  ASSERT_EQ(invoke({"run", "--n-gen", "3", "--no-output", "--summary", (dir / "one.csv").string()},
                   dir.path())
                .status,
            0);
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + " " + args.back());
    const Invocation result = invoke(with(args, dir.path()), dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(full_disk), std::string::npos) << result.err;
    // Written in place: a rename into place would have replaced the device with a file.
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    EXPECT_FALSE(std::filesystem::exists("/dev/full.json"));
  }
  // An open failure says why as well.
  const Invocation missing =
      invoke({"run", "--no-output", "--summary", (dir / "no/such/dir/s.csv").string()}, dir.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("open failure: " + (dir / "no/such/dir/s.csv").string() +
                             ": No such file or directory"),
            std::string::npos)
      << missing.err;
  const Invocation results =
      invoke({"run", "--output", (dir / "no/such/dir/out.txt").string()}, dir.path());
  EXPECT_NE(results.err.find("file not found: " + (dir / "no/such/dir/out.txt").string() +
                             ": No such file or directory"),
            std::string::npos)
      << results.err;
}

TEST(DialoguePause, ACommandTheShellCannotRunIsReportedAndThePauseGoesOn) {
  const TempDir dir;
  FakeShell shell;
  shell.failure = "the command could not be run: Argument list too long";
  const Invocation result =
      invoke({"--seed", "1"}, dir.path(), "10\n0.5\n100\n0.1\n1.0\n0.5\n2.0\n2\nfirst\nsecond\n\n",
             &shell);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(shell.commands, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(result.err,
            "hostswitch: the command could not be run: Argument list too long\n"
            "hostswitch: the command could not be run: Argument list too long\n");
}

TEST(DialoguePause, TheSystemShellTellsWhyACommandCouldNotRun) {
  SystemShell shell;
  // Far beyond what the system lets one argument be (128 KiB on Linux).
  const std::string too_long = "true " + std::string(4 << 20, 'x');
  const auto failure = shell.run(too_long);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure, "the command could not be run: Argument list too long");
  EXPECT_FALSE(shell.run("exit 3").has_value());  // the command's own status is its business
  EXPECT_TRUE(shell.run("exit 127").has_value());
}

std::string shell_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST(CommandLineMemory, ARunBeyondTheAddressSpaceLimitFailsBeforeWriting) {
  if (kAddressSanitizer) {
    GTEST_SKIP() << "AddressSanitizer cannot start within a 2 GB address space";
  }
  ASSERT_EQ(std::system("command -v prlimit >/dev/null 2>&1"), 0) << "util-linux prlimit missing";
  const TempDir dir;
  // 2 * 10^8 parasites growing to 3 * 10^8 need 2.4 GB for their generation's array alone:
  // more than an address space of 2 GB leaves.
  const std::string command = "cd " + shell_quoted(dir.path().string()) +
                              " && prlimit --as=2000000000 " + shell_quoted(HOSTSWITCH_EXECUTABLE) +
                              " run --n-pop 200000000 --capacity 300000000 --seed 1 2>err";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string err = read_file(dir / "err");
  EXPECT_NE(err.find("hostswitch run: insufficient virtual memory"), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(dir / "output.txt"));
}

}  // namespace
}  // namespace hostswitch
