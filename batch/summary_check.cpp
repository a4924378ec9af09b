#include "batch/summary_check.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

#include "base/csv.hpp"
#include "base/io_failure.hpp"
#include "base/number_chars.hpp"
#include "batch/summary.hpp"
#include "batch/sweep.hpp"
#include "model/parameters.hpp"

namespace hostswitch {

namespace {

template <class Integer>
bool is_integer(std::string_view text, Integer least) {
  Integer value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size() &&
         value >= least;
}

bool is_finite_real(std::string_view text) {
  double value = 0.0;
  const auto result = double_from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size() &&
         std::isfinite(value);
}

template <class Integer>
std::optional<Integer> integer_of(std::string_view text) {
  Integer value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The columns since 0.4.0, against the run's generations and switches already checked.
std::optional<std::string> outcome_difference(const std::vector<std::string_view>& fields) {
  using Column = SummaryColumn;
  const auto generations = *integer_of<std::int32_t>(fields[Column::generations_run]);
  const auto switches = *integer_of<std::int32_t>(fields[Column::switch_generations]);
  const std::string_view first = fields[Column::first_switch_generation];
  const auto first_value = integer_of<std::int32_t>(first);
  std::optional<std::size_t> wrong;
  if (switches == 0 ? !first.empty()
                    : !first_value || *first_value < 1 || *first_value > generations) {
    wrong = Column::first_switch_generation;
  } else if (generations == 0 ? !fields[Column::switch_rate].empty()
                              : !is_finite_real(fields[Column::switch_rate])) {
    wrong = Column::switch_rate;
  } else if (!is_finite_real(fields[Column::farthest_host_distance]) ||
             fields[Column::farthest_host_distance].front() == '-') {
    wrong = Column::farthest_host_distance;
  } else if (const auto stay = integer_of<std::int32_t>(fields[Column::longest_stay]);
             !stay || *stay < 0 || *stay > generations) {
    wrong = Column::longest_stay;
  }
  if (!wrong) return std::nullopt;
  static constexpr const char* kNames[] = {"first_switch_generation", "switch_rate",
                                           "farthest_host_distance", "longest_stay"};
  return std::string(kNames[*wrong - Column::first_switch_generation]) + " " +
         quoted_field(fields[*wrong]) + " is not a figure a run gives";
}

}  // namespace

std::optional<std::string> row_difference(const std::vector<std::string_view>& fields,
                                          const SimulationParameters& point,
                                          std::int32_t grid_index, std::int32_t replicate,
                                          std::int32_t base_seed) {
  using Column = SummaryColumn;
  // A summary of 0.3 or earlier has the columns up to final_sd_phe only.
  if (fields.size() != kSummaryColumns && fields.size() != kSummaryColumns03) {
    return std::to_string(fields.size()) + " fields, not " + std::to_string(kSummaryColumns);
  }
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    const std::string expected = parameter_text(point, i);
    if (fields[i] != expected) {
      return std::string(kParameterNames[i]) + " is " + quoted_field(fields[i]) + ", not " +
             expected;
    }
  }
  if (fields[Column::grid_index] != std::to_string(grid_index) ||
      fields[Column::replicate] != std::to_string(replicate)) {
    return "grid point " + quoted_field(fields[Column::grid_index]) + " replicate " +
           quoted_field(fields[Column::replicate]) + ", not grid point " +
           std::to_string(grid_index) + " replicate " + std::to_string(replicate);
  }
  const std::string seed = std::to_string(replicate_seed(base_seed, grid_index, replicate));
  if (fields[Column::seed] != seed)
    return "seed " + quoted_field(fields[Column::seed]) + ", not " + seed;
  const bool extinct = fields[Column::outcome] == "extinct";
  if (!extinct && fields[Column::outcome] != "completed") {
    return "outcome " + quoted_field(fields[Column::outcome]) + " is neither completed nor extinct";
  }
  auto figure = [&](std::size_t column, const char* name, bool ok) -> std::optional<std::string> {
    if (ok) return std::nullopt;
    return std::string(name) + " " + quoted_field(fields[column]) + " is not a figure a run gives";
  };
  const bool alive = fields[Column::final_n_pop] != "0";  // a mean and spread only for a population
  std::optional<std::string> fault;
  if (!fault)
    fault = figure(Column::generations_run, "generations_run",
                   is_integer<std::int32_t>(fields[Column::generations_run], 0));
  if (!fault) {
    fault =
        figure(Column::extinction_generation, "extinction_generation",
               extinct ? fields[Column::extinction_generation] == fields[Column::generations_run]
                       : fields[Column::extinction_generation].empty());
  }
  if (!fault)
    fault = figure(Column::switch_generations, "switch_generations",
                   is_integer<std::int32_t>(fields[Column::switch_generations], 0));
  if (!fault)
    fault = figure(Column::final_n_pop, "final_n_pop",
                   is_integer<std::int64_t>(fields[Column::final_n_pop], 0));
  if (!fault)
    fault = figure(Column::final_r_phe, "final_r_phe", is_finite_real(fields[Column::final_r_phe]));
  if (!fault) {
    fault = figure(Column::final_mean_phe, "final_mean_phe",
                   alive ? is_finite_real(fields[Column::final_mean_phe])
                         : fields[Column::final_mean_phe].empty());
  }
  if (!fault) {
    fault = figure(Column::final_sd_phe, "final_sd_phe",
                   alive ? is_finite_real(fields[Column::final_sd_phe])
                         : fields[Column::final_sd_phe].empty());
  }
  if (!fault && fields.size() == kSummaryColumns) fault = outcome_difference(fields);
  return fault;
}

namespace {

// Field `which` (from 0) of a CSV line without quoting.
std::string_view field_of(std::string_view line, std::size_t which) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < which && start != std::string_view::npos; ++i) {
    start = line.find(',', start);
    if (start != std::string_view::npos) ++start;
  }
  if (start == std::string_view::npos) return {};
  return line.substr(start, line.find(',', start) - start);
}

}  // namespace

