#include "analysis/summary_data.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "analysis/csv_input.hpp"
#include "analysis/summary_format.hpp"
#include "model/parameters.hpp"
#include "model/population_model.hpp"
#include "model/simulation_parameters.hpp"

namespace hostswitch {

namespace {

using Column = SummaryColumn;

// std::bit_cast's work; the WebAssembly build's standard library predates it.
std::uint64_t bits_of(double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

bool same_parameters(const SimulationParameters& a, const SimulationParameters& b) {
  // Bitwise, so that only identical texts in the file count as the same value.
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    if (bits_of(parameter_value(a, i)) != bits_of(parameter_value(b, i))) return false;
  }
  return true;
}

class SummaryRowReader {
 public:
  explicit SummaryRowReader(std::string name) : name_(std::move(name)) {}

  void record(std::span<const std::string_view> fields, std::int64_t number) {
    if (number == 1) {
      // A design's sweep adds its label columns after the standard ones.
      columns_ = summary_standard_columns(fields);
      if (columns_ == 0) {
        throw input_error(name_, 1,
                          "not a summary file (the first line is not the summary header)");
      }
      data_.has_outcomes = columns_ == kSummaryColumns;
      data_.label_names.assign(fields.begin() + static_cast<std::ptrdiff_t>(columns_),
                               fields.end());
      return;
    }
    number_ = number;
    if (fields.size() != columns_ + data_.label_names.size()) {
      fail("expected " + std::to_string(columns_ + data_.label_names.size()) + " fields, got " +
           std::to_string(fields.size()));
    }
    // Kept as the file's text would have them, so a label with a comma stays one label.
    const std::string labels =
        data_.label_names.empty() ? std::string() : csv_fields_text(fields.subspan(columns_));
    const std::span<const std::string_view> f = fields.first(columns_);
    SimulationParameters p;
    for (std::size_t i = 0; i < kParameterCount; ++i) {
      const ParameterInfo& info = kParameters[i];
      const char* column = info.name.data();  // the table's names are literals
      set_parameter_value(p, i, info.integer ? integer(f[i], column) : real(f[i], column));
    }
    // Parameters no run is made with cannot be reported as one's.
    if (const auto refusal = parameter_refusal(p)) fail("refused parameters: " + *refusal);
    if (const auto refusal = domain_refusal(p)) {
      fail("refused parameters: " + std::string(kParameters[refusal->parameter].name) + " " +
           refusal->reason);
    }
    const std::int32_t grid_index = integer(f[Column::grid_index], "grid_index");
    ReplicateFacts facts;
    facts.grid_index = grid_index;
    facts.replicate = integer(f[Column::replicate], "replicate");
    if (grid_index < 1 || facts.replicate < 1) {
      fail("grid_index and replicate must be positive integers");
    }
    integer(f[Column::seed], "seed");
    if (f[Column::outcome] == "extinct") {
      facts.extinct = true;
    } else if (f[Column::outcome] != "completed") {
      fail("outcome must be extinct or completed, got " + quoted(f[Column::outcome]));
    }
    facts.generations_run = integer(f[Column::generations_run], "generations_run");
    if (facts.extinct) {
      if (integer(f[Column::extinction_generation], "extinction_generation") !=
              facts.generations_run ||
          facts.generations_run < 1) {
        fail("extinction_generation must equal generations_run, at least 1, for an extinct run");
      }
      if (!f[Column::final_mean_phe].empty() || !f[Column::final_sd_phe].empty()) {
        fail("final_mean_phe and final_sd_phe must be empty for an extinct run");
      }
    } else {
      if (!f[Column::extinction_generation].empty())
        fail("extinction_generation must be empty for a completed run");
      if (facts.generations_run != std::max(p.n_gen, 0)) {
        fail("a completed run must have run n_gen generations");
      }
    }
    facts.switch_generations = integer(f[Column::switch_generations], "switch_generations");
    if (facts.switch_generations < 0 || facts.switch_generations > facts.generations_run) {
      fail("switch_generations must lie between 0 and generations_run");
    }
    const auto final_n_pop = parse_number<std::int64_t>(f[Column::final_n_pop]);
    if (!final_n_pop || *final_n_pop < 0 || (facts.extinct && *final_n_pop != 0)) {
      fail("final_n_pop must be a count, 0 for an extinct run");
    }
    const double final_r_phe = real(f[Column::final_r_phe], "final_r_phe");
    if (!facts.extinct) {
      real(f[Column::final_mean_phe], "final_mean_phe");
      real(f[Column::final_sd_phe], "final_sd_phe");
    }

    facts.final_n_pop = *final_n_pop;
    facts.final_r_phe = final_r_phe;
    if (data_.has_outcomes) read_outcomes(f, facts);
    check_point(grid_index, p, labels);
    // Summaries come in grid-then-replicate order, where a row seen twice follows itself.
    if (!data_.replicates.empty() && data_.replicates.back().grid_index == grid_index &&
        data_.replicates.back().replicate == facts.replicate) {
      fail("grid point " + std::to_string(grid_index) + " replicate " +
           std::to_string(facts.replicate) + " appears more than once");
    }
    data_.replicates.push_back(facts);
    ++data_.rows;
    data_.max_grid_index = std::max(data_.max_grid_index, grid_index);
    data_.max_replicate = std::max(data_.max_replicate, facts.replicate);
  }

