#include "analysis/scenario_discovery.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace hostswitch {
namespace {

// Points, hits of the box given by limits that include themselves, counted afresh.
std::pair<std::int64_t, std::int64_t> count_in(const DiscoveryPoints& points, const PrimBox& box) {
  std::int64_t in = 0;
  std::int64_t hits = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    bool inside = true;
    for (std::size_t k = 0; k < box.lo.size(); ++k) {
      const double x = points.values[k][i];
      inside = inside && x >= box.lo[k] && x <= box.hi[k];
    }
    in += inside;
    hits += inside && points.meets[i];
  }
  return {in, hits};
}

void expect_rows_agree_with_their_limits(const DiscoveryPoints& points, const PrimResult& result) {
  std::int64_t total_hits = 0;
  for (const char m : points.meets) total_hits += m;
  for (const PrimBox& box : result.boxes) {
    const auto [in, hits] = count_in(points, box);
    SCOPED_TRACE("step " + std::to_string(box.step));
    EXPECT_DOUBLE_EQ(box.mass, static_cast<double>(in) / static_cast<double>(points.size()));
    EXPECT_DOUBLE_EQ(box.density, static_cast<double>(hits) / static_cast<double>(in));
    EXPECT_DOUBLE_EQ(box.coverage, static_cast<double>(hits) / static_cast<double>(total_hits));
    // Only the last row may be the pasted box, which is then the one chosen.
    if (box.pasted) {
      EXPECT_EQ(&box, &result.boxes.back());
      EXPECT_EQ(result.chosen, result.boxes.size() - 1);
    }
  }
  EXPECT_LT(result.chosen, result.boxes.size());
}

// 2,000 points uniform on [0, 1]^5; the condition holds with chance 0.95 in the box
// x0 <= 0.6, 0.3 <= x1 <= 0.9, x2 >= 0.35 and 0.05 outside it.
DiscoveryPoints planted_box() {
  DiscoveryPoints points;
  points.parameters = {0, 1, 2, 3, 4};
  points.values.assign(5, {});
  std::mt19937_64 engine(20261210);
  const auto uniform = [&engine] { return static_cast<double>(engine() >> 11) * 0x1p-53; };
  for (int i = 0; i < 2000; ++i) {
    for (auto& values : points.values) values.push_back(uniform());
    const auto& v = points.values;
    const bool inside =
        v[0].back() <= 0.6 && v[1].back() >= 0.3 && v[1].back() <= 0.9 && v[2].back() >= 0.35;
    points.meets.push_back(uniform() < (inside ? 0.95 : 0.05) ? 1 : 0);
  }
  return points;
}

TEST(Prim, FindsAPlantedBoxWithinOnePeelOfItsLimits) {
  const DiscoveryPoints points = planted_box();
  PrimOptions options;
  options.min_density = 0.9;
  const PrimResult result = prim(points, options);
  const PrimBox& box = result.boxes[result.chosen];
  // One peel takes 5% of the points, 0.05 of a uniform parameter's range.
  const double width = 0.05;
  const std::vector<double> lo = {0.0, 0.3, 0.35, 0.0, 0.0};
  const std::vector<double> hi = {0.6, 0.9, 1.0, 1.0, 1.0};
  for (std::size_t k = 0; k < 5; ++k) {
    EXPECT_NEAR(box.lo[k], lo[k], width) << "parameter " << k;
    EXPECT_NEAR(box.hi[k], hi[k], width) << "parameter " << k;
  }
  EXPECT_GE(box.density, 0.9);
  EXPECT_EQ(named_restrictions(points, result, box), (std::vector<char>{1, 1, 1, 0, 0}));
  expect_rows_agree_with_their_limits(points, result);
  EXPECT_EQ(result.boxes.front().restricted, 0);
  EXPECT_DOUBLE_EQ(result.boxes.front().mass, 1.0);
}

// A 10 x 10 grid of whole values, meeting the condition exactly where x0 >= 5 and x1 <= 6.
DiscoveryPoints grid_box() {
  DiscoveryPoints points;
  points.parameters = {3, 4};
  points.values.assign(2, {});
  for (int a = 0; a < 10; ++a) {
    for (int b = 0; b < 10; ++b) {
      points.values[0].push_back(a);
      points.values[1].push_back(b);
      points.meets.push_back(a >= 5 && b <= 6 ? 1 : 0);
    }
  }
  return points;
}

