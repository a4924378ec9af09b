#include "batch/design.hpp"

#include <algorithm>
#include <array>
#include <boost/random/sobol.hpp>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>

#include "batch/design_values.hpp"
#include "batch/manifest.hpp"
#include "batch/summary.hpp"

namespace hostswitch {

namespace {

using design_values::integer_parameter;
using design_values::parameter_named;
using design_values::point_refusal;
using design_values::real_of;

constexpr std::array<std::string_view, 5> kKindNames = {"grid", "lhs", "sobol", "morris", "file"};

// The design's own draws: the 64-bit Mersenne Twister is fixed by the standard, the mappings to
// [0, 1) and to 0 ... n - 1 are fixed here, so a seed gives the same design on every platform.
class DesignRandom {
 public:
  explicit DesignRandom(std::uint64_t seed) : engine_(seed) {}
  double unit() { return static_cast<double>(engine_() >> 11) * 0x1p-53; }
  std::uint64_t below(std::uint64_t n) {
    // Rejection keeps every value equally likely.
    const std::uint64_t limit =
        std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % n;
    for (;;) {
      const std::uint64_t x = engine_();
      if (x < limit) return x % n;
    }
  }

 private:
  std::mt19937_64 engine_;
};

std::vector<ParameterRange> sorted_ranges(std::vector<ParameterRange> ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const ParameterRange& a, const ParameterRange& b) {
    return a.parameter < b.parameter;
  });
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].parameter == ranges[i - 1].parameter) {
      throw std::invalid_argument("--range: " + std::string(kParameterNames[ranges[i].parameter]) +
                                  " is given twice");
    }
  }
  if (ranges.empty()) throw std::invalid_argument("--range: give at least one parameter to vary");
  return ranges;
}

// Unit coordinates (row after row, one column per range) mapped onto the ranges.
std::vector<SimulationParameters> points_of(const SimulationParameters& base,
                                            const std::vector<ParameterRange>& ranges,
                                            const std::vector<double>& unit) {
  const std::size_t k = ranges.size();
  std::vector<SimulationParameters> points(unit.size() / k, base);
  for (std::size_t row = 0; row < points.size(); ++row) {
    for (std::size_t c = 0; c < k; ++c) {
      set_parameter(points[row], ranges[c].parameter, range_value(ranges[c], unit[row * k + c]));
    }
  }
  return points;
}

// Every candidate compares each of its N(N - 1) / 2 pairs of points, so the work grows with the
// square of N: above this many pairs over all candidates (seconds of work) it is refused.
constexpr std::uint64_t kMaximinPairs = 2'000'000'000;

void check_maximin_cost(std::int32_t samples, std::int32_t candidates) {
  if (candidates < 2) return;
  const auto n = static_cast<std::uint64_t>(samples);
  const auto k = static_cast<std::uint64_t>(candidates);
  const std::uint64_t allowed = kMaximinPairs / k;  // pairs a candidate may have
  if (n * (n - 1) / 2 <= allowed) return;
  std::uint64_t largest = 1;
  while ((largest + 1) * largest / 2 <= allowed) ++largest;
  std::ostringstream message;
  message << "--maximin: " << candidates << " hypercubes of " << samples << " samples compare "
          << std::setprecision(3)
          << static_cast<double>(k) * static_cast<double>(n) * static_cast<double>(n - 1) / 2.0
          << " pairs of points (K N (N - 1) / 2), more than the " << kMaximinPairs
          << " this command takes on; give at most " << largest << " samples for " << candidates
          << " hypercubes, fewer hypercubes, or leave --maximin out";
  throw std::invalid_argument(message.str());
}

double smallest_distance(const std::vector<double>& unit, std::size_t k) {
  const std::size_t n = unit.size() / k;
  double smallest = std::numeric_limits<double>::infinity();
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = a + 1; b < n; ++b) {
      double squares = 0.0;
      for (std::size_t c = 0; c < k; ++c) {
        const double d = unit[a * k + c] - unit[b * k + c];
        squares += d * d;
      }
      smallest = std::min(smallest, squares);
    }
  }
  return smallest;
}

}  // namespace

std::string_view design_kind_name(DesignKind kind) {
  return kKindNames[static_cast<std::size_t>(kind)];
}

std::optional<DesignKind> design_kind_by_name(std::string_view name) {
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    if (kKindNames[i] == name) return static_cast<DesignKind>(i);
  }
  return std::nullopt;
}

