#pragma once

// The model's kernels: the plain scalar loop, and vector kernels that take the same draws in
// the same order and make every decision the scalar loop makes, so that a run gives the same
// population and the same results file on every kernel.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "model/population_model.hpp"

namespace hostswitch {

enum class Kernel { kScalar, kSse2, kAvx2, kAvx512, kSimd128 };

std::string_view kernel_name(Kernel kernel);
std::optional<Kernel> kernel_named(
    std::string_view name);  // "scalar", "sse2", "avx2", "avx512", "simd128"

bool kernel_supported(Kernel kernel);
std::vector<Kernel> supported_kernels();  // scalar first, widest last

// The kernel HOSTSWITCH_KERNEL names if this processor runs it, else the widest it runs;
// read once per process.
Kernel selected_kernel();
// The kernel a run takes: the one HOSTSWITCH_KERNEL forces, else the scalar loop for a
// capacity too small to repay a vector kernel's blocks, else selected_kernel().
Kernel kernel_for(const SimulationParameters& parameters);

// The draws a run takes, in order: the stream itself, or a script in tests.
class DrawSource {
 public:
  virtual ~DrawSource() = default;
  // The n draws (n a multiple of 32) from draw `position` of the run on (0 the run's first).
  // Kernels read ahead of what they use, and threads read different stretches at once.
  virtual void fill(std::uint64_t position, double* out, std::size_t n) = 0;
  // The run has used exactly this many draws since it began: called before every report
  // and when the run ends, by any way out.
  virtual void settle(std::uint64_t used) = 0;
};

struct KernelStats {
  std::uint64_t exp_fallbacks = 0;  // decisions the platform's exponential had to make
};

// run_population on the given kernel (which must be supported). The scalar kernel runs on
// one thread whatever the settings say.
RunResult run_population_on(Kernel kernel, const SimulationParameters& parameters,
                            UniformStream& stream, Reporter& reporter,
                            const RunSettings& settings = {}, KernelStats* stats = nullptr);

// The same, drawing from `source`.
RunResult run_population_from(Kernel kernel, const SimulationParameters& parameters,
                              DrawSource& source, Reporter& reporter,
                              const RunSettings& settings = {}, KernelStats* stats = nullptr);

}  // namespace hostswitch
