#include "analysis/scenario_discovery.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "base/number_chars.hpp"
#include "batch/summary.hpp"
#include "model/parameters.hpp"
#include "reporting/figure_scale.hpp"

namespace hostswitch {

namespace {

using Op = DiscoveryCondition::Op;

struct OpWord {
  std::string_view written;
  std::string_view shown;
  Op op;
};
// Two-character operators first, so "<=" is not read as "<".
constexpr std::array<OpWord, 6> kOps = {{{"<=", "≤", Op::kLessEqual},
                                         {">=", "≥", Op::kGreaterEqual},
                                         {"==", "=", Op::kEqual},
                                         {"!=", "≠", Op::kNotEqual},
                                         {"<", "<", Op::kLess},
                                         {">", ">", Op::kGreater}}};

std::string accepted_outputs() {
  std::string names;
  for (const StatsColumn& column : stats_columns({})) {
    names += (names.empty() ? "" : ", ") + column.name;
  }
  return names + ", p_switched_by_G, p_extinct_by_G and their _lo and _hi, G a generation";
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

bool DiscoveryCondition::met_by(const GridPointStats& stats) const {
  const std::optional<double> value = output.of(stats);
  if (!value) return false;
  switch (op) {
    case Op::kLess:
      return *value < threshold;
    case Op::kLessEqual:
      return *value <= threshold;
    case Op::kGreater:
      return *value > threshold;
    case Op::kGreaterEqual:
      return *value >= threshold;
    case Op::kEqual:
      return *value == threshold;
    case Op::kNotEqual:
      return *value != threshold;
  }
  return false;
}

std::string DiscoveryCondition::text() const {
  std::string_view shown;
  for (const OpWord& word : kOps) {
    if (word.op == op) shown = word.shown;
  }
  return output.name + " " + std::string(shown) + " " + shortest(threshold);
}

DiscoveryCondition parse_condition(std::string_view expression) {
  std::string malformed = "\"";
  malformed.append(expression)
      .append(
          "\" is not OUTPUT OP NUMBER (OP one of <, <=, >, >=, ==, !=; e.g. \"p_switched >= "
          "0.5\")");
  std::string_view rest = trimmed(expression);
  std::size_t length = 0;
  while (length < rest.size() && name_char(rest[length])) ++length;
  const std::string_view name = rest.substr(0, length);
  rest = trimmed(rest.substr(length));
  const auto word = std::find_if(kOps.begin(), kOps.end(), [&](const OpWord& w) {
    return rest.substr(0, w.written.size()) == w.written;
  });
  if (name.empty() || word == kOps.end()) throw std::invalid_argument(malformed);
  rest = trimmed(rest.substr(word->written.size()));
  DiscoveryCondition condition;
  condition.op = word->op;
  const auto [end, error] =
      double_from_chars(rest.data(), rest.data() + rest.size(), condition.threshold);
  if (rest.empty() || error != std::errc() || end != rest.data() + rest.size() ||
      !std::isfinite(condition.threshold)) {
    throw std::invalid_argument(malformed);
  }
  const std::optional<StatsColumn> output = stats_column(name);
  if (!output) {
    std::string message = "\"";
    message.append(name).append("\" is not a per-point output (").append(accepted_outputs());
    throw std::invalid_argument(message + ")");
  }
  condition.output = *output;
  return condition;
}

DiscoveryPoints discovery_points(const SummaryData& summary, const DiscoveryCondition& condition) {
  DiscoveryPoints points;
  const std::size_t n = summary.points.size();
  std::array<std::vector<double>, kParameterCount> all;
  for (auto& values : all) values.reserve(n);
  points.meets.reserve(n);
  if (condition.output.generation > 0 && condition.output.name.starts_with("p_switched") &&
      !summary.has_outcomes) {
    throw std::invalid_argument(condition.output.name +
                                " needs the summary's first_switch_generation, which a summary "
                                "of 0.3 does not have");
  }
  std::vector<std::int32_t> at;
  if (condition.output.generation > 0) at.push_back(condition.output.generation);
  GridPointStatsBuilder builder(std::move(at), summary.has_outcomes);
  for (const GridPointRuns& point : summary.points) {
    for (std::size_t p = 0; p < kParameterCount; ++p) {
      all[p].push_back(parameter_value(point.parameters, p));
    }
    points.meets.push_back(condition.met_by(builder(point, false)) ? 1 : 0);
  }
  for (std::size_t p = 0; p < kParameterCount; ++p) {
    const auto [low, high] = std::minmax_element(all[p].begin(), all[p].end());
    if (n > 0 && *low != *high) {
      points.parameters.push_back(p);
      points.values.push_back(std::move(all[p]));
    }
  }
  return points;
}

namespace {

// A move of one limit of parameter k: peeling takes points out, pasting adds them.
struct Move {
  std::size_t k = 0;
  bool low = true;
  double limit = 0.0;  // the limit after the move
  std::int64_t points = 0;
  std::int64_t hits = 0;
};

// The box being peeled or pasted: its limits, which points it holds and how many meet the
// condition. Each parameter's points are sorted once, so a move walks from the box's edge.
class BoxState {
 public:
  explicit BoxState(const DiscoveryPoints& points) : points_(points), in_(points.size(), 1) {
    const std::size_t parameters = points.parameters.size();
    order_.resize(parameters);
    lo_.resize(parameters);
    hi_.resize(parameters);
    for (std::size_t k = 0; k < parameters; ++k) {
      std::vector<std::uint32_t>& order = order_[k];
      order.resize(points.size());
      std::iota(order.begin(), order.end(), 0U);
      const std::vector<double>& v = points.values[k];
      std::stable_sort(order.begin(), order.end(),
                       [&v](std::uint32_t a, std::uint32_t b) { return v[a] < v[b]; });
      lo_[k] = v[order.front()];
      hi_[k] = v[order.back()];
    }
    recount();
  }

  std::int64_t points() const { return points_in_; }
  std::int64_t hits() const { return hits_in_; }
  const std::vector<double>& lo() const { return lo_; }
  const std::vector<double>& hi() const { return hi_; }

  void set_limits(const std::vector<double>& lo, const std::vector<double>& hi) {
    lo_ = lo;
    hi_ = hi;
    recount();
  }

  // The peel of at least `share` of the box from one end of parameter k, whole tied values;
  // none when that would empty the box.
  std::optional<Move> peel(std::size_t k, bool low, std::int64_t share) const {
    Move move{k, low};
    const std::vector<double>& v = points_.values[k];
    const std::vector<std::uint32_t>& order = order_[k];
    for (std::size_t j = 0; j < order.size(); ++j) {
      const std::uint32_t i = low ? order[j] : order[order.size() - 1 - j];
      if (!in_[i]) continue;
      if (move.points >= share && v[i] != move.limit) break;
      move.limit = v[i];
      ++move.points;
      move.hits += points_.meets[i];
    }
    if (move.points >= points_in_) return std::nullopt;
    return move;
  }

  // The paste of at least `share` more points beyond one limit of parameter k, from the
  // points within the other limits, whole tied values; none when there are none.
  std::optional<Move> paste(std::size_t k, bool low, std::int64_t share) const {
    Move move{k, low};
    const std::vector<double>& v = points_.values[k];
    const std::vector<std::uint32_t>& order = order_[k];
    const auto edge = low ? std::lower_bound(order.begin(), order.end(), lo_[k],
                                             [&v](std::uint32_t i, double x) { return v[i] < x; })
                          : std::upper_bound(order.begin(), order.end(), hi_[k],
                                             [&v](double x, std::uint32_t i) { return x < v[i]; });
    const auto at = static_cast<std::size_t>(edge - order.begin());
    const std::size_t beyond = low ? at : order.size() - at;
    for (std::size_t j = 0; j < beyond; ++j) {
      const std::uint32_t i = low ? order[at - 1 - j] : order[at + j];
      if (!within_others(i, k)) continue;
      if (move.points >= share && v[i] != move.limit) break;
      move.limit = v[i];
      ++move.points;
      move.hits += points_.meets[i];
    }
    if (move.points == 0) return std::nullopt;
    return move;
  }

  // A peel's limit is the last value taken out, a paste's the last taken in.
  void apply(const Move& move, bool peeling) {
    double& limit = (move.low ? lo_ : hi_)[move.k];
    limit = peeling ? std::nextafter(move.limit, move.low ? HUGE_VAL : -HUGE_VAL) : move.limit;
    recount();
  }

 private:
  bool within_others(std::uint32_t i, std::size_t except) const {
    for (std::size_t k = 0; k < lo_.size(); ++k) {
      const double x = points_.values[k][i];
      if (k != except && (x < lo_[k] || x > hi_[k])) return false;
    }
    return true;
  }

  // Membership from the limits, and the limits drawn in to the points they hold.
  void recount() {
    points_in_ = 0;
    hits_in_ = 0;
    std::vector<double> lo(lo_.size(), HUGE_VAL);
    std::vector<double> hi(hi_.size(), -HUGE_VAL);
    for (std::uint32_t i = 0; i < in_.size(); ++i) {
      in_[i] = within_others(i, lo_.size()) ? 1 : 0;
      if (!in_[i]) continue;
      ++points_in_;
      hits_in_ += points_.meets[i];
      for (std::size_t k = 0; k < lo.size(); ++k) {
        lo[k] = std::min(lo[k], points_.values[k][i]);
        hi[k] = std::max(hi[k], points_.values[k][i]);
      }
    }
    if (points_in_ > 0) {
      lo_ = std::move(lo);
      hi_ = std::move(hi);
    }
  }

  const DiscoveryPoints& points_;
  std::vector<std::vector<std::uint32_t>> order_;
  std::vector<char> in_;
  std::vector<double> lo_, hi_;
  std::int64_t points_in_ = 0;
  std::int64_t hits_in_ = 0;
};

double density_after(const BoxState& box, const Move& move, bool peeling) {
  const std::int64_t sign = peeling ? -1 : 1;
  return static_cast<double>(box.hits() + sign * move.hits) /
         static_cast<double>(box.points() + sign * move.points);
}

// The move leaving the densest box, the smaller change of equals first; peels that would
// leave fewer than `floor` points are not tried.
std::optional<Move> best_move(const BoxState& box, std::size_t parameters, std::int64_t share,
                              bool peeling, std::int64_t floor) {
  std::optional<Move> best;
  double best_density = -1.0;
  for (std::size_t k = 0; k < parameters; ++k) {
    for (const bool low : {true, false}) {
      const std::optional<Move> move = peeling ? box.peel(k, low, share) : box.paste(k, low, share);
      if (!move || (peeling && box.points() - move->points < floor)) continue;
      const double density = density_after(box, *move, peeling);
      if (density > best_density || (density == best_density && move->points < best->points)) {
        best = move;
        best_density = density;
      }
    }
  }
  return best;
}

std::int64_t share_of(double alpha, std::int64_t points) {
  return std::max<std::int64_t>(
      1, static_cast<std::int64_t>(std::ceil(alpha * static_cast<double>(points) - 1e-9)));
}

PrimBox box_of(const PrimResult& result, const BoxState& state, std::int32_t step) {
  PrimBox box;
  box.step = step;
  box.lo = state.lo();
  box.hi = state.hi();
  box.points = state.points();
  box.hits = state.hits();
  box.coverage =
      result.hits > 0 ? static_cast<double>(box.hits) / static_cast<double>(result.hits) : 0.0;
  box.density =
      box.points > 0 ? static_cast<double>(box.hits) / static_cast<double>(box.points) : 0.0;
  box.mass = static_cast<double>(box.points) / static_cast<double>(result.points);
  for (std::size_t k = 0; k < box.lo.size(); ++k) {
    if (restricted_low(result, box, k) || restricted_high(result, box, k)) ++box.restricted;
  }
  return box;
}

// Of the boxes whose density reaches the target, the one of most coverage, the densest of
// equals: no box chosen is beaten on both. With none, the densest, of equals the most coverage.
std::size_t chosen_box(const std::vector<PrimBox>& boxes, double min_density) {
  const auto better = [](const PrimBox& a, const PrimBox& b, bool by_coverage) {
    if (by_coverage && a.coverage != b.coverage) return a.coverage > b.coverage;
    if (a.density != b.density) return a.density > b.density;
    return a.coverage > b.coverage;
  };
  std::optional<std::size_t> best;
  for (std::size_t b = 0; b < boxes.size(); ++b) {
    if (boxes[b].density >= min_density && (!best || better(boxes[b], boxes[*best], true)))
      best = b;
  }
  if (best) return *best;
  std::size_t densest = 0;
  for (std::size_t b = 1; b < boxes.size(); ++b) {
    if (better(boxes[b], boxes[densest], false)) densest = b;
  }
  return densest;
}

}  // namespace

bool restricted_low(const PrimResult& result, const PrimBox& box, std::size_t k) {
  return box.lo[k] > result.full_lo[k];
}

bool restricted_high(const PrimResult& result, const PrimBox& box, std::size_t k) {
  return box.hi[k] < result.full_hi[k];
}

PrimResult prim(const DiscoveryPoints& points, const PrimOptions& options) {
  PrimResult result;
  result.parameters = points.parameters;
  result.points = static_cast<std::int64_t>(points.size());
  if (result.points == 0) throw std::invalid_argument("no points to look for a box in");
  result.hits = std::accumulate(points.meets.begin(), points.meets.end(), std::int64_t{0});
  BoxState state(points);
  result.full_lo = state.lo();
  result.full_hi = state.hi();
  result.boxes.push_back(box_of(result, state, 0));
  const auto floor = static_cast<std::int64_t>(
      std::ceil(options.min_mass * static_cast<double>(result.points) - 1e-9));
  const std::size_t parameters = points.parameters.size();
  // Peeling: a box where every point meets the condition cannot be made denser.
  while (state.hits() > 0 && state.hits() < state.points()) {
    const auto move =
        best_move(state, parameters, share_of(options.alpha, state.points()), true, floor);
    if (!move) break;
    state.apply(*move, true);
    result.boxes.push_back(box_of(result, state, static_cast<std::int32_t>(result.boxes.size())));
  }
  result.chosen = chosen_box(result.boxes, options.min_density);
  // Pasting the chosen box: widen a limit while that raises the density.
  const PrimBox& chosen = result.boxes[result.chosen];
  state.set_limits(chosen.lo, chosen.hi);
  bool widened = false;
  for (;;) {
    const auto move =
        best_move(state, parameters, share_of(options.alpha, state.points()), false, 0);
    if (!move || !(density_after(state, *move, false) >
                   static_cast<double>(state.hits()) / static_cast<double>(state.points())))
      break;
    state.apply(*move, false);
    widened = true;
  }
  if (widened) {
    result.boxes.push_back(box_of(result, state, static_cast<std::int32_t>(result.boxes.size())));
    result.boxes.back().pasted = true;
    result.chosen = result.boxes.size() - 1;
  }
  return result;
}

std::string boxes_csv(const PrimResult& result) {
  std::string csv = "step,coverage,density,mass,restricted";
  for (const std::size_t p : result.parameters) {
    csv += ',' + std::string(kParameterNames[p]) + "_lo," + std::string(kParameterNames[p]) + "_hi";
  }
  csv += ",chosen,pasted\n";
  for (std::size_t b = 0; b < result.boxes.size(); ++b) {
    const PrimBox& box = result.boxes[b];
    csv += std::to_string(box.step) + ',' + shortest(box.coverage) + ',' + shortest(box.density) +
           ',' + shortest(box.mass) + ',' + std::to_string(box.restricted);
    for (std::size_t k = 0; k < box.lo.size(); ++k) {
      csv += ',' + shortest(box.lo[k]) + ',' + shortest(box.hi[k]);
    }
    csv += b == result.chosen ? ",1," : ",0,";
    csv += box.pasted ? "1\n" : "0\n";
  }
  return csv;
}

std::string box_words(const DiscoveryPoints& points, const PrimResult& result, const PrimBox& box) {
  std::vector<std::string> limits;
  const std::vector<char> named = named_restrictions(points, result, box);
  for (std::size_t k = 0; k < box.lo.size(); ++k) {
    const std::string name(kParameterNames[result.parameters[k]]);
    if (!named[k]) continue;
    const bool low = restricted_low(result, box, k);
    const bool high = restricted_high(result, box, k);
    if (low && high) {
      limits.push_back(tick_text(box.lo[k]) + " ≤ " + name + " ≤ " + tick_text(box.hi[k]));
    } else if (low) {
      limits.push_back(name + " ≥ " + tick_text(box.lo[k]));
    } else if (high) {
      limits.push_back(name + " ≤ " + tick_text(box.hi[k]));
    }
  }
  if (limits.empty()) return "the whole space";
  std::string words;
  for (std::size_t i = 0; i < limits.size(); ++i) {
    if (i > 0) words += i + 1 == limits.size() ? " and " : ", ";
    words += limits[i];
  }
  return words;
}

double binomial_upper_tail(std::int64_t n, std::int64_t k, double p) {
  if (k <= 0) return 1.0;
  if (k > n || p <= 0.0) return 0.0;
  if (p >= 1.0) return 1.0;
  // Terms summed in log space from the largest down, so none underflows before it matters.
  const double log_p = std::log(p);
  const double log_q = std::log1p(-p);
  const auto log_term = [&](std::int64_t j) {
    const auto x = static_cast<double>(j);
    const auto m = static_cast<double>(n);
    return std::lgamma(m + 1.0) - std::lgamma(x + 1.0) - std::lgamma(m - x + 1.0) + x * log_p +
           (m - x) * log_q;
  };
  double largest = -HUGE_VAL;
  for (std::int64_t j = k; j <= n; ++j) largest = std::max(largest, log_term(j));
  double sum = 0.0;
  for (std::int64_t j = k; j <= n; ++j) sum += std::exp(log_term(j) - largest);
  return std::min(1.0, std::exp(largest + std::log(sum)));
}

namespace {

BoxCount count_box(const DiscoveryPoints& points, const std::vector<double>& lo,
                   const std::vector<double>& hi) {
  BoxCount wider;
  for (std::size_t i = 0; i < points.size(); ++i) {
    bool in = true;
    for (std::size_t j = 0; j < lo.size() && in; ++j) {
      in = points.values[j][i] >= lo[j] && points.values[j][i] <= hi[j];
    }
    if (!in) continue;
    ++wider.points;
    wider.hits += points.meets[i];
  }
  return wider;
}

}  // namespace

BoxCount without_restriction(const DiscoveryPoints& points, const PrimResult& result,
                             const PrimBox& box, std::size_t k) {
  std::vector<double> lo = box.lo;
  std::vector<double> hi = box.hi;
  lo[k] = result.full_lo[k];
  hi[k] = result.full_hi[k];
  return count_box(points, lo, hi);
}

std::vector<char> named_restrictions(const DiscoveryPoints& points, const PrimResult& result,
                                     const PrimBox& box) {
  const std::size_t parameters = box.lo.size();
  std::vector<char> named(parameters, 0);
  std::vector<std::int64_t> alone(parameters, 0);
  for (std::size_t k = 0; k < parameters; ++k) {
    named[k] = restricted_low(result, box, k) || restricted_high(result, box, k) ? 1 : 0;
    for (const double x : points.values[k]) alone[k] += x < box.lo[k] || x > box.hi[k];
  }
  std::vector<std::size_t> order(parameters);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return alone[a] != alone[b] ? alone[a] < alone[b] : a > b;
  });
  std::vector<double> lo = box.lo;
  std::vector<double> hi = box.hi;
  for (const std::size_t k : order) {
    if (!named[k]) continue;
    const double kept_lo = lo[k];
    const double kept_hi = hi[k];
    lo[k] = result.full_lo[k];
    hi[k] = result.full_hi[k];
    if (count_box(points, lo, hi).points == box.points) {
      named[k] = 0;
    } else {
      lo[k] = kept_lo;
      hi[k] = kept_hi;
    }
  }
  return named;
}

double quasi_p_value(const DiscoveryPoints& points, const PrimResult& result, const PrimBox& box,
                     std::size_t k) {
  const BoxCount wider = without_restriction(points, result, box, k);
  const double density = static_cast<double>(wider.hits) / static_cast<double>(wider.points);
  return binomial_upper_tail(box.points, box.hits, density);
}

namespace {

std::string percent(double share) {
  return std::to_string(static_cast<long long>(std::lround(100.0 * share))) + "%";
}

}  // namespace

std::string discovery_sentence(const DiscoveryPoints& points, const PrimResult& result,
                               const DiscoveryCondition& condition) {
  std::string text = "Of the " + std::to_string(result.points) + " points, ";
  if (result.hits == 0) return text + "none meets " + condition.text() + ", so there is no box.";
  const PrimBox& box = result.boxes[result.chosen];
  text += std::to_string(result.hits) + (result.hits == 1 ? " meets " : " meet ") +
          condition.text() + "; " + std::to_string(box.hits) + " of them (" +
          percent(box.coverage) + " coverage) lie in ";
  const std::string words = box_words(points, result, box);
  text += words == "the whole space" ? words : "the box " + words;
  text += ", where " + percent(box.density) + " of points meet it (density), holding " +
          percent(box.mass) + " of the points (mass).";
  return text;
}

}  // namespace hostswitch