ParameterRange parse_range(std::string_view text) {
  const std::string flag = "--range " + std::string(text);
  auto refuse = [&](const std::string& why) -> void {
    throw std::invalid_argument(flag + ": " + why);
  };
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) refuse("expected NAME=LO:HI or NAME=LO:HI:log");
  const auto which = parameter_named(text.substr(0, equals));
  if (!which) refuse("'" + std::string(text.substr(0, equals)) + "' is not a parameter");
  ParameterRange range;
  range.parameter = *which;
  std::string_view rest = text.substr(equals + 1);
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) refuse("expected NAME=LO:HI or NAME=LO:HI:log");
  std::string_view high_text = rest.substr(colon + 1);
  const std::size_t second = high_text.find(':');
  if (second != std::string_view::npos) {
    if (high_text.substr(second + 1) != "log") refuse("the only scale after LO:HI is log");
    range.log = true;
    high_text = high_text.substr(0, second);
  }
  const auto low = real_of(rest.substr(0, colon));
  const auto high = real_of(high_text);
  if (!low || !high) refuse("LO and HI must be finite numbers");
  range.low = *low;
  range.high = *high;
  if (!(range.low < range.high)) refuse("LO must be below HI");
  if (range.log && !(range.low > 0.0)) refuse("a log range needs LO above 0");
  if (integer_parameter(range.parameter) &&
      (range.low < -2147483648.0 || range.high > 2147483647.0)) {
    refuse("an integer parameter lies between -2147483648 and 2147483647");
  }
  return range;
}

std::string range_text(const ParameterRange& range) {
  return std::string(kParameterNames[range.parameter]) + "=" + shortest(range.low) + ":" +
         shortest(range.high) + (range.log ? ":log" : "");
}

double range_value(const ParameterRange& range, double u) {
  double value = 0.0;
  if (range.log) {
    const double low = std::log(range.low);
    value = std::exp(low + u * (std::log(range.high) - low));
  } else {
    value = range.low + u * (range.high - range.low);
  }
  // exp and rounding may step a hair outside; the ends are the user's own values.
  value = std::clamp(value, range.low, range.high);
  return integer_parameter(range.parameter) ? std::round(value) : value;
}

double range_unit(const ParameterRange& range, double value) {
  if (range.log) {
    return (std::log(value) - std::log(range.low)) / (std::log(range.high) - std::log(range.low));
  }
  return (value - range.low) / (range.high - range.low);
}

void set_parameter(SimulationParameters& p, std::size_t which, double value) {
  if (integer_parameter(which)) {
    // Callers keep integer values within 32 bits; the clamp keeps the conversion defined anyway.
    value = std::clamp(std::round(value), -2147483648.0, 2147483647.0);
  }
  set_parameter_value(p, which, value);
}

std::vector<double> sobol_sequence(std::size_t dimensions, std::size_t count) {
  std::vector<double> points(dimensions * count, 0.0);  // the first point is the origin
  if (count < 2) return points;
  boost::random::sobol engine(static_cast<unsigned>(dimensions));
  for (std::size_t i = dimensions; i < points.size(); ++i) {
    // 53 of the 64 bits: exact, and below 1.
    points[i] = static_cast<double>(engine() >> 11) * 0x1p-53;
  }
  return points;
}

Design grid_design(const ParameterLists& lists) {
  Design design;
  design.kind = DesignKind::grid;
  design.points = expand_grid(lists);
  check_design(design);
  return design;
}

Design lhs_design(const SimulationParameters& base, std::vector<ParameterRange> ranges,
                  const LhsRequest& request) {
  if (request.samples < 1) throw std::invalid_argument("--samples: must be at least 1");
  if (request.maximin < 1) throw std::invalid_argument("--maximin: must be at least 1");
  check_maximin_cost(request.samples, request.maximin);
  ranges = sorted_ranges(std::move(ranges));
  const std::size_t k = ranges.size();
  const auto n = static_cast<std::size_t>(request.samples);
  DesignRandom random(request.seed);
  std::vector<double> best;
  double best_distance = -1.0;
  std::vector<std::size_t> strata(n);
  for (std::int32_t candidate = 0; candidate < request.maximin; ++candidate) {
    std::vector<double> unit(n * k);
    for (std::size_t c = 0; c < k; ++c) {
      for (std::size_t i = 0; i < n; ++i) strata[i] = i;
      for (std::size_t i = n; i > 1; --i) std::swap(strata[i - 1], strata[random.below(i)]);
      for (std::size_t i = 0; i < n; ++i) {
        unit[i * k + c] = (static_cast<double>(strata[i]) + random.unit()) / static_cast<double>(n);
      }
    }
    if (request.maximin == 1) {
      best = std::move(unit);
      break;
    }
    const double distance = smallest_distance(unit, k);
    if (distance > best_distance) {
      best_distance = distance;
      best = std::move(unit);
    }
  }
  Design design;
  design.kind = DesignKind::lhs;
  design.ranges = ranges;
  design.points = points_of(base, ranges, best);
  check_design(design);
  return design;
}

