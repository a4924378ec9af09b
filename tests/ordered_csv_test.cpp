#include "batch/ordered_csv.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

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

TEST(OrderedCsv, WhereNoLockReachesOthersOnlyADeviceOrPipeIsWritten) {
  struct Unlocked {
    Unlocked() { set_file_locks_reach_others(false); }
    ~Unlocked() { set_file_locks_reach_others(true); }
  } unlocked;
  const TempDir dir;
  const auto path = dir / "rows.csv";
  const std::string header = "a,b\n";
  for (const char* before : {"", "a,b\n1,2\n"}) {  // "": no file
    if (*before != '\0') write_file(path, before);
    for (const auto mode :
         {OrderedCsvFile::Mode::fresh, OrderedCsvFile::Mode::keep, OrderedCsvFile::Mode::staged}) {
      try {
        OrderedCsvFile file(path, header, mode);
        ADD_FAILURE() << "written unlocked: " << before;
      } catch (const std::runtime_error& refused) {
        EXPECT_NE(std::string(refused.what()).find(": not written, as this build"),
                  std::string::npos)
            << refused.what();
      }
    }
    if (*before == '\0') {
      EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    } else {
      EXPECT_EQ(read_file(path), before);
    }
  }
  EXPECT_THROW(SummaryLock lock(path), std::runtime_error);
  OrderedCsvFile device("/dev/null", header, OrderedCsvFile::Mode::fresh);
  device.append("1,2\n");
}

}  // namespace
}  // namespace hostswitch
