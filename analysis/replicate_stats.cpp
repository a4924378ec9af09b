#include "analysis/replicate_stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace hostswitch {

ProportionInterval wilson_interval(std::int64_t x, std::int64_t n) {
  const double z = kNormal975;
  const double trials = static_cast<double>(n);
  const double p = static_cast<double>(x) / trials;
  const double z22n = z * z / (2.0 * trials);
  const double spread = std::sqrt(p * (1.0 - p) / trials + z22n / (2.0 * trials));
  const double upper = p >= 1.0 ? 1.0 : (p + z22n + z * spread) / (1.0 + 2.0 * z22n);
  const double lower = p <= 0.0 ? 0.0 : (p + z22n - z * spread) / (1.0 + 2.0 * z22n);
  return ProportionInterval{std::max(lower, 0.0), std::min(upper, 1.0)};
}

std::vector<KaplanMeierStep> kaplan_meier(std::vector<SurvivalObservation>& observations) {
  std::vector<KaplanMeierStep> curve;
  kaplan_meier(observations, curve);
  return curve;
}

void kaplan_meier(std::vector<SurvivalObservation>& observations,
                  std::vector<KaplanMeierStep>& curve) {
  curve.clear();
  std::sort(
      observations.begin(), observations.end(),
      [](const SurvivalObservation& a, const SurvivalObservation& b) { return a.time < b.time; });
  auto at_risk = static_cast<std::int64_t>(observations.size());
  double surv = 1.0;
  double greenwood = 0.0;  // sum of d / (n (n - d)): the variance of log S
  bool reached_zero = false;
  for (std::size_t i = 0; i < observations.size();) {
    KaplanMeierStep step;
    step.time = observations[i].time;
    step.n_risk = at_risk;
    for (; i < observations.size() && observations[i].time == step.time; ++i) {
      if (observations[i].event) {
        ++step.n_event;
      } else {
        ++step.n_censor;
      }
    }
    if (step.n_event > 0) {
      const auto n = static_cast<double>(step.n_risk);
      const auto d = static_cast<double>(step.n_event);
      surv *= (n - d) / n;
      if (step.n_event == step.n_risk) {
        reached_zero = true;
      } else {
        greenwood += d / (n * (n - d));
      }
    }
    step.surv = surv;
    if (!reached_zero && surv > 0.0) {
      const double se = std::sqrt(greenwood);
      step.lower = std::exp(std::log(surv) - kNormal975 * se);
      step.upper = std::min(std::exp(std::log(surv) + kNormal975 * se), 1.0);
    }
    at_risk -= step.n_event + step.n_censor;
    curve.push_back(step);
  }
}

namespace {

// The first time a curve comes down to one half, within a relative tolerance of the
// square root of the machine epsilon; sitting at one half over an interval gives the
// midpoint of that interval.
template <class Value>
std::optional<double> first_half(std::span<const KaplanMeierStep> curve, Value value) {
  const double tolerance = std::sqrt(std::numeric_limits<double>::epsilon());
  std::optional<double> first_y;
  double first_x = 0.0;
  for (const KaplanMeierStep& step : curve) {
    const std::optional<double> y = value(step);
    if (!y || !(*y < 0.5 + tolerance)) continue;
    if (!first_y) {
      first_y = *y;
      first_x = step.time;
      if (!(std::abs(*y - 0.5) < tolerance)) return first_x;
      continue;
    }
    if (*y < *first_y) return (first_x + static_cast<double>(step.time)) / 2.0;
  }
  if (first_y) return first_x;
  return std::nullopt;
}

}  // namespace

MedianWithInterval kaplan_meier_median(std::span<const KaplanMeierStep> curve) {
  MedianWithInterval result;
  result.median =
      first_half(curve, [](const KaplanMeierStep& s) { return std::optional<double>(s.surv); });
  result.lo = first_half(curve, [](const KaplanMeierStep& s) { return s.lower; });
  result.hi = first_half(curve, [](const KaplanMeierStep& s) { return s.upper; });
  return result;
}

double sorted_quantile(std::span<const std::int32_t> sorted, double probability) {
  if (sorted.empty()) return std::numeric_limits<double>::quiet_NaN();
  const double h = static_cast<double>(sorted.size() - 1) * probability;
  const auto low = static_cast<std::size_t>(std::floor(h));
  const std::size_t high = std::min(low + 1, sorted.size() - 1);
  const double fraction = h - static_cast<double>(low);
  const auto a = static_cast<double>(sorted[low]);
  const auto b = static_cast<double>(sorted[high]);
  return fraction == 0.0 ? a : a + fraction * (b - a);
}

}  // namespace hostswitch
