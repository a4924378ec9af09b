#include "analysis/replicate_stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace hostswitch {
namespace {

// R: prop.test(x, n, correct = FALSE)$conf.int
TEST(WilsonInterval, MatchesTheScoreIntervalAtBothEdgesAndInTheMiddle) {
  const ProportionInterval none = wilson_interval(0, 10);
  EXPECT_EQ(none.lo, 0.0);
  EXPECT_NEAR(none.hi, 0.2775328, 1e-7);
  const ProportionInterval half = wilson_interval(5, 10);
  EXPECT_NEAR(half.lo, 0.2365931, 1e-7);
  EXPECT_NEAR(half.hi, 0.7634069, 1e-7);
  const ProportionInterval all = wilson_interval(10, 10);
  EXPECT_NEAR(all.lo, 0.7224672, 1e-7);
  EXPECT_EQ(all.hi, 1.0);
}

std::vector<KaplanMeierStep> curve_of(std::vector<SurvivalObservation> observations) {
  return kaplan_meier(observations);
}

TEST(KaplanMeier, NoEventsLeaveTheCurveAtOneAndNoMedian) {
  const auto curve = curve_of({{5, false}, {5, false}, {5, false}});
  ASSERT_EQ(curve.size(), 1U);
  EXPECT_EQ(curve[0].n_risk, 3);
  EXPECT_EQ(curve[0].n_censor, 3);
  EXPECT_EQ(curve[0].surv, 1.0);
  EXPECT_FALSE(kaplan_meier_median(curve).median);
}

TEST(KaplanMeier, AllEventsStepDownToZeroWithGreenwoodBoundsOnTheLogScale) {
  const auto curve = curve_of({{4, true}, {1, true}, {3, true}, {2, true}});
  ASSERT_EQ(curve.size(), 4U);
  EXPECT_DOUBLE_EQ(curve[0].surv, 0.75);
  EXPECT_DOUBLE_EQ(curve[1].surv, 0.5);
  EXPECT_DOUBLE_EQ(curve[3].surv, 0.0);
  // se(log S) at t = 1: sqrt(d / (n (n - d))) = sqrt(1 / 12); the upper bound is cut at 1.
  ASSERT_TRUE(curve[0].lower && curve[0].upper);
  EXPECT_NEAR(*curve[0].lower, 0.75 * std::exp(-kNormal975 * std::sqrt(1.0 / 12.0)), 1e-12);
  EXPECT_EQ(*curve[0].upper, 1.0);
  EXPECT_FALSE(curve[3].lower);
  // The curve sits at one half from 2 until the drop at 3: the median is the midpoint.
  EXPECT_EQ(kaplan_meier_median(curve).median, 2.5);
}

TEST(KaplanMeier, TiesAndCensoringCountAtRiskAsTheEstimatorDoes) {
  // Two events tie at 2 of 4 at risk; a censored run at 3 leaves one at risk for the event at 5.
  const auto tied = curve_of({{2, true}, {2, true}, {3, false}, {5, true}});
  ASSERT_EQ(tied.size(), 3U);
  EXPECT_EQ(tied[0].n_event, 2);
  EXPECT_DOUBLE_EQ(tied[0].surv, 0.5);
  EXPECT_EQ(tied[1].n_censor, 1);
  EXPECT_EQ(tied[2].n_risk, 1);
  EXPECT_DOUBLE_EQ(tied[2].surv, 0.0);
  EXPECT_EQ(kaplan_meier_median(tied).median, 3.5);  // at one half from 2 to the drop at 5

  // 0.75 after the event at 1, then 0.75 * 1/2 at 3 once the run censored at 2 has left.
  const auto censored = curve_of({{1, true}, {2, false}, {3, true}, {4, true}});
  EXPECT_DOUBLE_EQ(censored[2].surv, 0.375);
  EXPECT_EQ(kaplan_meier_median(censored).median, 3.0);
}

}  // namespace
}  // namespace hostswitch
