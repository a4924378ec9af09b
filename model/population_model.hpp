#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "model/class_tally.hpp"
#include "model/memory_budget.hpp"
#include "model/phenotype_array.hpp"
#include "model/simulation_parameters.hpp"
#include "model/uniform_stream.hpp"

namespace hostswitch {

inline constexpr double kInitialOptimum = 10.0;
inline constexpr double kPeakSurvival = 1.0;  // w_max

// The figures of one generation, handed to the reporter after selection.
struct GenerationRecord {
  std::int32_t n_g = 0;
  std::span<const double> pop;  // the population as it entered the generation
  std::int32_t n_HS = 0;        // emigrants that established on the new host
  double r_phe = 0.0;           // optimum of the host in use
  double rl_phe = 0.0;          // optimum of the new host offered
  // Where the model knows them, the smallest and largest of pop (NaN-free, as a scan from
  // the first value finds them up to the sign of a zero), so reporters need not scan.
  bool has_range = false;
  double pop_min = 0.0;
  double pop_max = 0.0;
};

class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void report(const GenerationRecord& generation) = 0;
  // Before a generation's individuals are tried, with the population as it enters and its
  // range: a reporter that counts pop into classes may return a tally, and a kernel that
  // takes it adds every value of pop to it once before reporting the generation.
  virtual ClassTally* begin_tally(std::span<const double> pop, double pop_min, double pop_max) {
    (void)pop;
    (void)pop_min;
    (void)pop_max;
    return nullptr;
  }
};

class NullReporter final : public Reporter {
 public:
  void report(const GenerationRecord&) override {}
};

// Passes every generation, and the request for a tally, on to the reporter it is given; a
// reporter that does something around each generation (shows progress, abandons the run)
// derives from it and calls report() of this class.
class ForwardingReporter : public Reporter {
 public:
  void forward_to(Reporter& inner) { inner_ = &inner; }
  void report(const GenerationRecord& generation) override { inner_->report(generation); }
  ClassTally* begin_tally(std::span<const double> pop, double pop_min, double pop_max) override {
    return inner_->begin_tally(pop, pop_min, pop_max);
  }

 private:
  Reporter* inner_ = nullptr;
};

struct RunOutcome {
  bool extinct = false;
  std::int32_t n_g = 0;  // generation of extinction; for a completed run, generations run

  friend bool operator==(const RunOutcome&, const RunOutcome&) = default;
};

struct RunResult {
  RunOutcome outcome;
  PhenotypeArray final_population;
  double final_r_phe = kInitialOptimum;
  std::int32_t switch_generations = 0;       // generations with n_HS > 0
  std::int32_t first_switch_generation = 0;  // 0: none
  std::int32_t last_switch_generation = 0;   // 0: none
  double farthest_host_distance = 0.0;       // largest |r_phe - kInitialOptimum| of a host used
  std::int32_t longest_stay = 0;             // most consecutive generations on one host
  // Individuals tried for survival, summed over generations: n_tot, the population after
  // births, of every generation run.
  std::int64_t individuals_simulated = 0;

  // At the end of generation n_g, with r_phe the host the population is now on.
  void end_generation(std::int32_t n_g, bool switched, double r_phe) {
    // A switching generation was still spent on the host it left.
    longest_stay = std::max(longest_stay, n_g - last_switch_generation);
    if (!switched) return;
    ++switch_generations;
    if (first_switch_generation == 0) first_switch_generation = n_g;
    last_switch_generation = n_g;
    farthest_host_distance = std::max(farthest_host_distance, std::abs(r_phe - kInitialOptimum));
  }
};

// Births round half away from zero and are capped by the capacity in double, so a huge
// birth rate fills to capacity without integer overflow.
std::int32_t size_after_births(std::int32_t n_pop, double birth_rate, std::int32_t capacity);

// A generation's sizes, worked out in this one place for the memory budget, the storage and
// the loops: the population entering it, the individuals tried after births, and the storage
// had before its first draw (one array of phenotypes, the population then the offspring, and
// a bit per individual for the stayers; the emigrants that establish take 8 bytes each as they
// come, their list growing by half).
struct GenerationSize {
  std::size_t n_pop = 0;
  std::size_t n_total = 0;

  std::size_t offspring() const { return n_total - n_pop; }
  std::size_t cells() const { return std::max(n_pop, n_total); }
  std::size_t stay_words() const { return (cells() + 63) / 64; }
  std::size_t bytes() const {
    return cells() * sizeof(double) + stay_words() * sizeof(std::uint64_t);
  }
};

// The sizes of a generation that n_pop enter.
GenerationSize generation_size(std::size_t n_pop, const SimulationParameters& parameters);

// GenerationSize{n_pop, n_tot}.bytes(), negative sizes counting as none.
std::size_t generation_bytes(std::int32_t n_pop, std::int32_t n_tot);

// The same for the first generation of a run (all n_pop at one phenotype, so its histogram
// has two classes and needs next to nothing).
std::size_t first_generation_bytes(const SimulationParameters& parameters);

// Throws InsufficientMemory, naming the bytes needed and the budget, unless the first
// generation fits the memory budget now; takes nothing.
void require_first_generation_memory(const SimulationParameters& parameters);

// How a run is carried out; no setting changes a single value it gives.
struct RunSettings {
  // Threads a generation is shared between (0 counts as 1).
  unsigned threads = 1;
  // The smallest births (offspring) and survival phases (individuals tried) shared between
  // the threads: below them a phase is over before the threads woken for it would be.
  std::size_t share_births_from = 16384;
  std::size_t share_survival_from = 65536;
};

// Runs the whole simulation. Throws std::invalid_argument for a parameter set that
// parameter_refusal() rejects, ExpDomainError and InsufficientMemory as the run meets them;
// a generation whose sequences do not fit the memory budget fails before any is allocated.
RunResult run_population(const SimulationParameters& parameters, UniformStream& stream,
                         Reporter& reporter, const RunSettings& settings = {});

}  // namespace hostswitch
