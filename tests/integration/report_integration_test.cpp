#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "batch/summary.hpp"
#include "tests/test_support.hpp"

namespace hostswitch {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

struct Outcome {
  int status = -1;
  std::string output;  // standard output and standard error
};

// Runs a shell command, collecting what it prints.
Outcome shell(const std::string& command) {
  Outcome outcome;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return outcome;
  std::array<char, 4096> buffer{};
  std::size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    outcome.output.append(buffer.data(), got);
  }
  const int status = pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

std::string sh_quoted(const fs::path& path) {
  std::string text(1, '\'');
  text += path.string();
  text += '\'';
  return text;
}

const std::string kProgram = sh_quoted(HOSTSWITCH_EXECUTABLE);

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

// One replicate's row, made by hand: each grid point gets its own emig_rate.
std::string row(std::int32_t grid, std::int32_t replicate, bool extinct, std::int32_t generations,
                std::int32_t n_gen, std::int32_t switches, double final_r_phe) {
  SummaryRow r;
  r.parameters = typical_parameters();
  r.parameters.emig_rate = 0.01 * grid;
  r.parameters.n_gen = n_gen;
  r.label = RunLabel{grid, replicate, replicate};
  r.extinct = extinct;
  r.generations_run = extinct ? generations : n_gen;
  r.switch_generations = std::min(switches, r.generations_run);
  // The switches come last, one a generation, after a first stay on the starting host.
  r.longest_stay = r.generations_run - r.switch_generations;
  if (r.switch_generations > 0) {
    r.first_switch_generation = r.longest_stay + 1;
    r.farthest_host_distance = 0.5 * r.switch_generations;
  } else {
    r.longest_stay = r.generations_run;
  }
  r.final_n_pop = extinct ? 0 : 17 + replicate;
  r.final_r_phe = final_r_phe;
  if (!extinct) {
    r.final_mean_phe = final_r_phe;
    r.final_sd_phe = 0.25;
  }
  return summary_line(r);
}

// Grid points whose Kaplan-Meier curves and proportions sit on the edges.
std::string edge_case_summary() {
  std::string text = summary_header();
  std::int32_t grid = 0;
  auto point = [&](const std::vector<int>& extinct_at, int completed, int n_gen) {
    ++grid;
    std::int32_t replicate = 0;
    for (const int t : extinct_at) {
      ++replicate;
      text += row(grid, replicate, true, t, n_gen, replicate % 3, 10.0 - 0.5 * replicate);
    }
    for (int i = 0; i < completed; ++i) {
      ++replicate;
      text += row(grid, replicate, false, 0, n_gen, replicate % 4, 10.0 + 0.125 * replicate);
    }
  };
  point({3, 3, 5, 7, 7, 7, 10, 12, 15, 15, 20, 31}, 0, 50);  // 1: all extinct, with ties
  point({}, 8, 50);                                          // 2: none extinct
  point({1}, 0, 50);                                         // 3: one replicate, gone at once
  point({}, 1, 50);                                          // 4: one replicate, alive
  point({1, 1, 1, 1, 2}, 3, 40);  // 5: half gone in generation 1: median (1 + 2) / 2
  point({1, 2, 3, 4}, 0, 40);     // 6: one half from 2 until 3: median 2.5
  point({1, 1, 2, 3, 3}, 1, 5);   // 7: ties, one censored at n_gen
  std::vector<int> times;         // 8: many replicates, a third censored
  std::uint32_t state = 12345;
  for (int i = 0; i < 300; ++i) {
    state = state * 1664525u + 1013904223u;
    if (state % 3 != 0) times.push_back(static_cast<int>(1 + (state >> 8) % 100));
  }
  point(times, 300 - static_cast<int>(times.size()), 100);
  point({2, 2, 2, 2, 2, 2}, 0, 30);  // 9: every replicate extinct in the same generation
  return text;
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(line.substr(start, comma - start));
    if (comma == std::string::npos) return fields;
    start = comma + 1;
  }
}

