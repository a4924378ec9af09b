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

  // Room for the generation in `cells`, keeping the first `keep` (its population).
  void prepare(const GenerationSize& size, std::size_t keep) {
    if (size.cells() > cells.size()) cells.resize(size.cells(), keep);
    if (size.stay_words() > stays.size()) resize_for_overwrite(stays, size.stay_words());
  }
};

// A generation as its steps see it.
struct Generation {
  std::int32_t n_g = 0;
  GenerationSize size;
  double* z = nullptr;  // the population, then room for the offspring
  double r_phe = 0.0;
  double rl_phe = 0.0;
  // The population's smallest and largest values, where the loop keeps them.
  bool has_range = false;
  double pop_min = 0.0;
  double pop_max = 0.0;
};

// What the survival phase leaves for the report and the replacement.
struct Selection {
  std::size_t n_HS = 0;
  const double* switchers = nullptr;  // the emigrants that established, in order
  // The smallest and largest value of the stayers and of the switchers (where kept).
  double stayers_min = 0.0;
  double stayers_max = 0.0;
  double switchers_min = 0.0;
  double switchers_max = 0.0;
};

// The optimum of the host offered, from the generation's first draw.
inline double new_host(double u_host, double max_dist, double r_phe) {
  return (0.5 - u_host) * 2.0 * max_dist + r_phe;
}

// Refuses, before anything is had, parameters no loop runs and a first generation beyond the
// memory budget (filling the first population takes seconds at a billion parasites).
inline void check_run(const SimulationParameters& parameters) {
  if (const auto refusal = parameter_refusal(parameters)) throw std::invalid_argument(*refusal);
  if (!MemoryBudget::fits(first_generation_bytes(parameters))) throw InsufficientMemory();
}

