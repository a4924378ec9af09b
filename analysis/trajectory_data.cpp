#include "analysis/trajectory_data.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

#include "analysis/csv_input.hpp"
#include "analysis/replicate_stats.hpp"
#include "batch/trajectory.hpp"
#include "model/population_model.hpp"

namespace hostswitch {

namespace {

constexpr std::size_t kColumns = 10;

class TrajectoryReader {
 public:
  TrajectoryReader(std::string name, const SummaryData& summary)
      : name_(std::move(name)), summary_(summary) {
    header_ = trajectory_header();
    header_.pop_back();
  }

  void record(std::span<const std::string_view> fields, std::int64_t number) {
    number_ = number;
    if (number == 1) {
      if (csv_fields_text(fields) != header_) {
        fail("not a trajectories file (the first line is not the trajectories header)");
      }
      return;
    }
    std::string_view f[kColumns];
    if (!exact_fields(fields, f)) {
      fail("expected " + std::to_string(kColumns) + " fields, got " +
           std::to_string(fields.size()));
    }
    const std::int32_t grid_index = integer(f[0], "grid_index");
    const std::int32_t replicate = integer(f[1], "replicate");
    const std::int32_t n_g = integer(f[2], "n_g");
    const std::int32_t n_pop = integer(f[3], "n_pop");
    const std::int32_t n_offspring = integer(f[4], "n_offspring");
    const std::int32_t n_HS = integer(f[5], "n_HS");
    const double r_phe = real(f[6], "r_phe");
    real(f[8], "mean_phe");
    if (real(f[9], "sd_phe") < 0.0) fail("sd_phe must not be negative");

    if (current_ == nullptr || grid_index != current_grid() || replicate != current_->replicate) {
      start_replicate(grid_index, replicate);
    }
    const SimulationParameters& p = summary_.points[point_].parameters;
    if (n_g != rows_ + 1) {
      fail("grid point " + std::to_string(grid_index) + " replicate " + std::to_string(replicate) +
           ": expected generation " + std::to_string(rows_ + 1) + ", got " + std::to_string(n_g));
    }
    if (n_g > current_->generations_run) {
      fail("grid point " + std::to_string(grid_index) + " replicate " + std::to_string(replicate) +
           " ran " + std::to_string(current_->generations_run) +
           " generations in the summary, here more");
    }
    if (n_pop < 1 || (n_g == 1 && n_pop != p.n_pop)) {
      fail("n_pop " + std::to_string(n_pop) + " does not fit the summary's grid point " +
           std::to_string(grid_index) + " (n_pop " + std::to_string(p.n_pop) + ")");
    }
    // In 64 bits: a capacity far below n_pop would overflow the difference.
    if (n_offspring !=
        static_cast<std::int64_t>(size_after_births(n_pop, p.birth_rate, p.capacity)) - n_pop) {
      fail("n_offspring " + std::to_string(n_offspring) +
           " does not follow from n_pop and the summary's birth_rate and capacity");
    }
    if (n_g == 1 && r_phe != kInitialOptimum) fail("r_phe of generation 1 must be 10");
    if (n_HS < 0) fail("n_HS must not be negative");
    if (n_HS > 0) ++switches_;
    last_n_HS_ = n_HS;
    last_r_phe_ = r_phe;
    last_rl_phe_ = real(f[7], "rl_phe");
    ++rows_;
    if (static_cast<std::size_t>(n_g) > values_.size())
      values_.resize(static_cast<std::size_t>(n_g));
    values_[static_cast<std::size_t>(n_g) - 1].push_back(n_pop);
  }

  std::vector<GridPointTrajectory> finish(std::int64_t lines) {
    number_ = lines + 1;
    if (lines == 0) throw ReportInputError(name_ + ": empty file, not a trajectories file");
    end_replicate();
    if (current_ == nullptr) {
      if (!summary_.points.empty())
        missing(summary_.points.front().grid_index,
                summary_.points.front().replicates.front().replicate);
    } else {
      const GridPointRuns& point = summary_.points[point_];
      if (replicate_index_ + 1 < point.replicates.size()) {
        missing(point.grid_index, point.replicates[replicate_index_ + 1].replicate);
      }
      if (point_ + 1 < summary_.points.size()) {
        const GridPointRuns& next = summary_.points[point_ + 1];
        missing(next.grid_index, next.replicates.front().replicate);
      }
      end_point();
    }
    return std::move(result_);
  }

 private:
  std::int32_t current_grid() const { return summary_.points[point_].grid_index; }

  void start_replicate(std::int32_t grid_index, std::int32_t replicate) {
    if (current_ != nullptr) {
      end_replicate();
      if (grid_index < current_grid() ||
          (grid_index == current_grid() && replicate < current_->replicate)) {
        fail("grid point " + std::to_string(grid_index) + " replicate " +
             std::to_string(replicate) + " is out of grid-then-replicate order");
      }
    }
    // The summary's next replicate in canonical order is the only one that may start here.
    std::size_t point = point_;
    std::size_t index = replicate_index_;
    if (current_ != nullptr) {
      ++index;
      if (index == summary_.points[point].replicates.size()) {
        ++point;
        index = 0;
      }
    }
    if (point == summary_.points.size()) not_in_summary(grid_index, replicate);
    const GridPointRuns& expected_point = summary_.points[point];
    const ReplicateFacts& expected = expected_point.replicates[index];
    if (expected_point.grid_index != grid_index || expected.replicate != replicate) {
      const bool known = has(grid_index, replicate);
      if (!known) not_in_summary(grid_index, replicate);
      missing(expected_point.grid_index, expected.replicate);
    }
    if (current_ != nullptr && point != point_) end_point();
    point_ = point;
    replicate_index_ = index;
    current_ = &expected;
    rows_ = 0;
    switches_ = 0;
  }

