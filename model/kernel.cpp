#include "model/kernel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>

#include "model/kernel_ops.hpp"
#include "model/population_model_impl.hpp"
#include "model/workers.hpp"

namespace hostswitch {

namespace {

const kernel::Ops* ops_for(Kernel kernel) {
#if defined(HOSTSWITCH_X86_KERNELS)
  switch (kernel) {
    case Kernel::kSse2:
      return &kernel::kSse2Ops;
    case Kernel::kAvx2:
      return &kernel::kAvx2Ops;
    case Kernel::kAvx512:
      return &kernel::kAvx512Ops;
    case Kernel::kScalar:
    case Kernel::kSimd128:
      break;
  }
#elif defined(__EMSCRIPTEN__)
  if (kernel == Kernel::kSimd128) return kernel::kSimd128Ops;
#else
  (void)kernel;
#endif
  return nullptr;
}

// The stream as a draw source, filled by a kernel's lanes from any position.
class LaneStream final : public DrawSource {
 public:
  LaneStream(const kernel::Ops& ops, UniformStream& shared)
      : ops_(ops), shared_(shared), start_(shared) {}
  void fill(std::uint64_t position, double* out, std::size_t n) override {
    const UniformStream from = advanced(start_, position);
    ops_.fill({from.s1(), from.s2()}, out, n);
  }
  void settle(std::uint64_t used) override { shared_ = advanced(start_, used); }
  kernel::StreamWords words_at(std::uint64_t position) const {
    const UniformStream from = advanced(start_, position);
    return {from.s1(), from.s2()};
  }

