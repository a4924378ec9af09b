#pragma once

// Scenario discovery: the box of parameter space where a per-point output meets a condition,
// found by peeling and pasting (Friedman and Fisher's PRIM, as Bryant and Lempert use it).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/grid_point_stats.hpp"
#include "analysis/summary_data.hpp"

namespace hostswitch {

// OUTPUT OP NUMBER, OUTPUT one of the statistics table's columns.
struct DiscoveryCondition {
  enum class Op { kLess, kLessEqual, kGreater, kGreaterEqual, kEqual, kNotEqual };
  StatsColumn output;
  Op op = Op::kGreaterEqual;
  double threshold = 0.0;

  // An empty field (a median the curve never reaches) meets no condition.
  bool met_by(const GridPointStats& stats) const;
  // As a methods section writes it: "p_switched ≥ 0.5".
  std::string text() const;
};

// Throws std::invalid_argument naming what is accepted, for a malformed expression or an
// unknown output.
DiscoveryCondition parse_condition(std::string_view expression);

// The points PRIM looks at: the values of each varied parameter and whether each point meets
// the condition.
struct DiscoveryPoints {
  std::vector<std::size_t> parameters;      // in kParameters order
  std::vector<std::vector<double>> values;  // values[k][i]: parameters[k] at point i
  std::vector<char> meets;                  // per point
  std::size_t size() const { return meets.size(); }
};

// The grid or design points of a summary; varied are the parameters with more than one value.
DiscoveryPoints discovery_points(const SummaryData& summary, const DiscoveryCondition& condition);

struct PrimOptions {
  double alpha = 0.05;     // share of the box peeled or pasted at a time
  double min_mass = 0.05;  // no box holds fewer of all points
  double min_density = 0.8;
};

// A box includes its limits, the smallest and largest value of each parameter in it.
struct PrimBox {
  std::int32_t step = 0;
  std::vector<double> lo, hi;  // per varied parameter
  std::int64_t points = 0;
  std::int64_t hits = 0;        // points in it meeting the condition
  double coverage = 0.0;        // hits over all points meeting it (0 when none does)
  double density = 0.0;         // hits over points
  double mass = 0.0;            // points over all points
  std::int32_t restricted = 0;  // parameters whose limits are narrower than their full range
  bool pasted = false;
};

struct PrimResult {
  std::vector<std::size_t> parameters;
  std::vector<double> full_lo, full_hi;
  std::int64_t points = 0;
  std::int64_t hits = 0;
  // The peeling trajectory from step 0 (the whole space), then the chosen box pasted when
  // pasting widened it (the step after the last).
  std::vector<PrimBox> boxes;
  std::size_t chosen = 0;  // into boxes
};

PrimResult prim(const DiscoveryPoints& points, const PrimOptions& options = {});

// Whether limit k of the box is narrower than the full range.
bool restricted_low(const PrimResult& result, const PrimBox& box, std::size_t k);
bool restricted_high(const PrimResult& result, const PrimBox& box, std::size_t k);

// The box with restriction k taken away.
struct BoxCount {
  std::int64_t points = 0;
  std::int64_t hits = 0;
};
BoxCount without_restriction(const DiscoveryPoints& points, const PrimResult& result,
                             const PrimBox& box, std::size_t k);
// Per varied parameter, whether its restriction is one of a smallest set that gives the same
// box. Limits follow the points in the box, so a parameter may be narrower than its full range
// only because other limits left out its extremes (on a continuous design, nearly always);
// such restrictions are let go first, those keeping out fewest points alone first.
std::vector<char> named_restrictions(const DiscoveryPoints& points, const PrimResult& result,
                                     const PrimBox& box);

// P(X >= k) for X binomial with n trials of chance p.
double binomial_upper_tail(std::int64_t n, std::int64_t k, double p);
// Bryant and Lempert's quasi-p-value of restricted parameter k of `box`: the chance, under a
// binomial with the density of the box without that one restriction, of at least the box's
// hits among its points.
double quasi_p_value(const DiscoveryPoints& points, const PrimResult& result, const PrimBox& box,
                     std::size_t k);

// step,coverage,density,mass,restricted,NAME_lo,NAME_hi...,chosen,pasted: one row per box.
std::string boxes_csv(const PrimResult& result);

// The box's named restrictions in words: "emig_rate ≤ 0.02 and sdr ≥ 2", or "the whole space".
std::string box_words(const DiscoveryPoints& points, const PrimResult& result, const PrimBox& box);

// The chosen box in one sentence a methods section can use: how many points meet the
// condition, the box, its coverage, density and mass.
std::string discovery_sentence(const DiscoveryPoints& points, const PrimResult& result,
                               const DiscoveryCondition& condition);

}  // namespace hostswitch
