#pragma once

// The generation loop, generic over the stream so that tests can count its draws.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/population_model.hpp"

namespace hostswitch {

enum class Emigration { kNobody, kSome, kEverybody };

// Individuals tried per stretch of the survival phase: a stretch's emigrants that establish
// collect in a scratch list of a stretch, then join the generation's list, which so grows only
// as they come.
inline constexpr std::size_t kSurvivalStretch = 2048;
// Offspring whose parents are looked up together: their loads overlap.
inline constexpr std::size_t kParentBlock = 1024;

// A list that grows only as values come (by half its room at a time, keeping what it holds)
// and keeps its storage from one generation to the next.
class GrowingList {
 public:
  // Puts values[0, count) after the first `held`.
  void append(std::size_t held, const double* values, std::size_t count) {
    const std::size_t need = held + count;
    if (need > values_.size()) {
      if (need > values_.capacity()) {
        values_.resize(held);
        values_.reserve(std::max(need, values_.capacity() + values_.capacity() / 2));
      }
      values_.resize(values_.capacity());
    }
    std::copy(values, values + count, values_.data() + held);
  }
  const double* data() const { return values_.data(); }

 private:
  PhenotypeVector values_;  // its size is the room
};

// Storage kept from one generation to the next: the population is the prefix of `cells`, the
// offspring follow it, and survivors are compacted forward in place after the report.
struct GenerationStorage {
  PhenotypeArray cells;
  std::vector<std::uint64_t, BudgetAllocator<std::uint64_t>> stays;  // bit i: i survives, stays
  GrowingList switchers;

  // Room for n_tot in `cells` keeping the population of n_pop.
  void prepare(std::size_t n_pop, std::size_t n_tot) {
    if (n_tot > cells.size()) cells.resize(n_tot, n_pop);
    const std::size_t words = (n_tot + 63) / 64;
    if (words > stays.size()) resize_for_overwrite(stays, words);
  }
};

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
  GenerationStorage storage;
  PhenotypeArray& cells = storage.cells;
  std::size_t n_pop_size = static_cast<std::size_t>(parameters.n_pop);
  storage.prepare(0, static_cast<std::size_t>(size_after_births(
                         parameters.n_pop, parameters.birth_rate, parameters.capacity)));
  std::fill(cells.begin(), cells.begin() + parameters.n_pop, kInitialOptimum);
  double r_phe = kInitialOptimum;
  std::array<std::pair<std::int32_t, std::int32_t>, kParentBlock> parents;
  std::vector<double> stretch_switchers(kSurvivalStretch);

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

    const auto n_pop = static_cast<std::int32_t>(n_pop_size);
    const std::int32_t n_tot = size_after_births(n_pop, parameters.birth_rate, parameters.capacity);
    const auto n_total = static_cast<std::size_t>(n_tot);
    const double n_pop_real = static_cast<double>(n_pop);
    result.individuals_simulated += n_tot;
    // The generation's storage is had before its first draw, so a generation too big for the
    // budget fails at once instead of after minutes of drawing.
    storage.prepare(n_pop_size, n_total);
    std::fill(storage.stays.begin(), storage.stays.begin() + (n_total + 63) / 64, 0);
    double* const z = cells.data();

    // Draws first, parents after: the random parent loads then overlap each other instead
    // of stalling the stream one cache miss at a time.
    for (std::size_t first = n_pop_size; first < n_total; first += kParentBlock) {
      const std::size_t block = std::min(kParentBlock, n_total - first);
      for (std::size_t i = 0; i < block; ++i) {
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
        z[first + i] = x;
      }
      for (std::size_t i = 0; i < block; ++i) {
        const double mid = (z[static_cast<std::size_t>(parents[i].first)] +
                            z[static_cast<std::size_t>(parents[i].second)]) /
                           2.0;
        z[first + i] = mid + z[first + i];
      }
    }

    std::uint64_t* const stays = storage.stays.data();
    std::size_t n_HS_size = 0;
    bool domain_error = false;
    auto survival = [&](double value, double optimum) {
      const double distance = value - optimum;
      const double exponent = -(distance * distance) / survival_denominator;
      domain_error |= std::isnan(exponent);
      return std::exp(exponent) * kPeakSurvival;
    };
    // Draws lie strictly inside (0, 1): at a rate of 0 or less nobody emigrates, at 1 or
    // more everybody does, and the optimum is then known before the draw that decides.
    auto try_all = [&](auto emigration) {
      for (std::size_t first = 0; first < n_total; first += kSurvivalStretch) {
        const std::size_t end = std::min(n_total, first + kSurvivalStretch);
        double* const switchers = stretch_switchers.data();
        std::size_t switched = 0;
        for (std::size_t i = first; i < end; ++i) {
          const double value = z[i];
          const bool emigrates = stream.next() <= emig_rate;
          double f;
          if constexpr (emigration.value == Emigration::kNobody) {
            f = survival(value, r_phe);
          } else if constexpr (emigration.value == Emigration::kEverybody) {
            f = survival(value, rl_phe);
          } else if (emigrates) {
            f = survival(value, rl_phe);
          } else {
            f = survival(value, r_phe);
          }
          const bool survives = stream.next() <= f;
          // The list has room for the stretch, so writing a rejected value is harmless.
          switchers[switched] = value;
          switched += static_cast<std::size_t>(emigrates & survives);
          stays[i / 64] |= static_cast<std::uint64_t>(!emigrates & survives) << (i % 64);
        }
        storage.switchers.append(n_HS_size, switchers, switched);
        n_HS_size += switched;
      }
    };
    if (emig_rate <= 0.0) {
      try_all(std::integral_constant<Emigration, Emigration::kNobody>{});
    } else if (emig_rate >= 1.0) {
      try_all(std::integral_constant<Emigration, Emigration::kEverybody>{});
    } else {
      try_all(std::integral_constant<Emigration, Emigration::kSome>{});
    }
    if (domain_error) throw ExpDomainError();

    const auto n_HS = static_cast<std::int32_t>(n_HS_size);
    shared_stream = stream;
    // The population is still the prefix: survivors move only once it is reported.
    reporter.report(GenerationRecord{n_g, {z, n_pop_size}, n_HS, r_phe, rl_phe});

    if (n_HS > 0) {
      r_phe = rl_phe;
      std::copy(storage.switchers.data(), storage.switchers.data() + n_HS_size, z);
      n_pop_size = n_HS_size;
    } else {
      std::size_t kept = 0;
      for (std::size_t i = 0; i < n_total; ++i) {
        z[kept] = z[i];
        kept += (stays[i / 64] >> (i % 64)) & 1U;
      }
      n_pop_size = kept;
    }
    result.end_generation(n_g, n_HS > 0, r_phe);
    result.final_r_phe = r_phe;
    result.outcome.n_g = n_g;
    if (n_pop_size == 0) {
      result.outcome.extinct = true;
      break;
    }
  }
  cells.resize(n_pop_size);
  result.final_population = std::move(cells);
  return result;
}

}  // namespace hostswitch
