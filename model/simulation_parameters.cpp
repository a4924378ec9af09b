#include "model/simulation_parameters.hpp"

#include <cmath>

#include "model/number_chars.hpp"

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

std::optional<std::string> command_line_refusal(const SimulationParameters& p) {
  if (auto refusal = parameter_refusal(p)) return refusal;
  auto shown = [](double value) {
    char buffer[32];
    const auto result = double_to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
  };
  // A width whose square underflows is as good as none: every weight would be 0/0.
  if (p.sdr * p.sdr * 2.0 == 0.0) {
    return "--sdr: " + shown(p.sdr) +
           " gives the survival function no width; give a standard deviation other than 0";
  }
  if (p.sdv * p.sdv * 2.0 == 0.0) {
    return "--sdv: " + shown(p.sdv) +
           " gives the mutation function no width; give a standard deviation other than 0";
  }
  if (p.n_gen < 1) return "--n-gen: must be at least 1, got " + std::to_string(p.n_gen);
  if (!(p.emig_rate >= 0.0 && p.emig_rate <= 1.0)) {
    return "--emig-rate: must lie between 0 and 1, got " + shown(p.emig_rate);
  }
  if (p.max_dist < 0.0) return "--max-dist: must be at least 0, got " + shown(p.max_dist);
  return std::nullopt;
}

}  // namespace hostswitch
