#include "analysis/sensitivity_report.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "analysis/report.hpp"
#include "batch/design.hpp"
#include "batch/summary.hpp"
#include "test_support.hpp"

namespace hostswitch {
namespace {

using testing::TempDir;
using testing::write_file;

// A summary of one completed replicate per design point: every run lasts n_gen generations, so
// mean_extinction_generation is n_gen itself and nothing else has any effect on it. `switches`
// gives each point's switch generations (none by default).
SummaryData completed_runs(const TempDir& dir, const Design& design, std::size_t skip = SIZE_MAX,
                           const std::vector<std::int32_t>& switches = {}) {
  std::string text = summary_header_with(design.label_names);
  for (std::size_t g = 0; g < design.points.size(); ++g) {
    if (g == skip) continue;
    SummaryRow row;
    row.parameters = design.points[g];
    row.label = RunLabel{static_cast<std::int32_t>(g + 1), 1, 0};
    row.generations_run = row.parameters.n_gen;
    row.longest_stay = row.generations_run;
    row.final_n_pop = 5;
    row.final_r_phe = 10;
    row.final_mean_phe = 10;
    row.final_sd_phe = 1;
    if (!switches.empty() && switches[g] > 0) {
      row.switch_generations = switches[g];
      row.first_switch_generation = switches[g];  // any generation up to n_gen would do
      row.farthest_host_distance = 1;
    }
    std::string line = summary_line(row);
    if (!design.label_names.empty()) line.insert(line.size() - 1, "," + design.labels[g]);
    text += line;
  }
  write_file(dir / "summary.csv", text);
  return read_summary(dir / "summary.csv");
}

// The numbers of the CSV's row (-1 for an empty field) for `output` and `parameter`.
std::vector<double> row_of(const std::string& csv, const std::string& output,
                           const std::string& parameter, std::string* warning = nullptr) {
  std::istringstream lines(csv);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(output + "," + parameter + ",", 0) != 0) continue;
    std::vector<double> values;
    std::string rest = line.substr(output.size() + parameter.size() + 2);
    // The warning is the last field, text (quoted when it holds a comma).
    const std::size_t last = rest.back() == '"' ? rest.rfind(",\"") : rest.rfind(',');
    if (warning) *warning = rest.substr(last + 1);
    rest.erase(last);
    std::istringstream fields(rest);
    for (std::string field; std::getline(fields, field, ',');) {
      values.push_back(field.empty() ? -1.0 : std::stod(field));
    }
    if (rest.empty() || rest.back() == ',') values.push_back(-1.0);  // an empty last field
    return values;
  }
  ADD_FAILURE() << output << "," << parameter << " not in\n" << csv;
  return {};
}

