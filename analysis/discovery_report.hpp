#pragma once

#include <string>

#include "analysis/scenario_discovery.hpp"
#include "analysis/summary_data.hpp"

namespace hostswitch {

struct DiscoveryReport {
  std::string csv;   // the boxes table, as `discover` writes it
  std::string html;  // a <section> of the report page
};

// The report's scenario discovery: the coverage–density trade-off of the peeling, the chosen
// box's limits with their quasi-p-values, the box over its two most restricted parameters and
// the box in one sentence.
DiscoveryReport discovery_report(const SummaryData& summary, const DiscoveryCondition& condition,
                                 const PrimOptions& options = {});

}  // namespace hostswitch
