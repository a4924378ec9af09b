#include "model/kernel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "model/kernel_ops.hpp"
#include "model/population_model_impl.hpp"

namespace hostswitch {

namespace {

const kernel::Ops* ops_for(Kernel kernel) {
#if defined(HOSTSWITCH_X86_KERNELS)
  switch (kernel) {
    case Kernel::kSse2:
      return &kernel::kSse2Ops;
    case Kernel::kAvx2:
      return &kernel::kAvx2Ops;
    case Kernel::kScalar:
      break;
  }
#else
  (void)kernel;
#endif
  return nullptr;
}

// The draws of a run, read ahead from the source in blocks; a kernel looks at what lies
// ahead, uses a prefix of it and says how much.
class DrawBuffer {
 public:
  static constexpr std::size_t kCapacity = 4096;

  explicit DrawBuffer(DrawSource& source) : source_(source) {}

  // At least min(want, kCapacity - kLaneBlock) draws from the current position.
  std::pair<const double*, std::size_t> ahead(std::size_t want) {
    if (end_ - position_ < want) refill();
    return {values_.data() + position_, end_ - position_};
  }
  std::size_t consume(std::size_t n) {
    position_ += n;
    used_ += n;
    return n;
  }
  std::uint64_t used() const { return used_; }

 private:
  void refill() {
    const std::size_t kept = end_ - position_;
    std::memmove(values_.data(), values_.data() + position_, kept * sizeof(double));
    const std::size_t room = (kCapacity - kept) / kernel::kLaneBlock * kernel::kLaneBlock;
    source_.fill(values_.data() + kept, room);
    position_ = 0;
    end_ = kept + room;
  }

  DrawSource& source_;
  std::array<double, kCapacity> values_;
  std::size_t position_ = 0;
  std::size_t end_ = 0;
  std::uint64_t used_ = 0;
};

// The stream as a draw source, filled by a kernel's lanes.
class LaneStream final : public DrawSource {
 public:
  LaneStream(const kernel::Ops& ops, UniformStream& shared)
      : ops_(ops), shared_(shared), start_(shared), next_(shared) {}
  void fill(double* out, std::size_t n) override {
    ops_.fill({next_.s1(), next_.s2()}, out, n);
    next_ = advanced(next_, n);
  }
  void settle(std::uint64_t used) override { shared_ = advanced(start_, used); }

 private:
  const kernel::Ops& ops_;
  UniformStream& shared_;
  const UniformStream start_;
  UniformStream next_;
};

// A draw source as a stream, for the scalar loop.
class SourceStream {
 public:
  explicit SourceStream(DrawSource& source) : source_(&source) {}
  double next() {
    if (position_ == block_.size()) {
      source_->fill(block_.data(), block_.size());
      position_ = 0;
    }
    ++used_;
    return block_[position_++];
  }
  std::uint64_t used() const { return used_; }