  void end_replicate() {
    if (current_ == nullptr) return;
    const std::string which = "grid point " + std::to_string(current_grid()) + " replicate " +
                              std::to_string(current_->replicate);
    if (rows_ != current_->generations_run) {
      fail(which + " has " + std::to_string(rows_) + " generations here but " +
           std::to_string(current_->generations_run) + " in the summary");
    }
    if (switches_ != current_->switch_generations) {
      fail(which + " switched host in " + std::to_string(switches_) + " generations here but " +
           std::to_string(current_->switch_generations) + " in the summary");
    }
    // The last generation leaves the population on the host the summary ends on.
    const double final_r_phe = last_n_HS_ > 0 ? last_rl_phe_ : last_r_phe_;
    if (final_r_phe != current_->final_r_phe ||
        (last_n_HS_ > 0 && last_n_HS_ != current_->final_n_pop)) {
      fail(which + " does not end on the summary's final_r_phe and final_n_pop");
    }
  }

  void end_point() {
    GridPointTrajectory trajectory;
    trajectory.grid_index = current_grid();
    const std::size_t replicates = summary_.points[point_].replicates.size();
    std::vector<std::int32_t> all;
    for (auto& values : values_) {
      all.assign(replicates - values.size(), 0);
      all.insert(all.end(), values.begin(), values.end());
      std::sort(all.begin(), all.end());
      trajectory.by_generation.push_back(PopulationQuartiles{
          sorted_quantile(all, 0.25), sorted_quantile(all, 0.5), sorted_quantile(all, 0.75)});
    }
    values_.clear();
    result_.push_back(std::move(trajectory));
  }

  bool has(std::int32_t grid_index, std::int32_t replicate) const {
    const auto point =
        std::lower_bound(summary_.points.begin(), summary_.points.end(), grid_index,
                         [](const GridPointRuns& p, std::int32_t g) { return p.grid_index < g; });
    if (point == summary_.points.end() || point->grid_index != grid_index) return false;
    ReplicateFacts key;
    key.replicate = replicate;
    return std::binary_search(
        point->replicates.begin(), point->replicates.end(), key,
        [](const ReplicateFacts& a, const ReplicateFacts& b) { return a.replicate < b.replicate; });
  }

  [[noreturn]] void not_in_summary(std::int32_t grid_index, std::int32_t replicate) const {
    fail("grid point " + std::to_string(grid_index) + " replicate " + std::to_string(replicate) +
         " is not in the summary " + summary_.file + "; the trajectories belong to another sweep");
  }

  [[noreturn]] void missing(std::int32_t grid_index, std::int32_t replicate) const {
    fail("no rows for grid point " + std::to_string(grid_index) + " replicate " +
         std::to_string(replicate) + " of the summary " + summary_.file +
         "; the trajectories belong to another sweep");
  }

  [[noreturn]] void fail(const std::string& problem) const {
    throw input_error(name_, number_, problem);
  }

  std::int32_t integer(std::string_view text, const char* column) const {
    return integer_field(text, column, [this](const std::string& problem) { fail(problem); });
  }
  double real(std::string_view text, const char* column) const {
    return real_field(text, column, [this](const std::string& problem) { fail(problem); });
  }

  std::string name_;
  const SummaryData& summary_;
  std::string header_;
  std::int64_t number_ = 0;
  std::size_t point_ = 0;
  std::size_t replicate_index_ = 0;
  const ReplicateFacts* current_ = nullptr;
  std::int32_t rows_ = 0;
  std::int32_t switches_ = 0;
  std::int32_t last_n_HS_ = 0;
  double last_r_phe_ = 0.0;
  double last_rl_phe_ = 0.0;
  std::vector<std::vector<std::int32_t>> values_;
  std::vector<GridPointTrajectory> result_;
};

}  // namespace

std::vector<GridPointTrajectory> read_trajectories(const std::filesystem::path& path,
                                                   const SummaryData& summary) {
  TrajectoryReader reader(path.string(), summary);
  const std::int64_t lines =
      for_each_record(path, path.string(),
                      [&reader](std::span<const std::string_view> fields, std::int64_t number) {
                        reader.record(fields, number);
                      });
  return reader.finish(lines);
}

std::vector<GridPointTrajectory> read_trajectories_text(std::string_view text,
                                                        const std::string& name,
                                                        const SummaryData& summary) {
  TrajectoryReader reader(name, summary);
  const std::int64_t lines = for_each_record_of_text(
      text, name, [&reader](std::span<const std::string_view> fields, std::int64_t number) {
        reader.record(fields, number);
      });
  return reader.finish(lines);
}

}  // namespace hostswitch
