#include "analysis/report.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/csv_input.hpp"
#include "analysis/report_charts.hpp"
#include "analysis/summary_data.hpp"
#include "analysis/trajectory_data.hpp"
#include "batch/summary.hpp"
#include "batch/trajectory.hpp"
#include "console/command_line.hpp"
#include "hostswitch_version.hpp"
#include "model/population_model.hpp"
#include "model/uniform_stream.hpp"
#include "reporting/figure_scale.hpp"
#include "reporting/figure_words.hpp"
#include "reporting/results_reader.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

using testing::FakeClock;
using testing::FakeShell;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

using testing::Invocation;

// Relative paths in the arguments are taken from `directory`, as a shell there would.
Invocation invoke(const std::vector<std::string>& args, const std::filesystem::path& directory) {
  return testing::invoke(
      args, directory,
      {.input = "", .shell = nullptr, .clock = ClockReading{1000, 0}, .from_directory = true});
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator)) parts.push_back(part);
  return parts;
}

std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : split(text, '\n')) {
    auto fields = split(line, ',');
    if (!line.empty() && line.back() == ',') fields.emplace_back();
    rows.push_back(fields);
  }
  return rows;
}

// A summary row made by hand: parameters differ between grid points by emig_rate.
std::string row(std::int32_t grid, std::int32_t replicate, bool extinct, std::int32_t generations,
                std::int32_t switches, std::int32_t n_gen = 50) {
  SummaryRow r;
  r.parameters = typical_parameters();
  r.parameters.emig_rate = grid / 10000.0;  // within [0, 1] for every grid point used
  r.parameters.n_gen = n_gen;
  r.label = RunLabel{grid, replicate, 1000 + replicate};
  r.extinct = extinct;
  r.generations_run = generations;
  r.switch_generations = switches;
  // A switch at the first generation, then one host to the end.
  r.first_switch_generation = switches > 0 ? 1 : 0;
  r.farthest_host_distance = switches > 0 ? 0.5 : 0.0;
  r.longest_stay = switches > 0 ? std::max(generations - 1, 1) : generations;
  r.final_n_pop = extinct ? 0 : 40;
  r.final_r_phe = 10.5;
  if (!extinct) {
    r.final_mean_phe = 10.25;
    r.final_sd_phe = 0.5;
  }
  return summary_line(r);
}

// `line` (ended by a line feed) with field `index` (from 0) replaced by `value`.
std::string with_field(const std::string& line, std::size_t index, const std::string& value) {
  std::vector<std::string> fields = split(line.substr(0, line.size() - 1), ',');
  if (line[line.size() - 2] == ',') fields.emplace_back();
  fields[index] = value;
  std::string text;
  for (const auto& field : fields) text += (text.empty() ? "" : ",") + field;
  return text + "\n";
}

