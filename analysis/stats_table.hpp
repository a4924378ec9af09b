#pragma once

#include <string>

#include "analysis/summary_data.hpp"

namespace hostswitch {

// The statistics table `report` writes as stats.csv, of a summary read with its
// at_generations (report --at) set.
std::string stats_table_text(const SummaryData& summary);

}  // namespace hostswitch
