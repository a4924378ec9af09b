#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace hostswitch {

// What a command cost, as `--stats` reports it.
struct RunStats {
  double wall_seconds = 0.0;
  double cpu_seconds = 0.0;                // user and system time of every thread
  std::int64_t peak_resident_kib = 0;      // the process's high-water mark so far
  std::int64_t individuals_simulated = 0;  // n_tot summed over generations and runs
};

// Starts the clocks when made; stats() reads them and the process's peak memory.
class RunStatsMeter {
 public:
  RunStatsMeter();
  RunStats stats(std::int64_t individuals_simulated) const;

 private:
  std::chrono::steady_clock::time_point wall_start_;
  double cpu_start_ = 0.0;
};

// The report, one figure a line, headed by the command's name ("hostswitch run").
std::string stats_report(std::string_view command, const RunStats& stats);

}  // namespace hostswitch