void check_kept_rows(const std::string& rows, const std::vector<SimulationParameters>& grid,
                     const std::vector<std::int32_t>& grid_indices, std::int32_t replicates,
                     std::int32_t base_seed, std::int64_t first, const std::string& where,
                     std::int64_t first_line) {
  std::int64_t index = first;
  std::size_t start = 0;
  while (start < rows.size()) {
    const std::size_t end = rows.find('\n', start);
    std::string_view line = std::string_view(rows).substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto position = static_cast<std::size_t>(index / replicates);
    const auto r = static_cast<std::int32_t>(index % replicates + 1);
    const std::string at = where + ":" + std::to_string(first_line + index - first);
    if (line.size() > kMaxCsvRecord) {
      throw std::runtime_error(at + ": a line of " + std::to_string(line.size()) +
                               " characters, longer than any summary row");
    }
    if (line.find('\0') != std::string_view::npos) {
      throw std::runtime_error(at + ": a NUL character, not a summary row");
    }
    std::vector<std::string> texts;
    try {
      texts = csv_fields_of(line, at);
    } catch (const CsvError& error) {
      // The message names the row as line 1 of `at`: name it by the file's line alone.
      throw std::runtime_error(at + ": " + std::string(error.what()).substr(at.size() + 4));
    }
    if (texts.size() > kSummaryColumns) texts.resize(kSummaryColumns);  // a design's labels
    const std::vector<std::string_view> fields(texts.begin(), texts.end());
    if (position >= grid.size()) {
      throw std::runtime_error(at + ": grid point " + std::to_string(position + 1) +
                               " lies outside the " + std::to_string(grid.size()) +
                               " points of this sweep");
    }
    const std::int32_t g = grid_index_at(grid_indices, position);
    if (const auto difference = row_difference(fields, grid[position], g, r, base_seed)) {
      throw std::runtime_error(at + ": not the row of grid point " + std::to_string(g) +
                               " replicate " + std::to_string(r) + " this sweep writes (" +
                               *difference + ")");
    }
    ++index;
    start = end + 1;
  }
}

KeptReplicates whole_replicates(const std::string& summary_rows, const std::string& trajectory_rows,
                                const std::string& where) {
  KeptReplicates kept;
  std::size_t summary_start = 0;
  std::size_t start = 0;
  while (summary_start < summary_rows.size()) {
    const std::size_t summary_end = summary_rows.find('\n', summary_start);
    const std::string_view row =
        std::string_view(summary_rows).substr(summary_start, summary_end - summary_start);
    summary_start = summary_end + 1;
    const std::string labels = std::string(field_of(row, kSummaryParameterColumns)) + "," +
                               std::string(field_of(row, kSummaryParameterColumns + 1)) + ",";
    const std::string_view generations_text = field_of(row, SummaryColumn::generations_run);
    std::int64_t generations = 0;
    std::from_chars(generations_text.data(), generations_text.data() + generations_text.size(),
                    generations);
    std::size_t lines = 0;
    for (std::int64_t n_g = 1; n_g <= generations; ++n_g) {
      if (start >= trajectory_rows.size()) return kept;  // cut short: run it again
      const std::size_t end = trajectory_rows.find('\n', start);
      const std::string_view line = std::string_view(trajectory_rows).substr(start, end - start);
      const std::string expected = labels + std::to_string(n_g) + ",";
      if (line.compare(0, expected.size(), expected) != 0) {
        throw std::runtime_error(
            "--resume: " + where + ":" + std::to_string(kept.trajectory_lines + lines + 2) +
            ": not grid point " + std::string(field_of(row, kSummaryParameterColumns)) +
            " replicate " + std::string(field_of(row, kSummaryParameterColumns + 1)) +
            " generation " + std::to_string(n_g) +
            ", the row a resumed sweep expects there; those trajectories belong to another sweep");
      }
      start = end + 1;
      ++lines;
    }
    ++kept.replicates;
    kept.trajectory_lines += lines;
  }
  return kept;
}

}  // namespace hostswitch
