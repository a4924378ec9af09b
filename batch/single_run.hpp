#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include "model/population_model.hpp"
#include "model/simulation_parameters.hpp"

namespace hostswitch {

// The class width of a run's results file: sdr / 10.
double class_width(const SimulationParameters& parameters);

// One run as the dialogue, `run` and a sweep's replicates all set it up.
struct SingleRun {
  SimulationParameters parameters;
  // The results file, opened before the stream is seeded as the interactive program does.
  std::optional<std::filesystem::path> results;
  // The clock count that seeds the stream, asked for once the results file is open.
  std::function<std::int32_t()> seed;
  Reporter* steps = nullptr;             // told of every generation after the results file
  ForwardingReporter* around = nullptr;  // wraps the results file and `steps`
  RunSettings settings;
};

// Runs it; the results file is closed when the run ends and flushed when it fails.
RunResult run_single(const SingleRun& run);

}  // namespace hostswitch
