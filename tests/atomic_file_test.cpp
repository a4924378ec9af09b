#include "base/atomic_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/io_failure.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::read_file;
using testing::TempDir;

std::size_t entries(const std::filesystem::path& dir) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++count;
  return count;
}

TEST(AtomicFile, OldFileStandsUntilCommitAndNodesKeepTheirType) {
  const TempDir dir;
  const std::filesystem::path path = dir / "out.csv";
  testing::write_file(path, "old\n");
  ::chmod(path.c_str(), 0640);
  {
    AtomicFile file(path);
    file.write(std::string(300000, 'n'));
    EXPECT_EQ(read_file(path), "old\n");
    EXPECT_EQ(file.temporary().parent_path(), path.parent_path());
  }  // not committed
  EXPECT_EQ(read_file(path), "old\n");
  EXPECT_EQ(entries(dir.path()), 1U);
  write_file_atomically(path, "new\n");
  EXPECT_EQ(read_file(path), "new\n");
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);
  EXPECT_EQ(entries(dir.path()), 1U);

  // A link is written through, and stays a link; so does a FIFO.
  const std::filesystem::path target = dir / "target.txt";
  testing::write_file(target, "precious\n");
  std::filesystem::create_symlink(target, dir / "link.csv");
  write_file_atomically(dir / "link.csv", "through\n");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.csv"));
  EXPECT_EQ(read_file(target), "through\n");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const int reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  write_file_atomically(dir / "fifo", "piped\n");
  char got[16] = {};
  EXPECT_EQ(::read(reader, got, sizeof got), 6);
  ::close(reader);
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "fifo"));
  if (::access("/dev/null", W_OK) == 0) {
    write_file_atomically("/dev/null", "gone\n");
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  }
}

TEST(AtomicFile, FailuresNameThePathAndTheCause) {
  const TempDir dir;
  try {
    write_file_atomically(dir / "no" / "such.csv", "x");
    ADD_FAILURE() << "wrote into a missing directory";
  } catch (const IoFailure& error) {
    EXPECT_EQ(std::string(error.what()), "open failure: " + (dir / "no" / "such.csv").string() +
                                             ": No such file or directory");
  }
  if (std::filesystem::exists("/dev/full")) {
    try {
      write_file_atomically("/dev/full", "row\n");
      ADD_FAILURE() << "wrote to /dev/full";
    } catch (const IoFailure& error) {
      EXPECT_EQ(std::string(error.what()), "write failure: /dev/full: No space left on device");
    }
  }
  EXPECT_EQ(io_failure_text("write", "a/b", 0), "write failure: a/b");
}

TEST(AtomicFile, PlantedLinkAtAFixedTemporaryNameIsNotFollowed) {
  const TempDir dir;
  testing::write_file(dir / "precious.txt", "keep\n");
  std::filesystem::create_symlink(dir / "precious.txt", dir / "part-1.csv.tmp");
  const int fd = open_fixed_temporary(dir / "part-1.csv.tmp");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "x", 1), 1);
  ::close(fd);
  EXPECT_EQ(read_file(dir / "precious.txt"), "keep\n");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "part-1.csv.tmp"));
}

}  // namespace
}  // namespace hostswitch
