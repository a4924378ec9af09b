#include "model/population_model.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "model/kernel.hpp"
#include "model/population_model_impl.hpp"

namespace hostswitch {

std::int32_t size_after_births(std::int32_t n_pop, double birth_rate, std::int32_t capacity) {
  const double x = static_cast<double>(n_pop) * birth_rate;
  double births = 0.0;
  if (x > 0.0) {
    births = std::trunc(x + 0.5);
  } else if (x < 0.0) {
    births = std::trunc(x - 0.5);
  }
  const double room = static_cast<double>(capacity) - static_cast<double>(n_pop);
  if (births >= room) return capacity;
  if (!(births > 0.0)) return n_pop;  // negative rates are refused before a run
  return n_pop + static_cast<std::int32_t>(births);
}

GenerationSize generation_size(std::size_t n_pop, const SimulationParameters& parameters) {
  const auto n = static_cast<std::int32_t>(n_pop);
  return {n_pop, static_cast<std::size_t>(
                     size_after_births(n, parameters.birth_rate, parameters.capacity))};
}

std::size_t generation_bytes(std::int32_t n_pop, std::int32_t n_tot) {
  return GenerationSize{static_cast<std::size_t>(std::max(n_pop, 0)),
                        static_cast<std::size_t>(std::max(n_tot, 0))}
      .bytes();
}

std::size_t first_generation_bytes(const SimulationParameters& parameters) {
  // Asked before the parameters are checked too, so a negative size counts as none here.
  return generation_bytes(
      parameters.n_pop,
      size_after_births(parameters.n_pop, parameters.birth_rate, parameters.capacity));
}

void require_first_generation_memory(const SimulationParameters& parameters) {
  const std::size_t need = first_generation_bytes(parameters);
  if (MemoryBudget::fits(need)) return;
  const std::size_t budget = MemoryBudget::limit();
  const std::size_t held = MemoryBudget::in_use();
  throw InsufficientMemory("the first generation needs " + std::to_string(need) +
                           " bytes; the memory budget has " +
                           std::to_string(budget > held ? budget - held : 0) + " bytes");
}

RunResult run_population(const SimulationParameters& parameters, UniformStream& stream,
                         Reporter& reporter, const RunSettings& settings) {
  return run_population_on(kernel_for(parameters), parameters, stream, reporter, settings);
}

}  // namespace hostswitch
