#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/summary_data.hpp"

namespace hostswitch {

// The outputs whose sensitivity is measured, each taken per design point over its replicates.
// mean_extinction_generation counts a run that did not go extinct at n_gen.
inline constexpr std::array<std::string_view, 5> kSensitivityOutputs = {
    "p_extinct", "p_switched", "mean_switches", "mean_final_n_pop", "mean_extinction_generation"};

// Those, then mean_switch_rate (a run of no generations counting 0) and, at every generation G
// of the summary's at_generations, p_switched_by_G (of a summary with first switches) and
// p_extinct_by_G.
std::vector<std::string> sensitivity_outputs(const SummaryData& summary);

struct SensitivityReport {
  std::string csv;   // empty when the indices cannot be computed (the page says why)
  std::string html;  // a <section> of the page
};

// For a summary of a sobol design (a `block` column) or a morris design (`trajectory` and
// `step` columns): first-order and total indices with bootstrap intervals, or the elementary
// effects' mu, mu* and sigma, per varied parameter and output. For those and any other design
// that is not a full grid, the page's section also draws each output per design point against
// each varied parameter. None for a grid's summary.
// With `figure_files`, each figure drawn is also added there as a file of its own.
inline constexpr std::int32_t kSensitivityResamples = 1000;
struct FigureFile;
std::optional<SensitivityReport> sensitivity_report(
    const SummaryData& summary, std::int32_t resamples = kSensitivityResamples,
    std::vector<FigureFile>* figure_files = nullptr);

}  // namespace hostswitch