 private:
  const kernel::Ops& ops_;
  UniformStream& shared_;
  const UniformStream start_;
};

// A draw source as a stream, for the scalar loop.
class SourceStream {
 public:
  explicit SourceStream(DrawSource& source) : source_(&source) {}
  double next() {
    if (position_ == block_.size()) {
      source_->fill(used_, block_.data(), block_.size());
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

std::size_t round_up(std::size_t n, std::size_t multiple) {
  return (n + multiple - 1) / multiple * multiple;
}

// Mutation attempts per thread and round: enough to keep a thread busy well beyond the cost
// of waking it, few enough that the last round wastes little.
constexpr std::size_t kMinBlockPairs = 2048;
constexpr std::size_t kMaxBlockPairs = 32768;

// Offspring whose parents are asked for before the current one's are read.
constexpr std::size_t kParentsAhead = 32;

void prefetch_parents(const double* z, std::pair<std::int32_t, std::int32_t> parents) {
  __builtin_prefetch(z + parents.first);
  __builtin_prefetch(z + parents.second);
}

// An offspring a walk over a block of mutation attempts found: the pair accepted, the
// platform's exponentials the walk took through it, its deviation and its parents.
struct Offspring {
  std::size_t pair = 0;
  std::uint64_t fallbacks = 0;
  double x = 0.0;
  std::pair<std::int32_t, std::int32_t> parents{};
};

// The parents' mean plus the deviation, as the scalar loop adds them.
double phenotype_of(const double* z, const Offspring& child) {
  return (z[static_cast<std::size_t>(child.parents.first)] +
          z[static_cast<std::size_t>(child.parents.second)]) /
             2.0 +
         child.x;
}

// A walk over one block: its offspring in order and where it ended.
struct BlockWalk {
  std::vector<Offspring> offspring;
  bool has_parents = false;  // at the block's end, with these parents pending
  std::pair<std::int32_t, std::int32_t> parents{};
  std::uint64_t fallbacks = 0;  // through the block's end
  // Where an attempt's exponent was NaN; the walk ends there.
  std::optional<std::size_t> nan_pair;
  // Where a walk told to stop at another's parent pair did so: that pair's index.
  std::optional<std::size_t> joined_at;
};

struct MutationBlock {
  const double* draws;
  const double* deviations;
  const std::uint64_t* accepted;
  const std::uint64_t* unsure;
  std::size_t pairs;
};

// Walks a block from pair j in the state given: a pair taken while no parents are pending
// picks them, and attempts follow until one is accepted. `joins(j)` is asked at every parent
// pair and ends the walk there when true.
template <class Joins>
void walk_block(const MutationBlock& block, bool has_parents,
                std::pair<std::int32_t, std::int32_t> parents, double n_pop_real,
                double mutation_denominator, BlockWalk& walk, Joins joins) {
  walk.offspring.clear();
  walk.nan_pair.reset();
  walk.joined_at.reset();
  std::uint64_t fallbacks = 0;
  std::size_t j = 0;
  while (j < block.pairs) {
    if (!has_parents) {
      if (joins(j)) {
        walk.joined_at = j;
        break;
      }
      // r < 1, so the products stay below n_pop and the positions in range.
      parents = {static_cast<std::int32_t>(n_pop_real * block.draws[2 * j]),
                 static_cast<std::int32_t>(n_pop_real * block.draws[2 * j + 1])};
      has_parents = true;
      ++j;
      continue;
    }
    const std::size_t k = next_candidate(block.accepted, block.unsure, j, block.pairs);
    if (k == block.pairs) break;
    j = k + 1;
    const double x = block.deviations[k];
    if ((block.unsure[k / 64] >> (k % 64)) & 1U) {
      const double exponent = -(x * x) / mutation_denominator;
      if (std::isnan(exponent)) {
        walk.nan_pair = k;
        break;
      }
      ++fallbacks;
      if (!(block.draws[2 * k + 1] <= std::exp(exponent))) continue;
    }
    walk.offspring.push_back({k, fallbacks, x, parents});
    has_parents = false;
  }
  walk.has_parents = has_parents;
  walk.parents = parents;
  walk.fallbacks = fallbacks;
}

// What one thread holds through a run.
struct ThreadState {
  // Draws of one block of mutation attempts, or of one survival stretch.
  std::vector<double> draws;
  std::vector<double> deviations;
  std::vector<std::uint64_t> accepted;
  std::vector<std::uint64_t> unsure;
  kernel::SurvivalTask survival;
  std::vector<double> stretch_switchers = std::vector<double>(kSurvivalStretch + kernel::kMaxWidth);
  GrowingList switchers;    // the first thread's list is the generation's
  kernel::LaneState lanes;  // where the survival phase's draws are made in place
  // The walk over the thread's block of mutation attempts from a parent pair, and which of
  // its offspring the round takes, from where in the round's offspring.
  BlockWalk walk;
  std::size_t take_from = 0;
  std::size_t take_to = 0;
  std::size_t taken_before = 0;
  // The stayers of the thread's survival chunk: how many, where they go, and the first of
  // them, held aside while the chunk before them is still being read.
  std::size_t chunk_kept = 0;
  std::size_t kept_offset = 0;
  std::size_t head_count = 0;
  std::size_t head_end = 0;
  PhenotypeVector head;
  std::size_t held = 0;
  // Threads after the first count into tables of their own, summed after the phase, and
  // hold the values the estimate does not settle until the owner places them.
  ClassTally tally;
  std::vector<std::int32_t> rows;
  std::vector<std::pair<std::int64_t, double>> unsettled;

  void reserve_block(std::size_t pairs) {
    if (draws.size() < 2 * pairs) {
      draws.resize(2 * pairs);
      deviations.resize(pairs);
      accepted.resize(pairs / 64);
      unsure.resize(pairs / 64);
      // A block makes at most an offspring a pair: had at once, the walk's list never moves.
      walk.offspring.reserve(pairs);
    }
  }
};

MutationBlock block_of(const ThreadState& thread, std::size_t pairs) {
  return MutationBlock{thread.draws.data(), thread.deviations.data(), thread.accepted.data(),
                       thread.unsure.data(), pairs};
}

// Where the generation's walk stands between blocks.
struct WalkState {
  std::size_t made = 0;  // offspring placed
  bool has_parents = false;
  std::pair<std::int32_t, std::int32_t> pending_parents{};
};

// What a round of blocks knows of its generation.
struct RoundContext {
  double* z;
  std::size_t n_pop_size;
  std::size_t n_offspring;
  std::size_t block_pairs;
  double n_pop_real;
  double mutation_denominator;
  std::uint64_t round_start;
};

// Takes the round's blocks in order up to the generation's last offspring: places those of a
// block walked again at once, tells each thread which offspring of its own walk go where, adds
// the platform's exponentials of the walk taken to `fallbacks`, and returns the pairs of the
// round taken. An exponent that is NaN on the walk taken throws ExpDomainError, with
// `position` just after the attempt's deviation.
std::size_t take_round(const RoundContext& round, std::span<ThreadState> state,
                       BlockWalk& lead_walk, WalkState& walk, std::uint64_t& fallbacks,
                       std::uint64_t& position) {
  const std::size_t first_made = walk.made;
  std::size_t walked = 0;
  for (std::size_t t = 0; t < state.size() && walk.made < round.n_offspring; ++t) {
    ThreadState& thread = state[t];
    const BlockWalk& own = thread.walk;
    // The walk taken: the block's own from its offspring `from` on, after those of the walk
    // again from the block's start where parents were pending.
    const BlockWalk* ending = &own;
    std::size_t from = 0;
    std::uint64_t lead_fallbacks = 0;  // of the walk again, up to where it joins
    std::uint64_t own_fallbacks_before = 0;
    if (walk.has_parents) {
      std::size_t next = 0;  // the own walk's first offspring at or after the walk again
      walk_block(block_of(thread, round.block_pairs), true, walk.pending_parents, round.n_pop_real,
                 round.mutation_denominator, lead_walk, [&](std::size_t j) {
                   while (next < own.offspring.size() && own.offspring[next].pair + 1 < j) ++next;
                   return next < own.offspring.size() && own.offspring[next].pair + 1 == j;
                 });
      if (lead_walk.joined_at) {
        from = next + 1;
        lead_fallbacks = lead_walk.fallbacks;
        own_fallbacks_before = own.offspring[next].fallbacks;
      } else {
        ending = &lead_walk;
        from = own.offspring.size();
      }
      // The walk again's few offspring are placed at once.
      for (const Offspring& child : lead_walk.offspring) {
        round.z[round.n_pop_size + walk.made++] = phenotype_of(round.z, child);
        if (walk.made == round.n_offspring) {
          walked += child.pair + 1;
          fallbacks += child.fallbacks;
          break;
        }
      }
      if (walk.made == round.n_offspring) break;
    }
    const std::size_t count = std::min(own.offspring.size() - from, round.n_offspring - walk.made);
    thread.take_from = from;
    thread.take_to = from + count;
    thread.taken_before = walk.made - first_made;
    walk.made += count;
    if (walk.made == round.n_offspring && count > 0) {
      const Offspring& last = own.offspring[from + count - 1];
      walked += last.pair + 1;
      fallbacks += lead_fallbacks + last.fallbacks - own_fallbacks_before;
      break;
    }
    if (ending->nan_pair) {
      position = round.round_start + 2 * (walked + *ending->nan_pair) + 1;  // its x was drawn
      throw ExpDomainError();
    }
    walked += round.block_pairs;
    fallbacks += ending == &own ? lead_fallbacks + own.fallbacks - own_fallbacks_before
                                : lead_walk.fallbacks;
    walk.has_parents = ending->has_parents;
    walk.pending_parents = ending->parents;
  }
  return walked;
}

// Stayers a thread holds aside at the least, so that the usual few deaths of a population at
// capacity never make a head grow.
constexpr std::size_t kMinHeadRoom = 4096;

// Moves the stayers (bits of `stays`) of z[0, n_total) to the front, in order, each thread its
// survival chunk of `chunk`; returns their number. A chunk's stayers go where those of the
// chunks before it end, and the first of them may land on the chunk before, which its own
// thread is still reading: those are held aside, and put in place once every thread is done.
// Only where the budget cannot hold them aside does one thread move them all.
std::size_t compact_stayers(const kernel::Ops& ops, Workers& workers, std::span<ThreadState> state,
                            double* z, const std::uint64_t* stays, std::size_t n_total,
                            std::size_t chunk) {
  const auto threads = static_cast<unsigned>(state.size());
  if (threads == 1) return ops.compact(z, stays, n_total);
  std::size_t offset = 0;
  for (unsigned t = 0; t < threads; ++t) {
    ThreadState& thread = state[t];
    const std::size_t begin = std::min(n_total, chunk * t);
    thread.kept_offset = offset;
    thread.head_count = std::min(begin - offset, thread.chunk_kept);
    offset += thread.chunk_kept;
    if (thread.head.size() < thread.head_count + kernel::kMaxWidth) {
      try {
        // By half as much again, so that deaths creeping up from one generation to the next
        // do not take fresh memory every generation.
        const std::size_t room = std::max(thread.head_count + thread.head_count / 2, kMinHeadRoom);
        resize_for_overwrite(thread.head, room + kernel::kMaxWidth);
      } catch (const InsufficientMemory&) {
        return ops.compact(z, stays, n_total);
      }
    }
  }
  // A thread's head and the rest of its chunk lie in its chunk alone, so it moves both at once;
  // the heads go in place once every thread is done reading.
  workers.run([&](unsigned t) {
    ThreadState& thread = state[t];
    const std::size_t begin = std::min(n_total, chunk * t);
    thread.head_end = begin;
    if (thread.head_count > 0) {
      // The head ends after its last stayer.
      std::size_t word = begin / 64;
      std::size_t needed = thread.head_count;
      for (;; ++word) {
        const auto count = static_cast<std::size_t>(std::popcount(stays[word]));
        if (count >= needed) break;
        needed -= count;
      }
      std::uint64_t bits = stays[word];
      for (std::size_t k = 1; k < needed; ++k) bits &= bits - 1;
      thread.head_end = word * 64 + static_cast<std::size_t>(std::countr_zero(bits)) + 1;
      ops.move_kept(z, stays, begin, thread.head_end, thread.head.data());
    }
    if (thread.head_count == thread.chunk_kept) return;  // none left for the chunk itself
    const std::size_t end = std::min(n_total, chunk * t + chunk);
    ops.move_kept(z, stays, thread.head_end, end, z + thread.kept_offset + thread.head_count);
  });
  workers.run([&](unsigned t) {
    const ThreadState& thread = state[t];
    std::copy(thread.head.data(), thread.head.data() + thread.head_count, z + thread.kept_offset);
  });
  return offset;
}

// The vector kernels' steps: each phase in blocks of draws shared between the threads.
class VectorSteps {
 public:
  static constexpr bool kKeepsRange = true;

  VectorSteps(const SimulationParameters& parameters, const kernel::Ops& ops, DrawSource& source,
              Reporter& reporter, const RunSettings& settings, KernelStats* stats)
      : parameters_(parameters),
        ops_(ops),
        source_(source),
        reporter_(reporter),
        stats_(stats),
        workers_(settings.threads),
        share_births_from_(settings.share_births_from),
        share_survival_from_(settings.share_survival_from),
        threads_(workers_.count()),
        state_(threads_),
        // The stream's own lanes make the survival phase's draws where they are used, on a
        // kernel whose lanes can (one without `seed` fills blocks of draws instead).
        lane_stream_(ops.seed != nullptr ? dynamic_cast<const LaneStream*>(&source) : nullptr) {
    for (ThreadState& thread : state_) thread.reserve_block(kMinBlockPairs);
  }
  ~VectorSteps() { source_.settle(position_); }
  VectorSteps(const VectorSteps&) = delete;
  VectorSteps& operator=(const VectorSteps&) = delete;

  double host_draw() {
    source_.fill(position_, first_draws_.data(), first_draws_.size());
    position_ += 1;
    return first_draws_[0];
  }
  void settle() { source_.settle(position_); }

  void births(const Generation& generation);
  Selection survival(const Generation& generation, std::uint64_t* stays);
  std::size_t keep_stayers(double* z, const std::uint64_t* stays, std::size_t n_total) {
    return compact_stayers(ops_, workers_, std::span(state_).first(survival_threads_), z, stays,
                           n_total, chunk_);
  }

 private:
  std::size_t round_pairs(std::size_t remaining) const;
  void judge_blocks(std::uint64_t round_start, std::size_t block_pairs, double n_pop_real);
  void judge_block(unsigned t, std::uint64_t round_start, std::size_t block_pairs,
                   double n_pop_real);
  void place_offspring(unsigned t, double* offspring, const double* z);
  void survive_chunk(unsigned t, const Generation& generation, std::uint64_t* stays,
                     ClassTally* tally, const ClassTally& tally_layout);
  Selection join_chunks(ClassTally* tally);
  // Runs task(0), ..., task(sharing - 1), sharing being 1 or every thread: on the caller's
  // thread alone where it is 1, waking none.
  template <class Task>
  void share(unsigned sharing, const Task& task) {
    if (sharing == 1) {
      task(0U);
    } else {
      workers_.run(task);
    }
  }
  // How many threads share a phase of `work` items: every one, or one below `share_from`.
  unsigned sharing(std::size_t work, std::size_t share_from) const {
    return work < share_from ? 1 : threads_;
  }

  const SimulationParameters& parameters_;
  const kernel::Ops& ops_;
  DrawSource& source_;
  Reporter& reporter_;
  KernelStats* stats_;
  Workers workers_;
  std::size_t share_births_from_;
  std::size_t share_survival_from_;
  unsigned threads_;
  std::vector<ThreadState> state_;
  unsigned birth_threads_ = 1;     // threads sharing this generation's births
  unsigned survival_threads_ = 1;  // threads sharing its survival and the stayers' move
  const LaneStream* lane_stream_;
  std::uint64_t position_ = 0;  // draws used
  std::uint64_t survival_start_ = 0;
  std::size_t chunk_ = 0;  // individuals per thread in the survival phase
  // A block walked again from its start, where parents were pending as it began.
  BlockWalk lead_walk_;
  std::uint64_t fallbacks_ = 0;
  const double mutation_width_ = parameters_.sdv * 6.0;
  const double mutation_shift_ = parameters_.sdv * 3.0;
  const double mutation_denominator_ = parameters_.sdv * parameters_.sdv * 2.0;
  const double survival_denominator_ = parameters_.sdr * parameters_.sdr * 2.0;
  alignas(64) std::array<double, kernel::kLaneBlock> first_draws_{};
};

// Every offspring takes its parents' pair of draws, then pairs until one is accepted, so
// offspring begin on pair boundaries. Rounds of one block of pairs per thread: each thread
// judges its block and walks it as if it began with a parent pair. Taken in order, a block
// that begins with parents pending is walked again from its start until that walk comes to a
// parent pair of the first; from there on the two are one walk. The threads then add the
// parents' mean to the deviations of the offspring taken from their blocks.
void VectorSteps::births(const Generation& generation) {
  double* const z = generation.z;
  const std::size_t n_pop_size = generation.size.n_pop;
  const std::size_t n_offspring = generation.size.offspring();
  const double n_pop_real = static_cast<double>(static_cast<std::int32_t>(n_pop_size));
  if (n_offspring == 0) return;
  birth_threads_ = sharing(n_offspring, share_births_from_);
  const std::span<ThreadState> sharing_births = std::span(state_).first(birth_threads_);
  WalkState walk;
  std::size_t block_pairs = round_pairs(n_offspring);
  std::uint64_t round_start = position_;
  judge_blocks(round_start, block_pairs, n_pop_real);
  for (;;) {
    const std::size_t first_made = walk.made;
    const std::size_t walked = take_round(
        {z, n_pop_size, n_offspring, block_pairs, n_pop_real, mutation_denominator_, round_start},
        sharing_births, lead_walk_, walk, fallbacks_, position_);
    position_ = round_start + 2 * walked;
    const bool more = walk.made < n_offspring;
    if (more) {
      block_pairs = round_pairs(n_offspring - walk.made);
      round_start = position_;
    }
    // A thread places the offspring of its block, then judges its block of the next round:
    // both touch only what is its own, so one call serves the two.
    share(birth_threads_, [&](unsigned t) {
      place_offspring(t, z + n_pop_size + first_made, z);
      if (more) judge_block(t, round_start, block_pairs, n_pop_real);
    });
    if (!more) break;
  }
}

// Mutation attempts per thread for a round that `remaining` offspring are still wanted of.
std::size_t VectorSteps::round_pairs(std::size_t remaining) const {
  return birth_threads_ == 1 ? kMinBlockPairs
                             : std::clamp(round_up(remaining * 4 / birth_threads_, 64),
                                          kMinBlockPairs, kMaxBlockPairs);
}

// Each thread judges the mutation attempts of its block of the round (from draw `round_start`)
// and walks it.
void VectorSteps::judge_blocks(std::uint64_t round_start, std::size_t block_pairs,
                               double n_pop_real) {
  share(birth_threads_, [&](unsigned t) { judge_block(t, round_start, block_pairs, n_pop_real); });
}

void VectorSteps::judge_block(unsigned t, std::uint64_t round_start, std::size_t block_pairs,
                              double n_pop_real) {
  ThreadState& thread = state_[t];
  thread.reserve_block(block_pairs);
  source_.fill(round_start + 2 * block_pairs * t, thread.draws.data(), 2 * block_pairs);
  kernel::MutationTask mutation;
  mutation.draws = thread.draws.data();
  mutation.pairs = block_pairs;
  mutation.width = mutation_width_;
  mutation.shift = mutation_shift_;
  mutation.denominator = mutation_denominator_;
  mutation.x = thread.deviations.data();
  mutation.accepted = thread.accepted.data();
  mutation.unsure = thread.unsure.data();
  ops_.mutate(mutation);
  walk_block(block_of(thread, block_pairs), false, {}, n_pop_real, mutation_denominator_,
             thread.walk, [](std::size_t) { return false; });
  thread.take_from = thread.take_to = 0;
}

// Thread t adds the parents' mean to the offspring the round took from its block, which go
// from `offspring` on.
void VectorSteps::place_offspring(unsigned t, double* offspring, const double* z) {
  const ThreadState& thread = state_[t];
  const Offspring* const children = thread.walk.offspring.data();
  double* const out = offspring + thread.taken_before;
  const std::size_t begin = thread.take_from;
  const std::size_t end = thread.take_to;
  // Parents lie anywhere in a population far larger than the cache: their reads are asked for
  // well ahead of their use, so that many are under way at once.
  for (std::size_t i = begin; i < std::min(end, begin + kParentsAhead); ++i)
    prefetch_parents(z, children[i].parents);
  for (std::size_t i = begin; i < end; ++i) {
    if (i + kParentsAhead < end) prefetch_parents(z, children[i + kParentsAhead].parents);
    out[i - begin] = phenotype_of(z, children[i]);
  }
}

// Survival: contiguous chunks, whole words of stayer bits each; individual i takes the draws
// 2i and 2i + 1 of the phase.
Selection VectorSteps::survival(const Generation& generation, std::uint64_t* stays) {
  ClassTally* const tally = reporter_.begin_tally({generation.z, generation.size.n_pop},
                                                  generation.pop_min, generation.pop_max);
  const std::size_t n_total = generation.size.n_total;
  survival_threads_ = sharing(n_total, share_survival_from_);
  chunk_ = round_up((n_total + survival_threads_ - 1) / survival_threads_, 64);
  survival_start_ = position_;
  // Taken before the first thread counts into the shared tally.
  const ClassTally tally_layout = tally != nullptr ? *tally : ClassTally{};
  share(survival_threads_,
        [&](unsigned t) { survive_chunk(t, generation, stays, tally, tally_layout); });
  position_ = survival_start_ + 2 * n_total;
  return join_chunks(tally);
}

void VectorSteps::survive_chunk(unsigned t, const Generation& generation, std::uint64_t* stays,
                                ClassTally* tally, const ClassTally& tally_layout) {
  const std::size_t n_pop_size = generation.size.n_pop;
  const std::size_t n_total = generation.size.n_total;
  ThreadState& thread = state_[t];
  const std::size_t begin = std::min(n_total, chunk_ * t);
  const std::size_t end = std::min(n_total, begin + chunk_);
  kernel::SurvivalTask& survival = thread.survival;
  survival = kernel::SurvivalTask{};
  thread.held = 0;
  if (begin == end) return;
  std::fill(stays + begin / 64, stays + (end + 63) / 64, 0);
  survival.emig_rate = parameters_.emig_rate;
  survival.r_phe = generation.r_phe;
  survival.rl_phe = generation.rl_phe;
  survival.denominator = survival_denominator_;
  survival.stays = stays;
  ClassTally* own_tally = tally;
  if (tally != nullptr && t > 0 && begin < n_pop_size) {
    thread.tally = tally_layout;
    thread.rows.assign(kTallyRows * tally_layout.stride, 0);
    thread.unsettled.clear();
    thread.tally.rows = thread.rows.data();
    thread.tally.owner = &thread.unsettled;
    thread.tally.place = [](void* owner, std::int64_t guess, double v) {
      static_cast<std::vector<std::pair<std::int64_t, double>>*>(owner)->emplace_back(guess, v);
    };
    thread.tally.added = 0;
    own_tally = &thread.tally;
  }
  for (std::size_t i = begin; i < end;) {
    // Stretches end at the population's end, where the tally stops.
    const std::size_t limit = i < n_pop_size ? std::min(end, n_pop_size) : end;
    const std::size_t n = std::min(limit - i, kSurvivalStretch);
    const std::uint64_t first_draw = survival_start_ + 2 * i;
    if (lane_stream_ != nullptr) {
      if (thread.lanes.position != first_draw) {
        ops_.seed(lane_stream_->words_at(first_draw), thread.lanes);
        thread.lanes.position = first_draw;
      }
      survival.lanes = &thread.lanes;
    } else {
      thread.reserve_block(kSurvivalStretch);
      source_.fill(first_draw, thread.draws.data(), round_up(2 * n, kernel::kLaneBlock));
      survival.draws = thread.draws.data();
    }
    survival.switchers = thread.stretch_switchers.data();
    survival.n_HS = 0;
    survival.z = generation.z + i;
    survival.n = n;
    survival.first_bit = i;
    survival.tally = i < n_pop_size ? own_tally : nullptr;
    ops_.survive(survival);
    thread.switchers.append(thread.held, thread.stretch_switchers.data(), survival.n_HS);
    thread.held += survival.n_HS;
    i += n;
  }
  survival.n_HS = thread.held;
}

// The threads' chunks joined in order.
Selection VectorSteps::join_chunks(ClassTally* tally) {
  for (unsigned t = 0; t < survival_threads_; ++t) state_[t].chunk_kept = state_[t].survival.n_surv;
  kernel::SurvivalTask& joined = state_[0].survival;
  for (unsigned t = 1; t < survival_threads_; ++t) {
    ThreadState& thread = state_[t];
    const kernel::SurvivalTask& part = thread.survival;
    state_[0].switchers.append(joined.n_HS, thread.switchers.data(), part.n_HS);
    joined.n_surv += part.n_surv;
    joined.n_HS += part.n_HS;
    joined.stayers_min =
        part.stayers_min < joined.stayers_min ? part.stayers_min : joined.stayers_min;
    joined.stayers_max =
        part.stayers_max > joined.stayers_max ? part.stayers_max : joined.stayers_max;
    joined.switchers_min =
        part.switchers_min < joined.switchers_min ? part.switchers_min : joined.switchers_min;
    joined.switchers_max =
        part.switchers_max > joined.switchers_max ? part.switchers_max : joined.switchers_max;
    joined.domain_error |= part.domain_error;
    joined.fallbacks += part.fallbacks;
    if (tally != nullptr && thread.tally.rows == thread.rows.data() && thread.tally.added > 0) {
      for (std::size_t k = 0; k < thread.rows.size(); ++k) tally->rows[k] += thread.rows[k];
      for (const auto& [guess, v] : thread.unsettled) tally->place(tally->owner, guess, v);
      tally->added += thread.tally.added;
      thread.tally.added = 0;
    }
  }
  fallbacks_ += joined.fallbacks;
  if (stats_) stats_->exp_fallbacks += std::exchange(fallbacks_, 0);
  if (joined.domain_error) throw ExpDomainError();
  Selection selection;
  selection.n_HS = joined.n_HS;
  selection.switchers = state_[0].switchers.data();
  selection.stayers_min = joined.stayers_min;
  selection.stayers_max = joined.stayers_max;
  selection.switchers_min = joined.switchers_min;
  selection.switchers_max = joined.switchers_max;
  return selection;
}

RunResult run_vector(const SimulationParameters& parameters, const kernel::Ops& ops,
                     DrawSource& source, Reporter& reporter, const RunSettings& settings,
                     KernelStats* stats) {
  check_run(parameters);
  VectorSteps steps(parameters, ops, source, reporter, settings, stats);
  return run_generations(parameters, steps, reporter);
}

// Narrowest first.
constexpr Kernel kKernels[] = {Kernel::kScalar, Kernel::kSimd128, Kernel::kSse2, Kernel::kAvx2,
                               Kernel::kAvx512};

}  // namespace

std::string_view kernel_name(Kernel kernel) {
  switch (kernel) {
    case Kernel::kSse2:
      return "sse2";
    case Kernel::kAvx2:
      return "avx2";
    case Kernel::kAvx512:
      return "avx512";
    case Kernel::kSimd128:
      return "simd128";
    case Kernel::kScalar:
      break;
  }
  return "scalar";
}

std::optional<Kernel> kernel_named(std::string_view name) {
  for (const Kernel kernel : kKernels) {
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
      return __builtin_cpu_supports("avx2");
    case Kernel::kAvx512:
      // The checks include the operating system's saving of the mask and upper vector
      // registers (XCR0), not only the processor's flags. The file is built for all four.
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
#elif defined(__EMSCRIPTEN__)
    case Kernel::kSimd128:
      return kernel::kSimd128Ops != nullptr;
#endif
    default:
      return false;
  }
}

std::vector<Kernel> supported_kernels() {
  std::vector<Kernel> kernels;
  for (const Kernel kernel : kKernels) {
    if (kernel_supported(kernel)) kernels.push_back(kernel);
  }
  return kernels;
}

std::optional<Kernel> forced_kernel() {
  static const std::optional<Kernel> forced = []() -> std::optional<Kernel> {
    if (const char* name = std::getenv("HOSTSWITCH_KERNEL")) {
      const auto named = kernel_named(name);
      if (named && kernel_supported(*named)) return named;
    }
    return std::nullopt;
  }();
  return forced;
}

Kernel selected_kernel() {
  static const Kernel widest = supported_kernels().back();
  return forced_kernel().value_or(widest);
}

Kernel kernel_for(const SimulationParameters& parameters) {
  if (const auto forced = forced_kernel()) return *forced;
  // A vector kernel pays about a microsecond a generation for its blocks of draws, which a
  // population of fewer than a thousand or so never earns back; the population never
  // exceeds the capacity, and every kernel gives the same bytes.
  constexpr std::int32_t kVectorFromCapacity = 1024;
  if (parameters.capacity < kVectorFromCapacity) return Kernel::kScalar;
  return selected_kernel();
}

RunResult run_population_on(Kernel kernel, const SimulationParameters& parameters,
                            UniformStream& stream, Reporter& reporter, const RunSettings& settings,
                            KernelStats* stats) {
  const kernel::Ops* ops = ops_for(kernel);
  if (ops == nullptr) return run_population_with(parameters, stream, reporter);
  LaneStream lanes(*ops, stream);
  return run_vector(parameters, *ops, lanes, reporter, settings, stats);
}

RunResult run_population_from(Kernel kernel, const SimulationParameters& parameters,
                              DrawSource& source, Reporter& reporter, const RunSettings& settings,
                              KernelStats* stats) {
  const kernel::Ops* ops = ops_for(kernel);
  if (ops == nullptr) return run_scalar_from(parameters, source, reporter);
  return run_vector(parameters, *ops, source, reporter, settings, stats);
}

}  // namespace hostswitch
