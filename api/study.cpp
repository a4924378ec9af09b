#include "api/study.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <utility>

#include "analysis/csv_input.hpp"
#include "analysis/sensitivity_report.hpp"
#include "analysis/stats_table.hpp"
#include "base/io_failure.hpp"
#include "base/number_chars.hpp"
#include "batch/manifest.hpp"
#include "batch/ordered_csv.hpp"
#include "batch/summary.hpp"
#include "batch/sweep.hpp"
#include "reporting/plot.hpp"
#include "reporting/results_file.hpp"
#include "reporting/results_reader.hpp"

namespace hostswitch {

namespace {

std::int32_t seed_or_clock(const std::optional<std::string>& seed) {
  return seed ? parse_integer("--seed", *seed) : seed_from_clock();
}

std::uint64_t design_seed(const std::string& text) {
  return static_cast<std::uint32_t>(parse_integer("--seed", text));
}

}  // namespace

RunTexts run_request(const NamedValueTexts& given, const std::optional<std::string>& seed) {
  const SimulationParameters parameters = single_parameters_of(given);
  RunTexts texts;
  texts.seed = seed_or_clock(seed);
  static_cast<ReplicateTexts&>(texts) = run_replicate_texts(parameters, texts.seed, true, true);
  return texts;
}

LibrarySweep library_sweep_of(const SweepArguments& request) {
  LibrarySweep sweep;
  if (request.design) {
    if (!request.given.empty()) {
      throw UsageError("a design gives every point's parameters; give it no parameter values");
    }
    sweep.lists = parameter_lists_of({});
    sweep.design = path_argument(*request.design, "design");
  } else {
    sweep.lists = parameter_lists_of(request.given);
    sweep.grid = checked_grid(sweep.lists);
  }
  sweep.replicates = parse_at_least("--replicates", request.replicates, 1);
  sweep.base_seed = seed_or_clock(request.seed);
  sweep.jobs = parse_jobs(request.jobs.value_or(""));
  sweep.trajectories = request.trajectories;
  if (request.summary) sweep.summary = path_argument(*request.summary, "summary");
  sweep.resume = request.resume;
  return sweep;
}

DesignRequest design_request_of(std::string kind, const NamedValueTexts& given) {
  DesignRequest request;
  request.kind = std::move(kind);
  request.lists = [given] { return parameter_lists_of(given); };
  request.base = [given] { return single_parameters_of(given); };
  for (const auto& [name, texts] : given) {
    if (const auto which = parameter_by_name(name)) request.given[*which] = true;
  }
  // An unknown name is refused before anything else, as an unknown flag would be.
  parameter_lists_of(given);
  return request;
}

Design design_of(const DesignRequest& request) {
  const auto kind = design_kind_by_name(request.kind);
  if (!kind || *kind == DesignKind::file) {
    throw UsageError("design: " + in_quotes(request.kind) + " is not grid, lhs, sobol or morris");
  }
  // Each kind takes its own flags; another kind's is a mistake, not something to pass over.
  const struct {
    const char* flag;
    const std::string& text;
    std::initializer_list<DesignKind> kinds;
  } owned[] = {{"--samples", request.samples, {DesignKind::lhs, DesignKind::sobol}},
               {"--seed", request.seed, {DesignKind::lhs, DesignKind::sobol, DesignKind::morris}},
               {"--maximin", request.maximin, {DesignKind::lhs}},
               {"--trajectories", request.trajectories, {DesignKind::morris}},
               {"--levels", request.levels, {DesignKind::morris}}};
  for (const auto& [flag, text, kinds] : owned) {
    if (!text.empty() && std::find(kinds.begin(), kinds.end(), *kind) == kinds.end()) {
      throw UsageError(std::string(flag) + " is not for a " + request.kind + " design");
    }
  }
  auto required = [](const char* flag, const std::string& text) {
    if (text.empty()) throw UsageError(std::string(flag) + " is required");
    return parse_at_least(flag, text, 1);
  };
  try {
    if (*kind == DesignKind::grid) {
      if (!request.ranges.empty()) {
        throw UsageError("--range is not for a grid; give the values as lists (--sdr 0.5,1,2)");
      }
      return grid_design(request.lists());
    }
    const SimulationParameters base = request.base();
    std::vector<ParameterRange> ranges;
    for (const auto& text : request.ranges) ranges.push_back(parse_range(text));
    for (const auto& range : ranges) {
      if (request.given[range.parameter]) {
        throw UsageError("--range " + range_text(range) + ": " +
                         std::string(kParameters[range.parameter].flag) +
                         " is given too; a parameter is either varied or fixed");
      }
    }
    if (*kind == DesignKind::lhs) {
      if (request.seed.empty()) throw UsageError("--seed is required for an lhs design");
      LhsRequest lhs{required("--samples", request.samples), design_seed(request.seed), 1};
      if (!request.maximin.empty()) lhs.maximin = parse_at_least("--maximin", request.maximin, 1);
      return lhs_design(base, ranges, lhs);
    }
    if (*kind == DesignKind::sobol) {
      SobolRequest sobol{required("--samples", request.samples), std::nullopt};
      if (!request.seed.empty()) sobol.seed = design_seed(request.seed);
      return sobol_design(base, ranges, sobol);
    }
    MorrisRequest morris{required("--trajectories", request.trajectories), 4, 1};
    if (!request.levels.empty()) morris.levels = parse_at_least("--levels", request.levels, 2);
    if (!request.seed.empty()) morris.seed = design_seed(request.seed);
    return morris_design(base, ranges, morris);
  } catch (const std::invalid_argument& error) {
    throw UsageError(error.what());
  } catch (const std::length_error& error) {
    throw UsageError(error.what());
  }
}

std::string design_text(const DesignRequest& request) { return design_csv(design_of(request)); }

SummaryData summary_of(const SummaryInput& input) {
  std::vector<std::int32_t> at = checked_generations(input.at);
  SummaryData summary = input.text ? read_summary_text(input.path_or_text, "summary")
                                   : read_summary(path_argument(input.path_or_text, "summary"));
  if (!at.empty()) summary.at_generations = std::move(at);
  return summary;
}

std::vector<std::int32_t> checked_generations(std::vector<std::int32_t> at) {
  for (const std::int32_t g : at) {
    if (g < 1) throw UsageError("--at: " + std::to_string(g) + " is not a generation (1 or more)");
  }
  std::sort(at.begin(), at.end());
  at.erase(std::unique(at.begin(), at.end()), at.end());
  return at;
}

std::vector<std::int32_t> generations_of(const std::vector<std::string>& texts) {
  std::vector<std::int32_t> at;
  for (const std::string& text : texts) at.push_back(parse_integer("--at", text));
  return checked_generations(std::move(at));
}

std::string stats_text(const SummaryInput& summary) {
  return stats_table_text(summary_of(summary));
}

std::string sensitivity_text(const SummaryInput& summary) {
  const SummaryData data = summary_of(summary);
  const auto report = sensitivity_report(data);
  if (!report || report->csv.empty()) {
    throw UsageError(data.file +
                     ": no sensitivity table: that is of a sobol or morris design's summary "
                     "(a block, or trajectory and step, column), with every point of it");
  }
  return report->csv;
}

DiscoveryCondition checked_condition(std::string_view flag, std::string_view where) {
  try {
    return parse_condition(where);
  } catch (const std::invalid_argument& error) {
    throw UsageError(std::string(flag) + ": " + error.what());
  }
}

void check_min_density(double share) {
  if (!(share >= 0.0 && share <= 1.0)) {
    throw UsageError("--min-density: " + shortest(share) + " is not a share between 0 and 1");
  }
}

std::string boxes_text(const SummaryInput& summary, std::string_view where, double min_density) {
  const DiscoveryCondition condition = checked_condition("--where", where);
  check_min_density(min_density);
  const SummaryData data = summary_of(summary);
  PrimOptions options;
  options.min_density = min_density;
  return boxes_csv(prim(discovery_points(data, condition), options));
}

std::string row_title(const std::filesystem::path& file, const std::string& row) {
  const auto dash = row.find('-');
  if (dash == std::string::npos) {
    throw UsageError("--row: " + in_quotes(row) + " is not GRID-REPLICATE (such as 3-7)");
  }
  const std::int32_t grid_index = parse_at_least("--row", row.substr(0, dash), 1);
  const std::int32_t replicate = parse_at_least("--row", row.substr(dash + 1), 1);
  if (file.extension() == ".json") {
    const Manifest manifest = read_manifest(file);
    // A design's rows are its grid points, numbered by its point column or by row.
    const std::vector<SimulationParameters> points = manifest_points(manifest);
    const std::vector<std::int32_t> by_row;
    const auto& indices = manifest.design ? manifest.design->points : by_row;
    std::size_t position = 0;
    while (position < points.size() && grid_index_at(indices, position) != grid_index) {
      ++position;
    }
    if (position == points.size() || replicate > manifest.replicates) {
      throw std::runtime_error(file.string() + ": the sweep has no row " +
                               std::to_string(grid_index) + "-" + std::to_string(replicate));
    }
    return run_title(points[position], replicate_seed(manifest.base_seed, grid_index, replicate));
  }
  std::optional<std::string> title;
  read_summary_rows(file, [&](const SummaryFileRow& r) {
    if (title || r.grid_index != grid_index || r.replicate != replicate) return;
    SimulationParameters parameters;
    for (std::size_t i = 0; i < kParameterCount; ++i) {
      set_parameter_value(parameters, i, std::stod(std::string(r.fields[i])));
    }
    std::int64_t seed = 0;
    const std::string_view seed_text = r.fields[kSummarySeedColumn];
    std::from_chars(seed_text.data(), seed_text.data() + seed_text.size(), seed);
    title = run_title(parameters, seed);
  });
  if (!title) {
    throw std::runtime_error(file.string() + ": no row with grid_index " +
                             std::to_string(grid_index) + " and replicate " +
                             std::to_string(replicate));
  }
  return *title;
}

namespace {

PlotStyle plot_style(const PlotRequest& request) {
  if (request.summary.has_value() != request.row.has_value()) {
    throw UsageError("a summary and a row go together: the row names a run of the summary");
  }
  if (request.title && request.summary) {
    throw UsageError("a title or a summary's row, not both: the row gives the title");
  }
  PlotStyle style;
  style.log_population = request.log_population;
  style.title = request.title;
  if (request.summary) style.title = row_title(*request.summary, *request.row);
  return style;
}

}  // namespace

std::string plot_svg(const PlotRequest& request) {
  const PlotStyle style = plot_style(request);
  try {
    return render_results_svg(read_results_file(request.results), request.results.string(), style);
  } catch (const ResultsReadError& error) {
    throw PlotError(error.what());
  }
}

void plot_file(const PlotRequest& request, const std::filesystem::path& picture) {
  plot_results_file(PlotOptions{request.results, picture, plot_style(request)});
}

namespace {

bool whole_number(std::string_view field, double& value) {
  std::int64_t whole = 0;
  const char* end = field.data() + field.size();
  const auto [at, error] = std::from_chars(field.data() + (field.front() == '+'), end, whole);
  if (error != std::errc() || at != end) return false;
  if (whole < std::numeric_limits<std::int32_t>::min() + 1 ||
      whole > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  value = static_cast<double>(whole);
  return true;
}

bool real_number(std::string_view field, double& value) {
  const char* end = field.data() + field.size();
  const auto [at, error] = double_from_chars(field.data() + (field.front() == '+'), end, value);
  return error == std::errc() && at == end;
}

}  // namespace

std::vector<TableColumn> csv_table(std::string_view text, const std::string& name) {
  std::vector<TableColumn> columns;
  std::vector<std::vector<std::string>> fields;
  for_each_record_of_text(text, name, [&](const auto& record, std::int64_t line) {
    if (columns.empty()) {
      for (const auto& field : record) {
        TableColumn column;
        column.name = field;
        columns.push_back(std::move(column));
      }
      fields.resize(columns.size());
      return;
    }
    if (record.size() != columns.size()) {
      throw input_error(name, line,
                        std::to_string(record.size()) + " fields where the header has " +
                            std::to_string(columns.size()));
    }
    for (std::size_t k = 0; k < record.size(); ++k) fields[k].emplace_back(record[k]);
  });
  for (std::size_t k = 0; k < columns.size(); ++k) {
    TableColumn& column = columns[k];
    const std::vector<std::string>& values = fields[k];
    column.absent.reserve(values.size());
    for (const std::string& field : values) column.absent.push_back(field.empty());
    const bool any =
        std::find(column.absent.begin(), column.absent.end(), 0) != column.absent.end();
    if (!any) {
      column.numbers.assign(values.size(), std::numeric_limits<double>::quiet_NaN());
      continue;
    }
    for (const auto kind : {TableColumn::Kind::integer, TableColumn::Kind::real}) {
      std::vector<double> numbers(values.size(), std::numeric_limits<double>::quiet_NaN());
      bool all = true;
      for (std::size_t i = 0; i < values.size() && all; ++i) {
        if (values[i].empty()) continue;
        all = kind == TableColumn::Kind::integer ? whole_number(values[i], numbers[i])
                                                 : real_number(values[i], numbers[i]);
      }
      if (all) {
        column.kind = kind;
        column.numbers = std::move(numbers);
        break;
      }
    }
    if (column.kind == TableColumn::Kind::missing) {
      column.kind = TableColumn::Kind::text;
      column.texts = values;
    }
  }
  return columns;
}

std::vector<std::string> number_texts(const std::vector<double>& values) {
  std::vector<std::string> texts;
  texts.reserve(values.size());
  for (const double value : values) texts.push_back(std::isnan(value) ? "" : shortest(value));
  return texts;
}

FailureKind failure_kind(const std::exception& error) {
  if (dynamic_cast<const UsageError*>(&error) || dynamic_cast<const DesignFileError*>(&error) ||
      dynamic_cast<const ReportInputError*>(&error)) {
    return FailureKind::refusal;
  }
  if (dynamic_cast<const IoFailure*>(&error) || dynamic_cast<const ResultsFileError*>(&error) ||
      dynamic_cast<const FileBusy*>(&error) || dynamic_cast<const PlotError*>(&error)) {
    return FailureKind::io;
  }
  return FailureKind::other;
}

std::string failure_message(const std::exception& error) {
  if (dynamic_cast<const DesignFileError*>(&error)) return "design: " + std::string(error.what());
  return error.what();
}

}  // namespace hostswitch
