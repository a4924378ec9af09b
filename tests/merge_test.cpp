#include "batch/merge.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "batch/manifest.hpp"
#include "batch/summary.hpp"
#include "batch/sweep_command.hpp"
#include "batch/trajectory.hpp"
#include "tests/batch_support.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::joined;
using testing::lines_of;
using testing::read_file;
using testing::reference_rows;
using testing::small_manifest;
using testing::TempDir;
using testing::write_file;

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

}  // namespace
}  // namespace hostswitch
