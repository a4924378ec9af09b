#include "analysis/stats_table.hpp"

#include "analysis/grid_point_stats.hpp"
#include "analysis/summary_data.hpp"

namespace hostswitch {

std::string stats_table_text(const std::filesystem::path& summary) {
  const SummaryData data = read_summary(summary);
  std::string table = stats_table_header(data.at_generations);
  GridPointStatsBuilder builder(data);
  for (const GridPointRuns& point : data.points)
    append_stats_table_row(table, builder(point, false));
  return table;
}

}  // namespace hostswitch