// The generation loop every kernel runs; `steps` makes the generation's draws its own way:
//   double host_draw();                      the new host's draw
//   void births(const Generation&);          fills z[n_pop, n_total) with the offspring
//   Selection survival(const Generation&, std::uint64_t* stays);  stays cleared by it
//   void settle();                           the draws used, before the report
//   std::size_t keep_stayers(double* z, const std::uint64_t* stays, std::size_t n_total);
// and says whether it keeps the population's range (kKeepsRange).
template <class Steps>
RunResult run_generations(const SimulationParameters& parameters, Steps& steps,
                          Reporter& reporter) {
  RunResult result;
  GenerationStorage storage;
  PhenotypeArray& cells = storage.cells;
  GenerationSize size = generation_size(static_cast<std::size_t>(parameters.n_pop), parameters);
  storage.prepare(size, 0);
  std::fill(cells.begin(), cells.begin() + parameters.n_pop, kInitialOptimum);
  std::size_t n_pop_size = size.n_pop;
  double r_phe = kInitialOptimum;
  double pop_min = kInitialOptimum;  // every parasite starts at the initial optimum
  double pop_max = kInitialOptimum;

  for (std::int32_t n_g = 1; n_g <= parameters.n_gen; ++n_g) {
    const double rl_phe = new_host(steps.host_draw(), parameters.max_dist, r_phe);
    size = generation_size(n_pop_size, parameters);
    result.individuals_simulated += static_cast<std::int64_t>(size.n_total);
    // The generation's storage is had before its first draw, so a generation too big for the
    // budget fails at once instead of after minutes of drawing.
    storage.prepare(size, n_pop_size);
    double* const z = cells.data();
    const Generation generation{n_g, size, z, r_phe, rl_phe, Steps::kKeepsRange, pop_min, pop_max};
    steps.births(generation);
    const Selection selection = steps.survival(generation, storage.stays.data());
    const auto n_HS = static_cast<std::int32_t>(selection.n_HS);
    steps.settle();
    // The population is still the prefix: survivors move only once it is reported.
    reporter.report(GenerationRecord{n_g,
                                     {z, n_pop_size},
                                     n_HS,
                                     r_phe,
                                     rl_phe,
                                     Steps::kKeepsRange,
                                     Steps::kKeepsRange ? pop_min : 0.0,
                                     Steps::kKeepsRange ? pop_max : 0.0});
    if (n_HS > 0) {
      pop_min = selection.switchers_min;
      pop_max = selection.switchers_max;
      r_phe = rl_phe;
      std::copy(selection.switchers, selection.switchers + selection.n_HS, z);
      n_pop_size = selection.n_HS;
    } else {
      pop_min = selection.stayers_min;
      pop_max = selection.stayers_max;
      n_pop_size = steps.keep_stayers(z, storage.stays.data(), size.n_total);
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

// The scalar loop's steps: one draw at a time, in the order of the model's description.
template <class Stream>
class ScalarSteps {
 public:
  static constexpr bool kKeepsRange = false;

  ScalarSteps(const SimulationParameters& parameters, Stream& shared)
      : parameters_(parameters), shared_(shared), stream_(shared) {}
  // The caller's stream is brought up to date before every report and on every way out.
  ~ScalarSteps() { shared_ = stream_; }
  ScalarSteps(const ScalarSteps&) = delete;
  ScalarSteps& operator=(const ScalarSteps&) = delete;

  double host_draw() { return stream_.next(); }
  void settle() { shared_ = stream_; }

  // Draws first, parents after: the random parent loads then overlap each other instead of
  // stalling the stream one cache miss at a time.
  void births(const Generation& generation) {
    Local stream(stream_);
    double* const z = generation.z;
    const double n_pop_real = static_cast<double>(generation.size.n_pop);
    const std::size_t n_total = generation.size.n_total;
    const double mutation_width = mutation_width_;
    const double mutation_shift = mutation_shift_;
    const double mutation_denominator = mutation_denominator_;
    for (std::size_t first = generation.size.n_pop; first < n_total; first += kParentBlock) {
      const std::size_t block = std::min(kParentBlock, n_total - first);
      for (std::size_t i = 0; i < block; ++i) {
        const double r1 = stream.s.next();
        const double r2 = stream.s.next();
        // r < 1, so the products stay below n_pop and the positions in range.
        parents_[i] = {static_cast<std::int32_t>(n_pop_real * r1),
                       static_cast<std::int32_t>(n_pop_real * r2)};
        double x;
        for (;;) {
          x = mutation_width * stream.s.next() - mutation_shift;
          const double exponent = -(x * x) / mutation_denominator;
          if (std::isnan(exponent)) throw ExpDomainError();
          const double f = std::exp(exponent);
          if (stream.s.next() <= f) break;
        }
        z[first + i] = x;
      }
      for (std::size_t i = 0; i < block; ++i) {
        const double mid = (z[static_cast<std::size_t>(parents_[i].first)] +
                            z[static_cast<std::size_t>(parents_[i].second)]) /
                           2.0;
        z[first + i] = mid + z[first + i];
      }
    }
  }

  // Draws lie strictly inside (0, 1): at a rate of 0 or less nobody emigrates, at 1 or more
  // everybody does, and the optimum is then known before the draw that decides.
  Selection survival(const Generation& generation, std::uint64_t* stays) {
    std::fill(stays, stays + generation.size.stay_words(), 0);
    const double emig_rate = parameters_.emig_rate;
    std::size_t n_HS = 0;
    if (emig_rate <= 0.0) {
      n_HS = try_all<Emigration::kNobody>(generation, stays);
    } else if (emig_rate >= 1.0) {
      n_HS = try_all<Emigration::kEverybody>(generation, stays);
    } else {
      n_HS = try_all<Emigration::kSome>(generation, stays);
    }
    Selection selection;
    selection.n_HS = n_HS;
    selection.switchers = switchers_.data();
    return selection;
  }

  std::size_t keep_stayers(double* z, const std::uint64_t* stays, std::size_t n_total) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n_total; ++i) {
      z[kept] = z[i];
      kept += (stays[i / 64] >> (i % 64)) & 1U;
    }
    return kept;
  }

 private:
  // A copy the hot loops keep in registers, written back however they end.
  struct Local {
    explicit Local(Stream& home) : home(home), s(home) {}
    ~Local() { home = s; }
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;
    Stream& home;
    Stream s;
  };

  template <Emigration kEmigration>
  std::size_t try_all(const Generation& generation, std::uint64_t* stays) {
    Local stream(stream_);
    const double* const z = generation.z;
    const std::size_t n_total = generation.size.n_total;
    const double emig_rate = parameters_.emig_rate;
    const double r_phe = generation.r_phe;
    const double rl_phe = generation.rl_phe;
    const double survival_denominator = survival_denominator_;
    bool domain_error = false;
    auto survival = [&](double value, double optimum) {
      const double distance = value - optimum;
      const double exponent = -(distance * distance) / survival_denominator;
      domain_error |= std::isnan(exponent);
      return std::exp(exponent) * kPeakSurvival;
    };
    std::size_t n_HS = 0;
    for (std::size_t first = 0; first < n_total; first += kSurvivalStretch) {
      const std::size_t end = std::min(n_total, first + kSurvivalStretch);
      double* const switchers = stretch_switchers_.data();
      std::size_t switched = 0;
      for (std::size_t i = first; i < end; ++i) {
        const double value = z[i];
        const bool emigrates = stream.s.next() <= emig_rate;
        double f;
        if constexpr (kEmigration == Emigration::kNobody) {
          f = survival(value, r_phe);
        } else if constexpr (kEmigration == Emigration::kEverybody) {
          f = survival(value, rl_phe);
        } else if (emigrates) {
          f = survival(value, rl_phe);
        } else {
          f = survival(value, r_phe);
        }
        const bool survives = stream.s.next() <= f;
        // The list has room for the stretch, so writing a rejected value is harmless.
        switchers[switched] = value;
        switched += static_cast<std::size_t>(emigrates & survives);
        stays[i / 64] |= static_cast<std::uint64_t>(!emigrates & survives) << (i % 64);
      }
      switchers_.append(n_HS, switchers, switched);
      n_HS += switched;
    }
    if (domain_error) throw ExpDomainError();
    return n_HS;
  }

  const SimulationParameters& parameters_;
  Stream& shared_;
  Stream stream_;
  const double mutation_width_ = parameters_.sdv * 6.0;
  const double mutation_shift_ = parameters_.sdv * 3.0;
  const double mutation_denominator_ = parameters_.sdv * parameters_.sdv * 2.0;
  const double survival_denominator_ = parameters_.sdr * parameters_.sdr * 2.0;
  std::array<std::pair<std::int32_t, std::int32_t>, kParentBlock> parents_;
  std::vector<double> stretch_switchers_ = std::vector<double>(kSurvivalStretch);
  GrowingList switchers_;
};

template <class Stream>
RunResult run_population_with(const SimulationParameters& parameters, Stream& shared_stream,
                              Reporter& reporter) {
  check_run(parameters);
  ScalarSteps<Stream> steps(parameters, shared_stream);
  return run_generations(parameters, steps, reporter);
}

}  // namespace hostswitch