TEST(SensitivityReport, IndicesAndEffectsOfAnOutputOnlyOneParameterDrives) {
  const TempDir dir;
  const auto ranges = {parse_range("emig_rate=0:1"), parse_range("n_gen=100:400")};
  const SummaryData sobol =
      completed_runs(dir, sobol_design(typical_parameters(), ranges, {256, std::nullopt}));
  const auto indices = sensitivity_report(sobol, 100);
  ASSERT_TRUE(indices);
  EXPECT_EQ(indices->csv.substr(0, indices->csv.find('\n')),
            "output,parameter,S1,S1_lo,S1_hi,ST,ST_lo,ST_hi,replicate_noise_share,warning");
  const auto n_gen = row_of(indices->csv, "mean_extinction_generation", "n_gen");
  const auto emig_rate = row_of(indices->csv, "mean_extinction_generation", "emig_rate");
  ASSERT_EQ(n_gen.size(), 7u);
  EXPECT_NEAR(n_gen[0], 1.0, 0.05);  // S1
  EXPECT_NEAR(n_gen[3], 1.0, 0.05);  // ST
  EXPECT_EQ(emig_rate[0], 0.0);      // AB1 rows change nothing the output sees
  EXPECT_EQ(emig_rate[3], 0.0);
  EXPECT_EQ(n_gen[6], -1.0);  // one replicate: the noise is unknown
  EXPECT_NE(indices->html.find("<section id=\"sensitivity\">"), std::string::npos);
  // No run goes extinct: p_extinct is 0 everywhere, so it has no index, not an index of 0.
  std::string warning = "unread";
  EXPECT_EQ(row_of(indices->csv, "p_extinct", "n_gen", &warning), std::vector<double>(7, -1.0));
  EXPECT_EQ(warning, "");
  EXPECT_NE(indices->html.find("p_extinct is the same at every design point (0): no index"),
            std::string::npos);
  row_of(indices->csv, "mean_extinction_generation", "emig_rate", &warning);
  EXPECT_EQ(warning, "");
  // The S1 estimator is not centred, so with an output near 250 its interval may be wide:
  // the warning follows the numbers.
  row_of(indices->csv, "mean_extinction_generation", "n_gen", &warning);
  EXPECT_EQ(warning, n_gen[2] - n_gen[1] > 1.0
                         ? "S1 interval wider than 1: raise N (design size) or replicates"
                         : "");

  // A block short of a point gives a note, not indices.
  const SummaryData short_of_one =
      completed_runs(dir, sobol_design(typical_parameters(), ranges, {256, std::nullopt}), 700);
  const auto none = sensitivity_report(short_of_one, 10);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->csv, "");
  EXPECT_NE(none->html.find("block AB1 has 255"), std::string::npos) << none->html;

  // Morris: the levels of n_gen are 100, 200, 300, 400, so every effect is 300 a span.
  const SummaryData morris =
      completed_runs(dir, morris_design(typical_parameters(), ranges, {6, 4, 9}));
  const auto effects = sensitivity_report(morris);
  ASSERT_TRUE(effects);
  for (const auto& [parameter, span] : {std::pair{"n_gen", 300.0}, {"emig_rate", 0.0}}) {
    const auto mu = row_of(effects->csv, "mean_extinction_generation", parameter);
    const double expected[] = {span, span, 0, 6, -1};  // mu, mu*, sigma, effects, noise

    ASSERT_EQ(mu.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_NEAR(mu[i], expected[i], 1e-9) << parameter << i;
  }
  const double no_effects[] = {-1, -1, -1, 6, -1};  // a constant output: only the count
  EXPECT_EQ(row_of(effects->csv, "p_switched", "n_gen"),
            std::vector<double>(std::begin(no_effects), std::end(no_effects)));
  EXPECT_NE(effects->html.find("p_switched is the same at every design point (0): no index"),
            std::string::npos);

  // One trajectory: an effect a parameter, so no spread to give; σ is empty, not 0.
  const auto single = sensitivity_report(
      completed_runs(dir, morris_design(typical_parameters(), ranges, {1, 4, 9})));
  ASSERT_TRUE(single);
  const auto lone = row_of(single->csv, "mean_extinction_generation", "n_gen");
  ASSERT_EQ(lone.size(), 5u);
  EXPECT_EQ(lone[2], -1.0);
  EXPECT_EQ(lone[3], 1.0);
  row_of(single->csv, "mean_extinction_generation", "n_gen", &warning);
  EXPECT_EQ(warning, "\"one effect, so no sigma: raise trajectories\"");
  EXPECT_NE(single->html.find("no σ: emig_rate, n_gen"), std::string::npos);

  // Two base rows, switches planted so that by hand V = 1, S1 = mean(f(B)(f(AB) - f(A))) / V
  // = (12 * 2 + 10 * -2) / 2 = 2 and ST = mean((f(A) - f(AB))^2) / 2V = 2; a bootstrap draw of
  // base row 1 twice gives S1 = 24, of row 2 twice -20.
  SummaryData planted = completed_runs(
      dir, sobol_design(typical_parameters(), {parse_range("n_gen=100:400")}, {2, std::nullopt}),
      SIZE_MAX, {10, 12, 12, 10, 12, 10});
  planted.at_generations = {11};  // p_switched_by_11 follows the planted switches too
  const auto tiny = sensitivity_report(planted, 100);
  ASSERT_TRUE(tiny);
  const auto wide = row_of(tiny->csv, "mean_switches", "n_gen", &warning);
  ASSERT_EQ(wide.size(), 7u);
  EXPECT_DOUBLE_EQ(wide[0], 2.0);
  EXPECT_DOUBLE_EQ(wide[3], 2.0);
  EXPECT_EQ(warning,
            "\"S1 interval wider than 1; S1 outside [0, 1]; ST outside [0, 1]: raise N (design "
            "size) or replicates\"");
  EXPECT_NE(tiny->html.find("⚠ n_gen: S1 interval wider than 1; S1 outside [0, 1]; ST outside "
                            "[0, 1]: raise N (design size) or replicates."),
            std::string::npos);
  EXPECT_NE(tiny->html.find(">⚠ number of generations<"), std::string::npos);

  const auto by_11 = row_of(tiny->csv, "p_switched_by_11", "n_gen");  // the same by hand
  ASSERT_EQ(by_11.size(), 7u);
  EXPECT_DOUBLE_EQ(by_11[0], 2.0);
  EXPECT_DOUBLE_EQ(by_11[3], 2.0);
  EXPECT_NE(tiny->html.find("share switched by generation G (p_switched_by_G)"), std::string::npos);

  // The shares by the generations 40, 100, 200, 300 and 400 (n_gen up to 400) and the switch
  // rate are outputs too; no run here switches or dies, so they have no effects to give.
  for (const std::string output : {"mean_switch_rate", "p_switched_by_40", "p_extinct_by_400"}) {
    const auto row = row_of(effects->csv, output, "n_gen");
    ASSERT_EQ(row.size(), 5u) << output;
    EXPECT_EQ(row[1], -1.0) << output;  // mu*, empty
  }

  // A grid's summary has no such section.
  Design grid =
      grid_design(ParameterLists{{100}, {0.5}, {1000}, {0.1, 0.2}, {1}, {0.5}, {2}, {50}});
  grid.labels.assign(grid.points.size(), "");
  EXPECT_FALSE(sensitivity_report(completed_runs(dir, grid)));
}