void expect_agrees_with_r(const fs::path& summary, const fs::path& stats) {
  const Outcome r = shell(
      "Rscript " +
      sh_quoted(fs::path(HOSTSWITCH_SOURCE_DIR) / "tests" / "integration" / "report_stats.R") +
      " " + sh_quoted(summary) + " " + sh_quoted(stats));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(" 0 differ"), std::string::npos) << r.output;
}

TEST(ReportAgainstR, EdgeCasesAndAnInterruptedSweepAgreeWithR) {
  const TempDir dir;
  const fs::path edge = dir / "edge.csv";
  write_file(edge, edge_case_summary());
  const Outcome report =
      shell(kProgram + " report " + sh_quoted(edge) + " --table " +
            sh_quoted(dir / "edge-stats.csv") + " -o " + sh_quoted(dir / "edge.html"));
  ASSERT_EQ(report.status, 0) << report.output;
  expect_agrees_with_r(edge, dir / "edge-stats.csv");

  // Worked by hand: the medians of the two curves that sit at one half over an interval, and
  // the Wilson bounds of 0 of 8 and 8 of 8: z^2 / (n + z^2) with z = 1.959963984540054.
  const auto stats = lines_of(read_file(dir / "edge-stats.csv"));
  ASSERT_EQ(stats.size(), 10u);
  EXPECT_EQ(fields_of(stats[5])[20], "1.5");
  EXPECT_EQ(fields_of(stats[6])[20], "2.5");
  const double z2 = 1.959963984540054 * 1.959963984540054;
  EXPECT_NEAR(std::stod(fields_of(stats[2])[13]), z2 / (8 + z2), 1e-15);
  EXPECT_EQ(fields_of(stats[2])[12], "0");
  EXPECT_EQ(fields_of(stats[1])[13], "1");
  EXPECT_EQ(fields_of(stats[2])[20], "");  // nobody died: no median

  // A real sweep cut short: every seventh row lost.
  const fs::path full = dir / "sweep.csv";
  const Outcome sweep =
      shell(kProgram +
            " sweep --emig-rate 0.05,0.1,0.2 --max-dist 1,2 --n-gen 80 --replicates 40 "
            "--seed 11 --jobs 2 --summary " +
            sh_quoted(full));
  ASSERT_EQ(sweep.status, 0) << sweep.output;
  const auto rows = lines_of(read_file(full));
  std::string partial;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i == 0 || i % 7 != 0) partial += rows[i] + "\n";
  }
  write_file(dir / "partial.csv", partial);
  const Outcome partial_report =
      shell(kProgram + " report " + sh_quoted(dir / "partial.csv") + " --table " +
            sh_quoted(dir / "partial-stats.csv") + " -o " + sh_quoted(dir / "partial.html"));
  ASSERT_EQ(partial_report.status, 0) << partial_report.output;
  EXPECT_NE(partial_report.output.find("34 rows missing"), std::string::npos)
      << partial_report.output;
  expect_agrees_with_r(dir / "partial.csv", dir / "partial-stats.csv");
}

struct Picture {
  unsigned width = 0;
  unsigned height = 0;
  std::vector<unsigned char> rgb;
};

Picture read_png(const fs::path& path) {
  Picture picture;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.string().c_str())) return picture;
  image.format = PNG_FORMAT_RGB;
  picture.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) return {};
  picture.width = image.width;
  picture.height = image.height;
  return picture;
}

std::string chromium(const fs::path& page, const std::string& action) {
  const TempDir profile;
  const Outcome run = shell(
      "timeout 180 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--host-resolver-rules='MAP * ~NOTFOUND' --user-data-dir=" +
      sh_quoted(profile.path()) + " " + action + " " + sh_quoted("file://" + page.string()));
  EXPECT_EQ(run.status, 0) << run.output;
  return run.output;
}

