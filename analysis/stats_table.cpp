#include "analysis/stats_table.hpp"

#include "analysis/grid_point_stats.hpp"

namespace hostswitch {

std::string stats_table_text(const SummaryData& summary) {
  std::string table = stats_table_header(summary.at_generations);
  GridPointStatsBuilder builder(summary);
  for (const GridPointRuns& point : summary.points) {
    append_stats_table_row(table, builder(point, false));
  }
  return table;
}

}  // namespace hostswitch
