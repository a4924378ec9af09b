#pragma once

// The generation loop, generic over the stream so that tests can count its draws.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/population_model.hpp"

namespace hostswitch {

enum class Emigration { kNobody, kSome, kEverybody };

template <class Stream>
RunResult run_population_with(const SimulationParameters& parameters, Stream& shared_stream,
                              Reporter& reporter) {
  if (const auto refusal = parameter_refusal(parameters)) throw std::invalid_argument(*refusal);
  // Filling the first population takes seconds at a billion parasites: refuse a run whose
  // first generation cannot fit before touching any of it.
  if (!MemoryBudget::fits(first_generation_bytes(parameters))) throw InsufficientMemory();

  // A local copy keeps the state words in registers through the hot loops; the caller's
  // stream is brought up to date before every report and on every way out.
  Stream stream = shared_stream;
  struct WriteBack {
    Stream& target;
    Stream& source;
    ~WriteBack() { target = source; }
  } write_back{shared_stream, stream};

  RunResult result;
  PhenotypeVector& pop = result.final_population;
  pop.assign(static_cast<std::size_t>(parameters.n_pop), kInitialOptimum);
  double r_phe = kInitialOptimum;

  PhenotypeVector offspring;
  std::vector<std::pair<std::int32_t, std::int32_t>,
              BudgetAllocator<std::pair<std::int32_t, std::int32_t>>>
      parents;
  PhenotypeVector accepted;  // stayers fill it from the front, emigrants from the back

  const double max_dist = parameters.max_dist;
  const double emig_rate = parameters.emig_rate;
  const double sdv = parameters.sdv;
  const double mutation_width = sdv * 6.0;
  const double mutation_shift = sdv * 3.0;
  const double mutation_denominator = sdv * sdv * 2.0;
  const double survival_denominator = parameters.sdr * parameters.sdr * 2.0;

  for (std::int32_t n_g = 1; n_g <= parameters.n_gen; ++n_g) {
    const double u_host = stream.next();
    const double rl_phe = (0.5 - u_host) * 2.0 * max_dist + r_phe;

    const auto n_pop = static_cast<std::int32_t>(pop.size());
    const std::int32_t n_tot = size_after_births(n_pop, parameters.birth_rate, parameters.capacity);
    const double n_pop_real = static_cast<double>(n_pop);
    result.individuals_simulated += n_tot;

    // Every sequence of the generation is had before the first draw, so a generation too big
    // for the budget fails at once instead of after minutes of drawing.
    const auto n_offspring = static_cast<std::size_t>(n_tot - n_pop);
    resize_for_overwrite(offspring, n_offspring);
    resize_for_overwrite(parents, n_offspring);
    resize_for_overwrite(accepted, static_cast<std::size_t>(n_tot));

    // Draws first, parents after: the random parent loads then overlap each other instead
    // of stalling the stream one cache miss at a time.
    for (std::size_t i = 0; i < n_offspring; ++i) {
      const double r1 = stream.next();
      const double r2 = stream.next();
      // r < 1, so the products stay below n_pop and the positions in range.
      parents[i] = {static_cast<std::int32_t>(n_pop_real * r1),
                    static_cast<std::int32_t>(n_pop_real * r2)};
      double x;
      for (;;) {
        x = mutation_width * stream.next() - mutation_shift;
        const double exponent = -(x * x) / mutation_denominator;
        if (std::isnan(exponent)) throw ExpDomainError();
        const double f = std::exp(exponent);
        if (stream.next() <= f) break;
      }
      offspring[i] = x;
    }
    for (std::size_t i = 0; i < n_offspring; ++i) {
      const double mid = (pop[static_cast<std::size_t>(parents[i].first)] +
                          pop[static_cast<std::size_t>(parents[i].second)]) /
                         2.0;
      offspring[i] = mid + offspring[i];
    }

    double* const slots = accepted.data();
    std::size_t front = 0;
    std::size_t back = static_cast<std::size_t>(n_tot);
    bool domain_error = false;
    // The free slots [front, back) are never empty while an individual is being tried,
    // so writing to the candidate slot is harmless when it is rejected.
    auto settle = [&](double z, bool emigrates, bool survives) {
      slots[emigrates ? back - 1 : front] = z;
      front += static_cast<std::size_t>(!emigrates & survives);
      back -= static_cast<std::size_t>(emigrates & survives);
    };
    auto survival = [&](double z, double optimum) {
      const double distance = z - optimum;
      const double exponent = -(distance * distance) / survival_denominator;
      domain_error |= std::isnan(exponent);
      return std::exp(exponent) * kPeakSurvival;
    };
    // Draws lie strictly inside (0, 1): at a rate of 0 or less nobody emigrates, at 1 or
    // more everybody does, and the optimum is then known before the draw that decides.
    auto try_all = [&](auto emigration) {
      auto try_individual = [&](double z) {
        const bool emigrates = stream.next() <= emig_rate;
        double f;
        if constexpr (emigration.value == Emigration::kNobody) {
          f = survival(z, r_phe);
        } else if constexpr (emigration.value == Emigration::kEverybody) {
          f = survival(z, rl_phe);
        } else if (emigrates) {
          f = survival(z, rl_phe);
        } else {
          f = survival(z, r_phe);
        }
        settle(z, emigrates, stream.next() <= f);
      };
      for (const double z : pop) try_individual(z);
      for (const double z : offspring) try_individual(z);
    };
    if (emig_rate <= 0.0) {
      try_all(std::integral_constant<Emigration, Emigration::kNobody>{});
    } else if (emig_rate >= 1.0) {
      try_all(std::integral_constant<Emigration, Emigration::kEverybody>{});
    } else {
      try_all(std::integral_constant<Emigration, Emigration::kSome>{});
    }
    if (domain_error) throw ExpDomainError();

    const auto n_HS = static_cast<std::int32_t>(static_cast<std::size_t>(n_tot) - back);
    shared_stream = stream;
    reporter.report(GenerationRecord{n_g, pop, n_HS, r_phe, rl_phe});

    if (n_HS > 0) {
      r_phe = rl_phe;
      ++result.switch_generations;
      // The emigrants move to the front of their own block in the order they were tried,
      // so replacing the population never takes new storage.
      std::reverse(slots + back, slots + n_tot);
      if (back > 0) std::copy(slots + back, slots + n_tot, slots);
      std::swap(pop, accepted);
      pop.resize(static_cast<std::size_t>(n_HS));
    } else {
      std::swap(pop, accepted);
      pop.resize(front);
    }
    result.final_r_phe = r_phe;
    result.outcome.n_g = n_g;
    if (pop.empty()) {
      result.outcome.extinct = true;
      break;
    }
  }
  return result;
}

}  // namespace hostswitch
