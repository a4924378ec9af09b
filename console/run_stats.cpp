#include "console/run_stats.hpp"

#include <sys/resource.h>

#include <cstdio>

namespace hostswitch {

namespace {

double seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

struct ProcessUsage {
  std::optional<double> cpu_seconds;
  std::optional<std::int64_t> peak_resident_kib;
};

ProcessUsage process_usage() {
#ifdef __EMSCRIPTEN__
  return {};  // its getrusage succeeds with zeros, which would read as real figures
#else
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return {};
  // Linux counts ru_maxrss in KiB.
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime),
          static_cast<std::int64_t>(usage.ru_maxrss)};
#endif
}

std::string formatted(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

RunStatsMeter::RunStatsMeter()
    : wall_start_(std::chrono::steady_clock::now()), cpu_start_(process_usage().cpu_seconds) {}

RunStats RunStatsMeter::stats(std::int64_t individuals_simulated) const {
  const ProcessUsage usage = process_usage();
  RunStats stats;
  stats.wall_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start_).count();
  if (usage.cpu_seconds && cpu_start_) stats.cpu_seconds = *usage.cpu_seconds - *cpu_start_;
  stats.peak_resident_kib = usage.peak_resident_kib;
  stats.individuals_simulated = individuals_simulated;
  return stats;
}

std::string stats_report(std::string_view command, const RunStats& stats) {
  std::string text = std::string(command) + " --stats:\n";
  if (!stats.kernel.empty()) text += "  kernel                        " + stats.kernel + "\n";
  text += "  wall time                     " + formatted("%.3f s", stats.wall_seconds) + "\n";
  constexpr const char* kUnmeasured = "not measured on this platform";
  text += "  CPU time                      " +
          (stats.cpu_seconds ? formatted("%.3f s", *stats.cpu_seconds) : kUnmeasured) + "\n";
  text += "  peak resident memory          ";
  if (stats.peak_resident_kib) {
    text += formatted("%.1f MiB", static_cast<double>(*stats.peak_resident_kib) / 1024.0) + " (" +
            std::to_string(*stats.peak_resident_kib) + " KiB)\n";
  } else {
    text += std::string(kUnmeasured) + "\n";
  }
  text += "  individuals simulated         " + std::to_string(stats.individuals_simulated) +
          " (population after births, summed over generations)\n";
  text += "  ns per individual-generation  ";
  if (stats.individuals_simulated > 0) {
    const auto individuals = static_cast<double>(stats.individuals_simulated);
    text += formatted("%.2f wall", stats.wall_seconds * 1e9 / individuals);
    if (stats.cpu_seconds)
      text += ", " + formatted("%.2f CPU", *stats.cpu_seconds * 1e9 / individuals);
    text += "\n";
  } else {
    text += "none simulated\n";
  }
  return text;
}

}  // namespace hostswitch