 private:
  DrawSource* source_;
  std::array<double, kernel::kLaneBlock> block_{};
  std::size_t position_ = kernel::kLaneBlock;
  std::uint64_t used_ = 0;
};

RunResult run_scalar_from(const SimulationParameters& parameters, DrawSource& source,
                          Reporter& reporter) {
  SourceStream stream(source);
  struct Settling final : Reporter {
    Settling(Reporter& r, SourceStream& s, DrawSource& d) : inner(r), stream(s), source(d) {}
    void report(const GenerationRecord& generation) override {
      source.settle(stream.used());
      inner.report(generation);
    }
    Reporter& inner;
    SourceStream& stream;
    DrawSource& source;
  } settling(reporter, stream, source);
  struct SettleOnExit {
    SourceStream& stream;
    DrawSource& source;
    ~SettleOnExit() { source.settle(stream.used()); }
  } on_exit{stream, source};
  return run_population_with(parameters, stream, settling);
}

// Index of the first pair at or after j whose attempt is accepted or must be decided by the
// platform's exponential; `pairs` if none.
std::size_t next_candidate(const std::uint64_t* accepted, const std::uint64_t* unsure,
                           std::size_t j, std::size_t pairs) {
  std::size_t word = j / 64;
  std::uint64_t bits = (accepted[word] | unsure[word]) & (~std::uint64_t{0} << (j % 64));
  const std::size_t words = (pairs + 63) / 64;
  while (bits == 0) {
    if (++word >= words) return pairs;
    bits = accepted[word] | unsure[word];
  }
  return word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
}

RunResult run_vector(const SimulationParameters& parameters, const kernel::Ops& ops,
                     DrawSource& source, Reporter& reporter, KernelStats* stats) {
  if (const auto refusal = parameter_refusal(parameters)) throw std::invalid_argument(*refusal);

  if (!MemoryBudget::fits(first_generation_bytes(parameters))) throw InsufficientMemory();

  DrawBuffer draws(source);
  struct SettleOnExit {
    DrawBuffer& draws;
    DrawSource& source;
    ~SettleOnExit() { source.settle(draws.used()); }
  } on_exit{draws, source};

  RunResult result;
  PhenotypeVector& pop = result.final_population;
  pop.assign(static_cast<std::size_t>(parameters.n_pop), kInitialOptimum);
  double r_phe = kInitialOptimum;
  double pop_min = kInitialOptimum;  // every parasite starts at the initial optimum
  double pop_max = kInitialOptimum;

  PhenotypeVector offspring;
  std::vector<std::pair<std::int32_t, std::int32_t>,
              BudgetAllocator<std::pair<std::int32_t, std::int32_t>>>
      parents;
  PhenotypeVector stayers;
  PhenotypeVector switchers;

  constexpr std::size_t kMaxPairs = DrawBuffer::kCapacity / 2;
  std::array<double, kMaxPairs> deviations;
  std::array<std::uint64_t, kMaxPairs / 64> accepted_bits;
  std::array<std::uint64_t, kMaxPairs / 64> unsure_bits;
  std::uint64_t fallbacks = 0;

  const double max_dist = parameters.max_dist;
  const double sdv = parameters.sdv;
  kernel::MutationTask mutation;
  mutation.width = sdv * 6.0;
  mutation.shift = sdv * 3.0;
  mutation.denominator = sdv * sdv * 2.0;
  mutation.x = deviations.data();
  mutation.accepted = accepted_bits.data();
  mutation.unsure = unsure_bits.data();
  const double survival_denominator = parameters.sdr * parameters.sdr * 2.0;

  for (std::int32_t n_g = 1; n_g <= parameters.n_gen; ++n_g) {
    const double u_host = draws.ahead(1).first[0];
    draws.consume(1);
    const double rl_phe = (0.5 - u_host) * 2.0 * max_dist + r_phe;

    const auto n_pop = static_cast<std::int32_t>(pop.size());
    const std::int32_t n_tot = size_after_births(n_pop, parameters.birth_rate, parameters.capacity);
    const double n_pop_real = static_cast<double>(n_pop);

    // Every offspring takes its parents' pair of draws, then pairs until one is accepted, so
    // offspring begin on pair boundaries: judge every pair of a block at once, then walk.
    const auto n_offspring = static_cast<std::size_t>(n_tot - n_pop);
    result.individuals_simulated += n_tot;
    // Every sequence of the generation is taken before its first draw, sized exactly.
    resize_for_overwrite(offspring, n_offspring);
    resize_for_overwrite(parents, n_offspring);
    // Room beyond the last for the whole-vector stores.
    resize_for_overwrite(stayers, static_cast<std::size_t>(n_tot) + kernel::kMaxWidth);
    resize_for_overwrite(switchers, static_cast<std::size_t>(n_tot) + kernel::kMaxWidth);
    std::size_t made = 0;
    bool has_parents = false;
    while (made < n_offspring) {
      const auto [block, available] = draws.ahead(DrawBuffer::kCapacity);
      const std::size_t pairs = available / 2;
      mutation.draws = block;
      mutation.pairs = pairs;
      ops.mutate(mutation);
      std::size_t j = 0;
      while (made < n_offspring && j < pairs) {
        if (!has_parents) {
          // r < 1, so the products stay below n_pop and the positions in range.
          parents[made] = {static_cast<std::int32_t>(n_pop_real * block[2 * j]),
                           static_cast<std::int32_t>(n_pop_real * block[2 * j + 1])};
          has_parents = true;
          ++j;
          continue;
        }
        const std::size_t k = next_candidate(accepted_bits.data(), unsure_bits.data(), j, pairs);
        j = k + 1;
        if (k == pairs) break;
        if ((unsure_bits[k / 64] >> (k % 64)) & 1U) {
          const double exponent = -(deviations[k] * deviations[k]) / mutation.denominator;
          if (std::isnan(exponent)) {
            draws.consume(2 * k + 1);  // the attempt's x was drawn, its y not
            throw ExpDomainError();
          }
          ++fallbacks;
          if (!(block[2 * k + 1] <= std::exp(exponent))) continue;
        }
        offspring[made++] = deviations[k];
        has_parents = false;
      }
      draws.consume(2 * std::min(j, pairs));
    }
    for (std::size_t i = 0; i < n_offspring; ++i) {
      const double mid = (pop[static_cast<std::size_t>(parents[i].first)] +
                          pop[static_cast<std::size_t>(parents[i].second)]) /
                         2.0;
      offspring[i] = mid + offspring[i];
    }

    kernel::SurvivalTask survival;
    survival.emig_rate = parameters.emig_rate;
    survival.r_phe = r_phe;
    survival.rl_phe = rl_phe;
    survival.denominator = survival_denominator;
    survival.stayers = stayers.data();
    survival.switchers = switchers.data();
    // The population is counted into the report's classes as it is tried.
    ClassTally* const tally = reporter.begin_tally(pop, pop_min, pop_max);
    for (const auto* group : {&pop, &offspring}) {
      survival.tally = group == &pop ? tally : nullptr;
      const double* z = group->data();
      std::size_t left = group->size();
      while (left > 0) {
        const auto [block, available] = draws.ahead(2 * left);
        const std::size_t n = std::min(available / 2, left);
        survival.z = z;
        survival.n = n;
        survival.draws = block;
        ops.survive(survival);
        draws.consume(2 * n);
        z += n;
        left -= n;
      }
    }
    fallbacks += std::exchange(survival.fallbacks, 0);
    if (stats) stats->exp_fallbacks += std::exchange(fallbacks, 0);
    if (survival.domain_error) throw ExpDomainError();

    const auto n_HS = static_cast<std::int32_t>(survival.n_HS);
    source.settle(draws.used());
    reporter.report(GenerationRecord{n_g, pop, n_HS, r_phe, rl_phe, true, pop_min, pop_max});

    if (n_HS > 0) {
      pop_min = survival.switchers_min;
      pop_max = survival.switchers_max;
      r_phe = rl_phe;
      ++result.switch_generations;
      std::swap(pop, switchers);
      pop.resize(survival.n_HS);
    } else {
      pop_min = survival.stayers_min;
      pop_max = survival.stayers_max;
      std::swap(pop, stayers);
      pop.resize(survival.n_surv);
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

}  // namespace

std::string_view kernel_name(Kernel kernel) {
  switch (kernel) {
    case Kernel::kSse2:
      return "sse2";
    case Kernel::kAvx2:
      return "avx2";
    case Kernel::kScalar:
      break;
  }
  return "scalar";
}

std::optional<Kernel> kernel_named(std::string_view name) {
  for (const Kernel kernel : {Kernel::kScalar, Kernel::kSse2, Kernel::kAvx2}) {
    if (kernel_name(kernel) == name) return kernel;
  }
  return std::nullopt;
}

bool kernel_supported(Kernel kernel) {
  switch (kernel) {
    case Kernel::kScalar:
      return true;
#if defined(HOSTSWITCH_X86_KERNELS)
    case Kernel::kSse2:
      return true;  // every x86-64 processor has it
    case Kernel::kAvx2:
      // The vector exponential's AVX2 code also uses fused multiply-adds.
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
    default:
      return false;
  }
}

std::vector<Kernel> supported_kernels() {
  std::vector<Kernel> kernels;
  for (const Kernel kernel : {Kernel::kScalar, Kernel::kSse2, Kernel::kAvx2}) {
    if (kernel_supported(kernel)) kernels.push_back(kernel);
  }
  return kernels;
}

Kernel selected_kernel() {
  static const Kernel selected = [] {
    if (const char* forced = std::getenv("HOSTSWITCH_KERNEL")) {
      const auto named = kernel_named(forced);
      if (named && kernel_supported(*named)) return *named;
    }
    return supported_kernels().back();
  }();
  return selected;
}

RunResult run_population_on(Kernel kernel, const SimulationParameters& parameters,
                            UniformStream& stream, Reporter& reporter, KernelStats* stats) {
  const kernel::Ops* ops = ops_for(kernel);
  if (ops == nullptr) return run_population_with(parameters, stream, reporter);
  LaneStream lanes(*ops, stream);
  return run_vector(parameters, *ops, lanes, reporter, stats);
}

RunResult run_population_from(Kernel kernel, const SimulationParameters& parameters,
                              DrawSource& source, Reporter& reporter, KernelStats* stats) {
  const kernel::Ops* ops = ops_for(kernel);
  if (ops == nullptr) return run_scalar_from(parameters, source, reporter);
  return run_vector(parameters, *ops, source, reporter, stats);
}

}  // namespace hostswitch
