#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace hostswitch {

// Two-sided 95% normal quantile, qnorm(0.975).
inline constexpr double kNormal975 = 1.959963984540054;

struct ProportionInterval {
  double lo = 0.0;
  double hi = 1.0;
};

// The Wilson score interval of x successes in n trials (n > 0), without continuity
// correction; the bound on the side of an observed 0 or n is exactly 0 or 1.
ProportionInterval wilson_interval(std::int64_t x, std::int64_t n);

// One replicate as survival data: extinct at `time`, or still alive (censored) at `time`.
struct SurvivalObservation {
  std::int32_t time = 0;
  bool event = false;
};

// One row of a Kaplan-Meier curve: a time at which something happened.
struct KaplanMeierStep {
  std::int32_t time = 0;
  std::int64_t n_risk = 0;
  std::int64_t n_event = 0;
  std::int64_t n_censor = 0;
  double surv = 1.0;
  // 95% pointwise interval on the log scale with Greenwood's variance; none where the
  // curve has reached 0.
  std::optional<double> lower;
  std::optional<double> upper;
};

// The curve over every distinct time, in increasing time. Sorts `observations`.
std::vector<KaplanMeierStep> kaplan_meier(std::vector<SurvivalObservation>& observations);
// The same into `curve`, whose storage is reused from one grid point to the next.
void kaplan_meier(std::vector<SurvivalObservation>& observations,
                  std::vector<KaplanMeierStep>& curve);

struct MedianWithInterval {
  std::optional<double> median;  // none when the curve never comes down to one half
  std::optional<double> lo;
  std::optional<double> hi;
};

// The median time and its 95% interval, read where the curve and its lower and upper
// bounds first come down to one half. A curve that sits at one half over an interval
// gives the midpoint between where it reached one half and where it next drops.
MedianWithInterval kaplan_meier_median(std::span<const KaplanMeierStep> curve);

// Sample quantile by linear interpolation between order statistics (R's default, type 7)
// of sorted values.
double sorted_quantile(std::span<const std::int32_t> sorted, double probability);

}  // namespace hostswitch
