#include "reporting/results_reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tests/results_text.hpp"

namespace hostswitch {
namespace {

using results_text::header;
using results_text::record;

std::string typical_file() {
  return header() + record(1, 10.05, 100, 10.0, 11.234, 0) + record(2, 10.05, 40, 10.0, 8.5, 3) +
         record(2, 10.15, 60, 10.0, 8.5, 3) + record(3, 8.45, 3, 8.5, 9.0, 0);
}

// The message of the error parsing `bytes` raises, or "" when it parses.
std::string error_of(const std::string& bytes, std::int64_t* line = nullptr) {
  try {
    parse_results(bytes, "run/output.txt");
  } catch (const ResultsReadError& error) {
    if (line != nullptr) *line = error.line();
    return error.what();
  }
  return "";
}

TEST(ResultsReader, ReadsClassesAndHostsOfEveryGeneration) {
  const ResultsData data = parse_results(typical_file(), "output.txt");
  ASSERT_EQ(data.cells.size(), 4u);
  EXPECT_EQ(data.class_records, 4);
  EXPECT_EQ(data.skipped_records, 0);
  EXPECT_EQ(data.cells[2].n_g, 2);
  EXPECT_EQ(data.cells[2].n_p, 60);
  EXPECT_DOUBLE_EQ(data.cells[2].p_phe, 10.15);
  ASSERT_EQ(data.generations.size(), 3u);
  EXPECT_DOUBLE_EQ(data.generations[0].rl_phe, 11.234);
  EXPECT_EQ(data.generations[1].n_HS, 3);
  EXPECT_TRUE(data.generations[1].switched());
  EXPECT_FALSE(data.generations[2].switched());
  EXPECT_DOUBLE_EQ(data.generations[2].r_phe, 8.5);
}

TEST(ResultsReader, AnySplitOfTheBytesReadsTheSame) {
  const std::string bytes = typical_file();
  for (std::size_t chunk : {1u, 7u, 78u, 79u, 4096u}) {
    ResultsParser parser("output.txt");
    for (std::size_t i = 0; i < bytes.size(); i += chunk) {
      parser.feed(std::string_view(bytes).substr(i, chunk));
    }
    const ResultsData data = parser.finish();
    ASSERT_EQ(data.cells.size(), 4u) << chunk;
    EXPECT_DOUBLE_EQ(data.cells[3].p_phe, 8.45) << chunk;
  }
}

TEST(ResultsReader, EachFaultNamesTheFileAndTheLine) {
  const std::string head = header();
  const std::string good = record(1, 10.05, 100, 10.0, 11.0, 0);
  struct Case {
    const char* what;
    std::string bytes;
    std::int64_t line;
    const char* words;
  };
  std::string other_header = head;
  other_header.replace(other_header.find("Third"), 5, "third");
  std::string bare_lf = head;
  bare_lf.erase(bare_lf.find('\r'), 1);
  std::string short_record = good;
  short_record.erase(1, 1);
  std::string letters = good;
  letters.replace(good.find("100"), 3, "1x0");
  std::string two_points = good;
  two_points.replace(good.find("10.050"), 6, "10.0.5");
  std::string no_blank = good;
  no_blank[9] = '5';
  const Case cases[] = {
      {"empty", "", 0, "empty"},
      {"head only", head, 0, "holds no generation"},
      {"another head", other_header + good, 6, "not a results file"},
      {"bare LF", bare_lf + good, 1, "CR LF"},
      {"ends inside the head", head.substr(0, 120), 3, "torn"},
      {"torn last line", head + good + good.substr(0, 40), 12, "torn"},
      {"record without CR LF", head + good.substr(0, good.size() - 2), 11, "torn"},
      {"short record", head + good + short_record, 12, "77 columns"},
      {"letters in n_p", head + letters, 11, "n_p"},
      {"malformed p_phe", head + two_points, 11, "p_phe"},
      {"no skip column", head + no_blank, 11, "column 10"},
      {"generation 0", head + record(0, 10.05, 1, 10, 10, 0), 11, "below 1"},
      {"zero count", head + record(1, 10.05, 0, 10, 10, 0), 11, "n_p"},
      {"going back", head + record(2, 1, 1, 1, 1, 0) + record(1, 1, 1, 1, 1, 0), 12,
       "follows generation 2"},
      {"hosts change within a generation",
       head + record(2, 1, 1, 1, 1, 0) + record(2, 2, 1, 1, 1.5, 0), 12, "generation 2"},
      {"centres out of order", head + record(2, 2, 1, 1, 1, 0) + record(2, 1, 1, 1, 1, 0), 12,
       "below the previous class"},
      {"a line too long", std::string(5000, 'x'), 1, "longer than any line"},
  };
  for (const Case& c : cases) {
    std::int64_t line = -1;
    const std::string message = error_of(c.bytes, &line);
    EXPECT_NE(message.find("run/output.txt"), std::string::npos) << c.what << ": " << message;
    EXPECT_NE(message.find(c.words), std::string::npos) << c.what << ": " << message;
    if (c.line > 0) {
      EXPECT_EQ(line, c.line) << c.what << ": " << message;
      EXPECT_NE(message.find("line " + std::to_string(c.line) + ":"), std::string::npos)
          << c.what << ": " << message;
    }
  }
}

TEST(ResultsReader, MissingFileAndDirectoryAreClearErrors) {
  const auto dir = std::filesystem::temp_directory_path() / "hostswitch_reader_missing";
  std::filesystem::create_directories(dir);
  try {
    read_results_file(dir / "nothing.txt");
    FAIL() << "read a missing file";
  } catch (const ResultsReadError& error) {
    EXPECT_NE(std::string(error.what()).find("nothing.txt: cannot open"), std::string::npos)
        << error.what();
  }
  EXPECT_THROW(read_results_file(dir), ResultsReadError);
  std::filesystem::remove_all(dir);
}

TEST(ResultsReader, ReadsAFileInBlocksAcrossBlockEdges) {
  const auto path = std::filesystem::temp_directory_path() / "hostswitch_reader_blocks.txt";
  std::string bytes = header();
  // 30,000 records: several 1 MiB blocks, edges falling inside records.
  for (int g = 1; g <= 15000; ++g) {
    bytes += record(g, 10.05, g, 10, 11, 0) + record(g, 10.15, 1, 10, 11, 0);
  }
  std::ofstream(path, std::ios::binary) << bytes;
  const ResultsData data = read_results_file(path);
  EXPECT_EQ(data.cells.size(), 30000u);
  EXPECT_EQ(data.generations.back().n_g, 15000);
  EXPECT_EQ(data.cells[29998].n_p, 15000);
  std::filesystem::remove(path);
}

TEST(ResultsReader, UnrepresentableFieldsAreSkippedAndCounted) {
  const std::string good = record(1, 10.05, 100, 10.0, 11.0, 0);
  std::string stars_centre = record(1, 10.15, 5, 10.0, 11.0, 0);
  stars_centre.replace(10, 15, std::string(15, '*'));
  std::string nan_centre = record(1, 10.25, 5, 10.0, 11.0, 0);
  nan_centre.replace(10, 15, " NaN           ");
  std::string infinite_host = record(2, 3.0, 7, 1.0, 2.0, 0);
  infinite_host.replace(53, 15, " -Infinity     ");
  std::string many_switches = record(3, 3.0, 7, 1.0, 2.0, 0);
  many_switches.replace(69, 8, std::string(8, '*'));
  std::string stars_generation = record(4, 3.0, 7, 1.0, 2.0, 0);
  stars_generation.replace(1, 8, std::string(8, '*'));

  const ResultsData data = parse_results(header() + good + stars_centre + nan_centre +
                                             infinite_host + many_switches + stars_generation,
                                         "output.txt");
  EXPECT_EQ(data.class_records, 6);
  EXPECT_EQ(data.skipped_records, 3);
  EXPECT_EQ(data.cells.size(), 3u);
  ASSERT_EQ(data.generations.size(), 3u);
  EXPECT_EQ(data.unplottable_hosts, 1);
  EXPECT_TRUE(std::isnan(data.generations[1].rl_phe));
  EXPECT_DOUBLE_EQ(data.generations[1].r_phe, 1.0);
  EXPECT_TRUE(data.generations[2].switched());

  const std::string message = error_of(header() + stars_centre + nan_centre);
  EXPECT_NE(message.find("no class record that can be plotted"), std::string::npos) << message;
}

TEST(ResultsReader, DamagedBytesGiveAnErrorNeverACrash) {
  const std::string good = typical_file();
  std::mt19937 random(20240521);
  int parsed = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    std::string bytes = good;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % bytes.size();
      switch (random() % 3) {
        case 0:
          bytes[at] = static_cast<char>(random() % 256);
          break;
        case 1:
          bytes.erase(at, 1 + random() % 8);
          break;
        default:
          bytes.insert(at, 1, static_cast<char>(random() % 256));
          break;
      }
      if (bytes.empty()) bytes.push_back('x');
    }
    try {
      parse_results(bytes, "output.txt");
      ++parsed;
    } catch (const ResultsReadError&) {
    }
  }
  // Some edits land harmlessly (a digit for a digit); most must be refused.
  EXPECT_LT(parsed, 3000);
}

}  // namespace
}  // namespace hostswitch
