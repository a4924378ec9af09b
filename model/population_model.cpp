#include "model/population_model.hpp"

#include <cmath>

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

RunResult run_population(const SimulationParameters& parameters, UniformStream& stream,
                         Reporter& reporter) {
  return run_population_on(selected_kernel(), parameters, stream, reporter);
}

}  // namespace hostswitch
