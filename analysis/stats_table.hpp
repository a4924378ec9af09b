#pragma once

#include <filesystem>
#include <string>

namespace hostswitch {

// The statistics table `report` writes as stats.csv, of the summary file `summary`; throws
// ReportInputError as `report` does for a summary it refuses.
std::string stats_table_text(const std::filesystem::path& summary);

}  // namespace hostswitch