Design sobol_design(const SimulationParameters& base, std::vector<ParameterRange> ranges,
                    const SobolRequest& request) {
  if (request.samples < 1) throw std::invalid_argument("--samples: must be at least 1");
  ranges = sorted_ranges(std::move(ranges));
  const std::size_t k = ranges.size();
  const auto n = static_cast<std::size_t>(request.samples);
  if (n * (k + 2) > 2147483647U) {
    throw std::invalid_argument("--samples: the design would have more than 2147483647 points");
  }
  // The origin is left out: its A and B rows would be the same point.
  std::vector<double> sequence = sobol_sequence(2 * k, n + 1);
  sequence.erase(sequence.begin(), sequence.begin() + static_cast<std::ptrdiff_t>(2 * k));
  if (request.seed) {
    DesignRandom random(*request.seed);
    std::vector<double> shift(2 * k);
    for (double& s : shift) s = random.unit();
    for (std::size_t i = 0; i < sequence.size(); ++i) {
      double u = sequence[i] + shift[i % (2 * k)];
      if (u >= 1.0) u -= 1.0;
      sequence[i] = u;
    }
  }
  // Blocks of N rows: A, B, then AB1 ... ABk (A with column i taken from B).
  std::vector<double> unit(n * (k + 2) * k);
  std::vector<std::string> blocks;
  blocks.reserve(n * (k + 2));
  for (std::size_t block = 0; block < k + 2; ++block) {
    const std::string name = block == 0 ? "A" : block == 1 ? "B" : "AB" + std::to_string(block - 1);
    for (std::size_t j = 0; j < n; ++j) {
      double* row = &unit[(block * n + j) * k];
      const double* a = &sequence[j * 2 * k];
      const double* b = a + k;
      for (std::size_t c = 0; c < k; ++c) row[c] = block == 1 ? b[c] : a[c];
      if (block >= 2) row[block - 2] = b[block - 2];
      blocks.push_back(name);
    }
  }
  Design design;
  design.kind = DesignKind::sobol;
  design.ranges = ranges;
  design.points = points_of(base, ranges, unit);
  design.label_names = {"block"};
  design.labels = std::move(blocks);
  check_design(design);
  return design;
}

Design morris_design(const SimulationParameters& base, std::vector<ParameterRange> ranges,
                     const MorrisRequest& request) {
  if (request.trajectories < 1) throw std::invalid_argument("--trajectories: must be at least 1");
  if (request.levels < 2 || request.levels % 2 != 0 || request.levels > 1000) {
    throw std::invalid_argument("--levels: give an even number of levels from 2 to 1000, got " +
                                std::to_string(request.levels));
  }
  ranges = sorted_ranges(std::move(ranges));
  const std::size_t k = ranges.size();
  const auto r = static_cast<std::size_t>(request.trajectories);
  if (r * (k + 1) > 2147483647U) {
    throw std::invalid_argument(
        "--trajectories: the design would have more than 2147483647 points");
  }
  const double p = request.levels;
  const double delta = p / (2.0 * (p - 1.0));
  // Starting levels 0, 1/(P-1), ... up to 1 - delta, so that a step up stays within [0, 1].
  const auto starts = static_cast<std::uint64_t>(request.levels / 2);
  DesignRandom random(request.seed);
  std::vector<double> unit;
  unit.reserve(r * (k + 1) * k);
  std::vector<std::string> labels;
  labels.reserve(r * (k + 1));
  std::vector<std::size_t> order(k);
  std::vector<double> point(k);
  std::vector<double> direction(k);
  for (std::size_t t = 0; t < r; ++t) {
    for (std::size_t c = 0; c < k; ++c) {
      const double start = static_cast<double>(random.below(starts)) / (p - 1.0);
      direction[c] = random.below(2) == 0 ? 1.0 : -1.0;
      point[c] = direction[c] > 0 ? start : start + delta;
      order[c] = c;
    }
    for (std::size_t i = k; i > 1; --i) std::swap(order[i - 1], order[random.below(i)]);
    for (std::size_t step = 0; step <= k; ++step) {
      if (step > 0) {
        const std::size_t c = order[step - 1];
        point[c] = direction[c] > 0 ? point[c] + delta : point[c] - delta;
        // Levels are multiples of 1/(P-1): snap, so that the ends are exactly 0 and 1.
        point[c] = std::round(point[c] * (p - 1.0)) / (p - 1.0);
      }
      unit.insert(unit.end(), point.begin(), point.end());
      labels.push_back(std::to_string(t + 1) + "," + std::to_string(step));
    }
  }
  Design design;
  design.kind = DesignKind::morris;
  design.ranges = ranges;
  design.levels = request.levels;
  design.points = points_of(base, ranges, unit);
  design.label_names = {"trajectory", "step"};
  design.labels = std::move(labels);
  check_design(design);
  return design;
}

void check_design(const Design& design) {
  if (design.points.empty()) throw std::invalid_argument("the design has no points");
  const SimulationParameters& first = design.points.front();
  for (const ParameterRange& range : design.ranges) {
    for (const double end : {range.low, range.high}) {
      SimulationParameters p = first;
      set_parameter(p, range.parameter, end);
      if (const auto refusal = point_refusal(p, true)) {
        throw std::invalid_argument("--range " + range_text(range) + ": " + *refusal);
      }
    }
  }
  for (std::size_t g = 0; g < design.points.size(); ++g) {
    if (const auto refusal = point_refusal(design.points[g], true)) {
      throw std::invalid_argument("design point " + std::to_string(g + 1) + ": " + *refusal);
    }
  }
}

}  // namespace hostswitch
