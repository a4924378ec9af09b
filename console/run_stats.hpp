#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hostswitch {

// What a command cost, as `--stats` reports it.
struct RunStats {
  double wall_seconds = 0.0;
  // None where the platform does not measure them (WebAssembly reports zeros).
  std::optional<double> cpu_seconds;              // user and system time of every thread
  std::optional<std::int64_t> peak_resident_kib;  // the process's high-water mark so far
  std::int64_t individuals_simulated = 0;         // n_tot summed over generations and runs
  std::string kernel;                             // the model's kernel; empty where not one
};

// Starts the clocks when made; stats() reads them and the process's peak memory.
class RunStatsMeter {
 public:
  RunStatsMeter();
  RunStats stats(std::int64_t individuals_simulated) const;

 private:
  std::chrono::steady_clock::time_point wall_start_;
  std::optional<double> cpu_start_;
};

// The report, one figure a line, headed by the command's name ("hostswitch run").
std::string stats_report(std::string_view command, const RunStats& stats);

}  // namespace hostswitch
