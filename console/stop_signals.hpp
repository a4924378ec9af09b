#pragma once

#include <array>
#include <atomic>
#include <csignal>

namespace hostswitch {

// Set by SIGINT or SIGTERM while a StopSignals lives.
extern std::atomic<bool> g_stop_requested;

// While alive, SIGINT and SIGTERM ask the work to stop; a second one acts as usual. A signal
// the process was told to ignore (a background job of a script) stays ignored.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The exit status of work stopped by the signal: 128 + its number, or `otherwise` when no
  // signal came.
  static int stopped_status(int otherwise);

 private:
  static constexpr std::array<int, 2> kSignals = {SIGINT, SIGTERM};
  std::array<struct sigaction, 2> previous_{};
  std::array<bool, 2> installed_{};
};

}  // namespace hostswitch