  SummaryData finish(std::int64_t lines) {
    if (lines == 0) throw ReportInputError(name_ + ": empty file, not a summary");
    if (data_.rows == 0) throw input_error(name_, 2, "the summary holds no rows");
    data_.file = name_;
    auto& rows = data_.replicates;
    const auto order = [](const ReplicateFacts& a, const ReplicateFacts& b) {
      return a.grid_index != b.grid_index ? a.grid_index < b.grid_index : a.replicate < b.replicate;
    };
    if (!std::is_sorted(rows.begin(), rows.end(), order)) {
      std::stable_sort(rows.begin(), rows.end(), order);
    }
    const auto twin =
        std::adjacent_find(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
          return a.grid_index == b.grid_index && a.replicate == b.replicate;
        });
    if (twin != rows.end()) {
      throw ReportInputError(name_ + ": grid point " + std::to_string(twin->grid_index) +
                             " replicate " + std::to_string(twin->replicate) +
                             " appears more than once");
    }
    auto& points = data_.points;
    std::int32_t longest = 0;
    for (const GridPointRuns& point : points) longest = std::max(longest, point.parameters.n_gen);
    data_.at_generations = default_generations(longest);
    if (!in_order_) {
      std::sort(points.begin(), points.end(),
                [](const auto& a, const auto& b) { return a.grid_index < b.grid_index; });
    }
    // Every grid point has rows, so the points and the runs of rows pair up one to one.
    std::size_t start = 0;
    for (GridPointRuns& point : points) {
      std::size_t end = start;
      while (end < rows.size() && rows[end].grid_index == point.grid_index) ++end;
      point.replicates = std::span<const ReplicateFacts>(rows).subspan(start, end - start);
      start = end;
    }
    return std::move(data_);
  }

 private:
  [[noreturn]] void fail(const std::string& problem) const {
    throw input_error(name_, number_, problem);
  }

  // The columns since 0.4.0, consistent with the generations run and switched.
  void read_outcomes(std::span<const std::string_view> f, ReplicateFacts& facts) const {
    const std::string_view first = f[Column::first_switch_generation];
    if (facts.switch_generations == 0) {
      if (!first.empty()) fail("first_switch_generation must be empty for a run without a switch");
    } else {
      facts.first_switch_generation = integer(first, "first_switch_generation");
      if (facts.first_switch_generation < 1 ||
          facts.first_switch_generation > facts.generations_run) {
        fail("first_switch_generation must lie between 1 and generations_run");
      }
    }
    const std::string_view rate = f[Column::switch_rate];
    if (facts.generations_run == 0
            ? !rate.empty()
            : real(rate, "switch_rate") !=
                  static_cast<double>(facts.switch_generations) / facts.generations_run) {
      fail("switch_rate must be switch_generations / generations_run");
    }
    facts.farthest_host_distance =
        real(f[Column::farthest_host_distance], "farthest_host_distance");
    if (!(facts.farthest_host_distance >= 0.0) ||
        (facts.switch_generations == 0 && facts.farthest_host_distance != 0.0)) {
      fail("farthest_host_distance must be at least 0, and 0 for a run without a switch");
    }
    facts.longest_stay = integer(f[Column::longest_stay], "longest_stay");
    if (facts.longest_stay < 0 || facts.longest_stay > facts.generations_run ||
        (facts.switch_generations == 0 && facts.longest_stay != facts.generations_run)) {
      fail(
          "longest_stay must lie between 0 and generations_run, and be generations_run for a "
          "run without a switch");
    }
  }