TEST(ReportInput, FaultySummariesAreRefusedWithFileAndLine) {
  const TempDir dir;
  const std::string good = summary_header() + row(1, 1, true, 3, 1) + row(1, 2, false, 50, 0);
  const std::string first = row(1, 1, true, 3, 1);
  struct Case {
    std::string name, text, expected;
  };
  std::string completed = row(1, 1, false, 50, 0);
  std::string other = row(1, 2, false, 50, 0);
  other.replace(0, 3, "200");  // n_pop 200 in a grid point whose first row has 100
  const std::vector<Case> cases = {
      {"foreign header", "a,b\n" + first, ":1: not a summary file"},
      {"trajectories given as summary", trajectory_header() + "1,1,1,100,50,0,10,9,10,0\n",
       ":1: not a summary file"},
      {"short row", summary_header() + first + "1,2,3\n", ":3: expected 23 fields, got 3"},
      {"torn row", good + first.substr(0, 20), ":4: torn line"},
      {"other parameters", summary_header() + first + other,
       ":3: grid point 1 has other parameters than on line 2"},
      // A grid point met again after a later one, then after an earlier one out of order.
      {"other parameters on return", summary_header() + first + row(2, 1, true, 3, 0) + other,
       ":4: grid point 1 has other parameters than on line 2"},
      {"other parameters out of order",
       summary_header() + row(2, 1, true, 3, 0) + first + row(3, 1, true, 3, 0) + other,
       ":5: grid point 1 has other parameters than on line 3"},
      {"twice in a row", good + row(1, 2, false, 50, 0),
       ":4: grid point 1 replicate 2 appears more than once"},
      {"twice apart", good + first, "grid point 1 replicate 1 appears more than once"},
      {"outcome",
       summary_header() + row(1, 1, true, 3, 1).replace(first.find("extinct"), 7, "dead"),
       ":2: outcome must be extinct or completed"},
      {"completed early", summary_header() + row(1, 1, false, 20, 0), ":2: a completed run must"},
      {"nan", summary_header() + completed.replace(completed.find(",10.5,") + 1, 4, "nan"),
       ":2: final_r_phe: 'nan' is not a finite number"},
      {"no rows", summary_header(), ":2: the summary holds no rows"},
      // The outcomes must agree with the generations run and switched.
      {"first switch without a switch",
       summary_header() + with_field(row(1, 1, false, 50, 0), 19, "3"),
       ":2: first_switch_generation must be empty"},
      {"first switch after the end", summary_header() + with_field(first, 19, "4"),
       ":2: first_switch_generation must lie between 1 and generations_run"},
      {"no first switch", summary_header() + with_field(first, 19, ""),
       ":2: first_switch_generation: '' is not"},
      {"rate", summary_header() + with_field(first, 20, "0.5"),
       ":2: switch_rate must be switch_generations / generations_run"},
      {"stay", summary_header() + with_field(row(1, 1, false, 50, 0), 22, "49"),
       ":2: longest_stay must lie between 0 and generations_run, and be generations_run"},
      {"distance", summary_header() + with_field(first, 21, "-1"),
       ":2: farthest_host_distance must be at least 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = dir / "summary.csv";
    write_file(path, c.text);
    const Invocation run = invoke({"report", path.string()}, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(path.string()), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
  }
}

// A sweep of 0.3 wrote the standard columns up to final_sd_phe: still reported and merged, while
// a resume of it is refused naming the version that wrote it.
TEST(ReportInput, ASweepOfVersion03IsReportedAndMergedButNotResumed) {
  const TempDir dir;
  const std::vector<std::string> sweep = {"sweep", "--emig-rate", "0.05,0.3",   "--n-gen",
                                          "20",    "--capacity",  "60",         "--n-pop",
                                          "20",    "--seed",      "3",          "--replicates",
                                          "2",     "--summary",   "summary.csv"};
  ASSERT_EQ(invoke(sweep, dir.path()).status, 0);
  std::string old = summary_header_03();
  const auto lines = split(read_file(dir / "summary.csv"), '\n');
  ASSERT_EQ(lines.size(), 5u);
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {  // the last row is left to a resume
    const auto fields = split(lines[i] + ",", ',');     // every field, the last one empty or not
    std::string cut;
    for (std::size_t f = 0; f < 19; ++f) cut += (f ? "," : "") + fields[f];
    old += cut + "\n";
  }
  write_file(dir / "summary.csv", old);
  std::string manifest = read_file(dir / "summary.csv.json");
  const auto version = manifest.find("\"" HOSTSWITCH_VERSION "\"");
  ASSERT_NE(version, std::string::npos);
  write_file(dir / "summary.csv.json",
             manifest.replace(version, sizeof(HOSTSWITCH_VERSION) + 1, "\"0.3.0\""));

  std::vector<std::string> resume = sweep;
  resume.push_back("--resume");
  const Invocation resumed = invoke(resume, dir.path());
  EXPECT_EQ(resumed.status, 1);
  EXPECT_NE(resumed.err.find("the program version is " HOSTSWITCH_VERSION " here but 0.3.0"),
            std::string::npos)
      << resumed.err;
  EXPECT_EQ(read_file(dir / "summary.csv"), old);

  const Invocation report =
      invoke({"report", "summary.csv", "--table", "stats.csv", "-o", "report.html"}, dir.path());
  EXPECT_EQ(report.status, 0) << report.err;
  const auto stats = csv_rows(read_file(dir / "stats.csv"));
  ASSERT_EQ(stats.size(), 3u);
  EXPECT_EQ(stats[1][9], "2");  // grid point 1: both replicates
  EXPECT_EQ(stats[2][9], "1");
  // No first switches in a 0.3 summary: p_switched_by_G empty, p_extinct_by_G there.
  const auto by = std::find(stats[0].begin(), stats[0].end(), "p_switched_by_20");
  ASSERT_NE(by, stats[0].end());
  EXPECT_EQ(stats[1][static_cast<std::size_t>(by - stats[0].begin())], "");
  EXPECT_NE(stats[1][static_cast<std::size_t>(by - stats[0].begin()) + 3], "");
  EXPECT_NE(read_file(dir / "report.html").find("written before version 0.4.0"), std::string::npos);

  const Invocation merge = invoke({"merge", "summary.csv", "--summary", "merged.csv"}, dir.path());
  EXPECT_EQ(merge.status, 0) << merge.err;
  EXPECT_EQ(read_file(dir / "merged.csv"), old);
}

// The shares by generation of stats.csv, recomputed from the summary's rows: a replicate has
// switched by G when its first_switch_generation is at most G, and is extinct by G when its
// extinction_generation is; the interval's ends are the roots p of (k/n - p)^2 = z^2 p(1 - p)/n.
TEST(ReportOutput, SharesByGenerationAreTheSummarysWithWilsonIntervals) {
  const TempDir dir;
  ASSERT_EQ(invoke({"sweep", "--emig-rate", "0.05,0.3", "--max-dist", "0,1.5", "--n-gen", "40",
                    "--capacity", "60", "--n-pop", "20", "--seed", "5", "--replicates", "12",
                    "--summary", "summary.csv"},
                   dir.path())
                .status,
            0);
  const Invocation run = invoke(
      {"report", "summary.csv", "--at", "20,5,10,5", "--table", "stats.csv", "-o", "report.html"},
      dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  const auto summary = csv_rows(read_file(dir / "summary.csv"));
  const auto stats = csv_rows(read_file(dir / "stats.csv"));
  const auto column = [](const std::vector<std::string>& header, const std::string& name) {
    const auto at = std::find(header.begin(), header.end(), name);
    EXPECT_NE(at, header.end()) << name;
    return static_cast<std::size_t>(at - header.begin());
  };
  ASSERT_EQ(stats.size(), 5u);
  ASSERT_EQ(stats[0].size(), 26u + 3 * 6);  // the generations asked for, once each
  const double z = 1.959963984540054;
  int partial = 0;
  for (std::size_t i = 1; i < stats.size(); ++i) {
    const std::string grid = stats[i][column(stats[0], "grid_index")];
    for (const int g : {5, 10, 20}) {
      for (const std::string share : {"p_switched", "p_extinct"}) {
        SCOPED_TRACE(share + " by " + std::to_string(g) + " of grid point " + grid);
        const std::size_t when =
            column(summary[0],
                   share == "p_switched" ? "first_switch_generation" : "extinction_generation");
        double n = 0;
        double k = 0;
        for (std::size_t r = 1; r < summary.size(); ++r) {
          if (summary[r][column(summary[0], "grid_index")] != grid) continue;
          ++n;
          k += !summary[r][when].empty() && std::stoi(summary[r][when]) <= g;
        }
        const std::string by = share + "_by_" + std::to_string(g);
        const double root = z * std::sqrt(z * z + 4 * k * (n - k) / n);
        EXPECT_EQ(std::stod(stats[i][column(stats[0], by)]), k / n);
        EXPECT_NEAR(std::stod(stats[i][column(stats[0], by + "_lo")]),
                    (2 * k + z * z - root) / (2 * (n + z * z)), 1e-12);
        EXPECT_NEAR(std::stod(stats[i][column(stats[0], by + "_hi")]),
                    (2 * k + z * z + root) / (2 * (n + z * z)), 1e-12);
        partial += k > 0 && k < n;
      }
    }
  }
  EXPECT_GT(partial, 0);
  EXPECT_NE(read_file(dir / "report.html").find("figure-by-generation"), std::string::npos);
  // Without --at: n_gen/10, n_gen/4, n_gen/2, 3 n_gen/4 and n_gen, rounded, once each.
  EXPECT_EQ(default_generations(500), (std::vector<std::int32_t>{50, 125, 250, 375, 500}));
  EXPECT_EQ(default_generations(3), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(default_generations(1), (std::vector<std::int32_t>{1}));
}

// FNV-1a 64 of bytes, as the hash is defined: offset basis, then xor and multiply per byte.
std::string fnv1a(const std::string& bytes) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ULL;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// The text chunks of a PNG whose CRCs are right, keyword to text.
std::map<std::string, std::string> png_texts(const std::string& png) {
  std::map<std::string, std::string> texts;
  auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(png[at + i]);
    return v;
  };
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::uint32_t length = u32(at);
    const std::string body = png.substr(at + 4, 4 + length);
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char c : body) {
      crc ^= c;
      for (int k = 0; k < 8; ++k) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    if (body.starts_with("tEXt") && (crc ^ 0xFFFFFFFFu) == u32(at + 8 + length)) {
      const std::size_t nul = body.find('\0');
      texts[body.substr(4, nul - 4)] = body.substr(nul + 1);
    }
    at += 12 + length;
  }
  return texts;
}

TEST(ReportProvenance, PageSidecarAndFiguresNameVersionManifestSeedAndCommand) {
  const TempDir dir;
  ASSERT_EQ(invoke({"sweep", "--emig-rate", "0.05,0.3", "--n-gen", "20", "--replicates", "3",
                    "--seed", "7", "--summary", "summary.csv"},
                   dir.path())
                .status,
            0);
  const std::string checksum = fnv1a(read_file(dir / "summary.csv.json"));
  const bool draw = std::system("command -v rsvg-convert >/dev/null 2>&1") == 0;
  std::vector<std::string> args = {"report", "summary.csv"};
  if (draw) args.insert(args.end(), {"--figures", "figures"});
  const Invocation run = invoke(args, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  std::string command = "hostswitch report summary.csv";
  if (draw) command += " --figures figures";
  const std::string expected = "hostswitch " + std::string(HOSTSWITCH_VERSION) +
                               "; manifest summary.csv.json (FNV-1a 64 " + checksum +
                               "); base seed 7; command: " + command;
  EXPECT_NE(read_file(dir / "report.html").find("<footer id=\"provenance\"><p>Made by " + expected),
            std::string::npos);
  const std::string sidecar = read_file(dir / "stats.csv.json");
  for (const std::string& field :
       {"\"version\": \"" + std::string(HOSTSWITCH_VERSION) + "\"",
        "\"manifest_checksum\": \"" + checksum + "\"", std::string("\"base_seed\": 7"),
        "\"command_line\": \"" + command + "\""}) {
    EXPECT_NE(sidecar.find(field), std::string::npos) << field << " not in\n" << sidecar;
  }

  // A design's sensitivity table has its sidecar too, naming that sweep's manifest.
  ASSERT_EQ(invoke({"design", "sobol", "--samples", "4", "--range", "emig_rate=0.05:0.5", "--n-gen",
                    "20", "-o", "design.csv"},
                   dir.path())
                .status,
            0);
  ASSERT_EQ(invoke({"sweep", "--design", "design.csv", "--replicates", "2", "--seed", "11",
                    "--summary", "sobol.csv"},
                   dir.path())
                .status,
            0);
  ASSERT_EQ(invoke({"report", "sobol.csv", "--table", "sobol-stats.csv"}, dir.path()).status, 0);
  const std::string sensitivity = read_file(dir / "sensitivity.csv.json");
  EXPECT_NE(sensitivity.find("\"manifest_checksum\": \"" +
                             fnv1a(read_file(dir / "sobol.csv.json")) + "\""),
            std::string::npos)
      << sensitivity;
  EXPECT_NE(sensitivity.find("\"base_seed\": 11"), std::string::npos) << sensitivity;

  // Without a manifest beside it, what a summary alone cannot tell is "none".
  std::filesystem::copy_file(dir / "summary.csv", dir / "alone.csv");
  ASSERT_EQ(invoke({"report", "alone.csv", "--table", "alone-stats.csv"}, dir.path()).status, 0);
  const std::string alone = read_file(dir / "alone-stats.csv.json");
  EXPECT_NE(alone.find("\"manifest\": \"none\""), std::string::npos) << alone;
  EXPECT_NE(alone.find("\"base_seed\": \"none\""), std::string::npos) << alone;

  if (!draw) GTEST_SKIP() << "rsvg-convert is not installed: no figure files";
  const std::filesystem::path stem = dir / "figures" / "p_extinct-vs-emig_rate";
  const std::string svg = read_file(std::filesystem::path(stem).concat(".svg"));
  EXPECT_NE(svg.find("<desc>p_extinct-vs-emig_rate. Made by " + expected + "</desc>"),
            std::string::npos);
  EXPECT_NE(svg.find("manifest_checksum=\"" + checksum + "\" base_seed=\"7\""), std::string::npos);
  // Axes in words, the column after them; one sans-serif font; the fixed parameters below.
  EXPECT_NE(svg.find(">emigration rate (emig_rate)<"), std::string::npos);
  EXPECT_NE(svg.find(">share of replicates extinct (p_extinct)<"), std::string::npos);
  std::size_t fonts = 0;
  for (std::size_t at = svg.find("font-family="); at != std::string::npos;
       at = svg.find("font-family=", at + 1)) {
    EXPECT_EQ(svg.compare(at, 24, "font-family=\"sans-serif\""), 0);
    ++fonts;
  }
  EXPECT_GT(fonts, 0u);
  // A name and its value never part at a line's end: no-break spaces hold them together.
  EXPECT_NE(svg.find(">Fixed: n_pop\u00a0=\u00a0100, birth_rate\u00a0=\u00a00.5,"),
            std::string::npos);
  EXPECT_NE(svg.find("n_gen\u00a0=\u00a020;"), std::string::npos);
  EXPECT_NE(svg.find("3\u00a0replicates"), std::string::npos);
  const auto texts = png_texts(read_file(std::filesystem::path(stem).concat(".png")));
  ASSERT_TRUE(texts.contains("Comment"));
  EXPECT_EQ(texts.at("Comment"), expected);
  EXPECT_EQ(texts.at("Software"), "hostswitch " + std::string(HOSTSWITCH_VERSION));
  // The PDF's document information, updated after what rsvg-convert wrote: UTF-16 in hex.
  const std::string pdf = read_file(std::filesystem::path(stem).concat(".pdf"));
  std::string subject = "/Subject <FEFF";
  for (const unsigned char c : expected) {
    char unit[5];
    std::snprintf(unit, sizeof unit, "%04X", c);
    subject += unit;
  }
  EXPECT_NE(pdf.find(subject + ">"), std::string::npos);
  EXPECT_TRUE(pdf.ends_with("%%EOF\n"));
}

TEST(ReportOutput, PartialSummaryCountsTheReplicatesThereAndSaysSo) {
  const TempDir dir;
  // Grid point 1 has replicates 1 and 3 (2 is lost), grid point 2 has none, 3 has all three.
  const std::string text = summary_header() + row(1, 1, true, 4, 0) + row(1, 3, true, 2, 1) +
                           row(3, 1, false, 50, 2) + row(3, 2, true, 9, 0) +
                           row(3, 3, false, 50, 5);
  write_file(dir / "summary.csv", text);
  const Invocation run = invoke({"report", "summary.csv", "--table", (dir / "stats.csv").string(),
                                 "-o", (dir / "report.html").string()},
                                dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("warning: 4 rows missing"), std::string::npos) << run.err;

  const auto rows = csv_rows(read_file(dir / "stats.csv"));
  ASSERT_EQ(rows.size(), 3u);
  // mean_switch_rate and the shares by 5, 13, 25, 38 and 50 (n_gen 50) after the 25 before.
  ASSERT_EQ(rows[0].size(), 26u + 5 * 6);
  EXPECT_EQ(rows[0][9], "replicates");
  // grid_index, replicates, extinct, p_extinct for each grid point with rows.
  EXPECT_EQ(std::vector<std::string>(rows[1].begin() + 8, rows[1].begin() + 12),
            (std::vector<std::string>{"1", "2", "2", "1"}));
  EXPECT_EQ(std::vector<std::string>(rows[2].begin() + 8, rows[2].begin() + 12),
            (std::vector<std::string>{"3", "3", "1", "0.3333333333333333"}));
  // switched, p_switched, mean and median switch counts: {0, 2, 5} has 2 switched, mean 7/3.
  EXPECT_EQ(rows[2][14], "2");
  EXPECT_EQ(rows[2][18], "2.3333333333333335");
  EXPECT_EQ(rows[2][19], "2");
  // Two of three alive at n_gen: the curve never comes down to one half.
  EXPECT_EQ(rows[2][20], "");
  // Both runs of grid point 1 died, at 2 and 4: S = 1/2 from 2 to 4, median the midpoint 3.
  EXPECT_EQ(rows[1][20], "3");
  EXPECT_EQ(rows[2][23], "26.666666666666668");  // (40 + 0 + 40) / 3
  EXPECT_EQ(rows[2][24], "0.5");

  const std::string html = read_file(dir / "report.html");
  const auto note = html.find("id=\"missing-rows\"");
  ASSERT_NE(note, std::string::npos);
  const std::string note_text = html.substr(note, html.find("</p>", note) - note);
  EXPECT_NE(note_text.find("4 of the 9 rows"), std::string::npos) << note_text;
  EXPECT_NE(note_text.find("grid point 1 (2)"), std::string::npos) << note_text;
  EXPECT_NE(note_text.find("1 grid point has no rows"), std::string::npos) << note_text;
  // Self-contained: nothing is fetched from anywhere.
  EXPECT_EQ(html.find("src="), std::string::npos);
  EXPECT_EQ(html.find("href="), std::string::npos);
  EXPECT_EQ(html.find("@import"), std::string::npos);
}

TEST(ReportOutput, RowsOutOfGridOrderAndGridsTooLargeToDrawKeepEveryGridPoint) {
  const TempDir dir;
  const auto report = [&dir](const std::string& text) {
    write_file(dir / "summary.csv", text);
    const Invocation run = invoke({"report", "summary.csv"}, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    return std::pair(read_file(dir / "stats.csv"), read_file(dir / "report.html"));
  };
  const std::string r11 = row(1, 1, true, 4, 0), r12 = row(1, 2, false, 50, 1);
  const std::string r21 = row(2, 1, true, 7, 2), r31 = row(3, 1, false, 50, 0);
  const std::string r32 = row(3, 2, true, 1, 1);
  const auto [ordered_table, ordered_page] = report(summary_header() + r11 + r12 + r21 + r31 + r32);
  // Grid point 1 comes back after 2; then 3 arrives before 1 has finished.
  EXPECT_EQ(report(summary_header() + r21 + r11 + r32 + r12 + r31).first, ordered_table);
  EXPECT_EQ(report(summary_header() + r11 + r21 + r12 + r31 + r32).first, ordered_table);

  // More grid points than the probability figure draws: the table file has every one, the
  // page's table the first 500, read from the same statistics.
  const std::int32_t points = 5001;
  std::string text = summary_header();
  for (std::int32_t g = 1; g <= points; ++g)
    text += row(g, 1, g % 3 == 0, g % 3 == 0 ? 5 : 50, g % 4);
  const auto [table, page] = report(text);
  const auto rows = csv_rows(table);
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(points) + 1);
  EXPECT_EQ(rows[5001][8], "5001");
  EXPECT_EQ(rows[5001][14], "1");  // 5001 % 4 switches
  EXPECT_NE(page.find("5001 grid points are more than one figure can show"), std::string::npos);
  EXPECT_NE(page.find("Showing the first 48 of 5001 grid points"), std::string::npos);
  EXPECT_NE(page.find("Showing the first 500 of 5001 grid points"), std::string::npos);
  EXPECT_NE(page.find("5001 runs over 5001 grid points"), std::string::npos);
  // The page rounds to 4 significant digits what the file holds in full.
  std::string last_row = "<tr>";
  for (const std::string& field : rows[500]) {
    std::array<char, 32> rounded{};
    std::snprintf(rounded.data(), rounded.size(), "%.4g", std::stod(field.empty() ? "0" : field));
    last_row += "<td>" + (field.find('.') == std::string::npos ? field : rounded.data()) + "</td>";
  }
  last_row += "</tr></tbody>";
  EXPECT_NE(page.find(last_row), std::string::npos) << last_row;
}

TEST(ReportOutput, AxesDefaultToTheMostSweptParametersAndNameThem) {
  std::vector<GridPointStats> stats;
  for (const double emig : {0.1, 0.2, 0.3}) {
    for (const double dist : {1.0, 2.0}) {
      for (const std::int32_t n_gen : {10, 20}) {
        GridPointStats s;
        s.parameters = typical_parameters();
        s.parameters.emig_rate = emig;
        s.parameters.max_dist = dist;
        s.parameters.n_gen = n_gen;
        stats.push_back(s);
      }
    }
  }
  const ReportAxes axes = choose_axes(stats, std::nullopt, std::nullopt);
  EXPECT_EQ(kParameterNames[axes.x], "emig_rate");
  ASSERT_TRUE(axes.colour);
  EXPECT_EQ(kParameterNames[*axes.colour], "max_dist");  // ties go to the earlier parameter
  EXPECT_EQ(axes.panels, (std::vector<std::size_t>{7}));
  const ReportAxes chosen = choose_axes(stats, parameter_by_name("n_gen"), std::nullopt);
  EXPECT_EQ(kParameterNames[*chosen.colour], "emig_rate");
  // A design's points differ in every varied parameter, so counts tie: the parameter that
  // varies most for its size goes on x (emig_rate over 0.01 to 0.5, not birth_rate's ±10%).
  std::vector<GridPointStats> design;
  for (int i = 0; i < 20; ++i) {
    GridPointStats s;
    s.parameters = typical_parameters();
    s.parameters.birth_rate = 0.45 + 0.005 * i;
    s.parameters.emig_rate = 0.01 + 0.49 * ((i * 7) % 20) / 19.0;
    design.push_back(s);
  }
  const ReportAxes varied = choose_axes(design, std::nullopt, std::nullopt);
  EXPECT_EQ(kParameterNames[varied.x], "emig_rate");
  EXPECT_EQ(kParameterNames[*varied.colour], "birth_rate");

  const TempDir dir;
  write_file(dir / "summary.csv", summary_header() + row(1, 1, true, 4, 0));
  const Invocation same =
      invoke({"report", "summary.csv", "--x", "sdr", "--colour", "sdr"}, dir.path());
  EXPECT_EQ(same.status, 2);
  EXPECT_NE(same.err.find("--x and --colour"), std::string::npos) << same.err;
  const Invocation unknown = invoke({"report", "summary.csv", "--x", "rate"}, dir.path());
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("--x: 'rate' is not a parameter"), std::string::npos) << unknown.err;
}

TEST(ReportDiscover, DiscoverAndTheReportFindTheSameBoxAndRefuseAnUnknownOutput) {
  const TempDir dir;
  // Ten grid points along emig_rate, one run each; runs from grid point 6 on switch.
  std::string text = summary_header();
  for (std::int32_t grid = 1; grid <= 10; ++grid)
    text += row(grid, 1, false, 50, grid >= 6 ? 1 : 0);
  write_file(dir / "summary.csv", text);
  // Numbers as the summary writes them. Each peel takes 1 of the 10 points (5%, at least one) off
  // the low end: 5/9, 5/8, 5/7, 5/6 and 5/5, which holds only hits; of equal coverage the densest
  // is chosen.
  const std::string chosen = "\n5,1,1,0.5,1,6e-04,0.001,1,0\n";
  const Invocation discover =
      invoke({"discover", "summary.csv", "--where", "p_switched>=0.5"}, dir.path());
  ASSERT_EQ(discover.status, 0) << discover.err;
  EXPECT_EQ(discover.out.substr(0, discover.out.find('\n')),
            "step,coverage,density,mass,restricted,emig_rate_lo,emig_rate_hi,chosen,pasted");
  EXPECT_NE(discover.out.find("\n4,1,0.8333333333333334,0.6,1,5e-04,0.001,0,0\n"),
            std::string::npos)
      << discover.out;
  EXPECT_NE(discover.out.find(chosen), std::string::npos) << discover.out;

  const Invocation report =
      invoke({"report", "summary.csv", "--discover", "p_switched >= 0.5"}, dir.path());
  ASSERT_EQ(report.status, 0) << report.err;
  EXPECT_EQ(read_file(dir / "boxes.csv"), discover.out);
  const std::string html = read_file(dir / "report.html");
  EXPECT_NE(html.find("Of the 10 points, 5 meet p_switched ≥ 0.5; 5 of them (100% coverage) lie "
                      "in the box emig_rate ≥ 0.0006, where 100% of points meet it (density), "
                      "holding 50% of the points (mass)."),
            std::string::npos);

  for (const std::string& where : {std::string("p_hosted >= 1"), std::string("p_switched =< 1")}) {
    const Invocation refused = invoke({"discover", "summary.csv", "--where", where}, dir.path());
    EXPECT_EQ(refused.status, 2) << where;
    EXPECT_NE(refused.err.find("--where: \"p_"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("\" is not"), std::string::npos) << refused.err;
  }
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A single switch count is one bar on whole-number ticks, centred on its tick (not a bar
// from -0.4 to 0.4 on ticks of tenths); a median that
// is never reached is an open mark.
TEST(ReportOutput, ASingleSwitchCountIsOneBarAndAMedianNotReachedAnOpenMark) {
  const TempDir dir;
  write_file(dir / "summary.csv", summary_header() + row(1, 1, false, 50, 0) +
                                      row(1, 2, false, 50, 0) + row(2, 1, true, 4, 0) +
                                      row(2, 2, true, 6, 0));
  ASSERT_EQ(invoke({"report", "summary.csv"}, dir.path()).status, 0);
  const std::string page = read_file(dir / "report.html");
  const auto figure = [&page](const std::string& id) {
    const auto at = page.find("<figure id=\"" + id + "\"");
    return at == std::string::npos ? std::string()
                                   : page.substr(at, page.find("</figure>", at) - at);
  };
  const std::string switches = figure("figure-switches");
  const auto panel = switches.find("<g class=\"panel\"");
  const std::string first =
      switches.substr(panel, switches.find("<g class=\"panel\"", panel + 1) - panel);
  std::vector<double> bars;
  for (auto at = first.find("fill-opacity=\"0.55\""); at != std::string::npos;
       at = first.find("fill-opacity=\"0.55\"", at + 1)) {
    const auto tag = first.rfind("<rect", at);
    const double x = std::stod(first.substr(first.find(" x=\"", tag) + 4));
    const double width = std::stod(first.substr(first.find(" width=\"", tag) + 8));
    bars.push_back(x + width / 2);
  }
  ASSERT_EQ(bars.size(), 1u);
  const auto tick = first.find(">0</text>");
  ASSERT_NE(tick, std::string::npos);
  EXPECT_NEAR(std::stod(first.substr(first.find(" x=\"", first.rfind("<text", tick)) + 4)), bars[0],
              0.01);
  for (const char* label : {">1</text>", ">2</text>"})
    EXPECT_NE(first.find(label), std::string::npos);
  EXPECT_EQ(first.find(".5</text>"), std::string::npos);  // no half-way ticks
  // Grid point 1 never goes extinct: its median is an open mark, grid point 2's a filled one.
  const std::string medians = figure("figure-km_median_extinction");
  EXPECT_EQ(count_of(medians, "<circle"), 2u);
  EXPECT_EQ(count_of(medians, "fill=\"#ffffff\" stroke="), 1u);
}

// Every figure asks one list for its words; the name follows them, and what has no words is
// left as it is.
TEST(FigureWords, AParameterOrOutputReadsInWordsWithItsNameAfter) {
  const std::pair<std::string, std::string> cases[] = {
      {"emig_rate", "emigration rate (emig_rate)"},
      {"n_gen", "number of generations (n_gen)"},
      {"p_extinct", "share of replicates extinct (p_extinct)"},
      {"n_g", "generation (n_g)"},
      {"p_extinct_by_100", "share extinct by generation 100 (p_extinct_by_100)"},
      {"p_switched_by_G", "share switched by generation G (p_switched_by_G)"},
      {"no_such_column", "no_such_column"}};
  for (const auto& [name, label] : cases) EXPECT_EQ(figure_label(name), label);
  for (const ParameterInfo& p : kParameters) EXPECT_FALSE(p.words.empty()) << p.name;
}

// A design's values show the scale they were drawn on: evenly spaced, or evenly spaced in
// their logarithms, whatever decades they span; a handful of grid values keep the decades rule.
TEST(FigureScale, ADesignsAxisIsTheScaleItsValuesWereDrawnOn) {
  auto spaced = [](double lo, double hi, bool geometric, std::size_t n) {
    std::vector<double> v;
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(i) / static_cast<double>(n - 1);
      v.push_back(geometric ? lo * std::pow(hi / lo, t) : lo + t * (hi - lo));
    }
    return v;
  };
  const struct {
    std::vector<double> values;
    bool log;
  } cases[] = {{spaced(0.001, 0.5, false, 40), false},  // 2.7 decades, yet uniform
               {spaced(0.5, 4, true, 40), true},        // under one decade, yet log-uniform
               {spaced(0.001, 1, true, 40), true},
               {spaced(0, 0.5, false, 40), false},
               {{0.001, 0.01, 0.1, 1}, true},  // a grid: two decades or more
               {{0.1, 0.2, 0.4}, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(report_detail::parameter_axis(c.values, false).log, c.log)
        << c.values.front() << " to " << c.values.back();
  }
  EXPECT_TRUE(report_detail::parameter_axis(spaced(0.001, 0.5, false, 40), true).log);
}

TEST(FigureScale, TicksAreOneTwoFiveTimesAPowerOfTenAndLabelsKeepFourDigits) {
  EXPECT_EQ(log_ticks(0.8, 60, 8), (std::vector<double>{1, 2, 5, 10, 20, 50}));
  // Too many for 1, 2, 5 per decade: the powers alone.
  const std::vector<double> decades = log_ticks(0.8e-6, 1.2e-4, 6);
  ASSERT_EQ(decades.size(), 3u);
  EXPECT_DOUBLE_EQ(decades[0], 1e-6);
  EXPECT_DOUBLE_EQ(decades[2], 1e-4);
  EXPECT_EQ(nice_step(1.06, 5), 0.2);
  EXPECT_EQ(linear_ticks(-0.03, 1.03, 0.2).size(), 6u);
  EXPECT_EQ(tick_text(0.9811546736227333), "0.9812");
  EXPECT_EQ(tick_text(26.666666666666668), "26.67");
  EXPECT_EQ(tick_text(12345.6), "12350");
  EXPECT_EQ(tick_text(0.3), "0.3");
  EXPECT_EQ(tick_text(2e-5), "2e-05");
  EXPECT_EQ(tick_text(-0.00001), "-1e-05");
}

// The trajectory rows of a run, keyed by column title.
std::vector<std::map<std::string, std::string>> trajectory_rows(const std::string& text) {
  const auto rows = csv_rows(text);
  std::vector<std::map<std::string, std::string>> result;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    std::map<std::string, std::string> fields;
    for (std::size_t c = 0; c < rows[0].size(); ++c) fields[rows[0][c]] = rows[i].at(c);
    result.push_back(fields);
  }
  return result;
}

TEST(Trajectory, RowsAgreeWithTheResultsFileAndTheSummary) {
  const TempDir dir;
  // Typical parameters but a capacity of 120, so the cap shows in n_offspring.
  const std::vector<std::string> common = {"run", "--capacity", "120",   "--n-gen",
                                           "60",  "--seed",     "424242"};
  bool saw_extinct = false;
  bool saw_completed = false;
  // The typical host distance soon kills the population; none and a narrow spread keep it.
  const std::vector<std::vector<std::string>> settings = {
      {"--max-dist", "2"}, {"--max-dist", "0", "--sdr", "1.5", "--sdv", "0.25"}};
  for (const auto& setting : settings) {
    SCOPED_TRACE(setting[1]);
    auto args = common;
    args.insert(args.end(), setting.begin(), setting.end());
    args.insert(args.end(), {"--output", "out.txt", "--trajectory", "traj.csv", "--summary",
                             "row.csv", "--overwrite"});
    const Invocation run = invoke(args, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = trajectory_rows(read_file(dir / "traj.csv"));
    const auto summary = csv_rows(read_file(dir / "row.csv"));
    ASSERT_EQ(summary.size(), 2u);
    std::map<std::string, std::string> facts;
    for (std::size_t c = 0; c < summary[0].size(); ++c) facts[summary[0][c]] = summary[1].at(c);
    (facts["outcome"] == "extinct" ? saw_extinct : saw_completed) = true;

    // n_pop is the sum of n_p over the generation's classes in the results file.
    const ResultsData results = read_results_file(dir / "out.txt");
    std::map<std::int32_t, std::int64_t> class_sums;
    for (const ClassCell& cell : results.cells) class_sums[cell.n_g] += cell.n_p;
    ASSERT_EQ(rows.size(), class_sums.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto& r = rows[i];
      EXPECT_EQ(r.at("n_g"), std::to_string(i + 1));
      EXPECT_EQ(r.at("n_pop"), std::to_string(class_sums[static_cast<std::int32_t>(i + 1)]));
      EXPECT_EQ(r.at("n_HS"), std::to_string(results.generations[i].n_HS));
      // births: round(n_pop / 2), but no more than room for 120
      const int n_pop = std::stoi(r.at("n_pop"));
      EXPECT_EQ(std::stoi(r.at("n_offspring")), std::min((n_pop + 1) / 2, 120 - n_pop));
      EXPECT_EQ(r.at("grid_index"), "1");
      EXPECT_EQ(r.at("replicate"), "1");
    }
    EXPECT_EQ(rows.front().at("n_offspring"), "20");
    EXPECT_EQ(rows.front().at("mean_phe"), "10");
    EXPECT_EQ(rows.front().at("sd_phe"), "0");

    // The last row is the last generation of the summary's run.
    const auto& last = rows.back();
    EXPECT_EQ(last.at("n_g"), facts["generations_run"]);
    int switches = 0;
    for (const auto& r : rows) switches += r.at("n_HS") != "0";
    EXPECT_EQ(std::to_string(switches), facts["switch_generations"]);
    EXPECT_EQ(last.at(last.at("n_HS") != "0" ? "rl_phe" : "r_phe"), facts["final_r_phe"]);
    if (facts["outcome"] == "extinct") {
      EXPECT_EQ(last.at("n_HS"), "0");
    } else if (last.at("n_HS") != "0") {
      EXPECT_EQ(last.at("n_HS"), facts["final_n_pop"]);
    }

    // Row k describes the population a run of k - 1 generations with the same seed ends with.
    for (const std::size_t k : {std::size_t{2}, rows.size() / 2 + 1, rows.size()}) {
      if (k < 2) continue;
      SCOPED_TRACE(k);
      auto shorter = common;
      shorter[4] = std::to_string(k - 1);
      shorter.insert(shorter.end(), setting.begin(), setting.end());
      shorter.insert(shorter.end(), {"--no-output", "--summary", "shorter.csv", "--overwrite"});
      ASSERT_EQ(invoke(shorter, dir.path()).status, 0);
      const auto before = csv_rows(read_file(dir / "shorter.csv"));
      const auto& r = rows[k - 1];
      EXPECT_EQ(before[1][15], r.at("n_pop"));
      EXPECT_EQ(before[1][16], r.at("r_phe"));
      EXPECT_EQ(before[1][17], r.at("mean_phe"));
      EXPECT_EQ(before[1][18], r.at("sd_phe"));
    }
  }
  EXPECT_TRUE(saw_extinct);
  EXPECT_TRUE(saw_completed);
}

// A summary and its trajectories, made replicate by replicate as a sweep would.
struct SweepFiles {
  std::string summary = summary_header();
  std::vector<std::string> trajectories;  // one block of rows per replicate
};

SweepFiles small_sweep(std::int32_t seed_offset) {
  SweepFiles files;
  for (std::int32_t g = 1; g <= 2; ++g) {
    for (std::int32_t r = 1; r <= 3; ++r) {
      SimulationParameters p = typical_parameters();
      p.n_gen = 40;
      p.emig_rate = 0.05 * g;
      UniformStream stream;
      const std::int32_t seed = 100 * g + r + seed_offset;
      init_random_seed(stream, seed);
      TrajectoryRows rows(p, g, r);
      const RunResult result = run_population(p, stream, rows);
      files.summary += summary_line(summarize(p, RunLabel{g, r, seed}, result));
      files.trajectories.push_back(rows.take_text());
    }
  }
  return files;
}

std::string joined(const std::vector<std::string>& blocks) {
  std::string text = trajectory_header();
  for (const std::string& block : blocks) text += block;
  return text;
}

TEST(ReportInput, TrajectoriesOfAnotherSweepAreRefusedWithFileAndLine) {
  const TempDir dir;
  const SweepFiles files = small_sweep(0);
  write_file(dir / "summary.csv", files.summary);
  auto report = [&](const std::string& trajectories) {
    write_file(dir / "traj.csv", trajectories);
    return invoke({"report", "summary.csv", "--trajectories", "traj.csv", "-o", "r.html"},
                  dir.path());
  };
  const Invocation fine = report(joined(files.trajectories));
  ASSERT_EQ(fine.status, 0) << fine.err;
  EXPECT_NE(read_file(dir / "r.html").find("id=\"figure-trajectories\""), std::string::npos);

  auto lines_before = [&](std::size_t block) {
    std::size_t lines = 1;
    for (std::size_t i = 0; i < block; ++i) lines += split(files.trajectories[i], '\n').size();
    return lines;
  };
  struct Case {
    std::string name;
    std::string text;
    std::string expected;
  };
  std::vector<std::string> dropped = files.trajectories;
  dropped.erase(dropped.begin() + 4);
  std::vector<std::string> swapped = files.trajectories;
  std::swap(swapped[1], swapped[2]);
  std::vector<std::string> cut = files.trajectories;
  cut[2] = cut[2].substr(0, cut[2].rfind('\n', cut[2].size() - 2) + 1);
  const std::vector<Case> cases = {
      {"a replicate missing", joined(dropped),
       ":" + std::to_string(lines_before(4) + 1) + ": no rows for grid point 2 replicate 2"},
      {"out of order", joined(swapped),
       ":" + std::to_string(lines_before(1) + 1) + ": no rows for grid point 1 replicate 2"},
      {"a generation short", joined(cut), "grid point 1 replicate 3 has "},
      {"another sweep", joined(small_sweep(7).trajectories), "traj.csv:"},
      {"the summary itself", files.summary, ":1: not a trajectories file"},
      {"ends early", joined({files.trajectories[0]}), ": no rows for grid point 1 replicate 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Invocation run = report(c.text);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("traj.csv:"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
  }
}

// What another page shows of a summary's and trajectories' texts (the web page's replicates)
// is what the report's page holds under its heading.
TEST(ReportFragment, FromTheTextsIsTheReportPageBelowItsHeading) {
  const TempDir dir;
  const SweepFiles files = small_sweep(0);
  write_file(dir / "summary.csv", files.summary);
  write_file(dir / "traj.csv", joined(files.trajectories));
  const Invocation run =
      invoke({"report", "summary.csv", "--trajectories", "traj.csv", "-o", "r.html"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string page = read_file(dir / "r.html");
  const std::size_t heading = page.find("</h1>") + 5;

  const SummaryData summary = read_summary_text(files.summary, "summary.csv");
  const auto trajectories = read_trajectories_text(joined(files.trajectories), "t", summary);
  const std::string fragment =
      report_fragment(summary, &trajectories, choose_axes(summary, std::nullopt, std::nullopt));
  // The page's own footer (where it came from) is not a section.
  EXPECT_EQ(fragment, page.substr(heading, page.rfind("<footer id=\"provenance\">") - heading));
  EXPECT_NE(page.find(report_sections_style()), std::string::npos);
  EXPECT_THROW(
      {
        try {
          read_summary_text(files.summary.substr(0, files.summary.size() - 1), "summary.csv");
        } catch (const ReportInputError& error) {
          EXPECT_EQ(std::string(error.what()), "summary.csv:7: torn line (no line end)");
          throw;
        }
      },
      ReportInputError);
}

}  // namespace
}  // namespace hostswitch

namespace hostswitch {
namespace {

TEST(ReportTrajectories, QuartilesCountAReplicateGoneBeforeAGenerationAsZero) {
  const TempDir dir;
  SummaryRow done;
  done.parameters = typical_parameters();
  done.parameters.n_gen = 3;
  done.generations_run = 3;
  done.final_n_pop = 3;
  done.final_r_phe = 10.0;
  done.final_mean_phe = 10.0;
  done.final_sd_phe = 0.0;
  done.longest_stay = 3;
  SummaryRow gone = done;
  gone.extinct = true;
  gone.generations_run = 1;
  gone.longest_stay = 1;
  gone.final_n_pop = 0;
  gone.final_mean_phe.reset();
  gone.final_sd_phe.reset();
  done.label = RunLabel{1, 1, 1};
  std::string summary = summary_header() + summary_line(done);
  done.label = RunLabel{1, 2, 2};
  summary += summary_line(done);
  gone.label = RunLabel{1, 3, 3};
  summary += summary_line(gone);
  write_file(dir / "summary.csv", summary);
  // n_pop 100, then 4 and 2 in replicate 1, 10 and 6 in replicate 2; replicate 3 dies at once.
  write_file(dir / "traj.csv", trajectory_header() +
                                   "1,1,1,100,50,0,10,9,10,0\n"
                                   "1,1,2,4,2,0,10,11,10,0.5\n"
                                   "1,1,3,2,1,0,10,10.5,10,0.25\n"
                                   "1,2,1,100,50,0,10,8,10,0\n"
                                   "1,2,2,10,5,0,10,12,10,0.5\n"
                                   "1,2,3,6,3,0,10,9.5,10,0.25\n"
                                   "1,3,1,100,50,0,10,12,10,0\n");
  const SummaryData data = read_summary(dir / "summary.csv");
  const auto trajectories = read_trajectories(dir / "traj.csv", data);
  ASSERT_EQ(trajectories.size(), 1u);
  const auto& g = trajectories[0].by_generation;
  ASSERT_EQ(g.size(), 3u);
  // {100, 100, 100}, {0, 4, 10}, {0, 2, 6}: quartiles between order statistics.
  EXPECT_EQ(g[0].q25, 100.0);
  EXPECT_EQ(g[0].q75, 100.0);
  EXPECT_EQ(g[1].q25, 2.0);
  EXPECT_EQ(g[1].median, 4.0);
  EXPECT_EQ(g[1].q75, 7.0);
  EXPECT_EQ(g[2].q25, 1.0);
  EXPECT_EQ(g[2].median, 2.0);
  EXPECT_EQ(g[2].q75, 4.0);
}

// Width and height from a PNG's header: the IHDR chunk, big-endian, after the signature.
std::pair<std::uint32_t, std::uint32_t> png_size(const std::string& png) {
  const auto be32 = [&png](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(png.at(at + i));
    return v;
  };
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  return {be32(16), be32(20)};
}

// The value of attribute `name` in the tag starting at `at`.
std::string attribute(const std::string& text, std::size_t at, const std::string& name) {
  const auto start = text.find(" " + name + "=\"", at) + name.size() + 3;
  return text.substr(start, text.find('"', start) - start);
}

// A grid of 10 x 9 x 3 x 3 x 3 = 2,430 points, two replicates each, whose shares vary.
std::string five_parameter_grid() {
  std::string text = summary_header();
  std::int32_t grid = 0;
  for (const double birth : {1.0, 1.5, 2.0}) {
    for (const double sdv : {0.1, 0.2, 0.3}) {
      for (const double dist : {0.5, 1.0, 2.0}) {
        for (const double sdr : {0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0, 4.5}) {
          for (const double emig : {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 0.9}) {
            ++grid;
            for (std::int32_t replicate = 1; replicate <= 2; ++replicate) {
              SummaryRow r;
              r.parameters = typical_parameters();
              r.parameters.birth_rate = birth;
              r.parameters.sdv = sdv;
              r.parameters.max_dist = dist;
              r.parameters.sdr = sdr;
              r.parameters.emig_rate = emig;
              r.parameters.n_gen = 20;
              r.label = RunLabel{grid, replicate, 1000 + replicate};
              r.extinct = (grid + replicate) % 3 == 0;
              r.generations_run = r.extinct ? 7 : 20;
              r.switch_generations = (grid * replicate) % 4;
              r.first_switch_generation = r.switch_generations > 0 ? 3 * replicate : 0;
              r.farthest_host_distance = r.switch_generations > 0 ? 0.5 : 0.0;
              r.longest_stay = r.generations_run;
              r.final_n_pop = r.extinct ? 0 : 40;
              r.final_r_phe = 10.5;
              if (!r.extinct) {
                r.final_mean_phe = 10.25;
                r.final_sd_phe = 0.5;
              }
              text += summary_line(r);
            }
          }
        }
      }
    }
  }
  return text;
}

// Every figure file of a large grid stays within 8,000 pixels a side, and the phase maps'
// cells hold the statistics table's own fields.
TEST(ReportMaps, ALargeGridsFiguresStayBoundedAndTheMapsHoldTheTable) {
  const TempDir dir;
  write_file(dir / "g.csv", five_parameter_grid());
  const Invocation run = invoke({"report", "g.csv", "--at", "10", "--figures", "figs"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  std::size_t pngs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "figs")) {
    if (entry.path().extension() != ".png") continue;
    ++pngs;
    const auto [width, height] = png_size(read_file(entry.path()));
    EXPECT_LE(width, 8000u) << entry.path();
    EXPECT_LE(height, 8000u) << entry.path();
  }
  EXPECT_GT(pngs, 20u);

  const auto stats = csv_rows(read_file(dir / "stats.csv"));
  ASSERT_EQ(stats.size(), 2431u);
  const auto column = [&stats](const std::string& name) {
    const auto at = std::find(stats[0].begin(), stats[0].end(), name);
    EXPECT_NE(at, stats[0].end()) << name;
    return static_cast<std::size_t>(at - stats[0].begin());
  };
  // emig_rate (10 values) across, sdr (9) up; birth_rate and sdv the columns and rows of
  // panels; each max_dist a file of its own. Every grid point is in one cell of each outcome.
  const std::string page = read_file(dir / "report.html");
  for (const std::string outcome : {"p_switched", "p_extinct", "p_switched_by_10"}) {
    std::size_t cells = 0;
    for (const std::string dist : {"0.5", "1", "2"}) {
      const std::string name = outcome + "-map-emig_rate-sdr-max_dist=" + dist;
      SCOPED_TRACE(name);
      ASSERT_TRUE(std::filesystem::exists(dir / "figs" / (name + ".png")));
      const std::string svg = read_file(dir / "figs" / (name + ".svg"));
      EXPECT_NE(page.find("id=\"map-" + outcome + "-max_dist=" + dist + "\""), std::string::npos);
      for (auto at = svg.find("class=\"cell\""); at != std::string::npos;
           at = svg.find("class=\"cell\"", at + 1), ++cells) {
        const auto& row = stats.at(std::stoul(attribute(svg, at, "data-grid-index")));
        EXPECT_EQ(attribute(svg, at, "data-x"), row[column("emig_rate")]);
        EXPECT_EQ(attribute(svg, at, "data-y"), row[column("sdr")]);
        EXPECT_EQ(row[column("max_dist")], dist);
        EXPECT_EQ(attribute(svg, at, "data-value"), row[column(outcome)]);
      }
    }
    EXPECT_EQ(cells, 2430u) << outcome;
  }
  // A figure of more panels than a file holds is paged: the first 48 grid points, 8 a file.
  EXPECT_TRUE(std::filesystem::exists(dir / "figs" / "km_survival-vs-n_g-6.png"));
  EXPECT_FALSE(std::filesystem::exists(dir / "figs" / "km_survival-vs-n_g-7.png"));
  EXPECT_NE(page.find("report --fix NAME=VALUE"), std::string::npos);
}

TEST(ReportMaps, MapAxesAndFixedValuesAreCheckedAgainstTheSummary) {
  const TempDir dir;
  write_file(dir / "g.csv", five_parameter_grid());
  struct Case {
    std::vector<std::string> args;
    std::string error;  // empty: accepted
  };
  const std::vector<Case> cases = {
      {{"--map", "emig_rate,n_gen"}, "--map: n_gen is not swept"},
      {{"--map", "emig_rate,rate"}, "--map: 'rate' is not a parameter"},
      {{"--map", "emig_rate"}, "is not two parameters"},
      {{"--map", "sdr,sdr"}, "two different parameters"},
      {{"--fix", "sdr=0.7"}, "no grid point has sdr = 0.7"},
      {{"--fix", "n_gen=20"}, "--fix: n_gen is not swept"},
      {{"--fix", "sdr=1.5", "--map", "sdr,emig_rate"}, "sdr is held at one value by --fix"},
      {{"--fix", "max_dist=2", "--fix", "sdv=0.2", "--map", "sdr,emig_rate"}, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"report", "g.csv"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Invocation run = invoke(args, dir.path());
    SCOPED_TRACE(args.back());
    if (!c.error.empty()) {
      EXPECT_EQ(run.status, 2);
      EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
      continue;
    }
    ASSERT_EQ(run.status, 0) << run.err;
    // sdr across, emig_rate up, birth_rate in columns; named by the held values in the
    // parameters' order.
    const std::string page = read_file(dir / "report.html");
    EXPECT_NE(page.find("<figure id=\"map-p_switched-sdv=0.2-max_dist=2\""), std::string::npos);
    EXPECT_NE(page.find("the 270 of 2430 grid points with max_dist = 2, sdv = 0.2"),
              std::string::npos);
    EXPECT_EQ(csv_rows(read_file(dir / "stats.csv")).size(), 2431u);
  }
  // One swept parameter: no map, and the page says so when one was asked for.
  std::string one = summary_header();
  for (std::int32_t g = 1; g <= 44; ++g) one += row(g, 1, g % 2 == 0, g % 2 == 0 ? 10 : 50, g % 3);
  write_file(dir / "one.csv", one);
  const Invocation asked = invoke({"report", "one.csv", "--map", "--figures", "figs"}, dir.path());
  ASSERT_EQ(asked.status, 0) << asked.err;
  EXPECT_NE(read_file(dir / "report.html")
                .find("No phase map: it needs two swept parameters, and emig_rate is the only one"),
            std::string::npos);
  // 44 grid points of one continuous parameter: a panel each, paged 8 to a file.
  for (int page = 1; page <= 6; ++page) {
    const std::string png =
        read_file(dir / "figs" / ("km_survival-vs-n_g-" + std::to_string(page) + ".png"));
    EXPECT_LE(png_size(png).second, 8000u);
  }
}

}  // namespace
}  // namespace hostswitch