TEST(Prim, OnAGridPeelsWholeValuesDownToTheBox) {
  const DiscoveryPoints points = grid_box();
  PrimOptions options;
  options.min_density = 1.0;
  const PrimResult result = prim(points, options);
  // 5% of 100 points is 5, but a peel takes a whole row or column of 10: five columns and
  // three rows, each without a hit, then the box holds only hits and peeling stops.
  ASSERT_EQ(result.boxes.size(), 9u);
  const PrimBox& box = result.boxes[result.chosen];
  EXPECT_EQ(result.chosen, 8u);
  EXPECT_EQ(box.lo, (std::vector<double>{5, 0}));
  EXPECT_EQ(box.hi, (std::vector<double>{9, 6}));
  EXPECT_EQ(box.restricted, 2);
  EXPECT_DOUBLE_EQ(box.mass, 0.35);
  EXPECT_DOUBLE_EQ(box.density, 1.0);
  EXPECT_DOUBLE_EQ(box.coverage, 1.0);
  EXPECT_EQ(result.boxes[1].points, 90);
  expect_rows_agree_with_their_limits(points, result);
  EXPECT_EQ(box_words(points, result, box), "emig_rate ≥ 5 and sdr ≤ 6");
  EXPECT_EQ(named_restrictions(points, result, box), (std::vector<char>{1, 1}));

  const std::string csv = boxes_csv(result);
  EXPECT_EQ(csv.substr(0, csv.find('\n')),
            "step,coverage,density,mass,restricted,emig_rate_lo,emig_rate_hi,sdr_lo,sdr_hi,"
            "chosen,pasted");
  EXPECT_NE(csv.find("\n8,1,1,0.35,2,5,9,0,6,1,0\n"), std::string::npos) << csv;

  // Without the sdr limit the box holds 50 points, 35 hits: P(35 of 35 at 0.7) = 0.7^35.
  EXPECT_NEAR(quasi_p_value(points, result, box, 1) / std::pow(0.7, 35), 1.0, 1e-9);
}

TEST(Prim, ALimitThatOnlyFollowsThePointsIsNotNamed) {
  // Ten points on the diagonal, meeting it from 5 on: peeling the low end of the first
  // parameter draws the second one's limit in too, but that limit keeps no point out.
  DiscoveryPoints points;
  points.parameters = {3, 4};
  points.values.assign(2, {});
  for (int a = 0; a < 10; ++a) {
    points.values[0].push_back(a);
    points.values[1].push_back(a);
    points.meets.push_back(a >= 5 ? 1 : 0);
  }
  const PrimResult result = prim(points);
  const PrimBox& box = result.boxes[result.chosen];
  EXPECT_EQ(box.lo, (std::vector<double>{5, 5}));
  EXPECT_EQ(box.restricted, 2);
  EXPECT_EQ(named_restrictions(points, result, box), (std::vector<char>{1, 0}));
  EXPECT_EQ(box_words(points, result, box), "emig_rate ≥ 5");
}

TEST(BinomialTail, MatchesSumsWorkedByHand) {
  EXPECT_DOUBLE_EQ(binomial_upper_tail(3, 2, 0.5), 0.5);  // (3 + 1) / 8
  EXPECT_NEAR(binomial_upper_tail(10, 10, 0.5), 1.0 / 1024, 1e-15);
  EXPECT_NEAR(binomial_upper_tail(4, 1, 0.25), 1.0 - std::pow(0.75, 4), 1e-14);
  EXPECT_EQ(binomial_upper_tail(5, 0, 0.1), 1.0);
  EXPECT_EQ(binomial_upper_tail(5, 6, 0.9), 0.0);
}

TEST(DiscoveryCondition, ReadsEachOperatorAndRefusesWhatItCannotRead) {
  GridPointStats stats;
  stats.p_switched = 0.5;
  const std::vector<std::pair<std::string, bool>> read = {
      {"p_switched >= 0.5", true}, {"p_switched>0.5", false},   {" p_switched == 0.5 ", true},
      {"p_switched!=0.5", false},  {"p_switched < 0.5", false}, {"p_switched<=5e-1", true},
      {"p_extinct < 0.5", true}};
  for (const auto& [text, met] : read) {
    EXPECT_EQ(parse_condition(text).met_by(stats), met) << text;
  }
  EXPECT_EQ(parse_condition("p_switched>=0.5").text(), "p_switched ≥ 0.5");
  // A share by any generation: the shares at that generation, none of another generation.
  stats.by_generation = {SharesBy{50, 0.75, {0.6, 0.9}, 0.125, {0.05, 0.3}}};
  EXPECT_TRUE(parse_condition("p_switched_by_50 >= 0.75").met_by(stats));
  EXPECT_TRUE(parse_condition("p_extinct_by_50_hi > 0.25").met_by(stats));
  EXPECT_FALSE(parse_condition("p_extinct_by_49 >= 0").met_by(stats));
  EXPECT_EQ(parse_condition("p_switched_by_50_lo < 1").output.generation, 50);
  // The median of a curve that never comes down to one half meets nothing.
  EXPECT_FALSE(parse_condition("km_median_extinction != 3").met_by(stats));
  for (const std::string text : {"p_switched >> 0.5", "p_switched >=", ">= 0.5", "p_switched 0.5",
                                 "p_switched >= 0.5x", "p_switched >= nan", ""}) {
    try {
      parse_condition(text);
      ADD_FAILURE() << text;
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find("<, <=, >, >=, ==, !="), std::string::npos);
    }
  }
  for (const std::string name : {"p_switched_by_050", "p_switched_by_0", "p_switched_by_",
                                 "p_extinct_by_99999999999", "p_extinct_by_5_mid"}) {
    EXPECT_THROW(parse_condition(name + " > 0"), std::invalid_argument) << name;
  }
  try {
    parse_condition("p_hosted >= 0.5");
    ADD_FAILURE();
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("\"p_hosted\" is not a per-point output (grid_index"),
              std::string::npos)
        << error.what();
    EXPECT_NE(std::string(error.what()).find("p_switched,"), std::string::npos);
  }
}

}  // namespace
}  // namespace hostswitch
