#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace hostswitch {

// The eight answers of the dialogue, in prompt order.
struct SimulationParameters {
  std::int32_t n_pop = 0;
  double birth_rate = 0.0;
  std::int32_t capacity = 0;
  double emig_rate = 0.0;
  double sdr = 0.0;
  double sdv = 0.0;
  double max_dist = 0.0;
  std::int32_t n_gen = 0;

  friend bool operator==(const SimulationParameters&, const SimulationParameters&) = default;
};

// The parameters of the typical run: 100, 0.5, 1000, 0.1, 1.0, 0.5, 2.0, 500.
SimulationParameters typical_parameters();

// Why a parameter set would break the data model (fewer than one parasite, a capacity
// below the starting population, negative births, a value that is not finite), or
// nothing when the set is sound.
std::optional<std::string> parameter_refusal(const SimulationParameters& parameters);

}  // namespace hostswitch