// Attribute `name` of the first element in `svg` at or after `from` that has it.
double attribute(const std::string& svg, std::size_t from, const std::string& name) {
  const std::size_t at = svg.find(" " + name + "=\"", from);
  EXPECT_NE(at, std::string::npos) << name;
  return at == std::string::npos ? -1.0 : std::stod(svg.substr(at + name.size() + 3));
}

TEST(SensitivityFigures, FilesOfTheirOwnWithAKeyAndANegativeIndexLeftOfZero) {
  const TempDir dir;
  // Switches planted as above but with f(AB) = (8, 14): by hand S1 = (12 * -2 + 10 * 2) / 2 = -2
  // and ST = (4 + 4) / 2 / 2 = 2.
  const SummaryData planted = completed_runs(
      dir, sobol_design(typical_parameters(), {parse_range("n_gen=100:400")}, {2, std::nullopt}),
      SIZE_MAX, {10, 12, 12, 10, 8, 14});
  std::vector<FigureFile> files;
  const auto report = sensitivity_report(planted, 50, &files);
  ASSERT_TRUE(report);
  const auto row = row_of(report->csv, "mean_switches", "n_gen");
  ASSERT_EQ(row.size(), 7u);
  EXPECT_DOUBLE_EQ(row[0], -2.0);
  EXPECT_DOUBLE_EQ(row[3], 2.0);
  std::map<std::string, std::string> by_name;
  for (const FigureFile& f : files) by_name[f.name] = f.svg;
  for (const char* name : {"sobol-mean_switches", "design-mean_switches", "design-p_switched"}) {
    EXPECT_TRUE(by_name.contains(name)) << name;
  }
  const std::string& svg = by_name["sobol-mean_switches"];
  EXPECT_NE(svg.find("font-family=\"sans-serif\""), std::string::npos);
  EXPECT_NE(svg.find(">first-order index (S1)<"), std::string::npos);  // the key
  EXPECT_NE(svg.find(">total index (ST)<"), std::string::npos);
  EXPECT_NE(svg.find("number of generations"), std::string::npos);  // the parameter in words
  const std::size_t panel = svg.find("class=\"panel\"");            // past the key's swatches
  // Both bars start at the zero line: ST's from its left edge, S1's ends there.
  const std::size_t first = svg.rfind("<rect", svg.find("fill=\"#0072B2\" fill-opacity", panel));
  const std::size_t total = svg.rfind("<rect", svg.find("fill=\"#D55E00\" fill-opacity", panel));
  const double zero = attribute(svg, total, "x");
  EXPECT_LT(attribute(svg, first, "x"), zero);
  EXPECT_NEAR(attribute(svg, first, "x") + attribute(svg, first, "width"), zero, 0.02);
  // The page shows the same figures, each once.
  EXPECT_NE(report->html.find("id=\"figure-sobol-mean_switches\""), std::string::npos);
  EXPECT_EQ(report->html.find("<?xml"), std::string::npos);
}

}  // namespace
}  // namespace hostswitch
