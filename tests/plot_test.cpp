#include "reporting/plot.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/svg_writer.hpp"
#include "reporting/results_reader.hpp"
#include "tests/results_text.hpp"

#ifdef HOSTSWITCH_HAVE_PNG
#include <png.h>
#endif

namespace hostswitch {
namespace {

using results_text::header;
using results_text::record;

namespace fs = std::filesystem;

// Four generations on a 0.1 class grid from 10.0 to 10.4, worked by hand: cells fill
// x 90..1030 and y 108..642, so a generation is 235 px wide and a class row 133.5 px tall.
// Colour position is log(1 + n) / log(1 + 255): counts 1, 3, 15, 63 and 255 sit at 1/8,
// 1/4, 1/2, 3/4 and 1, exactly on viridis anchors.
std::string small_file() {
  return header() + record(1, 10.05, 1, 10.0, 10.4, 0) + record(2, 10.05, 15, 10.0, 10.4, 0) +
         record(2, 10.15, 255, 10.0, 10.4, 0) + record(3, 10.25, 3, 10.0, 10.3, 2) +
         record(4, 10.35, 63, 10.3, 10.0, 0);
}

struct CellRect {
  std::string fill;
  double x, y, width, height;
};

// The value of attribute `name` in the tag starting at `at`.
std::string value_in_tag(const std::string& svg, std::size_t at, const std::string& name) {
  const std::size_t tag_end = svg.find('>', at);
  const std::size_t value = svg.find(" " + name + "=\"", at);
  if (value == std::string::npos || value > tag_end) return "";
  const std::size_t first = value + name.size() + 3;
  return svg.substr(first, svg.find('"', first) - first);
}

// The cell rectangles with the colour of their group.
std::vector<CellRect> cells_of(const std::string& svg) {
  std::vector<CellRect> out;
  const std::size_t start = svg.find("<g id=\"cells\"");
  const std::size_t end = svg.find("<path id=\"new-host\"");
  if (start == std::string::npos || end == std::string::npos) return out;
  std::string fill;
  for (std::size_t at = svg.find('<', start + 1); at < end; at = svg.find('<', at + 1)) {
    if (svg.compare(at, 9, "<g fill=\"") == 0) {
      fill = value_in_tag(svg, at, "fill");
    } else if (svg.compare(at, 6, "<rect ") == 0) {
      out.push_back(
          {fill, std::stod(value_in_tag(svg, at, "x")), std::stod(value_in_tag(svg, at, "y")),
           std::stod(value_in_tag(svg, at, "width")), std::stod(value_in_tag(svg, at, "height"))});
    }
  }
  return out;
}

std::string attribute_of(const std::string& svg, const std::string& id, const std::string& name) {
  const std::size_t at = svg.find("id=\"" + id + "\"");
  if (at == std::string::npos) return "";
  return value_in_tag(svg, svg.rfind('<', at), name);
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool have(const char* program) {
  return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

class PlotFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("hostswitch_plot_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return dir_ / name;
  }
  fs::path dir_;
};

TEST(PlotGeometry, KnownCellsSitAtTheirPlaceInTheirColour) {
  const std::string svg = render_results_svg(parse_results(small_file(), "small.txt"), "small.txt");
  EXPECT_EQ(attribute_of(svg, "plot-area", "x"), "90");
  EXPECT_EQ(attribute_of(svg, "plot-area", "width"), "940");
  const std::vector<CellRect> cells = cells_of(svg);
  const CellRect expected[] = {{"#472d7b", 90, 508.5, 235, 133.5},
                               {"#21908c", 325, 508.5, 235, 133.5},
                               {"#fde725", 325, 375, 235, 133.5},
                               {"#3b528b", 560, 241.5, 235, 133.5},
                               {"#5dc863", 795, 108, 235, 133.5}};
  ASSERT_EQ(cells.size(), 5u);
  for (const CellRect& e : expected) {
    const auto same = [&](const CellRect& c) {
      return c.fill == e.fill && c.x == e.x && c.y == e.y && c.width == e.width &&
             c.height == e.height;
    };
    EXPECT_EQ(std::count_if(cells.begin(), cells.end(), same), 1) << e.fill << " at " << e.x;
  }
  // Host in use: 10.0 (the bottom of the cells) for three generations, then 10.3.
  EXPECT_EQ(attribute_of(svg, "host-in-use", "d"), "");  // the group holds two paths
  EXPECT_NE(svg.find("d=\"M90 642H795V241.5H1030\""), std::string::npos);
  // The switch of generation 3 is marked at the middle of its column.
  EXPECT_EQ(attribute_of(svg, "host-switches", "d"), "M677.5 84V94");
  EXPECT_NE(svg.find("small.txt \xE2\x80\x94 last generation 4"), std::string::npos);
}

TEST(PlotGeometry, OneGenerationOfOneClassIsAVisibleCell) {
  const std::string svg = render_results_svg(
      parse_results(header() + record(1, 10.05, 100, 10.0, 11.2, 0), "one.txt"), "one.txt");
  const std::vector<CellRect> cells = cells_of(svg);
  ASSERT_EQ(cells.size(), 1u);
  EXPECT_DOUBLE_EQ(cells[0].x, 90);
  EXPECT_DOUBLE_EQ(cells[0].width, 940);
  EXPECT_GT(cells[0].height, 10);
  EXPECT_EQ(cells[0].fill, "#fde725");
  EXPECT_NE(svg.find("last generation 1"), std::string::npos);
  // A lone generation gets one tick, labelled 1, not fractions of a generation.
  EXPECT_NE(svg.find(">1</text>"), std::string::npos);
  EXPECT_EQ(svg.find(">0.5</text>"), std::string::npos);
}

ResultsData steady_run(int generations, int classes, int count) {
  ResultsData data;
  for (int g = 1; g <= generations; ++g) {
    for (int k = 0; k < classes; ++k) data.cells.push_back({g, count, 10.05 + 0.1 * k});
    data.generations.push_back({g, 10.0, 10.0 + 0.1 * classes, g % 50 == 0 ? 1 : 0});
  }
  data.class_records = static_cast<std::int64_t>(data.cells.size());
  return data;
}

TEST(PlotGeometry, LongRunsAverageGenerationsIntoBoundedColumns) {
  // 100,000 generations of 30 classes of 100: each of the at most 1000 columns averages
  // 100 generations, still 100 parasites per class, so every cell shows the top colour.
  const std::string svg = render_results_svg(steady_run(100000, 30, 100), "long.txt");
  const std::vector<CellRect> cells = cells_of(svg);
  ASSERT_EQ(cells.size(), 1000u);  // one merged column of equal cells each
  double width = 0;
  for (const CellRect& c : cells) {
    EXPECT_EQ(c.fill, "#fde725");
    width += c.width;
  }
  EXPECT_NEAR(width, 940, 0.5);
  EXPECT_LT(svg.size(), 1u << 20);
  EXPECT_NE(svg.find("a column averages 100 generations"), std::string::npos);
}

// The y coordinates a path visits: after each M (x then y) and each V.
std::vector<double> path_ys(const std::string& d) {
  std::vector<double> ys;
  for (std::size_t at = 0; at < d.size(); ++at) {
    if (d[at] == 'M') {
      const std::size_t blank = d.find(' ', at);
      ys.push_back(std::stod(d.substr(blank + 1)));
    } else if (d[at] == 'V') {
      ys.push_back(std::stod(d.substr(at + 1)));
    }
  }
  return ys;
}

TEST(PlotGeometry, LongRunsMarkTheOfferedHostsAtTheirEdgesAndLabelTheTopCount) {
  // 100,000 generations of one class at 10.05, 50 and 51 parasites in turn, the host at 10
  // and the offers 2 below and 2 above it in turn. A column averages 100 generations: 50.5
  // parasites, offers from 8 to 12, the very ends of the cells (y 642 and 108).
  ResultsData data;
  for (int g = 1; g <= 100000; ++g) {
    data.cells.push_back({g, 50 + g % 2, 10.05});
    data.generations.push_back({g, 10.0, g % 2 == 1 ? 8.0 : 12.0, 0});
  }
  data.class_records = static_cast<std::int64_t>(data.cells.size());
  const std::string svg = render_results_svg(data, "offers.txt");
  const std::vector<double> ys = path_ys(attribute_of(svg, "new-host", "d"));
  ASSERT_FALSE(ys.empty());
  int low = 0, high = 0;
  for (const double y : ys) {
    // Nothing drawn across the cells between the lowest and the highest offer.
    EXPECT_TRUE(std::abs(y - 642) < 0.01 || std::abs(y - 108) < 0.01) << y;
    low += std::abs(y - 642) < 0.01 ? 1 : 0;
    high += std::abs(y - 108) < 0.01 ? 1 : 0;
  }
  EXPECT_GT(low, 0);
  EXPECT_GT(high, 0);
  EXPECT_NE(svg.find(">max 50.5</text>"), std::string::npos);
  // Classes drawn one by one: the largest count, whole.
  const std::string small = render_results_svg(parse_results(small_file(), "s.txt"), "s.txt");
  EXPECT_NE(small.find(">max 255</text>"), std::string::npos);
}

TEST(PlotGeometry, ASpreadPopulationStillGivesASmallPicture) {
  // Random counts hardly merge: 1000 generations of 80 classes would pass the cap on cell
  // rectangles, drawn class by class or on a grid, so the picture must coarsen.
  ResultsData data;
  std::mt19937 random(7);
  for (int g = 1; g <= 1000; ++g) {
    for (int k = 0; k < 80; ++k) {
      data.cells.push_back({g, 1 + static_cast<int>(random() % 1000), 10.05 + 0.1 * k});
    }
    data.generations.push_back({g, 10.0, 10.0 + 8.0 * (random() % 1000) / 1000.0, 0});
  }
  data.class_records = static_cast<std::int64_t>(data.cells.size());
  const std::string svg = render_results_svg(data, "spread.txt");
  EXPECT_LT(svg.size(), 4u << 20);
  const std::size_t cells = cells_of(svg).size();
  EXPECT_LE(cells, 50000u);
  EXPECT_GT(cells, 5000u);
}

TEST_F(PlotFiles, WritesAWellFormedPictureAndEscapesTheName) {
  const fs::path results = write("a&b<c>'\".txt", small_file());
  const fs::path picture = dir_ / "out.svg";
  plot_results_file({results, picture});
  const std::string svg = read_text(picture);
  EXPECT_NE(svg.find("a&amp;b&lt;c&gt;&apos;&quot;.txt"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir_ / "out.svg.partial"));
  if (!have("xmllint")) GTEST_SKIP() << "xmllint is not installed";
  EXPECT_EQ(std::system(("xmllint --noout '" + picture.string() + "'").c_str()), 0);
}

TEST_F(PlotFiles, FailuresAreErrorsNamingTheFile) {
  const auto message = [](const PlotOptions& options) -> std::string {
    try {
      plot_results_file(options);
    } catch (const PlotError& error) {
      return error.what();
    }
    return "";
  };
  EXPECT_NE(message({dir_ / "missing.txt", dir_ / "m.svg"}).find("missing.txt: cannot open"),
            std::string::npos);
  const fs::path empty_run = write("empty_run.txt", header());
  EXPECT_NE(message({empty_run, dir_ / "e.svg"}).find("holds no generation"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir_ / "e.svg"));
  const fs::path torn = write("torn.txt", small_file() + " 5");
  EXPECT_NE(message({torn, dir_ / "t.svg"}).find("line 16:"), std::string::npos);
  const fs::path good = write("good.txt", small_file());
  EXPECT_NE(message({good, good}).find("overwrite the results file"), std::string::npos);
  EXPECT_EQ(read_text(good), small_file());
  EXPECT_NE(message({good, dir_ / "no" / "such" / "dir.svg"}).find("dir.svg"), std::string::npos);
}

#ifdef HOSTSWITCH_HAVE_PNG
// RGB of every pixel, row by row.
std::vector<unsigned char> read_png(const fs::path& path, unsigned& width, unsigned& height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.string().c_str())) return {};
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
  width = image.width;
  height = image.height;
  return pixels;
}
#endif

TEST_F(PlotFiles, RendersTheKnownCellInItsColour) {
#ifndef HOSTSWITCH_HAVE_PNG
  GTEST_SKIP() << "built without libpng";
#else
  if (!have("rsvg-convert")) GTEST_SKIP() << "rsvg-convert is not installed";
  const fs::path picture = dir_ / "small.svg";
  plot_results_file({write("small.txt", small_file()), picture});
  const fs::path png = dir_ / "small.png";
  ASSERT_EQ(
      std::system(("rsvg-convert -o '" + png.string() + "' '" + picture.string() + "'").c_str()),
      0);
  unsigned width = 0, height = 0;
  const std::vector<unsigned char> pixels = read_png(png, width, height);
  ASSERT_EQ(width, 1200u);
  ASSERT_EQ(height, 720u);
  const auto expect_pixel = [&](unsigned x, unsigned y, int r, int g, int b) {
    const unsigned char* p = &pixels[(std::size_t{y} * width + x) * 3];
    EXPECT_NEAR(p[0], r, 2) << x << "," << y;
    EXPECT_NEAR(p[1], g, 2) << x << "," << y;
    EXPECT_NEAR(p[2], b, 2) << x << "," << y;
  };
  expect_pixel(442, 443, 0xfd, 0xe7, 0x25);  // generation 2, class 10.15
  expect_pixel(200, 580, 0x47, 0x2d, 0x7b);  // generation 1, class 10.05
  expect_pixel(900, 440, 0xff, 0xff, 0xff);  // generation 4, an empty row
  expect_pixel(4, 4, 0xff, 0xff, 0xff);      // the page
#endif
}

TEST(SvgWriter, NumbersAreShortAndLocaleFree) {
  EXPECT_EQ(svg_number(0.1 + 0.2), "0.3");
  EXPECT_EQ(svg_number(137.5), "137.5");
  EXPECT_EQ(svg_number(-0.001), "0");
  EXPECT_EQ(svg_number(1234567.0), "1234567");
  EXPECT_EQ(svg_number(2.345678, 3), "2.346");
  EXPECT_EQ(svg_number(std::numeric_limits<double>::quiet_NaN()), "0");
}

TEST(SvgWriter, TextIsEscapedIntoWellFormedXml) {
  EXPECT_EQ(xml_escape("a&b<c>\"d'e"), "a&amp;b&lt;c&gt;&quot;d&apos;e");
  EXPECT_EQ(xml_escape("caf\xC3\xA9 \xE2\x80\x94"), "caf\xC3\xA9 \xE2\x80\x94");
  // A stray byte, a cut sequence, an overlong form and a surrogate each become U+FFFD.
  EXPECT_EQ(xml_escape("x\xFFy"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(xml_escape("\xE2\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(xml_escape("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(xml_escape("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  // Control characters XML cannot hold are dropped; tab and line feed are kept as references.
  EXPECT_EQ(xml_escape(std::string("a\x01\x1F\x7F\tb\n", 8)), "a&#9;b&#10;");

  SvgWriter svg(10, 20);
  svg.open("g").attr("id", "<\"x\">").open("text").text("1 < 2").close();
  const std::string document = svg.finish();
  EXPECT_NE(document.find("<g id=\"&lt;&quot;x&quot;&gt;\">"), std::string::npos);
  EXPECT_NE(document.find("<text>1 &lt; 2</text>"), std::string::npos);
  EXPECT_NE(document.find("viewBox=\"0 0 10 20\""), std::string::npos);
  EXPECT_EQ(document.substr(document.size() - 12), "</g>\n</svg>\n");
}

}  // namespace
}  // namespace hostswitch
