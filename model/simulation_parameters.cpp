#include "model/simulation_parameters.hpp"

#include <cmath>

namespace hostswitch {

SimulationParameters typical_parameters() { return {100, 0.5, 1000, 0.1, 1.0, 0.5, 2.0, 500}; }

std::optional<std::string> parameter_refusal(const SimulationParameters& p) {
  if (p.n_pop < 1) {
    return "initial population size (n_pop) must be at least 1, got " + std::to_string(p.n_pop);
  }
  if (p.capacity < p.n_pop) {
    return "carrying capacity (capacity) must be at least the initial population size " +
           std::to_string(p.n_pop) + ", got " + std::to_string(p.capacity);
  }
  if (!std::isfinite(p.birth_rate) || p.birth_rate < 0.0) {
    return "birth rate (birth_rate) must be a finite number of at least 0";
  }
  const struct {
    const char* name;
    double value;
  } reals[] = {{"emigration rate (emig_rate)", p.emig_rate},
               {"standard deviation of survival (sdr)", p.sdr},
               {"standard deviation of phenotypic variation (sdv)", p.sdv},
               {"maximum distance between hosts (max_dist)", p.max_dist}};
  for (const auto& real : reals) {
    if (!std::isfinite(real.value)) return std::string(real.name) + " must be a finite number";
  }
  return std::nullopt;
}

}  // namespace hostswitch
