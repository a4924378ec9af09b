#include "batch/summary.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <system_error>
#include <utility>

#include "base/csv.hpp"
#include "base/io_failure.hpp"
#include "base/number_chars.hpp"
#include "model/parameters.hpp"

namespace hostswitch {

namespace {

// The parameters' columns, then the run's labels and facts.
constexpr std::array<std::string_view, 15> kFactColumns = {"grid_index",
                                                           "replicate",
                                                           "seed",
                                                           "outcome",
                                                           "generations_run",
                                                           "extinction_generation",
                                                           "switch_generations",
                                                           "final_n_pop",
                                                           "final_r_phe",
                                                           "final_mean_phe",
                                                           "final_sd_phe",
                                                           "first_switch_generation",
                                                           "switch_rate",
                                                           "farthest_host_distance",
                                                           "longest_stay"};
constexpr std::array<std::string_view, kParameterCount + kFactColumns.size()> kColumns = [] {
  std::array<std::string_view, kParameterCount + kFactColumns.size()> columns{};
  for (std::size_t i = 0; i < kParameterCount; ++i) columns[i] = kParameterNames[i];
  for (std::size_t i = 0; i < kFactColumns.size(); ++i)
    columns[kParameterCount + i] = kFactColumns[i];
  return columns;
}();
constexpr std::size_t kColumnCount = kColumns.size();
constexpr std::size_t kGridIndexColumn = kParameterCount;
constexpr std::size_t kReplicateColumn = kParameterCount + 1;
static_assert(kColumnCount == kSummaryColumns);

template <class Integer>
std::string integer_text(Integer value) {
  std::array<char, 24> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

std::optional<std::int32_t> read_int(std::string_view text) {
  std::int32_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc{} || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::filesystem::path> expand_inputs(const std::vector<std::filesystem::path>& inputs) {
  std::vector<std::filesystem::path> files;
  for (const auto& input : inputs) {
    std::error_code error;
    if (!std::filesystem::is_directory(input, error)) {
      files.push_back(input);
      continue;
    }
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(input, error)) {
      if (entry.path().extension() == ".csv") found.push_back(entry.path());
    }
    if (error) throw SummaryError(input.string() + ": " + error.message());
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  return files;
}

}  // namespace

SummaryRow summarize(const SimulationParameters& parameters, const RunLabel& label,
                     const RunResult& result) {
  SummaryRow row;
  row.parameters = parameters;
  row.label = label;
  row.extinct = result.outcome.extinct;
  row.generations_run = result.outcome.n_g;
  row.switch_generations = result.switch_generations;
  row.first_switch_generation = result.first_switch_generation;
  row.farthest_host_distance = result.farthest_host_distance;
  row.longest_stay = result.longest_stay;
  row.final_r_phe = result.final_r_phe;
  const auto& pop = result.final_population;
  row.final_n_pop = static_cast<std::int64_t>(pop.size());
  if (!pop.empty()) {
    // Two passes: the deviations are taken from the mean, not from running sums of squares,
    // so a population far from zero keeps its small spread.
    double sum = 0.0;
    for (const double z : pop) sum += z;
    const double n = static_cast<double>(pop.size());
    const double mean = sum / n;
    double squares = 0.0;
    for (const double z : pop) squares += (z - mean) * (z - mean);
    row.final_mean_phe = mean;
    row.final_sd_phe = std::sqrt(squares / n);
  }
  return row;
}

std::string shortest(double value) {
  std::array<char, 32> buffer{};
  const auto result = double_to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

// One CSV line of the summary's columns.
template <class Fields>
std::string csv_line(const Fields& fields, std::size_t count = kColumnCount) {
  std::string line;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) line += ',';
    line += fields[i];
  }
  line += '\n';
  return line;
}

std::string summary_header() { return csv_line(kColumns); }

std::string summary_header_03() { return csv_line(kColumns, kSummaryColumns03); }

std::size_t summary_standard_columns(std::span<const std::string_view> header) {
  if (header.size() < kSummaryColumns03 ||
      !std::equal(kColumns.begin(), kColumns.begin() + kSummaryColumns03, header.begin())) {
    return 0;
  }
  const bool current = header.size() >= kColumnCount &&
                       std::equal(kColumns.begin() + kSummaryColumns03, kColumns.end(),
                                  header.begin() + kSummaryColumns03);
  return current ? kColumnCount : kSummaryColumns03;
}

std::string summary_header_with(const std::vector<std::string>& extra_columns, bool before_0_4) {
  std::string header = before_0_4 ? summary_header_03() : summary_header();
  header.pop_back();
  for (const auto& column : extra_columns) {
    header += ',';
    append_csv_field(header, column);
  }
  return header + '\n';
}

std::string summary_line(const SummaryRow& row) {
  std::array<std::string, kColumnCount> fields;
  for (std::size_t i = 0; i < kParameterCount; ++i) fields[i] = parameter_text(row.parameters, i);
  const std::string facts[] = {
      integer_text(row.label.grid_index), integer_text(row.label.replicate),
      integer_text(row.label.seed), row.extinct ? "extinct" : "completed",
      integer_text(row.generations_run),
      row.extinct ? integer_text(row.generations_run) : std::string(),
      integer_text(row.switch_generations), integer_text(row.final_n_pop),
      shortest(row.final_r_phe), row.final_mean_phe ? shortest(*row.final_mean_phe) : std::string(),
      row.final_sd_phe ? shortest(*row.final_sd_phe) : std::string(),
      row.first_switch_generation > 0 ? integer_text(row.first_switch_generation) : std::string(),
      // No rate of a run of no generations.
      row.generations_run > 0
          ? shortest(static_cast<double>(row.switch_generations) / row.generations_run)
          : std::string(),
      shortest(row.farthest_host_distance), integer_text(row.longest_stay)};
  static_assert(std::size(facts) == kFactColumns.size());
  std::move(std::begin(facts), std::end(facts), fields.begin() + kParameterCount);
  return csv_line(fields);
}

std::vector<std::filesystem::path> expand_summary_inputs(
    const std::vector<std::filesystem::path>& inputs) {
  return expand_inputs(inputs);
}

void read_summary_rows(const std::filesystem::path& path,
                       const std::function<void(const SummaryFileRow&)>& take) {
  read_summary_rows(path, TornTail::refuse, take);
}

void read_summary_rows(const std::filesystem::path& path, TornTail torn,
                       const std::function<void(const SummaryFileRow&)>& take) {
  const std::string name = path.string();
  errno = 0;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                             &std::fclose);
  if (!file) throw SummaryError(io_failure_text("open", path, errno));
  SummaryFileRow row;
  row.file = name;
  auto not_a_summary = [&name] {
    return SummaryError(name + ": not a summary file (the first line is not the summary header)");
  };
  CsvReader reader(csv_file_source(file.get(), name), name,
                   torn == TornTail::skip ? CsvTorn::skip : CsvTorn::refuse);
  bool header = false;
  std::size_t columns = 0;
  try {
    while (reader.next()) {
      const std::span<const std::string_view> fields = reader.fields();
      if (!header) {
        // A design's sweep adds its label columns after the standard ones.
        row.standard_columns = summary_standard_columns(fields);
        if (row.standard_columns == 0) throw not_a_summary();
        header = true;
        columns = fields.size();
        row.header = csv_fields_text(fields) + '\n';
        continue;
      }
      const std::string where = name + ":" + std::to_string(reader.line());
      if (fields.size() != columns) {
        throw SummaryError(where + ": expected " + std::to_string(columns) + " fields, got " +
                           std::to_string(fields.size()));
      }
      // As the program writes it, so that one row read from two files compares equal.
      row.line = csv_fields_text(fields) + '\n';
      row.fields.assign(fields.begin(), fields.end());
      const auto grid = read_int(row.fields[kGridIndexColumn]);
      const auto replicate = read_int(row.fields[kReplicateColumn]);
      if (!grid || !replicate || *grid < 1 || *replicate < 1) {
        throw SummaryError(where + ": grid_index and replicate must be positive integers");
      }
      row.grid_index = *grid;
      row.replicate = *replicate;
      row.where = where;
      take(row);
    }
  } catch (const CsvError& error) {
    if (!header) throw not_a_summary();
    throw SummaryError(error.what());
  }
  if (!reader.any()) throw SummaryError(name + ": empty, not a summary file");
  if (!header) throw not_a_summary();
}

MergedSummary merge_summaries(const std::vector<std::filesystem::path>& inputs) {
  const std::string header = summary_header();
  struct Origin {
    std::string line;
    std::string file;
  };
  std::map<std::pair<std::int32_t, std::int32_t>, Origin> rows;
  std::optional<std::pair<std::string, std::string>> columns;  // the first header and its file
  for (const auto& path : expand_inputs(inputs)) {
    read_summary_rows(path, [&rows, &columns](const SummaryFileRow& row) {
      if (!columns) columns.emplace(row.header, row.file);
      if (row.header != columns->first) {
        throw SummaryError(row.file + ": other columns than " + columns->second);
      }
      auto [slot, inserted] =
          rows.try_emplace({row.grid_index, row.replicate}, Origin{row.line, row.where});
      if (!inserted && slot->second.line != row.line) {
        throw SummaryError(row.where + ": grid point " + std::to_string(row.grid_index) +
                           " replicate " + std::to_string(row.replicate) +
                           " differs from the same row read from " + slot->second.file);
      }
    });
  }
  MergedSummary merged;
  merged.text = columns ? columns->first : header;
  std::int32_t max_grid = 0;
  std::int32_t max_replicate = 0;
  for (const auto& [key, origin] : rows) {
    merged.text += origin.line;
    max_grid = std::max(max_grid, key.first);
    max_replicate = std::max(max_replicate, key.second);
  }
  merged.missing_count =
      static_cast<std::int64_t>(max_grid) * max_replicate - static_cast<std::int64_t>(rows.size());
  // Walks the full grid only as far as the first few gaps: at most rows.size() + 5 steps.
  for (std::int32_t g = 1;
       g <= max_grid && merged.first_missing.size() < 5 &&
       static_cast<std::int64_t>(merged.first_missing.size()) < merged.missing_count;
       ++g) {
    for (std::int32_t r = 1; r <= max_replicate && merged.first_missing.size() < 5; ++r) {
      if (!rows.contains({g, r})) merged.first_missing.push_back(RunLabel{g, r, 0});
    }
  }
  return merged;
}

}  // namespace hostswitch
