#include "analysis/sensitivity_report.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "batch/design.hpp"
#include "batch/summary.hpp"
#include "test_support.hpp"

namespace hostswitch {
namespace {

using testing::TempDir;
using testing::write_file;

// A summary of one completed replicate per design point: every run lasts n_gen generations, so
// mean_extinction_generation is n_gen itself and nothing else has any effect on it.
SummaryData completed_runs(const TempDir& dir, const Design& design, std::size_t skip = SIZE_MAX) {
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
    std::string line = summary_line(row);
    if (!design.label_names.empty()) line.insert(line.size() - 1, "," + design.labels[g]);
    text += line;
  }
  write_file(dir / "summary.csv", text);
  return read_summary(dir / "summary.csv");
}

// The numbers of the CSV's row (-1 for an empty field) for `output` and `parameter`.
std::vector<double> row_of(const std::string& csv, const std::string& output,
                           const std::string& parameter) {
  std::istringstream lines(csv);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(output + "," + parameter + ",", 0) != 0) continue;
    std::vector<double> values;
    std::istringstream fields(line.substr(output.size() + parameter.size() + 2));
    for (std::string field; std::getline(fields, field, ',');) {
      values.push_back(field.empty() ? -1.0 : std::stod(field));
    }
    if (line.back() == ',') values.push_back(-1.0);  // an empty last field
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
            "output,parameter,S1,S1_lo,S1_hi,ST,ST_lo,ST_hi,replicate_noise_share");
  const auto n_gen = row_of(indices->csv, "mean_extinction_generation", "n_gen");
  const auto emig_rate = row_of(indices->csv, "mean_extinction_generation", "emig_rate");
  ASSERT_EQ(n_gen.size(), 7u);
  EXPECT_NEAR(n_gen[0], 1.0, 0.05);  // S1
  EXPECT_NEAR(n_gen[3], 1.0, 0.05);  // ST
  EXPECT_EQ(emig_rate[0], 0.0);      // AB1 rows change nothing the output sees
  EXPECT_EQ(emig_rate[3], 0.0);
  EXPECT_EQ(n_gen[6], -1.0);  // one replicate: the noise is unknown
  EXPECT_NE(indices->html.find("<section id=\"sensitivity\">"), std::string::npos);

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

  // The shares by the generations 40, 100, 200, 300 and 400 (n_gen up to 400) and the switch
  // rate are outputs too; no run here switches or dies, so nothing moves them.
  for (const std::string output : {"mean_switch_rate", "p_switched_by_40", "p_extinct_by_400"}) {
    const auto row = row_of(effects->csv, output, "n_gen");
    ASSERT_EQ(row.size(), 5u) << output;
    EXPECT_EQ(row[1], 0.0) << output;  // mu*
  }
  EXPECT_NE(indices->html.find("p_extinct_by_G against G"), std::string::npos);

  // A grid's summary has no such section.
  Design grid =
      grid_design(ParameterLists{{100}, {0.5}, {1000}, {0.1, 0.2}, {1}, {0.5}, {2}, {50}});
  grid.labels.assign(grid.points.size(), "");
  EXPECT_FALSE(sensitivity_report(completed_runs(dir, grid)));
}

}  // namespace
}  // namespace hostswitch
