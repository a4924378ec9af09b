#include "batch/manifest.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/batch_support.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::read_file;
using testing::small_manifest;
using testing::TempDir;
using testing::write_file;

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

}  // namespace
}  // namespace hostswitch