  std::int32_t integer(std::string_view text, const char* column) const {
    return integer_field(text, column, [this](const std::string& problem) { fail(problem); });
  }
  double real(std::string_view text, const char* column) const {
    return real_field(text, column, [this](const std::string& problem) { fail(problem); });
  }

  // Every row of a grid point must carry the parameters of its first row.
  void check_point(std::int32_t grid_index, const SimulationParameters& p,
                   std::string_view labels) {
    auto& points = data_.points;
    if (last_grid_ != grid_index) {
      last_grid_ = grid_index;
      if (in_order_ && (points.empty() || points.back().grid_index < grid_index)) {
        add_point(grid_index, p, labels);
        return;
      }
      if (in_order_) {
        const auto found = std::lower_bound(points.begin(), points.end(), grid_index,
                                            [](const GridPointRuns& point, std::int32_t index) {
                                              return point.grid_index < index;
                                            });
        if (found != points.end() && found->grid_index == grid_index) {
          last_ = static_cast<std::size_t>(found - points.begin());
        } else {
          // Out of grid order: from here on the points are looked up by grid_index.
          in_order_ = false;
          for (std::size_t i = 0; i < points.size(); ++i) index_.emplace(points[i].grid_index, i);
        }
      }
      if (!in_order_) {
        const auto [slot, inserted] = index_.try_emplace(grid_index, points.size());
        if (inserted) {
          add_point(grid_index, p, labels);
          return;
        }
        last_ = slot->second;
      }
    }
    if (!same_parameters(points[last_].parameters, p)) {
      fail("grid point " + std::to_string(grid_index) + " has other parameters than on line " +
           std::to_string(first_lines_[last_]));
    }
  }

  void add_point(std::int32_t grid_index, const SimulationParameters& p, std::string_view labels) {
    last_ = data_.points.size();
    GridPointRuns point;
    point.grid_index = grid_index;
    point.parameters = p;
    point.labels = labels;
    data_.points.push_back(point);
    first_lines_.push_back(number_);
  }

  std::string name_;
  std::size_t columns_ = kSummaryColumns;  // the standard columns of the file's version
  std::int64_t number_ = 0;
  std::vector<std::int64_t> first_lines_;                // of data_.points, as first seen
  bool in_order_ = true;                                 // data_.points in increasing grid_index
  std::unordered_map<std::int32_t, std::size_t> index_;  // grid_index -> data_.points
  std::int32_t last_grid_ = 0;                           // grid indices start at 1
  std::size_t last_ = 0;
  SummaryData data_;
};

}  // namespace

std::vector<std::int32_t> default_generations(std::int32_t n_gen) {
  std::vector<std::int32_t> at;
  for (const double share : {0.1, 0.25, 0.5, 0.75, 1.0}) {
    const auto g = static_cast<std::int32_t>(std::lround(share * n_gen));
    if (g >= 1 && (at.empty() || at.back() != g)) at.push_back(g);
  }
  return at;
}

SummaryData read_summary(const std::filesystem::path& path) {
  SummaryRowReader reader(path.string());
  const std::int64_t lines =
      for_each_record(path, path.string(),
                      [&reader](std::span<const std::string_view> fields, std::int64_t number) {
                        reader.record(fields, number);
                      });
  return reader.finish(lines);
}

SummaryData read_summary_text(std::string_view text, const std::string& name) {
  SummaryRowReader reader(name);
  const std::int64_t lines = for_each_record_of_text(
      text, name, [&reader](std::span<const std::string_view> fields, std::int64_t number) {
        reader.record(fields, number);
      });
  return reader.finish(lines);
}

}  // namespace hostswitch