// The markup of one figure of the rendered page.
std::string figure(const std::string& dom, const std::string& id) {
  const auto start = dom.find("<figure id=\"" + id + "\"");
  if (start == std::string::npos) return {};
  return dom.substr(start, dom.find("</figure>", start) - start);
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ReportInBrowser, EveryFigureIsDrawnAndThePageIsNotBlank) {
  const TempDir dir;
  // Replicates run one by one from the emitted commands, each with its trajectory.
  const Outcome emitted =
      shell("cd " + sh_quoted(dir.path()) + " && " + kProgram +
            " sweep --emig-rate 0.05,0.2 --max-dist 0.5,2 --n-gen 60 --replicates 12 --seed 5 "
            "--emit-commands");
  ASSERT_EQ(emitted.status, 0) << emitted.output;
  std::string trajectories =
      "grid_index,replicate,n_g,n_pop,n_offspring,n_HS,r_phe,rl_phe,"
      "mean_phe,sd_phe\n";
  int runs = 0;
  for (const std::string& command : lines_of(emitted.output)) {
    const fs::path trajectory = dir / ("trajectory-" + std::to_string(++runs) + ".csv");
    const Outcome run = shell("cd " + sh_quoted(dir.path()) + " && " + command + " --trajectory " +
                              sh_quoted(trajectory));
    ASSERT_EQ(run.status, 0) << command << "\n" << run.output;
    const std::string text = read_file(trajectory);
    trajectories += text.substr(text.find('\n') + 1);
  }
  ASSERT_EQ(runs, 48);
  write_file(dir / "trajectories.csv", trajectories);
  const Outcome merged = shell("cd " + sh_quoted(dir.path()) + " && " + kProgram +
                               " merge runs --summary summary.csv");
  ASSERT_EQ(merged.status, 0) << merged.output;
  const fs::path page = dir / "report.html";
  const Outcome report =
      shell("cd " + sh_quoted(dir.path()) + " && " + kProgram +
            " report summary.csv --trajectories trajectories.csv -o report.html");
  ASSERT_EQ(report.status, 0) << report.output;

  const std::string dom = chromium(page, "--dump-dom");
  // One panel of p_extinct (emig_rate on x, max_dist in colour), and one panel per emig_rate
  // of each per-grid-point figure, both max_dist curves in it (bars for the switch counts;
  // every panel also has its white background and frame).
  struct Expected {
    std::string id;
    std::size_t panels;
    std::string mark;
    std::size_t marks_per_panel;
  };
  const std::vector<Expected> figures = {{"figure-p_extinct", 1, "<path", 2},
                                         {"figure-survival", 2, "<path", 4},
                                         {"figure-trajectories", 2, "<path", 4},
                                         {"figure-switches", 2, "<rect", 4}};
  for (const Expected& f : figures) {
    SCOPED_TRACE(f.id);
    const std::string markup = figure(dom, f.id);
    ASSERT_FALSE(markup.empty()) << dom.substr(0, 2000);
    EXPECT_EQ(count(markup, "<g class=\"panel\""), f.panels);
    EXPECT_GE(count(markup, f.mark), f.panels * f.marks_per_panel);
  }
  EXPECT_NE(dom.find("<table id=\"stats-table\""), std::string::npos);
  EXPECT_NE(figure(dom, "figure-p_extinct").find(">emigration rate (emig_rate)<"),
            std::string::npos);
  EXPECT_NE(figure(dom, "figure-trajectories").find(">population size (n_pop)<"),
            std::string::npos);
  // The phase map of p_switched: emig_rate across, max_dist up, a cell per grid point holding
  // the statistics table's own field.
  const std::string map = figure(dom, "map-p_switched");
  const std::string stats = read_file(dir / "stats.csv");
  std::size_t cells = 0;
  for (auto at = map.find("class=\"cell\""); at != std::string::npos;
       at = map.find("class=\"cell\"", at + 1), ++cells) {
    const auto field = [&](const std::string& name) {
      const auto start = map.find(name + "=\"", at) + name.size() + 2;
      return map.substr(start, map.find('"', start) - start);
    };
    const auto fields = [](const std::string& line) {
      std::vector<std::string> parts;
      std::stringstream in(line);
      for (std::string part; std::getline(in, part, ',');) parts.push_back(part);
      return parts;
    };
    const auto header = fields(lines_of(stats).at(0));
    const auto row = fields(lines_of(stats).at(std::stoul(field("data-grid-index"))));
    const auto p_switched = std::find(header.begin(), header.end(), "p_switched") - header.begin();
    EXPECT_EQ(field("data-value"), row.at(static_cast<std::size_t>(p_switched)));
  }
  EXPECT_EQ(cells, 4u) << map.substr(0, 2000);
  EXPECT_NE(map.find(">emigration rate (emig_rate)<"), std::string::npos);

  const fs::path shot = dir / "report.png";
  chromium(page, "--window-size=1400,4000 --screenshot=" + sh_quoted(shot));
  const Picture picture = read_png(shot);
  ASSERT_EQ(picture.width, 1400u);
  ASSERT_EQ(picture.height, 4000u);
  std::size_t inked = 0;
  std::size_t blue = 0;
  std::size_t vermillion = 0;
  auto near = [](const unsigned char* p, int r, int g, int b) {
    return std::abs(p[0] - r) < 10 && std::abs(p[1] - g) < 10 && std::abs(p[2] - b) < 10;
  };
  for (std::size_t i = 0; i + 2 < picture.rgb.size(); i += 3) {
    const unsigned char* p = &picture.rgb[i];
    if (p[0] < 235 || p[1] < 235 || p[2] < 235) ++inked;
    if (near(p, 0x00, 0x72, 0xB2)) ++blue;
    if (near(p, 0xD5, 0x5E, 0x00)) ++vermillion;
  }
  const double pixels = static_cast<double>(picture.width) * picture.height;
  EXPECT_GT(static_cast<double>(inked) / pixels, 0.03);
  EXPECT_GT(blue, 250u);  // both colours of max_dist drawn
  EXPECT_GT(vermillion, 250u);
  std::error_code ignored;
  fs::copy_file(shot, fs::path(HOSTSWITCH_ARTIFACT_DIR) / "report-screenshot.png",
                fs::copy_options::overwrite_existing, ignored);
}

