#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "base/atomic_file.hpp"
#include "model/population_model.hpp"
#include "model/simulation_parameters.hpp"

namespace hostswitch {

// The header of a trajectories file, ended by a line feed.
std::string trajectory_header();

// Mean and population standard deviation (dividing by n) of a non-empty population, in two
// passes as the summary takes them.
struct PhenotypeMoments {
  double mean = 0.0;
  double sd = 0.0;
};
PhenotypeMoments phenotype_moments(std::span<const double> pop);

// Appends one generation's row: where the replicate sits, n_g, n_pop, the births of the
// generation after the capacity cap, n_HS, both optima, and the mean and sd of the
// population as it entered the generation.
void append_trajectory_row(std::string& out, const SimulationParameters& parameters,
                           std::int32_t grid_index, std::int32_t replicate,
                           const GenerationRecord& generation);

// A reporter that collects one replicate's trajectory rows (no header), for a sweep to take
// whole with take_text() or for a file to drain as it grows.
class TrajectoryRows : public Reporter {
 public:
  TrajectoryRows(const SimulationParameters& parameters, std::int32_t grid_index,
                 std::int32_t replicate);
  void report(const GenerationRecord& generation) override;
  const std::string& text() const { return text_; }
  std::string take_text();

 private:
  SimulationParameters parameters_;
  std::int32_t grid_index_;
  std::int32_t replicate_;
  std::string text_;
};

// One run's trajectory written to a file: header on open, rows as the run reports them.
class TrajectoryFile final : public Reporter {
 public:
  // Starts the file (beside the path until close()); throws IoFailure naming the cause.
  TrajectoryFile(const std::filesystem::path& path, const SimulationParameters& parameters,
                 std::int32_t grid_index, std::int32_t replicate);
  // Writes what is left and puts the file in place, so a failed run keeps its rows; a signal
  // that ends the process leaves the old file.
  ~TrajectoryFile() override;
  TrajectoryFile(const TrajectoryFile&) = delete;
  TrajectoryFile& operator=(const TrajectoryFile&) = delete;
  void report(const GenerationRecord& generation) override;
  void close();  // writes what is left and puts the file in place; throws IoFailure

 private:
  void drain();

  std::unique_ptr<AtomicFile> file_;
  TrajectoryRows rows_;
};

// Hands every generation to two reporters, the first first.
class ReporterPair final : public Reporter {
 public:
  ReporterPair(Reporter& first, Reporter& second) : first_(first), second_(second) {}
  void report(const GenerationRecord& generation) override {
    first_.report(generation);
    second_.report(generation);
  }
  // The first that asks for one gets it.
  ClassTally* begin_tally(std::span<const double> pop, double pop_min, double pop_max) override {
    if (ClassTally* tally = first_.begin_tally(pop, pop_min, pop_max)) return tally;
    return second_.begin_tally(pop, pop_min, pop_max);
  }

 private:
  Reporter& first_;
  Reporter& second_;
};

}  // namespace hostswitch
