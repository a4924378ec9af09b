#include "base/io_failure.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::read_file;
using testing::TempDir;

TEST(OutputFile, WritesEveryByteAndReplacesTheFile) {
  const TempDir dir;
  const std::filesystem::path path = dir / "out.csv";
  testing::write_file(path, std::string(300000, 'o'));  // longer than what replaces it
  // More than the buffer holds, written piece by piece and in one go.
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += std::to_string(i) + ',';
  expected += std::string(100000, 'z');
  {
    OutputFile file(path);
    for (int i = 0; i < 20000; ++i) file.stream() << i << ',';
    file.stream() << std::string(100000, 'z');
    EXPECT_TRUE(file.close());
    EXPECT_FALSE(file.failure());
  }
  EXPECT_EQ(read_file(path), expected);
  {
    OutputFile file(path);
    file.stream() << "left to the destructor";
  }
  EXPECT_EQ(read_file(path), "left to the destructor");
}

TEST(OutputFile, FailuresKeepTheirCause) {
  const TempDir dir;
  try {
    OutputFile file(dir / "no" / "such.csv");
    ADD_FAILURE() << "opened a file in a missing directory";
  } catch (const IoFailure& error) {
    EXPECT_EQ(std::string(error.what()), "open failure: " + (dir / "no" / "such.csv").string() +
                                             ": No such file or directory");
  }
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  OutputFile full("/dev/full");
  full.stream() << "row\n" << std::flush;
  EXPECT_FALSE(full.stream());
  EXPECT_FALSE(full.close());
  EXPECT_EQ(full.failure(), "write failure: /dev/full: No space left on device");
  EXPECT_THROW(write_whole_file("/dev/full", "row\n"), IoFailure);
  EXPECT_EQ(io_failure_text("write", "a/b", 0), "write failure: a/b");
}

}  // namespace
}  // namespace hostswitch