// The x of the tick labelled `label` in `markup`, or NaN.
double tick_x(const std::string& markup, const std::string& label) {
  const auto at = markup.find(">" + label + "</text>");
  if (at == std::string::npos) return NAN;
  const auto tag = markup.rfind("<text", at);
  const auto x = markup.find(" x=\"", tag);
  return x < at ? std::stod(markup.substr(x + 4)) : NAN;
}

// A 3 x 2 sweep, reported on a log axis with its figures exported: the Kaplan-Meier panels
// overlay both colour groups, the axis puts a decade where it belongs, the page's numbers
// are rounded, and every figure file is a column wide.
TEST(ReportInBrowser, FiguresOverlayGroupsOnLogAxesAndExportAColumnWide) {
  const TempDir dir;
  const std::string in_dir = "cd " + sh_quoted(dir.path()) + " && " + kProgram;
  const Outcome sweep = shell(in_dir +
                              " sweep --emig-rate 0.00001,0.00003,0.0001 --max-dist 1,2 "
                              "--n-gen 60 --replicates 12 --seed 5 --jobs 2");
  ASSERT_EQ(sweep.status, 0) << sweep.output;
  const Outcome plain = shell(in_dir + " report summary.csv --table plain.csv -o plain.html");
  ASSERT_EQ(plain.status, 0) << plain.output;
  const Outcome report = shell(in_dir + " report summary.csv --log-x --figures figures");
  ASSERT_EQ(report.status, 0) << report.output;
  EXPECT_EQ(read_file(dir / "stats.csv"), read_file(dir / "plain.csv"));

  const std::string dom = chromium(dir / "report.html", "--dump-dom");
  const std::string km = figure(dom, "figure-survival");
  EXPECT_EQ(count(km, "<g class=\"panel\""), 3u);  // one per emig_rate
  for (auto at = km.find("<g class=\"panel\""); at != std::string::npos;) {
    const auto next = km.find("<g class=\"panel\"", at + 1);
    const std::string panel = km.substr(at, next - at);
    EXPECT_NE(panel.find("stroke=\"#0072B2\""), std::string::npos);  // max_dist = 1
    EXPECT_NE(panel.find("stroke=\"#D55E00\""), std::string::npos);  // max_dist = 2
    at = next;
  }

  const std::string p_extinct = figure(dom, "figure-p_extinct");
  const double decade = tick_x(p_extinct, "0.0001") - tick_x(p_extinct, "1e-05");
  EXPECT_GT(decade, 100.0);
  EXPECT_NEAR(tick_x(p_extinct, "2e-05") - tick_x(p_extinct, "1e-05"), std::log10(2.0) * decade,
              0.05);
  EXPECT_NEAR(tick_x(p_extinct, "5e-05") - tick_x(p_extinct, "1e-05"), std::log10(5.0) * decade,
              0.05);

  // What the page shows as text, tags left out: no number with more than 4 significant digits.
  // (Chromium's own log lines, on the same output, are left out.)
  const auto html = dom.find("<html");
  ASSERT_NE(html, std::string::npos);
  const std::string text =
      std::regex_replace(dom.substr(html, dom.rfind("</html>") - html), std::regex("<[^>]*>"), " ");
  const std::regex decimal("[0-9]+\\.[0-9]+");
  std::size_t numbers = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), decimal);
       it != std::sregex_iterator(); ++it, ++numbers) {
    std::string digits = it->str();
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    digits.erase(0, digits.find_first_not_of('0'));
    EXPECT_LE(digits.size(), 4u) << it->str();
  }
  EXPECT_GT(numbers, 50u);

  std::size_t figures = 0;
  for (const auto& entry : fs::directory_iterator(dir / "figures")) {
    if (entry.path().extension() != ".svg") continue;
    ++figures;
    SCOPED_TRACE(entry.path().string());
    fs::path pdf = entry.path();
    fs::path png = entry.path();
    // Drawn 8.5 cm wide, as tall as the SVG says.
    const std::string svg = read_file(entry.path());
    const auto height_at = svg.find("height=\"");
    ASSERT_NE(height_at, std::string::npos);
    EXPECT_NE(svg.find("width=\"8.5cm\""), std::string::npos);
    const double height_pt = std::stod(svg.substr(height_at + 8)) / 2.54 * 72.0;
    const Outcome info = shell("pdfinfo " + sh_quoted(pdf.replace_extension(".pdf")));
    ASSERT_EQ(info.status, 0) << info.output;
    std::smatch size;
    ASSERT_TRUE(
        std::regex_search(info.output, size, std::regex("Page size: +([0-9.]+) x ([0-9.]+) pts")))
        << info.output;
    EXPECT_NEAR(std::stod(size[1]), 8.5 / 2.54 * 72.0, 0.1);
    EXPECT_NEAR(std::stod(size[2]), height_pt, 0.1);
    EXPECT_EQ(read_png(png.replace_extension(".png")).width, 1004u);  // 8.5 cm at 300 dpi
  }
  // No trajectories given: 7 figures, and 12 phase maps of one panel (the shares by each of
  // the 5 generations of --at, p_switched and p_extinct).
  EXPECT_EQ(figures, 19u);

  // Chromium draws an exported figure as the page does: both groups' colours.
  const fs::path shot = dir / "km.png";
  chromium(dir / "figures" / "km_survival-vs-n_g.svg",
           "--window-size=400,1000 --screenshot=" + sh_quoted(shot));
  const Picture picture = read_png(shot);
  std::size_t blue = 0;
  std::size_t vermillion = 0;
  for (std::size_t i = 0; i + 2 < picture.rgb.size(); i += 3) {
    const unsigned char* p = &picture.rgb[i];
    blue += std::abs(p[0] - 0x00) < 10 && std::abs(p[1] - 0x72) < 10 && std::abs(p[2] - 0xB2) < 10;
    vermillion +=
        std::abs(p[0] - 0xD5) < 10 && std::abs(p[1] - 0x5E) < 10 && std::abs(p[2] - 0x00) < 10;
  }
  EXPECT_GT(blue, 100u);
  EXPECT_GT(vermillion, 100u);
}

}  // namespace
}  // namespace hostswitch
